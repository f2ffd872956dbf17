// Standard folders from the XDG environment, the user-dirs file and the password database.
#include "framework/folders.h"

#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "framework/files.h"

namespace {

bool absolute_env(const char* name, std::string& out) {
    const char* v = std::getenv(name);
    if (!v || v[0] != '/') return false;
    out = v;
    return true;
}

void strip_trailing_slashes(std::string& path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
}

// A home folder of "/" (some service accounts) must not give "//.config".
std::string below(const std::string& folder, const char* name) {
    return folder == "/" ? "/" + std::string(name) : folder + "/" + name;
}

bool config_home(std::string& out) {
    if (absolute_env("XDG_CONFIG_HOME", out)) return true;
    std::string home;
    if (!kel_home_folder(home)) return false;
    out = below(home, ".config");
    return true;
}

// One entry of user-dirs.dirs, such as XDG_DESKTOP_DIR="$HOME/Desktop". The format
// allows only a path relative to $HOME or an absolute one, in double quotes.
bool user_dir(const char* key, std::string& out) {
    std::string config, home;
    if (!config_home(config) || !kel_home_folder(home)) return false;
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    const std::string prefix = std::string(key) + "=\"";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::string value;
        for (size_t i = prefix.size(); i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            value += line[i];
        }
        if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
            value = value.size() > 5 ? below(home, value.c_str() + 6) : home;
        if (value.empty() || value[0] != '/') return false;
        out = value;
        return true;
    }
    return false;
}

bool resolve(KelFolder which, std::string& out) {
    std::string home;
    switch (which) {
    case KelFolder::UserAppData:
        if (absolute_env("XDG_DATA_HOME", out)) return true;
        if (!kel_home_folder(home)) return false;
        out = below(home, ".local/share");
        return true;
    case KelFolder::CommonAppData: {
        // The first absolute entry of the colon-separated list.
        if (const char* dirs = std::getenv("XDG_DATA_DIRS")) {
            std::string list = dirs;
            size_t start = 0;
            while (start <= list.size()) {
                size_t end = list.find(':', start);
                if (end == std::string::npos) end = list.size();
                if (end > start && list[start] == '/') {
                    out = list.substr(start, end - start);
                    return true;
                }
                start = end + 1;
            }
        }
        out = "/usr/local/share";
        return true;
    }
    case KelFolder::UserConfig:
        return config_home(out);
    case KelFolder::Documents:
        if (user_dir("XDG_DOCUMENTS_DIR", out)) return true;
        return kel_home_folder(out);
    case KelFolder::Desktop:
        if (user_dir("XDG_DESKTOP_DIR", out)) return true;
        if (!kel_home_folder(home)) return false;
        out = below(home, "Desktop");
        return true;
    case KelFolder::ProgramFiles:
        out = "/opt";
        return true;
    }
    return false;
}

} // namespace

bool kel_home_folder(std::string& out) {
    if (absolute_env("HOME", out)) {
        strip_trailing_slashes(out);
        return true;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || found->pw_dir[0] != '/')
        return false;
    out = found->pw_dir;
    strip_trailing_slashes(out);
    return true;
}

bool kel_folder_path(KelFolder which, std::string& out, bool create) {
    std::string path;
    if (!resolve(which, path)) return false;
    strip_trailing_slashes(path);
    if (create && !kel_create_folder_chain(path)) return false;
    out = path;
    return true;
}

bool kel_module_path(std::string& out) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&kel_module_path), &info) == 0 || !info.dli_fname ||
        !info.dli_fname[0])
        return false;
    // The main program is reported by the name it was started with; the kernel knows
    // its real path.
    const char* name = info.dli_fname;
    char resolved[PATH_MAX];
    if (::realpath(name, resolved) == nullptr) {
        const ssize_t n = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
        if (n <= 0) return false;
        resolved[n] = '\0';
    }
    out = resolved;
    return true;
}
