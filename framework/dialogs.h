#pragma once
// Message boxes and file dialogs as services. The window layer installs real ones; until
// then (and in tests and command-line tools) the headless ones answer: they write each
// request to the log and reply with a scripted answer or the safe default (No, Cancel,
// or a cancelled dialog).
//
// Threads: kel_message_box_service() may be called from any thread (the report functions
// show boxes); the headless services lock internally. A real box runs its own modal
// loop on the user-interface thread. Installing a service is done at start-up.
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

enum class KelBoxButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class KelBoxIcon { None, Information, Warning, Error, Question };
enum class KelBoxAnswer { Ok, Cancel, Yes, No };

class KelMessageBoxService {
public:
    virtual ~KelMessageBoxService() = default;
    virtual KelBoxAnswer show(std::string_view title, std::string_view text, KelBoxButtons buttons,
                              KelBoxIcon icon) = 0;
};

struct KelFileType {
    std::string label;      // "WAV Audio File (16 bits)"
    std::string extension;  // ".wav"
};

struct KelFileDialogRequest {
    std::string title;
    std::string folder;        // where the dialog starts; empty for the system's choice
    std::string default_name;  // proposed file name (save)
    std::vector<KelFileType> types;
};

struct KelFileDialogAnswer {
    bool chosen = false;  // false: the user cancelled
    std::string path;     // full path, UTF-8
    int type_index = 0;   // index into the request's types of the type the user picked
};

class KelFileDialogService {
public:
    virtual ~KelFileDialogService() = default;
    virtual KelFileDialogAnswer open_file(const KelFileDialogRequest& request) = 0;
    virtual KelFileDialogAnswer save_file(const KelFileDialogRequest& request) = 0;
};

// Answers from a script, first in first out; an answer that the box's buttons do not
// offer, or an empty script, gives the default: Ok for an Ok box, otherwise No for
// Yes/No and Cancel for the boxes that have it.
class KelHeadlessMessageBox : public KelMessageBoxService {
public:
    struct Shown {
        std::string title, text;
        KelBoxButtons buttons;
        KelBoxIcon icon;
        KelBoxAnswer answer;
    };

    KelBoxAnswer show(std::string_view title, std::string_view text, KelBoxButtons buttons,
                      KelBoxIcon icon) override;
    void script(KelBoxAnswer answer);
    std::vector<Shown> shown() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::deque<KelBoxAnswer> script_;
    std::vector<Shown> shown_;
};

// Answers file dialogs from a script, then from a standing answer (a tool's path given
// on its command line), else cancelled. A scripted type index of -1 picks the type whose
// extension the path ends with (without regard to case), else the first; a save path
// without an extension gets the picked type's extension, as a save dialog adds it.
class KelHeadlessFileDialog : public KelFileDialogService {
public:
    KelFileDialogAnswer open_file(const KelFileDialogRequest& request) override;
    KelFileDialogAnswer save_file(const KelFileDialogRequest& request) override;

    void script(std::string path, int type_index = -1);
    void script_cancel();
    // Empty: no standing answer.
    void set_standing_path(std::string path);
    std::vector<KelFileDialogRequest> requests() const;
    void clear();

private:
    KelFileDialogAnswer answer(const char* kind, const KelFileDialogRequest& request, bool save);

    struct Reply {
        bool chosen;
        std::string path;
        int type_index;
    };
    mutable std::mutex mutex_;
    std::deque<Reply> script_;
    std::string standing_;
    std::vector<KelFileDialogRequest> requests_;
};

// The installed services; nullptr restores the headless ones.
KelMessageBoxService& kel_message_box_service();
void kel_set_message_box_service(KelMessageBoxService* service);
KelFileDialogService& kel_file_dialog_service();
void kel_set_file_dialog_service(KelFileDialogService* service);
// The process's headless services (installed until something else is).
KelHeadlessMessageBox& kel_headless_message_box();
KelHeadlessFileDialog& kel_headless_file_dialog();

// Routes the engine's warning and error reports (engine/report.h) to the installed
// message-box service: an Ok box titled "Warning" or "Error" with the matching icon.
// Headless, each report then appears twice in the log: as the report's trace line and
// as the box the user would have seen.
void kel_install_platform_message_box();
