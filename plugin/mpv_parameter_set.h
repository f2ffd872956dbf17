#pragma once
// The host's view of the instrument: parameter descriptions keyed by (module id,
// parameter number), the 59 host-visible entries in their fixed order, and the mapping
// between the host's normalised values and the engine's controller positions.
//
// Threads: built once on the user-interface thread with its document. Host parameter
// calls come from any thread; they reach the engine only through the synth's message
// queue (writes) and its parameter reads, never by touching a module directly. The echo
// counter and the editing flags belong to the user-interface thread.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class MelloraSynth;
class KelSynthQueue;

struct MpvParameterKey {
    int32_t module_id = -1;
    int32_t param_id = -1;
    friend auto operator<=>(const MpvParameterKey&, const MpvParameterKey&) = default;
};

inline constexpr int32_t kEnableParameter = 0xFFFF;  // a module's on/off switch

enum : int32_t { kDescriptionContinuous = 1, kDescriptionList = 2, kDescriptionSwitch = 3 };

struct MpvParameterDescription {
    int32_t kind = kDescriptionContinuous;
    bool controllable = true;
    bool host_visible = true;
    float minimum = 0, maximum = 127, default_value = 0, range = 127;
    std::string name_text;  // variants from the longest, separated by "\n"
    std::vector<std::string> labels;
};

// What the set needs of the effect (host notifications).
class MpvParameterHost {
public:
    virtual ~MpvParameterHost() = default;
    virtual void automate_parameter(int index, float value) = 0;
    virtual void begin_edit(int index) = 0;
    virtual void end_edit(int index) = 0;
    virtual bool has_editor() const = 0;
};

float mpv_normalise(const MpvParameterDescription& d, float v);
int32_t mpv_denormalise(const MpvParameterDescription& d, float x);

class MpvParameterSet {
public:
    MpvParameterSet();
    virtual ~MpvParameterSet() = default;
    MpvParameterSet(const MpvParameterSet&) = delete;
    MpvParameterSet& operator=(const MpvParameterSet&) = delete;

    void add(const MpvParameterKey& key, MpvParameterDescription d, bool silent = false);
    const MpvParameterDescription* find(const MpvParameterKey& key) const;
    std::size_t size() const { return descriptions_.size(); }

protected:
    virtual void description_added(const MpvParameterKey&, const MpvParameterDescription&) {}

private:
    std::map<MpvParameterKey, MpvParameterDescription> descriptions_;
};

class MpvParameterSetVst : public MpvParameterSet {
public:
    static constexpr int kHostNameLength = 24;
    static constexpr int kHostDisplayLength = 23;

    MpvParameterSetVst(MelloraSynth& synth, KelSynthQueue& queue, MpvParameterHost* host);

    int host_count() const { return static_cast<int>(host_list_.size()); }
    const MpvParameterKey* host_key(int index) const;

    float get_parameter(int index) const;
    void set_parameter(int index, float x);
    // Text of at most the host's lengths; empty for an index out of range.
    std::string parameter_name(int index, std::size_t n = kHostNameLength) const;
    std::string parameter_display(int index) const;
    bool can_be_automated(int index) const;
    bool is_switch(int index) const;

    // A control value the engine reports (type 1 integer or 2 float): it reaches the
    // host as automation; a setParameter that the host sends back meanwhile is ignored.
    void engine_changed(const MpvParameterKey& key, float value);

    // The panel's side.
    void begin_edit(const MpvParameterKey& key);
    void set_value(const MpvParameterKey& key, int32_t value);
    void end_edit(const MpvParameterKey& key);

protected:
    void description_added(const MpvParameterKey& key, const MpvParameterDescription& d) override;

private:
    struct HostEntry {
        int index = 0;
        bool editing = false;
    };
    void write_engine(const MpvParameterKey& key, int32_t value) const;

    MelloraSynth& synth_;
    KelSynthQueue& queue_;
    MpvParameterHost* host_;
    std::vector<MpvParameterKey> host_list_;
    std::map<MpvParameterKey, HostEntry> host_map_;
    std::atomic<int> echo_{0};  // read by set_parameter, which may come from the audio thread
};

// Fills a fresh set with the instrument's table: the twelve entries only MIDI links
// reach, and the 59 host parameters in their host order.
void mellora_fill_parameter_set(MpvParameterSet& set);
