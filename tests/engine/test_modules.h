#pragma once
// Tiny module types for kernel tests: a source that writes a constant, a sink that
// records what reaches its input, and a knob box that only holds parameters.
// Header-only so that the fuzz target can build the same trees.
#include <algorithm>
#include <string>

#include "engine/modular.h"
#include "modules/parameter.h"

namespace mellora::test {

// Writes `level` into every output sample and counts its process calls.
struct t_source : t_module {
    float level = 0;
    int calls = 0;
    int frames_seen[8] = {};  // the frame counts of the first eight calls
};

inline void source_process(t_module* m, int frames) {
    auto* s = static_cast<t_source*>(m);
    if (s->calls < 8) s->frames_seen[s->calls] = frames;
    ++s->calls;
    for (int o = 1; o <= m->output_count; ++o) std::fill_n(module_output(m, o), frames, s->level);
}

inline t_source* make_source(const std::string& name, float level, int outputs = 1) {
    auto* s = module_alloc<t_source>(0, outputs);
    s->name = name;
    s->type_name = "source";
    s->level = level;
    s->process = source_process;
    return s;
}

// Keeps a copy of the first input's last block (no allocation while rendering).
struct t_sink : t_module {
    float last[1024] = {};
    int last_frames = 0;
    int calls = 0;
    bool saw_nonzero = false;
};

inline void sink_process(t_module* m, int frames) {
    auto* s = static_cast<t_sink*>(m);
    ++s->calls;
    s->last_frames = frames;
    for (int i = 1; i <= m->input_count; ++i) {
        const float* in = module_input(m, i);
        for (int k = 0; k < frames; ++k)
            if (in[k] != 0) s->saw_nonzero = true;
    }
    if (m->input_count > 0) std::copy_n(module_input(m, 1), frames, s->last);
}

inline t_sink* make_sink(const std::string& name, int inputs = 1) {
    auto* s = module_alloc<t_sink>(inputs, 0);
    s->name = name;
    s->type_name = "sink";
    s->process = sink_process;
    return s;
}

// A persistent leaf with one parameter of each main kind; counts notifications by origin.
struct t_knobs : t_module {
    Parameter_T<LinearDriver, ParameterFloatValue> gain{1, 0.0f, 2.0f, 1.0f, "gain"};
    Parameter_T<LinearDriver, ParameterIntValue> mode{2, 0.0f, 3.0f, 1.0f, "mode"};
    SmoothParameter_T<LinearDriver> cutoff{3, 100.0f, 1000.0f, 500.0f, 8, "cutoff"};
    Parameter_T<LinearDriver, ParameterFloatValue> locked{4, 0.0f, 1.0f, 0.25f, "locked"};
    StringParameter label{5, "label", "none"};
    int changed[3] = {};  // by origin: added, from text, by message
};

inline void knobs_changed(t_module* m, int, int origin) {
    auto* k = static_cast<t_knobs*>(m);
    if (origin >= 0 && origin < 3) ++k->changed[origin];
}

inline t_knobs* make_knobs(const std::string& name, int persistence = 1) {
    auto* k = module_alloc<t_knobs>(0, 0);
    k->name = name;
    k->type_name = "knobs";
    k->parameter_changed = knobs_changed;
    module_register_parameter(k, &k->gain, 0);
    module_register_parameter(k, &k->mode, 0);
    module_register_parameter(k, &k->cutoff, 0);
    module_register_parameter(k, &k->locked, kParamProtected);
    module_register_parameter(k, &k->label, kParamStringReport);
    module_set_persistence(k, persistence);
    return k;
}

inline t_module* make_group(const std::string& name, int inputs = 0, int outputs = 0) {
    t_module* g = module_create_generic(std::to_string(inputs) + " " + std::to_string(outputs) + " " + name);
    g->type_name = "group";
    module_set_persistence(g, 1);
    return g;
}

} // namespace mellora::test
