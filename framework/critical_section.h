#pragma once
// A critical section that one thread may enter repeatedly (the effect holds one across
// setProgram, which can call back into code that enters it again).
//
// Threads: any thread except the audio thread, which never takes a lock.
#include <mutex>

class KelCriticalSection {
public:
    void enter() { mutex_.lock(); }
    bool try_enter() { return mutex_.try_lock(); }
    void leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a critical section for a scope.
class KelCriticalSectionGuard {
public:
    explicit KelCriticalSectionGuard(KelCriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~KelCriticalSectionGuard() { cs_.leave(); }
    KelCriticalSectionGuard(const KelCriticalSectionGuard&) = delete;
    KelCriticalSectionGuard& operator=(const KelCriticalSectionGuard&) = delete;

private:
    KelCriticalSection& cs_;
};
