#pragma once
// The framework's mutex over a recursive critical section.
//
// lock() waits only when asked to wait without limit (timeout -1); a finite timeout, or
// a mutex whose critical section was never created, answers false at once without
// locking. Callers that cannot wait therefore never block, and callers that must hold
// the lock say so.
//
// Threads: any thread except the audio thread.
#include <memory>

#include "framework/critical_section.h"

class KelMutex {
public:
    static constexpr int kInfinite = -1;

    KelMutex() = default;
    virtual ~KelMutex() = default;
    KelMutex(const KelMutex&) = delete;
    KelMutex& operator=(const KelMutex&) = delete;

    // Creates the critical section (once; later calls keep the first). Not thread-safe:
    // call it before the mutex is shared.
    void create();
    bool created() const { return section_ != nullptr; }

    bool lock(int timeout_ms = kInfinite);
    void unlock();

private:
    std::unique_ptr<KelCriticalSection> section_;
};

// A mutex that is usable as soon as it is constructed.
class KelAutoInitMutex : public KelMutex {
public:
    KelAutoInitMutex() { create(); }
};

// Holds a mutex (waiting without limit) for a scope.
class KelMutexGuard {
public:
    explicit KelMutexGuard(KelMutex& m) : mutex_(m), locked_(m.lock(KelMutex::kInfinite)) {}
    ~KelMutexGuard() {
        if (locked_) mutex_.unlock();
    }
    KelMutexGuard(const KelMutexGuard&) = delete;
    KelMutexGuard& operator=(const KelMutexGuard&) = delete;
    bool locked() const { return locked_; }

private:
    KelMutex& mutex_;
    bool locked_;
};
