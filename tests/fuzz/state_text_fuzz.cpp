// Feeds arbitrary bytes to the state-text reader, reading by name into a small fixed
// tree: a composite with knob boxes, a nested group, a voice with three clones, a
// protected module and a non-persistent one. Afterwards every parameter must hold a
// finite value inside its bounds, and the tree's own text must read back unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/modular.h"
#include "tests/engine/test_modules.h"

using namespace mellora::test;

namespace {

struct Tree {
    t_module* root = make_group("mo");
    t_knobs* a = make_knobs("a");
    t_module* sub = make_group("sub");
    t_knobs* voice = make_knobs("_0123abcd_ef01_2345_6789_abcdef012345_voice");
    t_knobs* clones[3] = {make_knobs("voice"), make_knobs("voice"), make_knobs("voice")};
    t_knobs* keys = make_knobs("keys");
    t_knobs* hidden = make_knobs("hidden", 0);

    Tree() {
        root->type_name = "main_synth";
        module_add_child(root, a);
        module_add_child(root, sub);
        module_add_child(sub, voice);
        module_add_child(sub, keys);
        module_add_child(root, hidden);
        for (t_knobs* c : clones) module_add_clone(voice, c);
        module_set_protected_module(keys, 1);
    }
    ~Tree() {
        for (t_knobs* c : clones) module_free(c);
        module_free(root);
    }
    std::string write() {
        KelTextWriter out;
        module_write_state(root, out);
        return out.str();
    }
    void read(std::string_view text) {
        KelTextReader in(text);
        module_read_state_by_name(root, in);
    }
};

void check(t_knobs* k) {
    for (Parameter_T<LinearDriver, ParameterFloatValue>* p : {&k->gain, &k->locked})
        if (!std::isfinite(p->value()) || p->value() < p->low_bound() || p->value() > p->high_bound())
            __builtin_trap();
    if (k->mode.value() < 0 || k->mode.value() > 3) __builtin_trap();
    const t_smooth_var& s = k->cutoff.value_record().smooth;
    if (!std::isfinite(s.current) || !std::isfinite(s.target) || s.target < 100 || s.target > 1000)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Tree t;
    t.read(text);
    for (t_knobs* k : {t.a, t.voice, t.clones[0], t.clones[1], t.clones[2], t.keys, t.hidden}) check(k);
    // Clones follow their master.
    for (t_knobs* c : t.clones)
        if (c->gain.value() != t.voice->gain.value() || c->label.string() != t.voice->label.string())
            __builtin_trap();

    const std::string written = t.write();
    Tree again;
    again.read(written);
    if (again.write() != written) __builtin_trap();
    return 0;
}
