#pragma once
// The synth base: owns a module graph with its wire shop and module table, drains
// the message queue between blocks and renders host blocks in sub-blocks.
//
// Threads: built, reset and freed on the user-interface thread while no render runs;
// render() runs on the audio thread and never allocates, locks or waits. Messages
// from other threads arrive only through the queue.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/indirection_tables.h"
#include "engine/settings_latch.h"
#include "engine/kel_synth_queue.h"
#include "engine/midi_input_state.h"
#include "engine/modular.h"

class Synth {
public:
    static constexpr int kMaxBlock = 1024;  // samples per sub-block and per wire buffer

    Synth();
    virtual ~Synth();
    Synth(const Synth&) = delete;
    Synth& operator=(const Synth&) = delete;

    // Creates the module table and the wire shop; false on failure.
    bool create_tables();
    // Takes ownership of the graph's root.
    void set_root(t_module* root) { root_ = root; }
    // Enters a module in the module table under the next counted id (or a fixed one).
    int32_t register_module(t_module* m, int32_t fixed_id = 0);
    // Gives every net its buffer and builds the processing order; false on failure.
    bool finish_graph();

    void set_queue(KelSynthQueue* q) { queue_ = q; }
    void set_observer(ModuleObserver* o) { observer_ = o; }
    // Every leaf module takes the new rate; some (the reverberator) apply it at the next
    // reset, so a caller that changes the rate of a running synth resets it afterwards.
    virtual void set_sample_rate(int rate);

    // One host block: messages, then sub-blocks of at most kMaxBlock frames, then the
    // block's controller traffic (links, learn, forget). `midi` holds the block's
    // dispatched MIDI (may be null); emptying it (endOfBlock) is left to its owner.
    void render(MidiInputState* midi, int frames);
    // The same over a bare event list, for synths without MIDI input or links.
    void render(t_midi_event_list* midi, int frames);
    void render(std::nullptr_t, int frames) { render(static_cast<t_midi_event_list*>(nullptr), frames); }

    // The MIDI input that modules listening to MIDI read; null until given.
    void set_midi_input(MidiInputState* midi) { midi_input_ = midi; }
    MidiInputState* midi_input() const { return midi_input_; }

    // Applies one message by module id. A module id with the top bit set marks a change
    // made by the user interface: the flag is raised for the dispatch, so observers can
    // avoid echoing it back.
    int dispatch(t_message* msg);
    // Clears every buffer and resets every module.
    virtual void reset();

    t_module* root() const { return root_; }
    t_module* module_by_id(int32_t id) const { return indirection_tables_module(tables_, id); }
    indirection_tables* tables() const { return tables_; }
    wire_shop* shop() const { return shop_; }
    const std::vector<t_module*>& processing_list() const { return processing_; }
    int sample_rate() const { return sample_rate_; }
    // Other threads that read settings while the synth renders hold its read side.
    SettingsLatch& settings_latch() { return latch_; }
    bool change_from_interface() const { return change_from_interface_; }

    // ---- parameters by id (positions on the 0..127 controller scale) ----
    virtual int set_parameter(int32_t module_id, int32_t param_id, float position);
    virtual int set_parameter_int(int32_t module_id, int32_t param_id, int32_t position);
    // Sends the text in the synth's own reusable string (not owned by the message).
    int set_parameter_string(int32_t module_id, int32_t param_id, std::string_view text);
    // The parameter's position as its module reports it; 0 when it reports none.
    float get_parameter(int32_t module_id, int32_t param_id);

    // ---- MIDI learn, forget and links. Called by the document layer, kept apart from
    // the render like every link edit; learn and forget complete inside a later render.
    void set_learn_target(int32_t module_id, int32_t param_id);
    // Binds the first controller moved on channels 1..16 to the target.
    void start_learn(MidiInputState& midi);
    // Removes every link of the target at the next block.
    void start_forget(MidiInputState& midi);
    bool learning() const { return learning_; }
    bool forgetting() const { return forgetting_; }
    void set_min_of_target();
    void set_max_of_target();
    bool target_has_link();
    void set_midi_links_enabled(bool on) { midi_links_enabled_ = on; }
    bool midi_links_enabled() const { return midi_links_enabled_; }
    // Each takes one hold of the link's channel per added link and releases one per
    // removed link. A path that leads nowhere drops the request.
    int add_link_by_path(MidiInputState& midi, const std::vector<std::string>& path, int32_t param_id, int channel,
                         int controller, float min, float max);
    int remove_link_by_path(MidiInputState& midi, const std::vector<std::string>& path, int32_t param_id, int channel,
                            int controller);
    int replace_link_by_path(MidiInputState& midi, const std::vector<std::string>& path, int old_channel,
                             int old_controller, int32_t old_param_id, int32_t new_param_id, int new_controller,
                             int new_channel, float min, float max);

protected:
    // Hooks of the generic rendering.
    virtual void give_services(int frames) {}
    virtual void before_sub_block(int frames) {}
    virtual bool bypass() { return false; }
    virtual void after_sub_block(int frames) {}
    virtual void process_midi_links(t_midi_event_list* midi) {}
    // The controller traffic of one block (after its last sub-block): a pending forget,
    // then every changed controller through its links, then a pending learn.
    void process_midi_traffic(MidiInputState& midi);
    virtual void end_of_block() {}
    // The block's settings writes: the queued messages at its start, the controller
    // traffic at its end; skipped (left for a later block) while a reader holds the latch.
    void drain_messages();
    void settle_midi_traffic(MidiInputState& midi);

    bool change_from_interface_ = false;
    bool learning_ = false;
    bool forgetting_ = false;
    int32_t learn_module_id_ = -1;
    int32_t learn_param_id_ = -1;
    int sample_rate_ = 44100;
    int max_block_ = kMaxBlock;
    bool midi_links_enabled_ = true;
    ModuleObserver* observer_ = nullptr;
    KelSynthQueue* queue_ = nullptr;
    MidiInputState* midi_input_ = nullptr;
    indirection_tables* tables_ = nullptr;
    std::vector<t_module*> processing_;
    wire_shop* shop_ = nullptr;
    t_module* root_ = nullptr;
    std::unique_ptr<std::string> string_value_;  // reserved once, reused by every string set

private:
    void render_blocks(t_midi_event_list* midi, int frames);
    void apply_row(int row, int controller, int value);
    void hold_all(MidiInputState& midi);
    void release_all(MidiInputState& midi);
    void cancel_learn_and_forget();
    MidiInputState* learn_input_ = nullptr;  // where learn and forget took their holds
    SettingsLatch latch_;
};
