// Joining slots and giving nets their buffers.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/modular.h"
#include "engine/report.h"
#include "tests/engine/test_modules.h"

using namespace mellora::test;

namespace {

std::string g_log;
void capture(const char* line) { g_log += line; }

// Captures the engine's reports for the lifetime of the guard.
struct LogCapture {
    LogCapture() {
        g_log.clear();
        kel_set_log_sink(capture);
    }
    ~LogCapture() { kel_set_log_sink(nullptr); }
};

struct ShopDeleter {
    void operator()(wire_shop* s) const { wire_shop_free(s); }
};
struct TreeDeleter {
    void operator()(t_module* m) const { module_free(m); }
};
using Shop = std::unique_ptr<wire_shop, ShopDeleter>;
using Tree = std::unique_ptr<t_module, TreeDeleter>;

// A root group holding the given leaves, in order.
Tree group_of(std::initializer_list<t_module*> leaves) {
    Tree root(make_group("root"));
    for (t_module* m : leaves) module_add_child(root.get(), m);
    return root;
}

} // namespace

TEST(Wires, OutOfRangeNumbersAreRefusedSilentlyAndChangeNothing) {
    t_source* a = make_source("a", 1, 2);
    t_sink* b = make_sink("b", 2);
    Tree root = group_of({a, b});
    LogCapture log;
    const int errors = kel_error_count();
    const struct { int out, in; } cases[] = {{3, 1}, {0, 1}, {-1, 1}, {1, 3}, {1, 0}, {2, 99}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << "output " << c.out << " input " << c.in);
        EXPECT_EQ(module_connect(a, c.out, b, c.in), -1);
    }
    EXPECT_EQ(kel_error_count(), errors);
    EXPECT_EQ(g_log, "");
    for (const t_slot& s : a->outputs) {
        EXPECT_EQ(s.state, kSlotBin);
        EXPECT_EQ(s.net_head, &s);
        EXPECT_EQ(s.net_next, nullptr);
    }
    for (const t_slot& s : b->inputs) {
        EXPECT_EQ(s.state, kSlotNull);
        EXPECT_EQ(s.net_head, &s);
        EXPECT_EQ(s.net_next, nullptr);
    }
}

TEST(Wires, OneOutputFeedsThreeInputsThroughOneBuffer) {
    t_source* src = make_source("src", 0.5f);
    t_sink* s1 = make_sink("s1");
    t_sink* s2 = make_sink("s2");
    t_sink* s3 = make_sink("s3", 2);
    Tree root = group_of({src, s1, s2, s3});
    ASSERT_EQ(module_connect(src, 1, s1, 1), 1);
    ASSERT_EQ(module_connect(src, 1, s2, 1), 1);
    ASSERT_EQ(module_connect(src, 1, s3, 2), 1);
    EXPECT_EQ(src->outputs[0].state, kSlotSending);
    Shop shop(wire_shop_create(1024));
    ASSERT_TRUE(wire_shop_assign_buffers(shop.get(), root.get()));
    float* net = module_output(src, 1);
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(module_input(s1, 1), net);
    EXPECT_EQ(module_input(s2, 1), net);
    EXPECT_EQ(module_input(s3, 2), net);
    EXPECT_EQ(shop->made.size(), 1u);
    EXPECT_NE(net, shop->zero->samples.get());
    EXPECT_NE(net, shop->discard->samples.get());
}

TEST(Wires, AnInputFedTwiceIsRefusedWithAnError) {
    t_source* a = make_source("a", 1);
    t_source* b = make_source("b", 2);
    t_sink* s = make_sink("s");
    Tree root = group_of({a, b, s});
    ASSERT_EQ(module_connect(a, 1, s, 1), 1);
    LogCapture log;
    const int errors = kel_error_count();
    // b's output is fresh (a bin slot); a's output already sends: both rows of the join table refuse.
    EXPECT_EQ(module_connect(b, 1, s, 1), -1);
    EXPECT_EQ(module_connect(a, 1, s, 1), -1);
    EXPECT_EQ(kel_error_count(), errors + 2);
    EXPECT_NE(g_log.find("wires("), std::string::npos) << g_log;
    EXPECT_NE(g_log.find(") : <error> can't connect output 1 to slot 1 :\n slot 1 already recive signal \n"),
              std::string::npos) << g_log;
    EXPECT_NE(g_log.find("<error> can't connect out 1 to input 1:\nslot 1 already recives signal \n"),
              std::string::npos) << g_log;
    // The refused join left the first net alone.
    EXPECT_EQ(b->outputs[0].state, kSlotBin);
    Shop shop(wire_shop_create(1024));
    ASSERT_TRUE(wire_shop_assign_buffers(shop.get(), root.get()));
    EXPECT_EQ(module_input(s, 1), module_output(a, 1));
    EXPECT_EQ(module_output(b, 1), shop->discard->samples.get());
}

