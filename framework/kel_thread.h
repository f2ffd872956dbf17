#pragma once
// The framework's thread object over the platform thread.
//
// An ordinary KelThread starts a new thread running routine(user) at one of the three
// priorities; a KelThread made with wrap_calling_thread() stands for the thread that
// started it (the user-interface thread, so that current() finds it too). Every started
// KelThread is kept in a process-wide list, guarded by a mutex, until it is destroyed.
//
// Threads: start(), wait() and the destructor on the owning thread (they block and
// allocate: never on the audio thread); running(), result() and current() from any
// thread. Destroying a thread object waits for its routine to end.
#include <atomic>
#include <cstdint>

#include "framework/kel_mutex.h"
#include "framework/platform_thread.h"

class KelThread {
public:
    enum class Kind { Ordinary, WrapsCallingThread };

    explicit KelThread(Kind kind = Kind::Ordinary);
    virtual ~KelThread();
    KelThread(const KelThread&) = delete;
    KelThread& operator=(const KelThread&) = delete;

    // False when already started or when the system refuses a thread. Priority 0 below
    // normal, 1 normal, 2 time-critical, anything else normal. A wrapping object records
    // the calling thread instead and ignores routine and priority.
    bool start(KelThreadRoutine routine, void* user, int priority);
    bool running();
    // Blocks until the routine has ended and answers its result (at once when not
    // running). A wrapping object never waits: it would wait for itself.
    uint32_t wait();
    uint32_t result();
    uint64_t thread_id() const { return thread_id_.load(); }
    bool wraps_calling_thread() const { return kind_ == Kind::WrapsCallingThread; }
    int applied_priority() const { return platform_.applied_priority(); }

    // The started KelThread of the calling thread; null when there is none.
    static KelThread* current();
    // Number of KelThread objects in the process-wide list.
    static int started_count();

private:
    static uint32_t trampoline(void* self);
    void leave_list();

    const Kind kind_;
    KelPlatformThread platform_;
    KelThreadRoutine routine_ = nullptr;
    void* user_ = nullptr;
    std::atomic<uint64_t> thread_id_{0};
    KelAutoInitMutex mutex_;  // guards running_, result_ and started_
    bool running_ = false;
    bool started_ = false;
    bool listed_ = false;     // owner thread only
    uint32_t result_ = 0;
};
