#pragma once
// User-interface requests and undo.
//
// KelCommandHandler is one link of a chain (window, document, application): every request
// a handler does not take itself goes on to its next handler; the chain's last handler
// answers "not handled". KelCustomCommand is a typed request that a handler recognises by
// its run-time type. KelCommand is one undoable edit; KelUndoHandler keeps the undo and
// redo stacks and gives the Edit menu its texts.
//
// Threads: user-interface thread only; nothing here locks.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class KelCustomCommand {
public:
    virtual ~KelCustomCommand() = default;
};

class KelCommandHandler {
public:
    virtual ~KelCommandHandler() = default;

    KelCommandHandler* next_handler() const { return next_; }
    void set_next_handler(KelCommandHandler* next) { next_ = next; }
    // Follows the next links to the last handler of the chain (this one when alone).
    KelCommandHandler* chain_end();

    // A menu or toolbar command with up to three texts; true when some handler took it.
    virtual bool do_command(int id, std::string_view text1 = {}, std::string_view text2 = {},
                            std::string_view text3 = {});
    // Whether a command is available (menu item enabling); false at the chain's end.
    virtual bool check_command(int id, int argument = 0);
    // A notification with one or two numbers, passed down the whole chain.
    virtual void notify_command(int what, int a = 0, int b = 0);
    // Links another handler into the chain: by default at the chain's end.
    virtual void attach_handler(KelCommandHandler* handler);
    // Unlinks a handler from the chain below this one; its own next link is kept.
    virtual void detach_handler(KelCommandHandler* handler);
    virtual bool do_custom_command(KelCustomCommand& command);

private:
    KelCommandHandler* next_ = nullptr;
};

class KelCommand {
public:
    explicit KelCommand(std::string name) : name_(std::move(name)) {}
    virtual ~KelCommand() = default;

    const std::string& name() const { return name_; }
    // True after execute(), false after undo().
    bool done() const { return done_ != 0; }

    virtual void execute() = 0;
    virtual void undo() = 0;

private:
    friend class KelUndoHandler;
    std::string name_;
    unsigned char done_ = 0;
};

class KelUndoHandler {
public:
    // Runs the command, keeps it for undo and forgets everything that could be redone.
    void perform(std::unique_ptr<KelCommand> command);
    // False when there is nothing to undo (or redo).
    bool undo();
    bool redo();
    void clear();

    bool can_undo() const { return !undo_.empty(); }
    bool can_redo() const { return !redo_.empty(); }
    // "Undo <name>" or "Can't Undo"; "Redo <name>" or "Can't Redo".
    std::string undo_text() const;
    std::string redo_text() const;
    std::size_t undo_count() const { return undo_.size(); }
    std::size_t redo_count() const { return redo_.size(); }

private:
    std::vector<std::unique_ptr<KelCommand>> undo_;
    std::vector<std::unique_ptr<KelCommand>> redo_;
};
