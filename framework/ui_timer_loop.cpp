#include "framework/ui_timer_loop.h"

#include <algorithm>

#include "framework/platform_clock.h"
#include "framework/platform_thread.h"

int64_t KelSteadyUiClock::now_ms() const { return kel_counter_now() / (kel_counter_frequency() / 1000); }

KelUiTimerLoop::Timer* KelUiTimerLoop::find(uint32_t id) {
    for (Timer& t : timers_)
        if (t.id == id) return &t;
    return nullptr;
}

uint32_t KelUiTimerLoop::start(int period_ms, KelUiTimerRoutine routine, void* user) {
    if (!routine) return 0;
    period_ms = std::max(period_ms, 1);
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t id = next_id_++;
    if (id == 0) id = next_id_++;  // after 2^32 timers the count wraps; 0 stays reserved
    timers_.push_back({id, period_ms, clock_.now_ms() + period_ms, routine, user});
    return id;
}

bool KelUiTimerLoop::set_period(uint32_t id, int period_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    Timer* t = find(id);
    if (!t) return false;
    t->period_ms = std::max(period_ms, 1);
    t->due_ms = clock_.now_ms() + t->period_ms;
    return true;
}

bool KelUiTimerLoop::stop(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
    if (it == timers_.end()) return false;
    timers_.erase(it);
    return true;
}

bool KelUiTimerLoop::is_running(uint32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
}

int KelUiTimerLoop::timer_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(timers_.size());
}

int KelUiTimerLoop::pump() {
    // The due set is fixed at entry: a timer started by a routine waits for its first
    // period, and a routine that pumps again (a modal loop) does not re-enter itself,
    // because its due time moved on before it was called.
    std::vector<uint32_t> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t now = clock_.now_ms();
        for (const Timer& t : timers_)
            if (t.due_ms <= now) due.push_back(t.id);
    }
    int delivered = 0;
    for (uint32_t id : due) {
        KelUiTimerRoutine routine;
        void* user;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Timer* t = find(id);
            const int64_t now = clock_.now_ms();
            if (!t || t->due_ms > now) continue;  // stopped or re-timed by an earlier routine
            t->due_ms = now + t->period_ms;
            routine = t->routine;
            user = t->user;
        }
        routine(user, id);
        ++delivered;
    }
    return delivered;
}

int64_t KelUiTimerLoop::ms_until_next() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timers_.empty()) return -1;
    int64_t next = timers_.front().due_ms;
    for (const Timer& t : timers_) next = std::min(next, t.due_ms);
    return std::max<int64_t>(next - clock_.now_ms(), 0);
}

int KelUiTimerLoop::wait_and_pump(int max_wait_ms) {
    int64_t wait = ms_until_next();
    if (wait < 0 || wait > max_wait_ms) wait = max_wait_ms;
    if (wait > 0) kel_sleep_ms(static_cast<int>(wait));
    return pump();
}

KelUiTimerLoop& kel_ui_timer_loop() {
    static KelSteadyUiClock clock;
    static KelUiTimerLoop loop(clock);
    return loop;
}
