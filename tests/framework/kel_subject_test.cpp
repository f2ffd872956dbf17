// Subjects and observers: attachment, delivery order, death notices, and receivers that
// change the lists while a notification runs.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/kel_messages.h"
#include "framework/kel_subject.h"

namespace {

struct Ping : KelMsg {
    int n = 0;
};

class Recorder : public KelObserver {
public:
    Recorder(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
    void receive(const KelMsg& m) override {
        if (auto* died = dynamic_cast<const KelSubjectDiedMsg*>(&m)) {
            // The subject is still attached while its death is told.
            log_->push_back(name_ + (died->subject->is_attached(this) ? ":died-attached" : ":died-detached"));
        } else if (dynamic_cast<const Ping*>(&m)) {
            log_->push_back(name_);
        }
        if (on_receive) on_receive();
    }
    std::function<void()> on_receive;

private:
    std::string name_;
    std::vector<std::string>* log_;
};

} // namespace

TEST(KelSubject, DeliversInAttachmentOrderOnceEvenWhenAttachedTwice) {
    std::vector<std::string> log;
    KelSubject s;
    Recorder a("a", &log), b("b", &log);
    s.attach(&b);
    s.attach(&a);
    s.attach(&b);
    EXPECT_EQ(s.observer_count(), 2u);
    EXPECT_EQ(b.subjects().size(), 1u);
    s.notify(Ping{});
    EXPECT_EQ(log, (std::vector<std::string>{"b", "a"}));
}

TEST(KelSubject, DisabledSubjectAndInactiveObserverReceiveNothing) {
    std::vector<std::string> log;
    KelSubject s;
    Recorder a("a", &log), b("b", &log);
    s.attach(&a);
    s.attach(&b);
    b.set_active(false);
    s.notify(Ping{});
    EXPECT_EQ(log, (std::vector<std::string>{"a"}));
    s.set_enabled(false);
    s.notify(Ping{});
    EXPECT_EQ(log.size(), 1u);
}

TEST(KelSubject, DestructionTellsEveryObserverBeforeDetachingIt) {
    std::vector<std::string> log;
    Recorder a("a", &log), b("b", &log);
    {
        KelSubject s;
        s.attach(&a);
        s.attach(&b);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"a:died-attached", "b:died-attached"}));
    EXPECT_TRUE(a.subjects().empty());
    EXPECT_TRUE(b.subjects().empty());
}

TEST(KelSubject, DeathIsToldEvenWhenDisabledOrInactive) {
    std::vector<std::string> log;
    Recorder a("a", &log);
    {
        KelSubject s;
        s.attach(&a);
        a.set_active(false);
        s.set_enabled(false);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"a:died-attached"}));
    EXPECT_TRUE(a.subjects().empty());
}

TEST(KelSubject, DestroyedObserverLeavesNoEntryInItsSubjects) {
    std::vector<std::string> log;
    KelSubject s1, s2;
    Recorder keep("keep", &log);
    s1.attach(&keep);
    {
        Recorder gone("gone", &log);
        s1.attach(&gone);
        s2.attach(&gone);
    }
    EXPECT_EQ(s1.observer_count(), 1u);
    EXPECT_EQ(s2.observer_count(), 0u);
    s1.notify(Ping{});
    s2.notify(Ping{});
    EXPECT_EQ(log, (std::vector<std::string>{"keep"}));
}

TEST(KelSubject, ReceiversMayDetachOrDestroyObserversDuringANotification) {
    std::vector<std::string> log;
    KelSubject s;
    Recorder a("a", &log);
    auto b = std::make_unique<Recorder>("b", &log);
    auto c = std::make_unique<Recorder>("c", &log);
    Recorder d("d", &log);
    s.attach(&a);
    s.attach(b.get());
    s.attach(c.get());
    s.attach(&d);
    // a destroys c (a later entry), b detaches itself, d attaches a newcomer.
    Recorder newcomer("new", &log);
    a.on_receive = [&] { c.reset(); };
    b->on_receive = [&] { s.detach(b.get()); };
    d.on_receive = [&] { s.attach(&newcomer); };
    s.notify(Ping{});
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "d"}));
    EXPECT_EQ(s.observer_count(), 3u);  // a, d, newcomer
    log.clear();
    a.on_receive = nullptr;
    d.on_receive = nullptr;
    s.notify(Ping{});
    EXPECT_EQ(log, (std::vector<std::string>{"a", "d", "new"}));
    b.reset();  // no longer attached: nothing to detach
}

TEST(KelSubject, ObserverDestroyedOnItsDeathNoticeDoesNotCrashTheSubject) {
    std::vector<std::string> log;
    auto a = std::make_unique<Recorder>("a", &log);
    Recorder b("b", &log);
    {
        KelSubject s;
        s.attach(a.get());
        s.attach(&b);
        b.on_receive = [&] { a.reset(); };
    }
    EXPECT_EQ(log, (std::vector<std::string>{"a:died-attached", "b:died-attached"}));
    EXPECT_TRUE(b.subjects().empty());
}

TEST(KelSubject, NestedNotificationFromAReceiverReachesEveryone) {
    std::vector<std::string> log;
    KelSubject s;
    Recorder a("a", &log), b("b", &log);
    s.attach(&a);
    s.attach(&b);
    bool once = true;
    a.on_receive = [&] {
        if (once) {
            once = false;
            s.detach(&b);
            s.notify(Ping{});  // b is blanked, not yet swept
        }
    };
    s.notify(Ping{});
    EXPECT_EQ(log, (std::vector<std::string>{"a", "a"}));
    EXPECT_EQ(s.observer_count(), 1u);
}

TEST(KelMessages, CarryTheirPayload) {
    const KelMidiChannelChangedMsg channel(0);
    const PrepatchedPresetModifyMsg modify("Warm");
    const KelMsg& m = modify;
    EXPECT_EQ(channel.channel, 0);
    ASSERT_NE(dynamic_cast<const PrepatchedPresetModifyMsg*>(&m), nullptr);
    EXPECT_EQ(dynamic_cast<const PrepatchedPresetModifyMsg*>(&m)->name, "Warm");
    EXPECT_EQ(dynamic_cast<const KelPolyphonyChangedMsg*>(&m), nullptr);
}
