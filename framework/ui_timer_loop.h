#pragma once
// Periodic timers delivered on the user-interface thread.
//
// A window timer ticks on the thread that pumps the loop: the plug-in pumps it from the
// host's editor idle call and its own GUI ticks, a tool pumps it in its main loop, and a
// test pumps it after moving a manual clock. A tick that comes due is delivered once per
// pump, however late the pump is: a host that stalls for a second gets one tick, not a
// burst, and the next one is a full period after the late delivery.
//
// Threads: timers are started, changed and stopped from any non-audio thread (a host may
// open the editor on another thread than it called open on); routines run only inside
// pump(), on the pumping thread, without the loop's lock held, so a routine may start,
// stop or re-time any timer, itself included. Starting a timer allocates.
#include <cstdint>
#include <mutex>
#include <vector>

// Time source of a timer loop, in milliseconds.
class KelUiClock {
public:
    virtual ~KelUiClock() = default;
    virtual int64_t now_ms() const = 0;
};

// The monotonic system clock.
class KelSteadyUiClock : public KelUiClock {
public:
    int64_t now_ms() const override;
};

// A clock that moves only when told: the headless driver for tests.
class KelManualUiClock : public KelUiClock {
public:
    int64_t now_ms() const override { return now_; }
    void advance(int64_t ms) { now_ += ms; }

private:
    int64_t now_ = 0;
};

using KelUiTimerRoutine = void (*)(void* user, uint32_t timer_id);

class KelUiTimerLoop {
public:
    explicit KelUiTimerLoop(const KelUiClock& clock) : clock_(clock) {}
    KelUiTimerLoop(const KelUiTimerLoop&) = delete;
    KelUiTimerLoop& operator=(const KelUiTimerLoop&) = delete;

    // Starts a periodic timer; the first tick comes one period from now. Periods below
    // 1 ms count as 1 ms. Answers the timer's id, never 0 (0 means "not running").
    uint32_t start(int period_ms, KelUiTimerRoutine routine, void* user);
    // Gives a running timer a new period counted from now; false for an unknown id.
    bool set_period(uint32_t id, int period_ms);
    // Stops a timer; its routine is not called again, even later in the current pump.
    bool stop(uint32_t id);
    bool is_running(uint32_t id) const;
    int timer_count() const;

    // Delivers every tick that is due; answers how many routines ran.
    int pump();
    // Milliseconds until the next tick is due (0 when one is due now, -1 without timers).
    int64_t ms_until_next() const;
    // For a tool's main loop on the steady clock: sleeps until the next tick is due, at
    // most max_wait_ms, then pumps.
    int wait_and_pump(int max_wait_ms);

private:
    struct Timer {
        uint32_t id;
        int period_ms;
        int64_t due_ms;
        KelUiTimerRoutine routine;
        void* user;
    };
    Timer* find(uint32_t id);

    const KelUiClock& clock_;
    mutable std::mutex mutex_;
    std::vector<Timer> timers_;
    uint32_t next_id_ = 1;
};

// The process-wide loop on the steady clock, which the plug-in's editor and the tools pump.
KelUiTimerLoop& kel_ui_timer_loop();
