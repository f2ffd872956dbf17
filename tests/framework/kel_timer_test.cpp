// The shared timer over a headless timer loop driven by a manual clock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/kel_timer.h"
#include "framework/ui_timer_loop.h"

namespace {

class Client : public KelTimerClient {
public:
    Client(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
    void timer_call(KelTimerCallback&) override {
        log_->push_back(name_);
        if (action) action();
    }
    std::function<void()> action;

private:
    std::string name_;
    std::vector<std::string>* log_;
};

struct Fixture {
    KelManualUiClock clock;
    KelUiTimerLoop loop{clock};
    std::vector<std::string> log;
    void tick(int ms) {
        clock.advance(ms);
        loop.pump();
    }
};

} // namespace

TEST(KelTimerCallback, RunsOnlyWhileItHasClientsAndCallsThemInOrder) {
    Fixture f;
    KelTimerCallback timer(50, f.loop);
    Client a("a", &f.log), b("b", &f.log);
    EXPECT_FALSE(timer.running());
    timer.add_client(&a);
    timer.add_client(&b);
    timer.add_client(&a);  // already there
    EXPECT_TRUE(timer.running());
    f.tick(49);
    EXPECT_TRUE(f.log.empty());
    f.tick(1);
    EXPECT_EQ(f.log, (std::vector<std::string>{"a", "b"}));

    timer.remove_client(&a);
    timer.remove_client(&b);
    EXPECT_TRUE(timer.running());  // the entries go at the next tick
    f.tick(50);
    EXPECT_EQ(f.log.size(), 2u);
    EXPECT_FALSE(timer.running());
    EXPECT_EQ(f.loop.timer_count(), 0);

    timer.add_client(&b);  // starts it again
    f.tick(50);
    EXPECT_EQ(f.log.back(), "b");
}

TEST(KelTimerCallback, ClientRemovedDuringATickIsNotCalledAndCanBeRevived) {
    Fixture f;
    KelTimerCallback timer(10, f.loop);
    Client a("a", &f.log), b("b", &f.log), c("c", &f.log);
    timer.add_client(&a);
    timer.add_client(&b);
    timer.add_client(&c);
    a.action = [&] { timer.remove_client(&b); };
    c.action = [&] { timer.remove_client(&c); };  // itself
    f.tick(10);
    EXPECT_EQ(f.log, (std::vector<std::string>{"a", "c"}));
    a.action = nullptr;
    timer.add_client(&b);  // revived
    f.tick(10);
    EXPECT_EQ(f.log, (std::vector<std::string>{"a", "c", "a", "b"}));
    EXPECT_EQ(timer.client_count(), 2);
}

TEST(KelTimerCallback, PeriodChangeAndStopDuringATick) {
    Fixture f;
    KelTimerCallback timer(100, f.loop);
    Client a("a", &f.log), b("b", &f.log);
    timer.add_client(&a);
    timer.add_client(&b);
    timer.set_period(20);
    EXPECT_EQ(f.loop.ms_until_next(), 20);
    a.action = [&] { timer.stop(); };
    f.tick(20);
    EXPECT_EQ(f.log, (std::vector<std::string>{"a"}));
    EXPECT_FALSE(timer.running());
    EXPECT_EQ(timer.client_count(), 0);
    f.tick(100);
    EXPECT_EQ(f.log.size(), 1u);
}

TEST(KelTimerCallback, DestructionStopsThePlatformTimer) {
    Fixture f;
    std::vector<std::string> log;
    Client a("a", &log);
    {
        KelTimerCallback timer(10, f.loop);
        timer.add_client(&a);
        EXPECT_EQ(f.loop.timer_count(), 1);
    }
    EXPECT_EQ(f.loop.timer_count(), 0);
    f.tick(10);
    EXPECT_TRUE(log.empty());
}
