#pragma once
// The observer pattern of the framework: a subject notifies its attached observers of
// messages (objects derived from KelMsg, recognised by their run-time type).
//
// Threads: subjects and observers live on the user-interface thread; notify() calls every
// receiver synchronously on the calling thread and takes no lock. The one subject that is
// notified from another thread is the split GUI queue writer, which walks its readers
// without changing any list (kel_split_gui_queue.h).
//
// Re-entrancy: a receiver may attach or detach observers (itself included) and destroy
// observers while a notification runs. Detached entries are blanked during the walk and
// swept afterwards, so the walk never reads a freed observer; observers attached during
// a notification first hear the next one. A receiver must not destroy the subject that
// is notifying it.
#include <cstddef>
#include <vector>

class KelObserver;

class KelMsg {
public:
    virtual ~KelMsg() = default;
};

class KelSubject {
public:
    KelSubject() = default;
    // Tells every observer KelSubjectDiedMsg (even when disabled, even inactive ones),
    // then detaches them all.
    virtual ~KelSubject();
    KelSubject(const KelSubject&) = delete;
    KelSubject& operator=(const KelSubject&) = delete;

    // Appends the observer unless it is already attached.
    void attach(KelObserver* observer);
    void detach(KelObserver* observer);
    // Calls receive() on every active observer, in attachment order, when enabled.
    void notify(const KelMsg& message);

    bool is_attached(const KelObserver* observer) const;
    std::size_t observer_count() const;
    void set_enabled(bool enabled) { enabled_ = enabled ? 1 : 0; }
    bool enabled() const { return enabled_ != 0; }

protected:
    // For a subject that walks its observers itself (the split GUI queue writer); may
    // hold blank entries while a notification runs.
    const std::vector<KelObserver*>& observer_list() const { return observers_; }

private:
    friend class KelObserver;
    void deliver(const KelMsg& message, bool everyone);
    void forget(KelObserver* observer);  // removes the entry only
    void sweep();

    std::vector<KelObserver*> observers_;
    int notifying_ = 0;   // depth of nested notifications
    bool blanked_ = false;
    unsigned char enabled_ = 1;
};

class KelObserver {
public:
    KelObserver() = default;
    // Detaches from every subject it is attached to.
    virtual ~KelObserver();
    KelObserver(const KelObserver&) = delete;
    KelObserver& operator=(const KelObserver&) = delete;

    virtual void receive(const KelMsg& message) = 0;

    void set_active(bool active) { active_ = active ? 1 : 0; }
    bool active() const { return active_ != 0; }
    const std::vector<KelSubject*>& subjects() const { return subjects_; }

private:
    friend class KelSubject;
    std::vector<KelSubject*> subjects_;
    unsigned char active_ = 1;
};

// Sent by a subject as it is destroyed; the subject is still whole while it is delivered.
class KelSubjectDiedMsg : public KelMsg {
public:
    explicit KelSubjectDiedMsg(KelSubject* subject) : subject(subject) {}
    KelSubject* subject;
};
