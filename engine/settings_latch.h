#pragma once
// Keeps the audio thread's writes of a synth's settings (the messages it drains, the
// MIDI links it applies) apart from reads of those settings on other threads (a state
// text for the host's autosave, a parameter display), without the audio thread ever
// waiting: while a reader holds the latch, the audio thread leaves its messages queued
// and its controller changes marked for a later block, and renders on.
//
// Threads: audio_enter/audio_leave on the audio thread only; the read side on any other
// thread (more than one at once is allowed). Both sides announce themselves before
// looking at the other (sequentially consistent), so at most one side gets in.
#include <atomic>
#include <thread>

class SettingsLatch {
public:
    // True: the block may write settings until audio_leave(). False: it must not.
    bool audio_enter() {
        applying_.fetch_add(1);
        if (readers_.load() == 0) return true;
        applying_.fetch_sub(1);
        return false;
    }
    void audio_leave() { applying_.fetch_sub(1); }

    // Waits (yielding) for a block's settings writes to finish; they take microseconds.
    void read_enter() {
        readers_.fetch_add(1);
        while (applying_.load() != 0) std::this_thread::yield();
    }
    // Never waits: false when a block is writing settings right now.
    bool try_read_enter() {
        readers_.fetch_add(1);
        if (applying_.load() == 0) return true;
        readers_.fetch_sub(1);
        return false;
    }
    void read_leave() { readers_.fetch_sub(1); }

private:
    std::atomic<int> applying_{0};
    std::atomic<int> readers_{0};
};

// Holds the read side for a scope.
class SettingsReadScope {
public:
    explicit SettingsReadScope(SettingsLatch& latch) : latch_(latch) { latch_.read_enter(); }
    ~SettingsReadScope() { latch_.read_leave(); }
    SettingsReadScope(const SettingsReadScope&) = delete;
    SettingsReadScope& operator=(const SettingsReadScope&) = delete;

private:
    SettingsLatch& latch_;
};
