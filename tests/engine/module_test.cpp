// Module records: parameter registration, generic messages, clones, name matching.
#include <gtest/gtest.h>

#include <string>

#include "engine/modular.h"
#include "tests/engine/test_modules.h"

using namespace mellora::test;

TEST(Module, CommonPartDefaults) {
    auto* m = module_alloc<t_module>(2, 3);
    EXPECT_EQ(m->input_count, 2);
    EXPECT_EQ(m->output_count, 3);
    for (const t_slot& s : m->inputs) {
        EXPECT_EQ(s.state, kSlotNull);
        EXPECT_EQ(s.owner, m);
    }
    for (const t_slot& s : m->outputs) EXPECT_EQ(s.state, kSlotBin);
    EXPECT_EQ(m->inputs[1].number, 2);
    EXPECT_EQ(m->version, 1);
    EXPECT_EQ(m->persistence, 0);
    EXPECT_EQ(m->protection, 1);
    EXPECT_EQ(m->protected_only, 0);
    EXPECT_EQ(m->process, nullptr);
    EXPECT_EQ(m->spare_query(m), 1);
    EXPECT_EQ(m->query(m, 3), 0);
    module_free(m);

    t_module* c = module_create_composite("44100 1024 2 1 main_synth mo");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->type_name, "main_synth");
    EXPECT_EQ(c->name, "mo");
    EXPECT_EQ(c->input_count, 2);
    EXPECT_EQ(c->output_count, 1);
    EXPECT_NE(c->tick, nullptr);
    module_free(c);
    EXPECT_EQ(module_create_composite("44100 1024 x 1 main_synth mo"), nullptr);
    EXPECT_EQ(module_create_generic("1 1"), nullptr);
}

TEST(Module, RegisteringAnIdAgainReplacesTheObjectAndKeepsTheFlags) {
    t_knobs* k = make_knobs("k");
    EXPECT_EQ(k->changed[kChangedAdded], 5);
    Parameter_T<LinearDriver, ParameterFloatValue> other{4, 0.0f, 10.0f, 7.0f, "other"};
    module_register_parameter(k, &other, 0);
    EXPECT_EQ(k->params.size(), 5u);
    t_param_entry* e = module_find_parameter(k, 4);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->param, &other);
    EXPECT_EQ(e->flags, kParamProtected);
    EXPECT_EQ(module_find_parameter(k, "other"), e);
    EXPECT_EQ(module_find_parameter(k, "locked"), nullptr);
    EXPECT_EQ(module_find_parameter(k, 99), nullptr);
    EXPECT_EQ(module_find_parameter(k, ""), nullptr);
    // Order of insertion is kept.
    EXPECT_EQ(k->params[0].param, &k->gain);
    EXPECT_EQ(k->params[4].param, &k->label);
    module_free(k);
}