TEST(Wires, UnconnectedSlotsShareTheZeroAndDiscardBuffers) {
    t_source* a = make_source("a", 1, 2);
    t_source* b = make_source("b", 1);
    t_sink* s = make_sink("s", 3);
    Tree root = group_of({a, b, s});
    EXPECT_EQ(module_input(s, 1), nullptr);  // before buffers are assigned
    Shop shop(wire_shop_create(1024));
    ASSERT_TRUE(wire_shop_assign_buffers(shop.get(), root.get()));
    EXPECT_TRUE(shop->made.empty());
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(module_input(s, i), shop->zero->samples.get());
    EXPECT_EQ(module_output(a, 1), shop->discard->samples.get());
    EXPECT_EQ(module_output(a, 2), shop->discard->samples.get());
    EXPECT_EQ(module_output(b, 1), shop->discard->samples.get());
    EXPECT_EQ(module_input(s, 0), nullptr);
    EXPECT_EQ(module_input(s, 4), nullptr);
    EXPECT_EQ(module_output(a, 3), nullptr);
}

// A composite's inlet shares the outer input's buffer with the child input behind it,
// whichever side is wired first; its outlet shares the inner output's buffer. (The join
// table refuses a fresh output joined to an outlet that already drives a net, so an
// outlet is joined inside before it is wired outside.)
TEST(Wires, CompositeInletsAndOutletsShareOneBuffer) {
    for (bool inlet_inner_first : {false, true}) {
        SCOPED_TRACE(inlet_inner_first ? "inlet joined inside first" : "inlet joined outside first");
        t_source* outer_src = make_source("outer_src", 0.25f);
        t_module* box = make_group("box", 1, 1);
        t_sink* inner_sink = make_sink("inner_sink");
        t_source* inner_src = make_source("inner_src", 0.75f);
        t_sink* outer_sink = make_sink("outer_sink");
        module_add_child(box, inner_sink);
        module_add_child(box, inner_src);
        Tree root = group_of({outer_src, box, outer_sink});
        auto outside = [&] { EXPECT_EQ(module_connect(outer_src, 1, box, 1), 1); };
        auto inside = [&] { EXPECT_EQ(module_connect(box, 1, inner_sink, 1), 1); };  // inlet 1 to a child input
        if (inlet_inner_first) inside(), outside();
        else outside(), inside();
        EXPECT_EQ(module_connect(inner_src, 1, box, 1), 1);  // a child output to outlet 1
        EXPECT_EQ(module_connect(box, 1, outer_sink, 1), 1);
        Shop shop(wire_shop_create(1024));
        ASSERT_TRUE(wire_shop_assign_buffers(shop.get(), root.get()));
        EXPECT_EQ(shop->made.size(), 2u);
        EXPECT_EQ(module_input(box, 1), module_output(outer_src, 1));
        EXPECT_EQ(module_input(inner_sink, 1), module_output(outer_src, 1));
        EXPECT_EQ(module_output(box, 1), module_output(inner_src, 1));
        EXPECT_EQ(module_input(outer_sink, 1), module_output(inner_src, 1));
        EXPECT_NE(module_output(inner_src, 1), module_output(outer_src, 1));
    }
}

TEST(Wires, ClearingZeroesNetsAndTheirEvents) {
    t_source* a = make_source("a", 1);
    t_sink* s = make_sink("s");
    Tree root = group_of({a, s});
    ASSERT_EQ(module_connect(a, 1, s, 1), 1);
    Shop shop(wire_shop_create(1024));
    ASSERT_TRUE(wire_shop_assign_buffers(shop.get(), root.get()));
    a->process(a, 1024);
    t_xbuffer* net = shop->made.at(0).get();
    net->events.insert(10, 0x90, 60, 100);
    net->events.insert(700, 0x80, 60, 0);
    wire_shop_advance_events(shop.get(), 500);
    ASSERT_EQ(net->events.size(), 1);
    EXPECT_EQ(net->events[0].offset, 200u);
    wire_shop_clear_buffers(shop.get());
    EXPECT_TRUE(net->events.empty());
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(module_input(s, 1)[i], 0.0f);
}
