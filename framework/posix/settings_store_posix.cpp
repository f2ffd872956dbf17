// The settings store as one text file per scope, replaced atomically under a lock file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/report.h"
#include "framework/files.h"
#include "framework/folders.h"
#include "framework/settings_store.h"

namespace {

constexpr const char* kMaker = "Kestrune";
constexpr const char* kFileName = "settings.conf";
// A store holds a few dozen short values; anything this large is not ours.
constexpr off_t kMaxFileBytes = 1 << 20;

bool valid_scope(int scope) { return scope == kKelSettingsUser || scope == kKelSettingsMachine; }

enum class Load { Missing, Bad, Good };

Load read_file(const std::string& path, std::string& text, int& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return errno == ENOENT || errno == ENOTDIR ? Load::Missing : Load::Bad;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        err = errno;
        ::close(fd);
        return Load::Bad;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) {
        err = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? EFBIG : EINVAL;
        ::close(fd);
        return Load::Bad;
    }
    text.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            ::close(fd);
            return Load::Bad;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileBytes)) {
            err = EFBIG;
            ::close(fd);
            return Load::Bad;
        }
    }
    ::close(fd);
    if (text.find('\0') != std::string::npos) {
        err = 0;
        return Load::Bad;
    }
    return Load::Good;
}

bool write_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Serialises the read-merge-replace of every writer of one folder, across processes.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        fd_ = ::open((folder + "/" + kFileName + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    ::close(fd_);
                    fd_ = -1;
                    break;
                }
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace

KelFileSettingsStore::KelFileSettingsStore(std::string user_folder, std::string machine_folder)
    : folder_{std::move(user_folder), std::move(machine_folder)} {}

std::string KelFileSettingsStore::user_folder_for(std::string_view key_name, std::string_view version) {
    std::string config;
    if (!kel_folder_path(KelFolder::UserConfig, config)) return {};
    return config + "/" + kMaker + "/" + std::string(key_name) + "/" + std::string(version);
}

std::string KelFileSettingsStore::machine_folder_for(std::string_view key_name, std::string_view version) {
    return std::string("/etc/xdg/") + kMaker + "/" + std::string(key_name) + "/" + std::string(version);
}

KelFileSettingsStore KelFileSettingsStore::for_product(std::string_view key_name, std::string_view version) {
    return KelFileSettingsStore(user_folder_for(key_name, version), machine_folder_for(key_name, version));
}

std::string KelFileSettingsStore::file_path(int scope) const {
    if (!valid_scope(scope) || folder_[scope].empty()) return {};
    return folder_[scope] + "/" + kFileName;
}

KelSettingsKey KelFileSettingsStore::create_key(int scope) {
    const std::string path = file_path(scope);
    if (path.empty()) return KelSettingsKey::Failed;
    if (kel_file_exists(path)) return KelSettingsKey::Existed;
    kel_create_folder_chain(folder_[scope]);
    // An empty file is a complete, valid store; O_EXCL decides between two instances
    // starting at the same moment which one made it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        ::close(fd);
        return KelSettingsKey::Created;
    }
    return errno == EEXIST ? KelSettingsKey::Existed : KelSettingsKey::Failed;
}

bool KelFileSettingsStore::key_exists(int scope) {
    const std::string path = file_path(scope);
    return !path.empty() && kel_file_exists(path);
}

bool KelFileSettingsStore::load(int scope, KelSettingsValues& values) {
    values.clear();
    const std::string path = file_path(scope);
    if (path.empty()) return false;
    std::string text;
    int err = 0;
    const Load result = read_file(path, text, err);
    if (result == Load::Missing) return false;
    if (result == Load::Good && kel_settings_parse(text, values)) {
        reported_[scope] = false;
        return true;
    }
    if (!reported_[scope]) {
        reported_[scope] = true;
        if (result == Load::Bad && err != 0)
            KEL_LOG("cannot read the settings file %s (%s); its values are ignored", path.c_str(),
                    std::strerror(err));
        else
            KEL_LOG("the settings file %s is damaged; its values are ignored", path.c_str());
    }
    return true;  // the key is there, its values are not
}

bool KelFileSettingsStore::read(int scope, std::string_view name, std::string& out) {
    KelSettingsValues values;
    if (!load(scope, values)) return false;
    for (const auto& [n, v] : values)
        if (n == name) {
            out = v;
            return true;
        }
    return false;
}

bool KelFileSettingsStore::write(int scope, const KelSettingsValues& values) {
    const std::string path = file_path(scope);
    if (path.empty()) return false;
    for (const auto& [n, v] : values)
        if (n.empty()) return false;

    FolderLock lock(folder_[scope]);
    if (!lock.held()) return false;
    KelSettingsValues merged;
    if (!load(scope, merged)) return false;  // the key must exist, as for the registry
    for (const auto& [n, v] : values) {
        bool found = false;
        for (auto& entry : merged)
            if (entry.first == n) {
                entry.second = v;
                found = true;
                break;
            }
        if (!found) merged.emplace_back(n, v);
    }

    struct stat st;
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write_all(fd, kel_settings_format(merged)) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}