TEST(Module, GenericReceiveMessageAppliesPositionsAndNotifiesOnChange) {
    t_knobs* k = make_knobs("k");
    struct Case {
        const char* what;
        t_message msg;
        float gain;
        int notified;
    } cases[] = {
        {"int position", make_int_message(0, 1, 127), 2.0f, 1},
        {"same position again", make_int_message(0, 1, 127), 2.0f, 0},
        {"float position", make_float_message(0, 1, 32.5f), 32.5f * 0.007874016f * 2.0f, 1},
        {"centre", make_int_message(0, 1, 64), 1.0f, 1},
        {"unknown id", make_int_message(0, 42, 0), 1.0f, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = k->changed[kChangedByMessage];
        EXPECT_EQ(k->receive_message(k, &c.msg), 0);
        EXPECT_FLOAT_EQ(k->gain.value(), c.gain);
        EXPECT_EQ(k->changed[kChangedByMessage] - before, c.notified);
    }
    // A smoothed parameter notifies when only its target moves.
    t_message m = make_int_message(0, 3, 0);
    k->receive_message(k, &m);
    EXPECT_EQ(k->changed[kChangedByMessage], 4);
    EXPECT_EQ(k->cutoff.value(), 500.0f);
    EXPECT_EQ(k->cutoff.target_value(), 100.0f);

    // Flag 0x10 shields a parameter from messages.
    k->params[0].flags |= kParamNoMessage;
    m = make_int_message(0, 1, 0);
    k->receive_message(k, &m);
    EXPECT_FLOAT_EQ(k->gain.value(), 1.0f);
    module_free(k);
}

TEST(Module, StringMessagesSetTheStringAndFreeIt) {
    t_knobs* k = make_knobs("k");
    t_message m;
    m.kind = kMessageString;
    m.param_id = 5;
    m.value.s = new std::string("bright");
    m.owns_string = 1;
    k->receive_message(k, &m);  // ASan reports a leak if the string is not freed
    EXPECT_EQ(k->label.string(), "bright");
    EXPECT_EQ(m.value.s, nullptr);
    EXPECT_EQ(k->changed[kChangedByMessage], 1);

    std::string same("bright");
    m.value.s = &same;
    m.owns_string = 0;
    k->receive_message(k, &m);
    EXPECT_EQ(k->changed[kChangedByMessage], 1);  // unchanged string: no notification

    // An owned string that no string parameter takes is still freed (ASan counts leaks).
    for (int id : {1, 99}) {
        m.param_id = id;
        m.value.s = new std::string("lost");
        m.owns_string = 1;
        k->receive_message(k, &m);
        EXPECT_EQ(m.value.s, nullptr);
    }
    EXPECT_FLOAT_EQ(k->gain.value(), 1.0f);
    module_free(k);
}

TEST(Module, GenericGetMessageReportsPositionsAndStrings) {
    t_knobs* k = make_knobs("k");
    k->id = 77;
    k->gain.set_value(2.0f);
    t_message out;
    ASSERT_EQ(k->get_message(k, 1, &out), 0);
    EXPECT_EQ(out.kind, kMessageInt);
    EXPECT_EQ(out.module_id, 77);
    EXPECT_EQ(out.param_id, 1);
    EXPECT_EQ(out.value.i, 127);

    // Positions beyond the controller scale are clamped into 0..127.
    k->gain.set_controller(300);
    ASSERT_EQ(k->get_message(k, 1, &out), 0);
    EXPECT_EQ(out.value.i, 127);
    k->gain.set_controller(-20);
    ASSERT_EQ(k->get_message(k, 1, &out), 0);
    EXPECT_EQ(out.value.i, 0);

    ASSERT_EQ(k->get_message(k, 5, &out), 0);
    EXPECT_EQ(out.kind, kMessageString);
    EXPECT_EQ(*out.value.s, "none");

    EXPECT_EQ(k->get_message(k, 42, &out), 1);
    k->params[1].flags |= kParamNoReport;
    EXPECT_EQ(k->get_message(k, 2, &out), 1);
    module_free(k);
}

TEST(Module, DispatchReachesEveryCloneAndTheMaster) {
    t_knobs* master = make_knobs("voice");
    t_knobs* clones[3] = {make_knobs("voice"), make_knobs("voice"), make_knobs("voice")};
    for (t_knobs* c : clones) module_add_clone(master, c);
    EXPECT_EQ(master->clones.front(), clones[2]);  // pushed at the front
    EXPECT_EQ(clones[0]->master, master);

    t_message m = make_int_message(0, 2, 2);
    module_dispatch_message(master, &m);
    t_message s;
    s.kind = kMessageString;
    s.param_id = 5;
    s.value.s = new std::string("warm");
    s.owns_string = 1;
    module_dispatch_message(master, &s);
    for (t_knobs* k : {master, clones[0], clones[1], clones[2]}) {
        SCOPED_TRACE(k == master ? "master" : "clone");
        EXPECT_EQ(k->mode.value(), 2.0f);
        EXPECT_EQ(k->label.string(), "warm");
    }
    for (t_knobs* c : clones) module_free(c);
    module_free(master);
}

TEST(Module, ClonesPairChildrenAndShareProtectionSettings) {
    t_module* a = make_group("a");
    t_module* b = make_group("b");
    t_knobs* a1 = make_knobs("a1");
    t_knobs* b1 = make_knobs("b1");
    module_add_child(a, a1);
    module_add_child(b, b1);
    module_add_clone(a, b);
    EXPECT_EQ(b1->master, a1);
    ASSERT_EQ(a1->clones.size(), 1u);
    module_set_protected_module(a, 1);
    module_set_protection(a, 0);
    module_set_protected_only(a, 1);
    EXPECT_EQ(b->protected_module, 1);
    EXPECT_EQ(b->protection, 0);
    EXPECT_EQ(b->protected_only, 1);
    module_free(a);
    module_free(b);
}

// Names may carry a 37-character unique prefix: "_" at 0, 9, 14, 19 and 24.
TEST(Module, NameMatchingWithUniquePrefix) {
    const std::string p1 = "_0123abcd_ef01_2345_6789_abcdef012345";
    const std::string p2 = "_ffffffff_ef01_2345_6789_abcdef012345";
    ASSERT_EQ(p1.size(), 37u);
    const struct {
        std::string a, b;
        bool match, loose;
    } cases[] = {
        {"fork3", "fork3", true, true},
        {"fork3", "fork4", false, false},
        {p1 + "_fork3", p1 + "_fork3", true, true},
        {p1 + "_fork3", p1 + "_other", true, false},   // equal prefixes decide
        {p1 + "_fork3", p2 + "_fork3", false, true},   // different prefixes: only the loose lookup
        {p1 + "_fork3", "fork3", true, true},          // one prefixed: its remainder
        {"fork3", p1 + "_fork3", true, true},
        {p1 + "_fork3", "fork", false, false},
        {p1, "x", false, false},                       // exactly 37 characters is no prefix
        {"x0123abcd_ef01_2345_6789_abcdef012345_fork3", "fork3", false, false},
        {"_0123abcd-ef01_2345_6789_abcdef012345_fork3", "fork3", false, false},
        {"", "", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        EXPECT_EQ(module_names_match(c.a, c.b), c.match);
        EXPECT_EQ(module_names_match_loose(c.a, c.b), c.loose);
    }
    EXPECT_TRUE(module_name_has_prefix(p1 + "_"));
    EXPECT_FALSE(module_name_has_prefix(p1));
}
