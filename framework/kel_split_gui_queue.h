#pragma once
// Fan-out of parameter messages to the editors: one writer, fed by the document on the
// thread that sets parameters, hands a copy of each message to every attached reader;
// each reader keeps its copies in its own lock-free queue until the editor's timer
// drains it.
//
// Threads: push() and the helpers run on any one producer thread at a time and never
// block or take a lock (they allocate only for string values). A reader is attached and
// detached on the user-interface thread; attaching and detaching wait (sleeping) until
// no delivery is in progress, and deliveries that begin meanwhile are dropped, so the
// reader list never changes under a delivery. pop() belongs to the editor thread.
// Attach readers only through attach_to() (a plain attach() skips the handshake), and
// enable or disable the writer only while no delivery can run.
//
// Strings: a string message (kind kGuiMessageString) carries a std::string the popper
// owns. push_string makes one copy for the delivery and frees it afterwards; each
// reader makes its own copy, so no two readers share one string. Pass every popped
// message to kel_gui_message_release() when done with it.
#include <atomic>
#include <cstdint>
#include <string_view>

#include "engine/kel_interrupt_safe_queue.h"
#include "engine/message.h"
#include "framework/kel_subject.h"

struct t_module;

// The GUI queue's kind for a string value (the synth queue uses kMessageString).
enum : int32_t { kGuiMessageString = 3 };

// Frees the string a popped message owns, and clears the pointer.
void kel_gui_message_release(t_message& message);

class KelGuiQueueWriter {
public:
    virtual ~KelGuiQueueWriter() = default;
    // The message stays the caller's; readers copy it.
    virtual void push(const t_message& message) = 0;

    void push_int(int32_t param_id, int32_t module_id, int32_t value);
    void push_float(int32_t param_id, int32_t module_id, float value);
    void push_string(int32_t param_id, int32_t module_id, std::string_view value);
    // Asks the module for its report of the parameter and pushes it; false (nothing
    // pushed) when the module has no such parameter.
    bool push_report(t_module* module, int32_t param_id);
};

class KelGuiQueueReader {
public:
    virtual ~KelGuiQueueReader() = default;
    virtual bool pop(t_message& out) = 0;
};

class KelSplitGuiQueueWriter : public KelGuiQueueWriter, public KelSubject {
public:
    // Carries one message to the readers during a delivery.
    class GuiMsg : public KelMsg {
    public:
        explicit GuiMsg(const t_message* message) : message(message) {}
        const t_message* message;
    };

    void push(const t_message& message) override;

    int32_t deliveries() const { return delivering_.load(); }
    int32_t mutes() const { return muted_.load(); }

private:
    friend class KelSplitGuiQueueReader;
    std::atomic<int32_t> delivering_{0};
    std::atomic<int32_t> muted_{0};
};

class KelSplitGuiQueueReader : public KelGuiQueueReader, public KelObserver {
public:
    static constexpr uint32_t kCapacity = 10000;

    KelSplitGuiQueueReader() : queue_(kCapacity) {}
    // Detaches (waiting for a delivery in progress) and frees the strings still queued.
    ~KelSplitGuiQueueReader() override;

    // Attaches to a writer, leaving a previous one. Waits in steps of 100 ms while a
    // delivery is in progress; writes made meanwhile are dropped.
    void attach_to(KelSplitGuiQueueWriter* writer);
    // Waits in steps of 10 ms while a delivery is in progress.
    void detach();
    KelSplitGuiQueueWriter* writer() const { return writer_; }

    bool pop(t_message& out) override;
    void receive(const KelMsg& message) override;

private:
    KelInterruptSafeQueue<t_message> queue_;
    KelSplitGuiQueueWriter* writer_ = nullptr;
};
