#include "framework/kel_subject.h"

#include <algorithm>

KelSubject::~KelSubject() {
    // Everyone hears of the death, disabled subject or inactive observer alike: an
    // observer that keeps a pointer to this subject must learn that it goes.
    deliver(KelSubjectDiedMsg(this), true);
    // Detach whatever is still attached (a receiver may have detached itself already).
    for (KelObserver* o : observers_)
        if (o) std::erase(o->subjects_, this);
    observers_.clear();
}

void KelSubject::attach(KelObserver* observer) {
    if (!observer || is_attached(observer)) return;
    observers_.push_back(observer);
    observer->subjects_.push_back(this);
}

void KelSubject::detach(KelObserver* observer) {
    if (!observer || !is_attached(observer)) return;
    forget(observer);
    std::erase(observer->subjects_, this);
}

void KelSubject::forget(KelObserver* observer) {
    if (notifying_ > 0) {
        // A walk is reading the list: blank the entry, sweep when the walk ends.
        for (KelObserver*& o : observers_)
            if (o == observer) o = nullptr;
        blanked_ = true;
    } else {
        std::erase(observers_, observer);
    }
}

void KelSubject::sweep() {
    if (!blanked_) return;
    std::erase(observers_, nullptr);
    blanked_ = false;
}

void KelSubject::notify(const KelMsg& message) {
    if (enabled_) deliver(message, false);
}

void KelSubject::deliver(const KelMsg& message, bool everyone) {
    ++notifying_;
    // Only the observers attached when the walk began hear this message; indices stay
    // valid when a receiver appends to the list.
    const std::size_t n = observers_.size();
    for (std::size_t i = 0; i < n; ++i) {
        KelObserver* o = observers_[i];
        if (o && (everyone || o->active_)) o->receive(message);
    }
    if (--notifying_ == 0) sweep();
}

bool KelSubject::is_attached(const KelObserver* observer) const {
    return observer && std::find(observers_.begin(), observers_.end(), observer) != observers_.end();
}

std::size_t KelSubject::observer_count() const {
    return static_cast<std::size_t>(
        std::count_if(observers_.begin(), observers_.end(), [](const KelObserver* o) { return o != nullptr; }));
}

KelObserver::~KelObserver() {
    for (KelSubject* s : subjects_) s->forget(this);
    subjects_.clear();
}
