#include "framework/kel_command.h"

KelCommandHandler* KelCommandHandler::chain_end() {
    KelCommandHandler* h = this;
    // A chain linked into a ring would loop forever; a bound of links stops that.
    for (int guard = 0; h->next_ && guard < 100000; ++guard) h = h->next_;
    return h;
}

bool KelCommandHandler::do_command(int id, std::string_view text1, std::string_view text2, std::string_view text3) {
    return next_ ? next_->do_command(id, text1, text2, text3) : false;
}

bool KelCommandHandler::check_command(int id, int argument) {
    return next_ ? next_->check_command(id, argument) : false;
}

void KelCommandHandler::notify_command(int what, int a, int b) {
    if (next_) next_->notify_command(what, a, b);
}

void KelCommandHandler::attach_handler(KelCommandHandler* handler) {
    if (!handler || handler == this) return;
    if (next_) {
        next_->attach_handler(handler);
        return;
    }
    next_ = handler;
}

void KelCommandHandler::detach_handler(KelCommandHandler* handler) {
    if (!handler || !next_) return;
    if (next_ == handler) {
        next_ = handler->next_;
        return;
    }
    next_->detach_handler(handler);
}

bool KelCommandHandler::do_custom_command(KelCustomCommand& command) {
    return next_ ? next_->do_custom_command(command) : false;
}

void KelUndoHandler::perform(std::unique_ptr<KelCommand> command) {
    if (!command) return;
    command->execute();
    command->done_ = 1;
    undo_.push_back(std::move(command));
    redo_.clear();
}

bool KelUndoHandler::undo() {
    if (undo_.empty()) return false;
    std::unique_ptr<KelCommand> c = std::move(undo_.back());
    undo_.pop_back();
    c->undo();
    c->done_ = 0;
    redo_.push_back(std::move(c));
    return true;
}

bool KelUndoHandler::redo() {
    if (redo_.empty()) return false;
    std::unique_ptr<KelCommand> c = std::move(redo_.back());
    redo_.pop_back();
    c->execute();
    c->done_ = 1;
    undo_.push_back(std::move(c));
    return true;
}

void KelUndoHandler::clear() {
    undo_.clear();
    redo_.clear();
}

std::string KelUndoHandler::undo_text() const {
    return undo_.empty() ? std::string("Can't Undo") : "Undo " + undo_.back()->name();
}

std::string KelUndoHandler::redo_text() const {
    return redo_.empty() ? std::string("Can't Redo") : "Redo " + redo_.back()->name();
}
