#include <gtest/gtest.h>

#include "engine/report.h"
#include "synth_links_fixture.h"

namespace {
using namespace links_test;

struct LinkTable : ::testing::Test {
    LinkSynth s;
    indirection_tables* t() { return s.synth.tables(); }
    t_module* fork0() { return s.leaves[0]; }
};

TEST_F(LinkTable, MappingOfPlainAndInvertedRanges) {
    const struct { float min, max; int value; float want; } cases[] = {
        {0.2f, 0.8f, 0, 25.4f},  {0.2f, 0.8f, 127, 101.6f}, {0.8f, 0.2f, 0, 101.3f},
        {0.8f, 0.2f, 127, 25.1f}, {0.0f, 1.0f, 64, 64.0f},
    };
    for (const auto& c : cases) {
        indirection_tables_clear_links(t());
        ASSERT_EQ(indirection_tables_add_link(t(), fork0(), 1, 2, 7, c.min, c.max), 1);
        const midi_link* l = indirection_tables_links_at(t(), 1, 7);
        ASSERT_NE(l, nullptr);
        EXPECT_NEAR(midi_link_position(*l, c.value), c.want, 1e-4) << c.min << " " << c.max << " " << c.value;
    }
}

TEST_F(LinkTable, BadRequestsAreRefusedWithoutChange) {
    const int errors = kel_error_count();
    EXPECT_EQ(indirection_tables_add_link(t(), fork0(), 1, 1, 130, 0, 1), 0);
    EXPECT_EQ(indirection_tables_add_link(t(), fork0(), 1, 0, 7, 0, 1), 0);
    EXPECT_EQ(indirection_tables_add_link(t(), fork0(), 1, 18, 7, 0, 1), 0);
    EXPECT_EQ(indirection_tables_add_link(t(), nullptr, 1, 1, 7, 0, 1), 0);
    EXPECT_EQ(kel_error_count(), errors + 4);
    EXPECT_FALSE(indirection_tables_has_link(t(), fork0(), 1));
    midi_link_export out;
    indirection_tables_export(t(), out);
    EXPECT_TRUE(out.param_ids.empty());
    EXPECT_EQ(indirection_tables_remove_link(t(), fork0(), 1, 0, 7), 0);
}

TEST_F(LinkTable, SetMinAndMax) {
    indirection_tables_add_link(t(), fork0(), 1, 1, 7, 0, 1);
    indirection_tables_add_link(t(), fork0(), 1, 3, 9, 0, 1);
    indirection_tables_set_max(t(), fork0(), 1, 1.0f);  // 1.01 clamped to 1
    const midi_link* l = indirection_tables_links_at(t(), 0, 7);
    EXPECT_NEAR(l->scale, 1.0f + 0.4f / 127.0f, 1e-6);
    indirection_tables_clear_links(t());

    indirection_tables_add_link(t(), fork0(), 1, 1, 7, 0, 1);
    indirection_tables_set_min(t(), fork0(), 1, 0.5f);
    l = indirection_tables_links_at(t(), 0, 7);
    EXPECT_NEAR(l->offset, 63.9f, 1e-4);
    EXPECT_NEAR(l->offset / 127.0f + l->scale, 1.0f, 0.004f);  // upper end kept
    indirection_tables_set_min(t(), fork0(), 1, 2.0f);  // clamped to 1
    EXPECT_NEAR(l->offset, 127.4f, 1e-4);
}

TEST_F(LinkTable, ListsAreNewestFirstAndRemovalTakesTheFirstMatch) {
    indirection_tables_add_link(t(), fork0(), 1, 1, 7, 0, 1);
    indirection_tables_add_link(t(), s.leaves[1], 1, 1, 7, 0, 1);
    indirection_tables_add_link(t(), fork0(), 1, 17, 7, 0.25f, 0.5f);
    EXPECT_EQ(indirection_tables_links_at(t(), 0, 7)->module, s.leaves[1]);
    EXPECT_EQ(indirection_tables_remove_link(t(), fork0(), 1, 1, 7), 1);
    EXPECT_EQ(indirection_tables_remove_link(t(), fork0(), 1, 1, 7), 0);
    EXPECT_TRUE(indirection_tables_has_link(t(), fork0(), 1));  // the channel-17 link

    EXPECT_EQ(indirection_tables_replace_link(t(), fork0(), 17, 7, 1, 1, 74, 5, 0.0f, 1.0f), 1);
    EXPECT_EQ(indirection_tables_links_at(t(), 16, 7), nullptr);
    ASSERT_NE(indirection_tables_links_at(t(), 4, 74), nullptr);
    EXPECT_EQ(indirection_tables_remove_all_links(t(), fork0(), 1, nullptr), 1);
    EXPECT_FALSE(indirection_tables_has_link(t(), fork0(), 1));
    EXPECT_TRUE(indirection_tables_has_link(t(), s.leaves[1], 1));
}

TEST_F(LinkTable, ExportGivesPathsAndRanges) {
    indirection_tables_add_link(t(), fork0(), 1, 17, 129, 0.25f, 0.75f);
    indirection_tables_add_link(t(), s.leaves[2], 1, 2, 1, 0.0f, 1.0f);
    midi_link_export out;
    indirection_tables_export(t(), out);
    ASSERT_EQ(out.param_ids.size(), 2u);
    EXPECT_EQ(out.channels[0], 2);  // channel rows in order
    EXPECT_EQ(out.paths[0], (std::vector<std::string>{"Clock", "mo"}));
    EXPECT_EQ(out.type_names[1], "test_leaf");
    EXPECT_EQ(out.channels[1], 17);
    EXPECT_EQ(out.controllers[1], 129);
    EXPECT_NEAR(out.mins[1], 0.25f, 1e-6);
    EXPECT_NEAR(out.maxs[1], 0.75f, 1e-6);
}

TEST_F(LinkTable, ResolvePath) {
    using P = std::vector<std::string>;
    EXPECT_EQ(indirection_tables_resolve_path(P{"mo", "fork0"}, s.root), fork0());
    EXPECT_EQ(indirection_tables_resolve_path(P{"Volume"}, s.root), s.leaves[1]);
    EXPECT_EQ(indirection_tables_resolve_path(P{"mo"}, s.root), nullptr);  // the root has children
    EXPECT_EQ(indirection_tables_resolve_path(P{}, s.root), nullptr);
    EXPECT_EQ(indirection_tables_resolve_path(P{"mo", "fork9"}, s.root), nullptr);
    EXPECT_EQ(indirection_tables_resolve_path(P{"mo", "fork0", "deeper"}, s.root), nullptr);
}

TEST_F(LinkTable, ModuleIdBeyondTheTableIsWarnedAndUnreachable) {
    t_module* m = module_alloc<t_module>(0, 0);
    indirection_tables_register(t(), m, 4096);
    EXPECT_EQ(indirection_tables_module(t(), 4096), nullptr);
    t_message msg = make_int_message(4096, 1, 5);
    EXPECT_EQ(indirection_tables_dispatch(t(), &msg), 0);
    module_free(m);
}

TEST_F(LinkTable, FullPoolRefusesAndClearRefillsIt) {
    int added = 0;
    while (indirection_tables_try_add_link(t(), fork0(), 1, 1 + added % 16, added % 128, 0, 1)) ++added;
    EXPECT_EQ(added, indirection_tables::kLinkPoolSize);
    const int errors = kel_error_count();
    EXPECT_EQ(indirection_tables_add_link(t(), fork0(), 1, 1, 1, 0, 1), 0);
    EXPECT_EQ(kel_error_count(), errors + 1);
    indirection_tables_clear_links(t());
    EXPECT_FALSE(indirection_tables_has_link(t(), fork0(), 1));
    EXPECT_EQ(indirection_tables_add_link(t(), fork0(), 1, 1, 1, 0, 1), 1);
}

} // namespace
