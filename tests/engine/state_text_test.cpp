// Module state text: writing, reading by name, skipping, clones, the load filter, and
// hostile input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/modular.h"
#include "tests/engine/test_modules.h"

using namespace mellora::test;

namespace {

struct TreeDeleter {
    void operator()(t_module* m) const { module_free(m); }
};
using Tree = std::unique_ptr<t_module, TreeDeleter>;

// mo { a, sub { b } }: two knob boxes, one inside a nested group.
struct SmallTree {
    Tree root{make_group("mo")};
    t_knobs* a = make_knobs("a");
    t_module* sub = make_group("sub");
    t_knobs* b = make_knobs("b");
    SmallTree() {
        root->type_name = "main_synth";
        module_add_child(root.get(), a);
        module_add_child(root.get(), sub);
        module_add_child(sub, b);
    }
    void read(std::string_view text) {
        KelTextReader in(text);
        module_read_state_by_name(root.get(), in);
    }
    std::string write() {
        KelTextWriter out;
        module_write_state(root.get(), out);
        return out.str();
    }
};

// Counts observer reports.
struct CountingObserver : ModuleObserver {
    int told_count = 0, strings = 0;
    void told(t_module*, int) override { ++told_count; }
    void received_string(t_module*, int, const std::string&) override { ++strings; }
};

} // namespace

TEST(StateText, WritesIndentedBlocksOfPersistentModules) {
    SmallTree t;
    t.a->gain.set_value(0.5f);
    module_set_version(t.b, 3);
    t.b->params[1].flags |= kParamNoTextWrite;  // mode of b is not written
    EXPECT_EQ(t.write(),
              "main_synth mo version 1\n"
              "{\n"
              "  knobs a version 1\n"
              "  {\n"
              "     gain 0.5\n"
              "     mode 1\n"
              "     cutoff 500\n"
              "     locked 0.25\n"
              "     label none\n"
              "  }\n"
              "  group sub version 1\n"
              "  {\n"
              "    knobs b version 3\n"
              "    {\n"
              "       gain 1\n"
              "       cutoff 500\n"
              "       locked 0.25\n"
              "       label none\n"
              "    }\n"
              "  }\n"
              "}\n");
}

TEST(StateText, TopLevelWriteIsTheGivenModuleOnly) {
    SmallTree t;
    KelTextWriter out;
    module_write_state(t.a, out);  // a's sibling sub is not written
    EXPECT_EQ(out.str(), "knobs a version 1\n{\n   gain 1\n   mode 1\n   cutoff 500\n   locked 0.25\n   label none\n}\n");
}

TEST(StateText, WriteThenReadRestoresEveryValue) {
    SmallTree from;
    from.a->gain.set_value(1.75f);
    from.a->mode.set_value(3);
    from.a->cutoff.set_value(123.5f);
    from.b->gain.set_value(0.125f);
    from.b->label.set_string("soft");
    module_set_protection(from.a, 0);  // let the protected class travel too
    from.a->locked.set_value(0.75f);
    const std::string text = from.write();

    SmallTree to;
    module_set_protection(to.a, 0);
    to.read(text);
    EXPECT_EQ(to.a->gain.value(), 1.75f);
    EXPECT_EQ(to.a->mode.value(), 3.0f);
    EXPECT_EQ(to.a->cutoff.value(), 123.5f);  // a load jumps
    EXPECT_EQ(to.a->locked.value(), 0.75f);
    EXPECT_EQ(to.b->gain.value(), 0.125f);
    EXPECT_EQ(to.b->label.string(), "soft");
    EXPECT_EQ(to.a->changed[kChangedFromText], 5);
    EXPECT_EQ(to.write(), text);
}

TEST(StateText, NonPersistentModulesAreNeitherWrittenNorRead) {
    SmallTree t;
    module_set_persistence(t.sub, 0);
    EXPECT_EQ(t.write().find("sub"), std::string::npos);
    // Its block is skipped whole, nested braces included; the reader then goes on.
    t.read("group sub version 1 { knobs b version 1 { gain 0.1 { x { y } } } }\n"
           "knobs a version 1 { gain 0.3 }\n");
    EXPECT_EQ(t.b->gain.value(), 1.0f);
    EXPECT_EQ(t.a->gain.value(), 0.3f);
}

