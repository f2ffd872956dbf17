// Threads on POSIX: pthreads with SCHED_OTHER for the normal priorities, a raised nice
// value for below normal, and SCHED_FIFO for time-critical where the process may use it.
#include "framework/platform_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "engine/report.h"

namespace {

// Real-time priority of a time-critical thread. Low on purpose: the host's audio
// threads sit far higher, and a disk writer must never pre-empt the render.
constexpr int kRealtimePriority = 10;
// Nice steps added for below-normal work (one Windows-like step is about this much).
constexpr int kBelowNormalNice = 5;

std::atomic<bool> g_deny_realtime{false};
std::atomic<bool> g_fallback_logged{false};

uint64_t system_thread_id() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

void log_fallback_once(int err) {
    if (!g_fallback_logged.exchange(true))
        KEL_LOG("time-critical thread priority is not permitted (%s); such threads run at normal priority",
                std::strerror(err));
}

// Applied on the new thread itself: nice values are per thread on Linux and can only be
// set by thread id, which the thread knows best.
int apply_priority(int priority) {
    if (priority == kKelPriorityBelowNormal) {
        const id_t tid = static_cast<id_t>(system_thread_id());
        errno = 0;
        int nice = ::getpriority(PRIO_PROCESS, tid);
        if (errno == 0) {
            nice = nice + kBelowNormalNice > 19 ? 19 : nice + kBelowNormalNice;
            if (::setpriority(PRIO_PROCESS, tid, nice) == 0) return kKelPriorityBelowNormal;
        }
        return kKelPriorityNormal;
    }
    if (priority == kKelPriorityTimeCritical) {
        int err = EPERM;
        if (!g_deny_realtime.load()) {
            sched_param param{};
            const int top = ::sched_get_priority_max(SCHED_FIFO);
            param.sched_priority = kRealtimePriority < top ? kRealtimePriority : top;
            err = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
            if (err == 0) return kKelPriorityTimeCritical;
        }
        log_fallback_once(err);
    }
    return kKelPriorityNormal;
}

} // namespace

struct KelPlatformThread::State {
    KelThreadRoutine routine = nullptr;
    void* user = nullptr;
    int requested = kKelPriorityNormal;
    pthread_t handle{};
    std::atomic<bool> running{false};
    std::atomic<int> applied{kKelPriorityNormal};
    std::atomic<uint64_t> tid{0};
    uint32_t result = 0;
    bool joined = false;

    std::mutex mutex;       // guards ready and result
    std::mutex join_mutex;  // guards joined: one waiter joins, the others wait for it
    std::condition_variable ready_cv;
    bool ready = false;
};

namespace {

void* trampoline(void* arg) {
    auto* holder = static_cast<std::shared_ptr<KelPlatformThread::State>*>(arg);
    std::shared_ptr<KelPlatformThread::State> s = std::move(*holder);
    delete holder;
    s->tid.store(system_thread_id());
    s->applied.store(apply_priority(s->requested));
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->ready = true;
    }
    s->ready_cv.notify_all();
    const uint32_t result = s->routine(s->user);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->result = result;
    }
    s->running.store(false);
    return nullptr;
}

} // namespace

KelPlatformThread::KelPlatformThread() = default;

KelPlatformThread::~KelPlatformThread() { wait(); }

bool KelPlatformThread::start(KelThreadRoutine routine, void* user, int priority) {
    if (state_ || !routine) return false;
    auto s = std::make_shared<State>();
    s->routine = routine;
    s->user = user;
    s->requested = priority == kKelPriorityBelowNormal || priority == kKelPriorityTimeCritical
                       ? priority
                       : kKelPriorityNormal;
    s->running.store(true);

    // The new thread starts as an ordinary time-shared thread whatever its creator is
    // (a host may create us from a real-time thread); it raises itself if asked to.
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    ::pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
    sched_param none{};
    ::pthread_attr_setschedparam(&attr, &none);
    auto* holder = new std::shared_ptr<State>(s);
    const int err = ::pthread_create(&s->handle, &attr, trampoline, holder);
    ::pthread_attr_destroy(&attr);
    if (err != 0) {
        delete holder;
        KEL_LOG("cannot start a thread (%s)", std::strerror(err));
        return false;
    }
    std::unique_lock<std::mutex> lock(s->mutex);
    s->ready_cv.wait(lock, [&] { return s->ready; });
    lock.unlock();
    state_ = std::move(s);
    return true;
}

bool KelPlatformThread::started() const { return state_ != nullptr; }

bool KelPlatformThread::running() const { return state_ && state_->running.load(); }

uint32_t KelPlatformThread::wait() {
    if (!state_) return 0;
    {
        std::lock_guard<std::mutex> lock(state_->join_mutex);
        if (!state_->joined) {
            ::pthread_join(state_->handle, nullptr);
            state_->joined = true;
        }
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->result;
}

int KelPlatformThread::applied_priority() const {
    return state_ ? state_->applied.load() : kKelPriorityNormal;
}

uint64_t KelPlatformThread::id() const { return state_ ? state_->tid.load() : 0; }

uint64_t kel_current_thread_id() { return system_thread_id(); }

void kel_sleep_ms(int ms) {
    if (ms <= 0) {
        ::sched_yield();
        return;
    }
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

void kel_thread_test_deny_realtime(bool deny) {
    g_deny_realtime.store(deny);
    g_fallback_logged.store(false);
}
