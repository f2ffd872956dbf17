#include "framework/kel_split_gui_queue.h"

#include <new>
#include <string>

#include "engine/modular.h"
#include "framework/interlocked.h"
#include "framework/platform_thread.h"

void kel_gui_message_release(t_message& message) {
    if ((message.kind == kGuiMessageString || message.kind == kMessageString) && message.owns_string)
        delete message.value.s;
    if (message.kind == kGuiMessageString || message.kind == kMessageString) message.value.s = nullptr;
    message.owns_string = 0;
}

void KelGuiQueueWriter::push_int(int32_t param_id, int32_t module_id, int32_t value) {
    push(make_int_message(module_id, param_id, value));
}

void KelGuiQueueWriter::push_float(int32_t param_id, int32_t module_id, float value) {
    push(make_float_message(module_id, param_id, value));
}

void KelGuiQueueWriter::push_string(int32_t param_id, int32_t module_id, std::string_view value) {
    t_message m;
    m.kind = kGuiMessageString;
    m.param_id = param_id;
    m.module_id = module_id;
    m.value.s = new (std::nothrow) std::string(value);
    if (!m.value.s) return;
    m.owns_string = 1;
    push(m);
    kel_gui_message_release(m);  // every reader took its own copy
}

bool KelGuiQueueWriter::push_report(t_module* module, int32_t param_id) {
    if (!module || !module->get_message) return false;
    t_message m;
    if (module->get_message(module, param_id, &m) != 0) return false;
    if (m.kind == kMessageString) {
        push_string(m.param_id, m.module_id, m.value.s ? std::string_view(*m.value.s) : std::string_view());
        if (m.owns_string) delete m.value.s;
        return true;
    }
    push(m);
    return true;
}

void KelSplitGuiQueueWriter::push(const t_message& message) {
    kel_interlocked_increment(delivering_);
    if (muted_.load() == 0) {
        // Walks the list without notify(): nothing may change it now (attach and detach
        // wait for this delivery), and a walk that changes no state is safe to run on
        // more than one producer thread.
        const GuiMsg gui(&message);
        if (enabled())
            for (KelObserver* o : observer_list())
                if (o && o->active()) o->receive(gui);
    }
    kel_interlocked_decrement(delivering_);
}

KelSplitGuiQueueReader::~KelSplitGuiQueueReader() {
    detach();
    t_message m;
    while (queue_.pop(m)) kel_gui_message_release(m);
}

void KelSplitGuiQueueReader::attach_to(KelSplitGuiQueueWriter* writer) {
    if (writer == writer_) return;
    detach();
    if (!writer) return;
    kel_interlocked_increment(writer->muted_);
    while (writer->delivering_.load() > 0) kel_sleep_ms(100);
    writer->attach(this);
    writer_ = writer;
    kel_interlocked_decrement(writer->muted_);
}

void KelSplitGuiQueueReader::detach() {
    KelSplitGuiQueueWriter* w = writer_;
    if (!w) return;
    kel_interlocked_increment(w->muted_);
    while (w->delivering_.load() > 0) kel_sleep_ms(10);
    w->detach(this);
    writer_ = nullptr;
    kel_interlocked_decrement(w->muted_);
}

bool KelSplitGuiQueueReader::pop(t_message& out) { return queue_.pop(out); }

void KelSplitGuiQueueReader::receive(const KelMsg& message) {
    if (const auto* died = dynamic_cast<const KelSubjectDiedMsg*>(&message)) {
        // The writer is going: forget it without the mute handshake (its counters die with it).
        if (died->subject == static_cast<KelSubject*>(writer_)) writer_ = nullptr;
        return;
    }
    const auto* gui = dynamic_cast<const KelSplitGuiQueueWriter::GuiMsg*>(&message);
    if (!gui || !gui->message) return;
    t_message copy = *gui->message;
    const bool is_string = copy.kind == kGuiMessageString || copy.kind == kMessageString;
    if (is_string) {
        copy.value.s = gui->message->value.s ? new (std::nothrow) std::string(*gui->message->value.s)
                                             : new (std::nothrow) std::string();
        if (!copy.value.s) return;
        copy.owns_string = 1;
    }
    if (!queue_.push(copy) && is_string) delete copy.value.s;  // a full queue drops the copy
}