TEST(StateText, UnknownParametersAndModulesAreSkipped) {
    SmallTree t;
    t.read("main_synth mo version 1 {\n"
           "  knobs a version 1 { colour 7 gain 0.25 shape square mode 2 }\n"
           "  knobs nobody version 1 { gain 0.5 { nested 1 } mode 3 }\n"
           "  group sub version 1 { knobs b version 1 { gain 1.5 } }\n"
           "}\n");
    EXPECT_EQ(t.a->gain.value(), 0.25f);
    EXPECT_EQ(t.a->mode.value(), 2.0f);
    EXPECT_EQ(t.b->gain.value(), 1.5f);
}

TEST(StateText, LoadedVersionFollowsTypeAndVersion) {
    const struct {
        const char* header;
        int own_version, loaded;
    } cases[] = {
        {"knobs a version 2 {", 3, 2},    // older text of the same type
        {"knobs a version 4 {", 3, 3},    // newer than we know: our own
        {"other a version 2 {", 3, 3},    // another type: our own
        {"knobs a {", 3, 1},              // no version: 1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        SmallTree t;
        module_set_version(t.a, c.own_version);
        t.read(std::string(c.header) + " gain 0.5 }");
        EXPECT_EQ(t.a->loaded_version, c.loaded);
        EXPECT_EQ(t.a->gain.value(), 0.5f);
    }
}

TEST(StateText, ReadingIntoAMasterSetsItsThreeClonesAlike) {
    SmallTree t;
    t_knobs* clones[3] = {make_knobs("a"), make_knobs("a"), make_knobs("a")};
    for (t_knobs* c : clones) module_add_clone(t.a, c);
    t.read("knobs a version 1 { gain 0.75 mode 3 cutoff 900 label glass }\n"
           "knobs b version 1 { gain 0.5 }\n");
    for (t_knobs* k : {t.a, clones[0], clones[1], clones[2]}) {
        EXPECT_EQ(k->gain.value(), 0.75f);
        EXPECT_EQ(k->mode.value(), 3.0f);
        EXPECT_EQ(k->cutoff.value(), 900.0f);
        EXPECT_EQ(k->label.string(), "glass");
    }
    EXPECT_EQ(t.b->gain.value(), 0.5f);  // the reader resumed after the block
    for (t_knobs* c : clones) module_free(c);
}

TEST(StateText, LeafReadReportsEveryParameterToTheObserver) {
    SmallTree t;
    CountingObserver obs;
    t.a->observer = &obs;
    t.read("knobs a version 1 { gain 0.5 }");
    EXPECT_EQ(obs.told_count, 4);
    EXPECT_EQ(obs.strings, 1);  // label carries flag 0x40
}

// Which parameters a load sets: the unprotected "gain" and the protected-class "locked",
// in an ordinary module and in a protected one.
TEST(StateText, LoadFilterAndProtectedModules) {
    const struct {
        int protected_module, protection, protected_only;
        bool gain, locked;
    } cases[] = {
        {0, 1, 0, true, false},   // ordinary load: everything but the protected class
        {0, 0, 0, true, true},    // protection off: everything
        {0, 1, 1, false, true},   // protected-only: only the protected class
        {0, 0, 1, false, true},
        {1, 1, 0, false, false},  // a protected module is skipped whole
        {1, 0, 0, true, true},
        {1, 1, 1, true, true},    // protected-only loads all of a protected module
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "protected module " << c.protected_module << " protection "
                                        << c.protection << " protected-only " << c.protected_only);
        SmallTree t;
        module_set_protected_module(t.a, c.protected_module);
        module_set_protection(t.a, c.protection);
        module_set_protected_only(t.a, c.protected_only);
        t.read("knobs a version 1 { gain 0.5 locked 0.5 }");
        EXPECT_EQ(t.a->gain.value() == 0.5f, c.gain);
        EXPECT_EQ(t.a->locked.value() == 0.5f, c.locked);
    }
    SmallTree t;
    t.a->params[0].flags |= kParamNoTextRead;
    t.read("knobs a version 1 { gain 0.5 }");
    EXPECT_EQ(t.a->gain.value(), 1.0f);
}

