#pragma once
// Test rig for the effect slots: tiny effect modules whose output is known exactly
// (gain, hard clip, offset marker, one-sample delay), and a graph that wires effects
// into a wrapper (or wrappers into a topology) the way the instrument does: each
// effect in a loop through its owner's inner outputs and inputs.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/modular.h"
#include "engine/text_stream.h"
#include "modules/fx_wrapper.h"
#include "modules/parameter.h"

namespace fx_slots_test {

enum class Shape { gain, clip, offset, delay };

// Settings ids of the test effect, as an effect of the instrument would number them.
enum : int { kAmount = 1, kTone = 2, kDepth = 3, kSync = 4, kOnOff = 0xffff };

// gain: x * amount / 64; clip: x limited to +-amount / 127; offset: x + amount / 127;
// delay: the previous input. With on_off 0 the effect passes its input.
struct t_test_fx : t_module {
    Shape shape = Shape::gain;
    float z = 0; // the delay's memory
    int process_calls = 0, resets = 0;
    Parameter_T<LinearDriver, ParameterIntValue> on_off{kOnOff, 0, 1, 1, "on_off", 9};
    Parameter_T<LinearDriver, ParameterFloatValue> amount{kAmount, 0, 127, 64, "amount"};
    Parameter_T<LinearDriver, ParameterFloatValue> tone{kTone, 0, 127, 64, "tone"};
    Parameter_T<LinearDriver, ParameterFloatValue> depth{kDepth, 0, 127, 64, "depth"};
    Parameter_T<LinearDriver, ParameterIntValue> sync{kSync, 0, 24, 0, "sync"};
};

inline float test_fx_apply(const t_test_fx* f, float x, float& z) {
    const float a = f->amount.value();
    switch (f->shape) {
    case Shape::gain:
        return x * a / 64;
    case Shape::clip:
        return std::clamp(x, -a / 127, a / 127);
    case Shape::offset:
        return x + a / 127;
    case Shape::delay: {
        const float y = z;
        z = x;
        return y;
    }
    }
    return x;
}

inline void test_fx_process(t_module* m, int n) {
    auto* f = static_cast<t_test_fx*>(m);
    ++f->process_calls;
    const float* in = module_input(m, 1);
    float* out = module_output(m, 1);
    const bool on = f->on_off.value() != 0;
    for (int i = 0; i < n; ++i)
        out[i] = on ? test_fx_apply(f, in[i], f->z) : in[i];
}

inline void test_fx_reset(t_module* m) {
    auto* f = static_cast<t_test_fx*>(m);
    f->z = 0;
    ++f->resets;
}

inline t_test_fx* make_fx(Shape shape, const std::string& name) {
    auto* f = module_alloc<t_test_fx>(1, 1);
    f->name = name;
    f->type_name = "testfx";
    f->shape = shape;
    f->process = test_fx_process;
    f->reset = test_fx_reset;
    for (Parameter* p : {static_cast<Parameter*>(&f->on_off), static_cast<Parameter*>(&f->amount),
                         static_cast<Parameter*>(&f->tone), static_cast<Parameter*>(&f->depth),
                         static_cast<Parameter*>(&f->sync)})
        module_register_parameter(f, p, 0);
    module_set_persistence(f, 1);
    return f;
}

inline std::string preset_text(const std::string& body) {
    return "testfx Fx version 1\n{\n" + body + "\n}\n";
}

// A graph under one root: a two-channel source, the modules under test, and a sink on
// the head module's two outputs (so each has a net of its own).
struct Graph {
    t_module* root = nullptr;
    t_module* source = nullptr;
    t_module* head = nullptr;
    wire_shop* shop = nullptr;

    Graph() {
        root = module_create_composite("44100 1024 0 0 main_synth mo");
        module_set_persistence(root, 1);
        source = module_alloc<t_module>(0, 2);
        source->name = "source";
        module_add_child(root, source);
    }
    ~Graph() {
        module_free(root);
        wire_shop_free(shop);
    }
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    template <class M> M* add(M* m) {
        module_add_child(root, m);
        if (m->persistence <= 0) module_set_persistence(m, 1);
        return m;
    }
    // An effect in a loop through its owner: owner output k feeds it, its output returns
    // to owner input k.
    static void loop(t_module* owner, int k, t_module* effect) {
        module_connect(owner, k, effect, 1);
        module_connect(effect, 1, owner, k);
    }
    // A slot of a topology: topology outputs first, first + 1 feed the slot's inputs 1, 2
    // and its outputs 1, 2 return to the topology's inputs first, first + 1.
    static void slot(t_module* topology, int first, t_module* wrapper) {
        for (int c = 0; c < 2; ++c) {
            module_connect(topology, first + c, wrapper, 1 + c);
            module_connect(wrapper, 1 + c, topology, first + c);
        }
    }
    void finish(t_module* h) {
        head = h;
        t_module* sink = module_alloc<t_module>(2, 0);
        sink->name = "sink";
        module_add_child(root, sink);
        for (int c = 1; c <= 2; ++c) {
            module_connect(source, c, head, c);
            module_connect(head, c, sink, c);
        }
        shop = wire_shop_create(1024);
        wire_shop_assign_buffers(shop, root);
    }

    float* in(int c) { return module_output(source, c); }
    float* out(int c) { return module_output(head, c); }
    void run(int n) { head->process(head, n); }

    static void send(t_module* m, int id, float position) {
        t_message msg = make_float_message(m->id, id, position);
        module_dispatch_message(m, &msg);
    }
    // Reads a settings body, e.g. "param1 0.5", into a module.
    static void settings(t_module* m, const std::string& body) {
        const std::string text = m->type_name + " " + m->name + " version 1\n{\n" + body + "\n}\n";
        KelTextReader reader(text);
        module_read_state(m, reader);
    }
};

// A wrapper spec with the test effect's ids: knobs on amount, tone, depth.
inline t_fx_effect_spec test_spec(t_module* left, t_module* right, int feed, int label = 0) {
    t_fx_effect_spec s;
    s.left = left;
    s.right = right;
    s.feed_left = s.return_left = feed;
    s.feed_right = s.return_right = feed + 1;
    s.knob_ids[0] = kAmount;
    s.knob_ids[1] = kTone;
    s.knob_ids[2] = kDepth;
    s.sync_id = kSync;
    s.on_off_id = kOnOff;
    s.label = label;
    return s;
}

} // namespace fx_slots_test
