// Threads, priorities, critical sections, interlocked operations and the counter.
// (Runs in the thread program, under ThreadSanitizer in that build.)
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "framework/critical_section.h"
#include "framework/interlocked.h"
#include "framework/platform_clock.h"
#include "framework/platform_thread.h"
#include "tests/framework/platform_test_support.h"

namespace {

struct Probe {
    std::atomic<int> calls{0};
    std::atomic<bool> release{false};
    std::atomic<uint64_t> seen_id{0};
    std::atomic<int> nice{0};
    std::atomic<int> policy{-1};
    int value = 0;
};

uint32_t probe_routine(void* user) {
    auto* p = static_cast<Probe*>(user);
    p->calls.fetch_add(1);
    p->seen_id.store(kel_current_thread_id());
    p->nice.store(::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))));
    p->policy.store(::sched_getscheduler(0));
    while (!p->release.load()) kel_sleep_ms(1);
    return static_cast<uint32_t>(p->value * 2);
}

} // namespace

TEST(PlatformThread, RunsRoutineWithArgumentAndHandsBackItsResult) {
    Probe probe;
    probe.value = 21;
    KelPlatformThread thread;
    EXPECT_EQ(thread.wait(), 0u);  // never started: nothing to wait for
    ASSERT_TRUE(thread.start(probe_routine, &probe, kKelPriorityNormal));
    EXPECT_FALSE(thread.start(probe_routine, &probe, kKelPriorityNormal));  // already started
    EXPECT_TRUE(thread.running());
    EXPECT_NE(thread.id(), kel_current_thread_id());
    probe.release.store(true);
    EXPECT_EQ(thread.wait(), 42u);
    EXPECT_EQ(thread.wait(), 42u);  // waiting again answers the same result
    EXPECT_FALSE(thread.running());
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_EQ(probe.seen_id.load(), thread.id());
}

TEST(PlatformThread, BelowNormalRunsNicerThanItsCreator) {
    const int own_nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    Probe probe;
    probe.release.store(true);
    KelPlatformThread thread;
    ASSERT_TRUE(thread.start(probe_routine, &probe, kKelPriorityBelowNormal));
    thread.wait();
    EXPECT_EQ(thread.applied_priority(), kKelPriorityBelowNormal);
    EXPECT_GT(probe.nice.load(), own_nice < 19 ? own_nice : 18);
    EXPECT_EQ(probe.policy.load(), SCHED_OTHER);
}

TEST(PlatformThread, UnknownPriorityMeansNormal) {
    Probe probe;
    probe.release.store(true);
    KelPlatformThread thread;
    ASSERT_TRUE(thread.start(probe_routine, &probe, 7));
    thread.wait();
    EXPECT_EQ(thread.applied_priority(), kKelPriorityNormal);
    EXPECT_EQ(probe.policy.load(), SCHED_OTHER);
}

TEST(PlatformThread, TimeCriticalFallsBackToNormalAndLogsOnce) {
    mellora::test::LogCapture log;
    kel_thread_test_deny_realtime(true);
    for (int i = 0; i < 2; ++i) {
        Probe probe;
        probe.release.store(true);
        KelPlatformThread thread;
        ASSERT_TRUE(thread.start(probe_routine, &probe, kKelPriorityTimeCritical));
        thread.wait();
        EXPECT_EQ(thread.applied_priority(), kKelPriorityNormal);
        EXPECT_EQ(probe.policy.load(), SCHED_OTHER);
    }
    kel_thread_test_deny_realtime(false);
    EXPECT_EQ(log.count_containing("time-critical thread priority is not permitted"), 1);
}

TEST(PlatformThread, TimeCriticalIsRealTimeWhereTheSystemGrantsIt) {
    mellora::test::LogCapture log;
    Probe probe;
    probe.release.store(true);
    KelPlatformThread thread;
    ASSERT_TRUE(thread.start(probe_routine, &probe, kKelPriorityTimeCritical));
    thread.wait();
    if (thread.applied_priority() == kKelPriorityTimeCritical) {
        EXPECT_EQ(probe.policy.load(), SCHED_FIFO);
        EXPECT_EQ(log.count_containing("time-critical"), 0);
    } else {
        EXPECT_EQ(probe.policy.load(), SCHED_OTHER);
    }
}

TEST(PlatformThread, DestroyingAStartedThreadWaitsForIt) {
    Probe probe;
    std::thread releaser;
    {
        KelPlatformThread thread;
        ASSERT_TRUE(thread.start(probe_routine, &probe, kKelPriorityNormal));
        releaser = std::thread([&] {
            kel_sleep_ms(20);
            probe.release.store(true);
        });
    }  // the destructor blocks until the routine has seen the release
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_TRUE(probe.release.load());
    releaser.join();
}

TEST(CriticalSection, OneThreadMayEnterRepeatedlyOthersWait) {
    KelCriticalSection cs;
    cs.enter();
    cs.enter();
    auto other_can_enter = [&] {
        bool entered = false;
        std::thread t([&] {
            entered = cs.try_enter();
            if (entered) cs.leave();
        });
        t.join();
        return entered;
    };
    EXPECT_FALSE(other_can_enter());
    cs.leave();
    EXPECT_FALSE(other_can_enter());  // still held once
    cs.leave();
    EXPECT_TRUE(other_can_enter());
}

TEST(Interlocked, AnswersFollowTheSystemConventions) {
    std::atomic<int32_t> v{5};
    EXPECT_EQ(kel_interlocked_increment(v), 6);           // the new value
    EXPECT_EQ(kel_interlocked_decrement(v), 5);           // the new value
    EXPECT_EQ(kel_interlocked_exchange_add(v, 10), 5);    // the old value
    EXPECT_EQ(kel_interlocked_exchange(v, 3), 15);        // the old value
    EXPECT_EQ(kel_interlocked_compare_exchange(v, 9, 4), 3);  // no match: unchanged
    EXPECT_EQ(v.load(), 3);
    EXPECT_EQ(kel_interlocked_compare_exchange(v, 9, 3), 3);  // match: stored
    EXPECT_EQ(v.load(), 9);
}

TEST(Interlocked, CountersLoseNothingUnderContention) {
    std::atomic<int32_t> count{0};
    std::atomic<int32_t> gate{0};
    int plain = 0;  // guarded by the compare-exchange spin lock below
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                kel_interlocked_increment(count);
                while (kel_interlocked_compare_exchange(gate, 1, 0) != 0) {
                }
                ++plain;
                kel_interlocked_exchange(gate, 0);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(count.load(), 80000);
    EXPECT_EQ(plain, 80000);
}

TEST(PlatformClock, CounterIsMonotonicAndMeasuresASleep) {
    ASSERT_GT(kel_counter_frequency(), 1000000);  // at least microsecond resolution
    const int64_t a = kel_counter_now();
    kel_sleep_ms(20);
    const int64_t b = kel_counter_now();
    EXPECT_GE(kel_counter_microseconds(a, b), 20000.0);
    EXPECT_LT(kel_counter_microseconds(a, b), 2000000.0);
    EXPECT_GT(kel_double_click_time_ms(), 0);
}
