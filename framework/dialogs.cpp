#include "framework/dialogs.h"

#include <atomic>
#include <cctype>

#include "engine/report.h"

namespace {

const char* answer_name(KelBoxAnswer a) {
    switch (a) {
    case KelBoxAnswer::Ok: return "Ok";
    case KelBoxAnswer::Cancel: return "Cancel";
    case KelBoxAnswer::Yes: return "Yes";
    case KelBoxAnswer::No: return "No";
    }
    return "?";
}

bool offers(KelBoxButtons buttons, KelBoxAnswer a) {
    switch (buttons) {
    case KelBoxButtons::Ok: return a == KelBoxAnswer::Ok;
    case KelBoxButtons::OkCancel: return a == KelBoxAnswer::Ok || a == KelBoxAnswer::Cancel;
    case KelBoxButtons::YesNo: return a == KelBoxAnswer::Yes || a == KelBoxAnswer::No;
    case KelBoxButtons::YesNoCancel: return a != KelBoxAnswer::Ok;
    }
    return false;
}

// The answer that changes nothing: what a user who walks away would cause.
KelBoxAnswer safe_default(KelBoxButtons buttons) {
    switch (buttons) {
    case KelBoxButtons::Ok: return KelBoxAnswer::Ok;
    case KelBoxButtons::YesNo: return KelBoxAnswer::No;
    default: return KelBoxAnswer::Cancel;
    }
}

bool ends_with_nocase(const std::string& text, const std::string& tail) {
    if (tail.empty() || tail.size() > text.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) !=
            std::tolower(static_cast<unsigned char>(tail[i])))
            return false;
    return true;
}

bool has_extension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
}

std::atomic<KelMessageBoxService*> g_box{nullptr};
std::atomic<KelFileDialogService*> g_dialog{nullptr};

void report_box(const char* title, const char* text) {
    const bool error = std::string_view(title) == "Error";
    kel_message_box_service().show(title, text, KelBoxButtons::Ok, error ? KelBoxIcon::Error : KelBoxIcon::Warning);
}

} // namespace

KelBoxAnswer KelHeadlessMessageBox::show(std::string_view title, std::string_view text, KelBoxButtons buttons,
                                         KelBoxIcon icon) {
    KelBoxAnswer answer = safe_default(buttons);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            if (offers(buttons, script_.front())) answer = script_.front();
            script_.pop_front();
        }
        shown_.push_back({std::string(title), std::string(text), buttons, icon, answer});
    }
    KEL_LOG("message box \"%.*s\": %.*s -> %s", static_cast<int>(title.size()), title.data(),
            static_cast<int>(text.size()), text.data(), answer_name(answer));
    return answer;
}

void KelHeadlessMessageBox::script(KelBoxAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(answer);
}

std::vector<KelHeadlessMessageBox::Shown> KelHeadlessMessageBox::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

void KelHeadlessMessageBox::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.clear();
    shown_.clear();
}

KelFileDialogAnswer KelHeadlessFileDialog::answer(const char* kind, const KelFileDialogRequest& request, bool save) {
    KelFileDialogAnswer result;
    int type_index = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        if (!script_.empty()) {
            Reply r = std::move(script_.front());
            script_.pop_front();
            result.chosen = r.chosen && !r.path.empty();
            result.path = std::move(r.path);
            type_index = r.type_index;
        } else if (!standing_.empty()) {
            result.chosen = true;
            result.path = standing_;
        }
    }
    if (result.chosen) {
        const int count = static_cast<int>(request.types.size());
        if (type_index < 0 || type_index >= count) {
            type_index = 0;
            for (int i = 0; i < count; ++i)
                if (ends_with_nocase(result.path, request.types[i].extension)) {
                    type_index = i;
                    break;
                }
        }
        result.type_index = type_index;
        if (save && count > 0 && !has_extension(result.path)) result.path += request.types[type_index].extension;
        KEL_LOG("%s dialog \"%s\": %s", kind, request.title.c_str(), result.path.c_str());
    } else {
        result.path.clear();
        KEL_LOG("%s dialog \"%s\": cancelled", kind, request.title.c_str());
    }
    return result;
}

KelFileDialogAnswer KelHeadlessFileDialog::open_file(const KelFileDialogRequest& request) {
    return answer("open", request, false);
}

KelFileDialogAnswer KelHeadlessFileDialog::save_file(const KelFileDialogRequest& request) {
    return answer("save", request, true);
}

void KelHeadlessFileDialog::script(std::string path, int type_index) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({true, std::move(path), type_index});
}

void KelHeadlessFileDialog::script_cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({false, {}, 0});
}

void KelHeadlessFileDialog::set_standing_path(std::string path) {
    std::lock_guard<std::mutex> lock(mutex_);
    standing_ = std::move(path);
}

std::vector<KelFileDialogRequest> KelHeadlessFileDialog::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void KelHeadlessFileDialog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.clear();
    standing_.clear();
    requests_.clear();
}

KelHeadlessMessageBox& kel_headless_message_box() {
    static KelHeadlessMessageBox box;
    return box;
}

KelHeadlessFileDialog& kel_headless_file_dialog() {
    static KelHeadlessFileDialog dialog;
    return dialog;
}

KelMessageBoxService& kel_message_box_service() {
    KelMessageBoxService* s = g_box.load();
    return s ? *s : kel_headless_message_box();
}

void kel_set_message_box_service(KelMessageBoxService* service) { g_box.store(service); }

KelFileDialogService& kel_file_dialog_service() {
    KelFileDialogService* s = g_dialog.load();
    return s ? *s : kel_headless_file_dialog();
}

void kel_set_file_dialog_service(KelFileDialogService* service) { g_dialog.store(service); }

void kel_install_platform_message_box() { kel_set_message_box(report_box); }
