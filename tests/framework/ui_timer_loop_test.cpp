// Timers delivered by pumping the loop, driven by a manual clock.
#include <gtest/gtest.h>

#include <vector>

#include "framework/ui_timer_loop.h"

namespace {

struct Recorder {
    KelUiTimerLoop* loop = nullptr;
    std::vector<uint32_t> ticks;
    uint32_t stop_on_tick = 0;   // a timer this routine stops when it runs
    bool start_one = false;      // starts a new 10 ms timer when it runs
    uint32_t started = 0;
};

void record(void* user, uint32_t id) {
    auto* r = static_cast<Recorder*>(user);
    r->ticks.push_back(id);
    if (r->stop_on_tick) r->loop->stop(r->stop_on_tick);
    if (r->start_one) {
        r->start_one = false;
        r->started = r->loop->start(10, record, r);
    }
}

struct UiTimerLoopTest : ::testing::Test {
    KelManualUiClock clock;
    KelUiTimerLoop loop{clock};
    Recorder rec;
    void SetUp() override { rec.loop = &loop; }
};

} // namespace

TEST_F(UiTimerLoopTest, TicksAtItsPeriodOnlyWhenPumped) {
    const uint32_t id = loop.start(100, record, &rec);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(loop.ms_until_next(), 100);
    clock.advance(99);
    EXPECT_EQ(loop.pump(), 0);
    clock.advance(1);
    EXPECT_TRUE(rec.ticks.empty());  // due, but nothing runs until the loop is pumped
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(loop.pump(), 0);  // one tick per period
    clock.advance(100);
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(rec.ticks, (std::vector<uint32_t>{id, id}));
}

TEST_F(UiTimerLoopTest, ALatePumpGivesOneTickAndRestartsThePeriod) {
    loop.start(10, record, &rec);
    clock.advance(1000);  // a host that stalled for a second
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(loop.ms_until_next(), 10);
}

TEST_F(UiTimerLoopTest, RoutinesMayStopThemselvesOrOthersDuringAPump) {
    const uint32_t a = loop.start(10, record, &rec);
    const uint32_t b = loop.start(10, record, &rec);
    rec.stop_on_tick = b;  // a runs first and stops b, which was due in the same pump
    clock.advance(10);
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(rec.ticks, std::vector<uint32_t>{a});
    EXPECT_FALSE(loop.is_running(b));

    rec.stop_on_tick = a;  // now a stops itself
    clock.advance(10);
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(loop.timer_count(), 0);
    EXPECT_EQ(loop.ms_until_next(), -1);
    EXPECT_FALSE(loop.stop(a));
}

TEST_F(UiTimerLoopTest, ATimerStartedByARoutineWaitsAFullPeriod) {
    rec.start_one = true;
    const uint32_t first = loop.start(10, record, &rec);
    clock.advance(10);
    EXPECT_EQ(loop.pump(), 1);
    ASSERT_NE(rec.started, 0u);
    EXPECT_NE(rec.started, first);
    EXPECT_EQ(loop.pump(), 0);
    clock.advance(10);
    EXPECT_EQ(loop.pump(), 2);
}

TEST_F(UiTimerLoopTest, NewPeriodCountsFromTheChange) {
    const uint32_t id = loop.start(500, record, &rec);
    clock.advance(400);
    ASSERT_TRUE(loop.set_period(id, 33));  // the responsiveness setting changed
    EXPECT_EQ(loop.ms_until_next(), 33);
    clock.advance(33);
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_FALSE(loop.set_period(id + 100, 10));
    EXPECT_EQ(loop.start(10, nullptr, &rec), 0u);  // no routine, no timer
}

TEST(UiTimerLoopSteady, WaitAndPumpSleepsUntilTheTickIsDue) {
    KelSteadyUiClock clock;
    KelUiTimerLoop loop(clock);
    Recorder rec;
    rec.loop = &loop;
    loop.start(15, record, &rec);
    const int64_t start = clock.now_ms();
    int delivered = 0;
    while (delivered == 0 && clock.now_ms() - start < 2000) delivered = loop.wait_and_pump(100);
    EXPECT_EQ(delivered, 1);
    EXPECT_GE(clock.now_ms() - start, 15);
}
