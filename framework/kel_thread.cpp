#include "framework/kel_thread.h"

#include <algorithm>
#include <vector>

namespace {

// Every started thread object, for current(). Function-local so that threads started
// during static initialisation find it built.
KelAutoInitMutex& list_mutex() {
    static KelAutoInitMutex m;
    return m;
}

std::vector<KelThread*>& thread_list() {
    static std::vector<KelThread*> list;
    return list;
}

} // namespace

KelThread::KelThread(Kind kind) : kind_(kind) {}

KelThread::~KelThread() {
    // The routine touches this object when it ends, so it must have ended first.
    if (kind_ == Kind::Ordinary) platform_.wait();
    leave_list();
}

void KelThread::leave_list() {
    if (!listed_) return;
    KelMutexGuard guard(list_mutex());
    std::erase(thread_list(), this);
    listed_ = false;
}

bool KelThread::start(KelThreadRoutine routine, void* user, int priority) {
    {
        KelMutexGuard guard(mutex_);
        if (started_) return false;
        if (kind_ == Kind::Ordinary && !routine) return false;
        started_ = true;
        running_ = true;
    }
    routine_ = routine;
    user_ = user;
    // Listed before the routine runs, so current() works from its first line.
    {
        KelMutexGuard guard(list_mutex());
        thread_list().push_back(this);
        listed_ = true;
    }
    if (kind_ == Kind::WrapsCallingThread) {
        thread_id_.store(kel_current_thread_id());
        return true;
    }
    if (!platform_.start(&KelThread::trampoline, this, priority)) {
        leave_list();
        KelMutexGuard guard(mutex_);
        started_ = false;
        running_ = false;
        return false;
    }
    return true;
}

uint32_t KelThread::trampoline(void* self) {
    auto* t = static_cast<KelThread*>(self);
    t->thread_id_.store(kel_current_thread_id());
    const uint32_t r = t->routine_(t->user_);
    KelMutexGuard guard(t->mutex_);
    t->result_ = r;
    t->running_ = false;
    return r;
}

bool KelThread::running() {
    KelMutexGuard guard(mutex_);
    return running_;
}

uint32_t KelThread::wait() {
    if (kind_ == Kind::Ordinary && running()) platform_.wait();
    return result();
}

uint32_t KelThread::result() {
    KelMutexGuard guard(mutex_);
    return result_;
}

KelThread* KelThread::current() {
    const uint64_t me = kel_current_thread_id();
    KelMutexGuard guard(list_mutex());
    for (KelThread* t : thread_list())
        if (t->thread_id_.load() == me) return t;
    return nullptr;
}

int KelThread::started_count() {
    KelMutexGuard guard(list_mutex());
    return static_cast<int>(thread_list().size());
}
