// The split GUI queue across threads: attaching while deliveries run, and the drop of
// writes that meet an attach in progress. (ThreadSanitizer program.)
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "framework/kel_split_gui_queue.h"
#include "framework/platform_thread.h"

namespace {

// Holds the first delivery it sees until released.
class Blocker : public KelObserver {
public:
    void receive(const KelMsg&) override {
        if (held_.exchange(true)) return;
        inside.store(true);
        while (!release.load()) kel_sleep_ms(1);
    }
    std::atomic<bool> inside{false}, release{false};

private:
    std::atomic<bool> held_{false};
};

std::vector<int> drain(KelSplitGuiQueueReader& r) {
    std::vector<int> values;
    t_message m;
    while (r.pop(m)) values.push_back(m.value.i);
    return values;
}

} // namespace

TEST(KelSplitGuiQueueThreads, WritesDuringAnAttachAreDropped) {
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader first, second;
    Blocker blocker;
    first.attach_to(&writer);
    writer.attach(&blocker);

    std::thread slow([&] { writer.push_int(1, 1, 1); });  // held inside its delivery
    while (!blocker.inside.load()) kel_sleep_ms(1);
    std::thread attacher([&] { second.attach_to(&writer); });
    while (writer.mutes() == 0) kel_sleep_ms(1);
    writer.push_int(1, 1, 2);  // meets the attach: dropped for everyone
    blocker.release.store(true);
    slow.join();
    attacher.join();
    writer.push_int(1, 1, 3);
    writer.detach(&blocker);

    EXPECT_EQ(drain(first), (std::vector<int>{1, 3}));
    EXPECT_EQ(drain(second), (std::vector<int>{3}));
    EXPECT_EQ(writer.mutes(), 0);
    EXPECT_EQ(writer.deliveries(), 0);
}

TEST(KelSplitGuiQueueThreads, ReadersComeAndGoWhileAProducerWrites) {
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader steady;
    steady.attach_to(&writer);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        for (int i = 0; !stop.load(); ++i) {
            if (i % 16 == 0)
                writer.push_string(2, 1, "name");
            else
                writer.push_int(1, 1, i);
            if (i % 64 == 0) kel_sleep_ms(0);
        }
    });
    for (int round = 0; round < 20; ++round) {
        auto r = std::make_unique<KelSplitGuiQueueReader>();
        r->attach_to(&writer);
        kel_sleep_ms(1);
        r.reset();  // detaches and frees what it still holds
        t_message m;
        int last = -1;
        while (steady.pop(m)) {
            if (m.kind == kGuiMessageString) {
                EXPECT_EQ(*m.value.s, "name");
                kel_gui_message_release(m);
                continue;
            }
            EXPECT_GT(m.value.i, last);  // one producer: its order is kept
            last = m.value.i;
        }
    }
    stop.store(true);
    producer.join();
    t_message m;
    while (steady.pop(m)) kel_gui_message_release(m);
}
