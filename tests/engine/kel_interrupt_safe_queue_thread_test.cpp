// Several producers against one consumer, with a pool small enough that nodes are
// recycled through the free stack thousands of times while producers race on it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/kel_interrupt_safe_queue.h"

namespace {

struct Stamp {
    int32_t producer;
    int32_t sequence;
};

void run_stress(int producers, uint32_t capacity, int per_producer) {
    KelInterruptSafeQueue<Stamp> q(capacity);
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    std::vector<int> dropped(producers, 0);
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            started.fetch_add(1);
            while (started.load() < producers) std::this_thread::yield();
            for (int s = 0; s < per_producer;) {
                if (q.push(Stamp{p, s})) ++s;
                else {
                    ++dropped[p];  // full: the element was dropped, try it again
                    std::this_thread::yield();
                }
            }
        });

    std::vector<int> expected(producers, 0);
    long received = 0;
    const long total = static_cast<long>(producers) * per_producer;
    Stamp st;
    while (received < total) {
        if (!q.pop(st)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_GE(st.producer, 0);
        ASSERT_LT(st.producer, producers);
        // Per producer: every element exactly once, in push order.
        ASSERT_EQ(st.sequence, expected[st.producer]) << "producer " << st.producer;
        ++expected[st.producer];
        ++received;
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(q.pop(st));
    for (int p = 0; p < producers; ++p) EXPECT_EQ(expected[p], per_producer);
    // Every node came back: the pool accepts exactly its capacity again.
    uint32_t accepted = 0;
    while (q.push(Stamp{0, 0})) ++accepted;
    EXPECT_EQ(accepted, capacity);
}

TEST(KelInterruptSafeQueueThreads, FourProducersTinyPool) { run_stress(4, 8, 20000); }

TEST(KelInterruptSafeQueueThreads, TwoProducersMidiSizedPool) { run_stress(2, 1024, 50000); }

TEST(KelInterruptSafeQueueThreads, ManyRoundsOfShortBursts) {
    for (int round = 0; round < 20; ++round) run_stress(3, 2, 500);
}

// The free-stack race made deterministic: producer A reads the head (node 2, next 1) and
// stalls; meanwhile node 2 is taken, node 1 is taken, and node 2 comes back, so the head
// is node 2 again. A's exchange must fail now: succeeding would make node 1, which still
// holds a queued element, the free head, and the next push would overwrite it.
struct StallOnce {
    static inline std::atomic<bool> armed{false};
    static inline std::atomic<int> stage{0};
    static void before_free_exchange() {
        if (!armed.exchange(false)) return;
        stage.store(1);
        while (stage.load() != 2) std::this_thread::yield();
    }
};

TEST(KelInterruptSafeQueueThreads, FreeStackSurvivesTheAbaInterleaving) {
    KelInterruptSafeQueue<Stamp, StallOnce> q(3);
    StallOnce::stage.store(0);
    StallOnce::armed.store(true);
    std::thread a([&] { EXPECT_TRUE(q.push(Stamp{1, 0})); });
    while (StallOnce::stage.load() != 1) std::this_thread::yield();
    ASSERT_TRUE(q.push(Stamp{0, 0}));  // takes node 2
    ASSERT_TRUE(q.push(Stamp{0, 1}));  // takes node 1
    Stamp st;
    ASSERT_TRUE(q.pop(st));            // node 2 back on top of the free stack
    EXPECT_EQ(st.sequence, 0);
    StallOnce::stage.store(2);
    a.join();
    ASSERT_TRUE(q.push(Stamp{0, 2}));
    std::vector<std::pair<int, int>> got;
    for (int guard = 0; guard < 8 && q.pop(st); ++guard) got.push_back({st.producer, st.sequence});
    const std::vector<std::pair<int, int>> want = {{0, 1}, {1, 0}, {0, 2}};
    EXPECT_EQ(got, want);
}

} // namespace
