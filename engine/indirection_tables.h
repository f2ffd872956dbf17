#pragma once
// The engine's two lookup structures: module addressing by number (parameter-change
// messages name their module by id) and the MIDI link table, which binds a (MIDI channel,
// controller) pair to the module parameters it moves.
//
// Threads: the module table is filled while the graph is built and read on the audio
// thread. The link table is read, and edited by learn and forget, on the audio thread
// inside the render; edits from the user interface must be kept apart from the render
// (the tables carry no lock). Link records come from a pool made with the tables, so no
// link operation allocates or frees, on either thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct t_module;
struct t_message;
class MidiInputState;

struct midi_link {
    t_module* module = nullptr;
    int32_t module_id = 0;
    int32_t param_id = 0;
    float scale = 1;   // width of the controlled range on the 0..127 scale, divided by 127
    float offset = 0;  // lower end on the 0..127 scale
    midi_link* next = nullptr;
};

struct indirection_tables {
    static constexpr int kModuleTableSize = 4096;  // entry 0 is never used
    // Rows: MIDI channels 1..16 stored 0..15, row 16 follows the instrument's own channel.
    static constexpr int kLinkChannels = 17;
    static constexpr int kFollowChannelRow = 16;
    // Columns: control changes 0..127, 128 channel pressure, 129 pitch bend (top 7 bits).
    static constexpr int kLinkControllers = 130;
    static constexpr int kLinkPoolSize = 4096;

    struct entry {
        t_module* module = nullptr;
        void* chain = nullptr;
    };
    std::unique_ptr<entry[]> link_fset;
    std::unique_ptr<midi_link*[]> link_table;  // kLinkChannels x kLinkControllers list heads
    std::unique_ptr<midi_link[]> link_pool;
    midi_link* free_links = nullptr;
    int32_t next_id = 1;

    midi_link*& head(int row, int controller) { return link_table[row * kLinkControllers + controller]; }
};

// The links of Export, as parallel lists (one position per link).
struct midi_link_export {
    std::vector<std::string> type_names;
    std::vector<std::vector<std::string>> paths;  // the module's own name first, the root's last
    std::vector<int32_t> param_ids;
    std::vector<int32_t> channels;                // 1..17
    std::vector<int32_t> controllers;             // 0..129
    std::vector<float> mins;
    std::vector<float> maxs;
};

indirection_tables* indirection_tables_create();
void indirection_tables_free(indirection_tables* t);
int32_t indirection_tables_next_id(indirection_tables* t);
void indirection_tables_register(indirection_tables* t, t_module* m, int32_t id);
t_module* indirection_tables_module(indirection_tables* t, int32_t id);
// Hands the message to its module (clones first); 0 when no module has that id.
int indirection_tables_dispatch(indirection_tables* t, t_message* msg);

// ---- MIDI links. Channels 1..17, controllers 0..129, min / max fractions 0..1 of the
// parameter's controller range (min > max inverts). ----

// Every link back to the pool; the table is about to be rebuilt.
void indirection_tables_clear_links(indirection_tables* t);
// 1 when added (newest first in its list); 0 with an error report for a missing module,
// a bad channel or controller, or a full pool.
int indirection_tables_add_link(indirection_tables* t, t_module* m, int32_t param_id, int channel, int controller,
                                float min, float max);
// As add, without any report: for the audio thread (learn).
bool indirection_tables_try_add_link(indirection_tables* t, t_module* m, int32_t param_id, int channel,
                                     int controller, float min, float max);
// 1 when the first link of (m, param_id) in that list was removed, else 0.
int indirection_tables_remove_link(indirection_tables* t, t_module* m, int32_t param_id, int channel,
                                   int controller);
// Removes every link of (m, param_id), releasing one hold of each link's channel on
// `midi` (may be null); the number removed.
int indirection_tables_remove_all_links(indirection_tables* t, t_module* m, int32_t param_id, MidiInputState* midi);
int indirection_tables_replace_link(indirection_tables* t, t_module* m, int old_channel, int old_controller,
                                    int32_t old_param_id, int32_t new_param_id, int new_controller, int new_channel,
                                    float min, float max);
void indirection_tables_set_min(indirection_tables* t, t_module* m, int32_t param_id, float x);
void indirection_tables_set_max(indirection_tables* t, t_module* m, int32_t param_id, float x);
bool indirection_tables_has_link(indirection_tables* t, t_module* m, int32_t param_id);
// The list for row 0..16 and controller 0..129, newest first; null when empty or out of range.
midi_link* indirection_tables_links_at(indirection_tables* t, int row, int controller);
void indirection_tables_export(indirection_tables* t, midi_link_export& out);
// The leaf module that a name path (optionally starting with the root's name) leads to;
// null for an empty or unknown path or one that ends on a module with children.
t_module* indirection_tables_resolve_path(const std::vector<std::string>& names, t_module* root);

// Controller value 0..127 to the parameter's float position through one link.
float midi_link_position(const midi_link& link, int value);
