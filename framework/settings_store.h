#pragma once
// The settings store: string values by name in a per-user scope and a machine scope.
// The settings object (KelRegistry) caches and converts; this layer only keeps text.
//
// On Linux each scope is one text file, "settings.conf", in
//   user:    $XDG_CONFIG_HOME (default ~/.config)/Kestrune/<key>/<version>/
//   machine: /etc/xdg/Kestrune/<key>/<version>/
// A scope's "key" exists when its file exists. Reads go to the file every time, so they
// see what other instances wrote. A write rewrites the whole file into a temporary file
// beside it and renames that into place, under an advisory lock shared by every process:
// a crash never leaves a half-written store, and of two instances writing the same name
// the last one wins without losing the other names either wrote. A corrupt or
// unreadable file is logged once and reads as empty.
//
// Threads: the user-interface thread and the host's open/close thread; one store
// object is not meant to be shared between threads without the caller's lock, but any
// number of store objects (and processes) may work on the same files at once.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum : int {
    kKelSettingsUser = 0,
    kKelSettingsMachine = 1,
};

enum class KelSettingsKey {
    Created,  // did not exist and was made now (first run for this user)
    Existed,
    Failed,
};

using KelSettingsValues = std::vector<std::pair<std::string, std::string>>;

class KelSettingsStore {
public:
    virtual ~KelSettingsStore() = default;

    // Makes sure the scope's key exists.
    virtual KelSettingsKey create_key(int scope) = 0;
    virtual bool key_exists(int scope) = 0;
    // False when the key or the value is missing; `out` is then unchanged.
    virtual bool read(int scope, std::string_view name, std::string& out) = 0;
    // Stores all values in one step, replacing values of the same names and keeping the
    // others. False when the key does not exist or the store cannot be written; nothing
    // is then changed. Names must be non-empty.
    virtual bool write(int scope, const KelSettingsValues& values) = 0;

    bool write(int scope, std::string_view name, std::string_view value) {
        return write(scope, KelSettingsValues{{std::string(name), std::string(value)}});
    }
};

// The files described above.
class KelFileSettingsStore : public KelSettingsStore {
public:
    // Explicit folders (tests, tools).
    KelFileSettingsStore(std::string user_folder, std::string machine_folder);
    // The XDG folders for Kestrune/<key>/<version>.
    static KelFileSettingsStore for_product(std::string_view key_name, std::string_view version);
    static std::string user_folder_for(std::string_view key_name, std::string_view version);
    static std::string machine_folder_for(std::string_view key_name, std::string_view version);

    KelSettingsKey create_key(int scope) override;
    bool key_exists(int scope) override;
    bool read(int scope, std::string_view name, std::string& out) override;
    bool write(int scope, const KelSettingsValues& values) override;
    using KelSettingsStore::write;

    // The file behind a scope (empty for an unknown scope).
    std::string file_path(int scope) const;

private:
    bool load(int scope, KelSettingsValues& values);

    std::string folder_[2];
    bool reported_[2] = {false, false};  // a bad file was logged and stays bad
};

// A store in memory, for headless tests of the layers above. Writes can be made to fail.
class KelMemorySettingsStore : public KelSettingsStore {
public:
    KelSettingsKey create_key(int scope) override;
    bool key_exists(int scope) override;
    bool read(int scope, std::string_view name, std::string& out) override;
    bool write(int scope, const KelSettingsValues& values) override;
    using KelSettingsStore::write;

    void set_fail_writes(bool fail) { fail_writes_ = fail; }
    void set_fail_create(bool fail) { fail_create_ = fail; }

private:
    bool exists_[2] = {false, false};
    KelSettingsValues values_[2];
    bool fail_writes_ = false;
    bool fail_create_ = false;
};

// Text form of one store file, shared with the tests: "name=value" lines with every
// byte below 32, 127, "\", "=" and "#" written as "\xHH"; lines starting with "#" are
// comments. parse answers false for a corrupt text (and leaves `values` empty).
std::string kel_settings_format(const KelSettingsValues& values);
bool kel_settings_parse(std::string_view text, KelSettingsValues& values);
