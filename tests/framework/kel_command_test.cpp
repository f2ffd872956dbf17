// Undo and redo with their menu texts, the command-handler chain, and the mutex.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/kel_command.h"
#include "framework/kel_mutex.h"

namespace {

class AddCmd : public KelCommand {
public:
    AddCmd(std::string name, int& target, int amount) : KelCommand(std::move(name)), target_(target), amount_(amount) {}
    void execute() override { target_ += amount_; }
    void undo() override { target_ -= amount_; }

private:
    int& target_;
    int amount_;
};

} // namespace

TEST(KelUndoHandler, UndoRedoWalkTheStacksAndNameTheNextCommand) {
    KelUndoHandler h;
    int value = 0;
    EXPECT_EQ(h.undo_text(), "Can't Undo");
    EXPECT_EQ(h.redo_text(), "Can't Redo");
    EXPECT_FALSE(h.undo());
    EXPECT_FALSE(h.redo());

    h.perform(std::make_unique<AddCmd>("Volume", value, 1));
    h.perform(std::make_unique<AddCmd>("Tremolo", value, 10));
    EXPECT_EQ(value, 11);
    EXPECT_EQ(h.undo_text(), "Undo Tremolo");

    ASSERT_TRUE(h.undo());
    EXPECT_EQ(value, 1);
    EXPECT_EQ(h.undo_text(), "Undo Volume");
    EXPECT_EQ(h.redo_text(), "Redo Tremolo");
    ASSERT_TRUE(h.undo());
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(h.undo());
    EXPECT_EQ(h.redo_text(), "Redo Volume");  // the newest undone comes back first

    ASSERT_TRUE(h.redo());
    EXPECT_EQ(value, 1);
    EXPECT_EQ(h.undo_text(), "Undo Volume");
    EXPECT_EQ(h.redo_text(), "Redo Tremolo");
}

TEST(KelUndoHandler, NewCommandAfterUndoClearsTheRedoStack) {
    KelUndoHandler h;
    int value = 0;
    h.perform(std::make_unique<AddCmd>("A", value, 1));
    h.perform(std::make_unique<AddCmd>("B", value, 2));
    h.undo();
    ASSERT_TRUE(h.can_redo());
    auto c = std::make_unique<AddCmd>("C", value, 4);
    const KelCommand* cp = c.get();
    EXPECT_FALSE(cp->done());
    h.perform(std::move(c));
    EXPECT_TRUE(cp->done());
    EXPECT_EQ(value, 5);
    EXPECT_EQ(h.redo_text(), "Can't Redo");
    EXPECT_FALSE(h.redo());
    EXPECT_EQ(h.undo_count(), 2u);
    h.undo();
    EXPECT_FALSE(cp->done());
}

namespace {

struct Take : KelCustomCommand {
    std::vector<std::string>* seen;
    explicit Take(std::vector<std::string>* s) : seen(s) {}
};
struct Other : KelCustomCommand {};

class Link : public KelCommandHandler {
public:
    Link(std::string name, int takes, std::vector<std::string>* log) : name_(std::move(name)), takes_(takes), log_(log) {}
    bool do_command(int id, std::string_view t1, std::string_view t2, std::string_view t3) override {
        log_->push_back(name_);
        if (id == takes_) return true;
        return KelCommandHandler::do_command(id, t1, t2, t3);
    }
    bool do_custom_command(KelCustomCommand& c) override {
        if (auto* t = dynamic_cast<Take*>(&c); t && takes_ == 99) {
            t->seen->push_back(name_);
            return true;
        }
        return KelCommandHandler::do_custom_command(c);
    }
    void notify_command(int what, int a, int b) override {
        log_->push_back(name_ + ":" + std::to_string(what + a + b));
        KelCommandHandler::notify_command(what, a, b);
    }

private:
    std::string name_;
    int takes_;
    std::vector<std::string>* log_;
};

} // namespace

TEST(KelCommandHandler, UnhandledRequestsTravelDownTheChain) {
    std::vector<std::string> log;
    Link window("window", 1, &log), document("document", 99, &log), app("app", 3, &log);
    KelCommandHandler& top = window;  // requests enter at the top of the chain
    window.attach_handler(&document);
    window.attach_handler(&app);  // goes to the end
    EXPECT_EQ(window.chain_end(), &app);

    EXPECT_TRUE(top.do_command(3));
    EXPECT_EQ(log, (std::vector<std::string>{"window", "document", "app"}));
    log.clear();
    EXPECT_FALSE(top.do_command(7));  // nobody takes it
    EXPECT_EQ(log.size(), 3u);

    std::vector<std::string> seen;
    Take take(&seen);
    Other other;
    EXPECT_TRUE(window.do_custom_command(take));
    EXPECT_EQ(seen, (std::vector<std::string>{"document"}));
    EXPECT_FALSE(window.do_custom_command(other));

    log.clear();
    window.notify_command(1, 2, 3);
    EXPECT_EQ(log, (std::vector<std::string>{"window:6", "document:6", "app:6"}));

    window.detach_handler(&document);
    EXPECT_EQ(window.next_handler(), &app);
    log.clear();
    EXPECT_FALSE(window.check_command(3));
    EXPECT_TRUE(top.do_command(3));
    EXPECT_EQ(log, (std::vector<std::string>{"window", "app"}));
}

TEST(KelMutex, OnlyAnInfiniteWaitLocks) {
    KelMutex bare;
    EXPECT_FALSE(bare.lock());  // no critical section yet
    bare.unlock();              // harmless

    KelAutoInitMutex m;
    EXPECT_FALSE(m.lock(0));
    EXPECT_FALSE(m.lock(500));
    ASSERT_TRUE(m.lock());
    ASSERT_TRUE(m.lock(KelMutex::kInfinite));  // recursive on one thread
    m.unlock();
    m.unlock();

    bare.create();
    KelMutexGuard guard(bare);
    EXPECT_TRUE(guard.locked());
}
