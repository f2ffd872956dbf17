// The framework's thread object and mutex across threads. (ThreadSanitizer program.)
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "framework/kel_mutex.h"
#include "framework/kel_thread.h"

namespace {

struct Job {
    std::atomic<bool> release{false};
    std::atomic<KelThread*> seen_current{nullptr};
    KelThread* self = nullptr;
};

uint32_t job_routine(void* user) {
    auto* j = static_cast<Job*>(user);
    j->seen_current.store(KelThread::current());
    while (!j->release.load()) kel_sleep_ms(1);
    return 7;
}

} // namespace

TEST(KelThreadThreads, StartRunWaitAndFindTheCurrentThread) {
    const int before = KelThread::started_count();
    Job job;
    {
        KelThread t;
        job.self = &t;
        EXPECT_FALSE(t.running());
        ASSERT_TRUE(t.start(job_routine, &job, kKelPriorityBelowNormal));
        EXPECT_FALSE(t.start(job_routine, &job, kKelPriorityNormal));  // already started
        EXPECT_TRUE(t.running());
        EXPECT_EQ(KelThread::started_count(), before + 1);
        while (!job.seen_current.load()) kel_sleep_ms(1);
        EXPECT_EQ(job.seen_current.load(), &t);
        EXPECT_EQ(KelThread::current(), nullptr);  // the test's thread has no object
        job.release.store(true);
        EXPECT_EQ(t.wait(), 7u);
        EXPECT_FALSE(t.running());
        EXPECT_EQ(t.result(), 7u);
        EXPECT_EQ(t.wait(), 7u);
    }
    EXPECT_EQ(KelThread::started_count(), before);
}

TEST(KelThreadThreads, WrappingObjectStandsForTheCallingThread) {
    KelThread ui(KelThread::Kind::WrapsCallingThread);
    ASSERT_TRUE(ui.start(nullptr, nullptr, kKelPriorityNormal));
    EXPECT_TRUE(ui.running());
    EXPECT_EQ(ui.thread_id(), kel_current_thread_id());
    EXPECT_EQ(KelThread::current(), &ui);
    EXPECT_EQ(ui.wait(), 0u);  // returns at once: it would wait for itself
    EXPECT_FALSE(ui.start(nullptr, nullptr, kKelPriorityNormal));
}

TEST(KelThreadThreads, DestroyingARunningThreadWaitsForItsRoutine) {
    Job job;
    auto t = std::make_unique<KelThread>();
    ASSERT_TRUE(t->start(job_routine, &job, kKelPriorityNormal));
    std::thread releaser([&] {
        kel_sleep_ms(20);
        job.release.store(true);
    });
    t.reset();  // must not return before the routine has ended
    EXPECT_TRUE(job.release.load());
    releaser.join();
}

TEST(KelMutexThreads, FiniteTimeoutNeitherLocksNorWaits) {
    KelAutoInitMutex m;
    ASSERT_TRUE(m.lock());
    std::atomic<bool> got_finite{true}, got_infinite{false};
    std::thread other([&] {
        got_finite.store(m.lock(1000));  // held by the test: answers false at once
        got_infinite.store(m.lock());    // waits until the test unlocks
        m.unlock();
    });
    kel_sleep_ms(20);
    EXPECT_FALSE(got_finite.load());
    EXPECT_FALSE(got_infinite.load());
    m.unlock();
    other.join();
    EXPECT_TRUE(got_infinite.load());

    // A finite timeout on a free mutex takes nothing either: another thread still gets it.
    EXPECT_FALSE(m.lock(0));
    std::thread free_check([&] {
        EXPECT_TRUE(m.lock());
        m.unlock();
    });
    free_check.join();
}