// Hostile text: every case must end cleanly with the named values as listed. The reader
// is fed by presets, host chunks and exchange files.
TEST(StateText, HostileTextGivesACleanResult) {
    const std::string long_token(100000, 'x');
    std::string deep_braces = "knobs nobody {";
    for (int i = 0; i < 50000; ++i) deep_braces += " {";
    deep_braces += " knobs a { gain 0.5 }";
    std::string binary = "knobs a { gain ";
    for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(i));
    binary += " } knobs a { mode 2 }";
    const std::string nul_inside = std::string("knobs a { gain 0.5\0 mode 3 }", 28);
    const struct {
        std::string what, text;
        float a_gain, a_mode, b_gain;
    } cases[] = {
        {"empty", "", 1, 1, 1},
        {"blanks", " \n\t\r ", 1, 1, 1},
        {"truncated header", "knobs a vers", 1, 1, 1},
        {"truncated after version", "knobs a version", 1, 1, 1},
        {"truncated body", "knobs a version 1 { gain 0.5 mode", 0.5f, 1, 1},
        {"truncated value", "knobs a version 1 { gain", 1, 1, 1},
        {"only closing braces", "} } } }", 1, 1, 1},
        {"stray opening brace", "{ knobs a { gain 0.5 } }", 1, 1, 1},
        {"missing brace", "knobs a version 1 gain 0.5 }", 1, 1, 1},
        {"version not a number", "knobs a version x { gain 0.5 }", 0.5f, 1, 1},
        {"version out of range", "knobs a version 99999999999999 { gain 0.5 }", 0.5f, 1, 1},
        {"unbalanced nested block", "knobs a { gain 0.5 { mode 3 }", 0.5f, 1, 1},
        {"brace as a value", "knobs a { gain { mode 3 } mode 2 }", 1, 2, 1},
        {"unknown type and name", "frobnicator zz9 version 1 { gain 0.5 } knobs b { gain 0.5 }", 1, 1, 0.5f},
        {"unknown module with deep braces", deep_braces, 1, 1, 1},
        {"over-long name", "knobs " + long_token + " version 1 { gain 0.5 } knobs a { gain 0.25 }", 0.25f, 1, 1},
        {"over-long parameter", "knobs a { " + long_token + " 0.5 gain 0.25 }", 0.25f, 1, 1},
        {"over-long value", "knobs a { gain 0.5" + std::string(100000, '0') + " mode 2 }", 0.5f, 2, 1},
        {"not a number", "knobs a { gain loud mode two }", 0, 0, 1},
        {"trailing junk", "knobs a { gain 0.5kg mode 2.6x }", 0.5f, 3, 1},
        {"out of range", "knobs a { gain 1e30 mode -7 }", 2, 0, 1},
        {"float overflow", "knobs a { gain 1e39 }", 1, 1, 1},
        {"double overflow", "knobs a { gain 1e400 mode -1e400 }", 1, 1, 1},
        {"underflow", "knobs a { gain 1e-400 mode 1e-50 }", 0, 0, 1},
        {"nan and inf", "knobs a { gain nan mode inf } knobs b { gain -inf }", 0, 0, 0},
        {"binary junk", binary, 0, 2, 1},  // bytes 0..8 form a value that is no number
        {"nul inside", nul_inside, 0.5f, 3, 1},
        {"block inside a leaf", "knobs a { knobs b { gain 0.5 } gain 0.25 }", 0.25f, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SmallTree t;
        t.read(c.text);
        EXPECT_EQ(t.a->gain.value(), c.a_gain);
        EXPECT_EQ(t.a->mode.value(), c.a_mode);
        EXPECT_EQ(t.b->gain.value(), c.b_gain);
        for (t_knobs* k : {t.a, t.b})
            for (const t_param_entry& e : k->params) EXPECT_TRUE(std::isfinite(e.param->value()));
    }
}

// A block read into a given module ignores the block's name.
TEST(StateText, ReadStateIntoAGivenModule) {
    t_knobs* k = make_knobs("k");
    KelTextReader in("knobs whatever version 1 { gain 0.5 }\n}");
    EXPECT_TRUE(module_read_state(k, in));
    EXPECT_EQ(k->gain.value(), 0.5f);
    EXPECT_FALSE(module_read_state(k, in));  // "}" ends the enclosing block
    EXPECT_FALSE(module_read_state(k, in));  // end of text
    module_free(k);
}
