#pragma once
// A small synth for link tests: root "mo" holding three leaves, each with one linear
// float parameter (id 1) that records every position it is given.
#include <memory>
#include <string>
#include <vector>

#include "engine/synth.h"
#include "modules/parameter.h"

namespace links_test {

struct RecordingObserver : ModuleObserver {
    std::vector<std::pair<int, float>> received_values;
    void received(t_module* m, int id, float value) override {
        (void)id;
        received_values.push_back({m->id, value});
    }
};

using LinearParam = Parameter_T<LinearDriver, ParameterFloatValue>;

struct LinkSynth {
    Synth synth;
    RecordingObserver observer;
    std::unique_ptr<MidiInputState> midi = std::make_unique<MidiInputState>();
    KelMidiEventQueue queue{kMidiEventQueueCapacity};
    std::vector<std::unique_ptr<LinearParam>> params;
    t_module* root = nullptr;
    t_module* leaves[3] = {};

    LinkSynth() {
        observer.received_values.reserve(4096);  // reports must not allocate inside a measured block
        synth.set_observer(&observer);
        synth.create_tables();
        root = module_create_composite("44100 1024 0 0 main_synth mo");
        module_set_persistence(root, 1);
        synth.set_root(root);
        synth.register_module(root);
        const char* names[3] = {"fork0", "Volume", "Clock"};
        for (int i = 0; i < 3; ++i) {
            t_module* m = module_alloc<t_module>(0, 1);
            m->name = names[i];
            m->type_name = "test_leaf";
            module_set_persistence(m, 1);
            params.push_back(std::make_unique<LinearParam>(1, 0.0f, 1.0f, 0.0f, "level"));
            module_register_parameter(m, params.back().get(), 0);
            module_add_child(root, m);
            synth.register_module(m, 600 + i);
            leaves[i] = m;
        }
        synth.finish_graph();
        synth.set_midi_input(midi.get());
    }
    float position(int leaf) const { return params[leaf]->controller_float(); }
    // One host block carrying the given events.
    void block(std::initializer_list<t_midi_event> events, int frames = 256) {
        for (const t_midi_event& e : events) queue.push(e);
        midi->dispatch(queue, static_cast<uint32_t>(frames));
        synth.render(midi.get(), frames);
        midi->endOfBlock();
    }
};

inline t_midi_event cc(int channel, int controller, int value, uint32_t offset = 0) {
    return t_midi_event{offset, static_cast<uint8_t>(0xb0 | (channel - 1)), static_cast<uint8_t>(controller),
                        static_cast<uint8_t>(value)};
}

} // namespace links_test
