#pragma once
// The process-wide settings object: user preferences and a few machine facts, kept as
// text values in the settings store (framework/settings_store.h) and cached here.
//
// A value read once is answered from the cache from then on; writes go to the cache only
// and reach the store with the next flush(), which writes every cached user-scope value
// in one step. Text forms in the store: integers "%d", floats "%f" (always with a point,
// whatever the host's locale), booleans "true" / "false", text and paths unchanged.
//
// One instance per process registers itself; the named accessors of the layers
// (AudioPortMgrRegistry, MpvRegistry, PrepatchedRegistry) are static and reach it
// through instance(). Without an instance, reads answer their defaults and writes do
// nothing.
//
// Threads: the user-interface thread and the host's open/close thread; no lock. The
// audio thread never touches the settings (it may block on the disk).
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "framework/settings_store.h"

class KelRegistry {
public:
    struct Product {
        std::string display_name;  // "Mellora"
        std::string key_name;      // "Mellora": the store's key below the maker's
        std::string version;       // "3.0"
        std::string extension;     // exchange files, ".mx3"
        std::string type_name;     // exchange files' type, "mellora-3-exchange-file"
    };

    // Creates the user key; a fresh key gets "Default_Instrument" = 1 and
    // "Export_Sub_Items" = true in the cache. A store that cannot create the key is not
    // reported: reads then fall back to their defaults and flush() fails.
    // `module_path` is the file the program was loaded from (the installation folder's
    // last fallback); empty when unknown.
    KelRegistry(Product product, std::unique_ptr<KelSettingsStore> store, std::string module_path = {});
    virtual ~KelRegistry();
    KelRegistry(const KelRegistry&) = delete;
    KelRegistry& operator=(const KelRegistry&) = delete;

    // The registered object, or null. The first object made while none is registered
    // becomes it, until it is destroyed.
    static KelRegistry* instance();

    // Scope 0 = user (kKelSettingsUser), 1 = machine. A read answers false and leaves
    // `out` unchanged when the value is missing or its text does not convert.
    bool readText(int scope, std::string_view name, std::string& out);
    bool readPath(int scope, std::string_view name, std::string& out);
    bool readBool(int scope, std::string_view name, bool& out);
    bool readInt(int scope, std::string_view name, int& out);
    bool readFloat(int scope, std::string_view name, double& out);
    // Into the cache only; false only for an unknown scope or an empty name.
    bool writeText(int scope, std::string_view name, std::string_view value);
    bool writePath(int scope, std::string_view name, std::string_view value);
    bool writeBool(int scope, std::string_view name, bool value);
    bool writeInt(int scope, std::string_view name, int value);
    bool writeFloat(int scope, std::string_view name, double value);

    // Writes every user-scope cached value: text, float, boolean, path and integer values,
    // each kind in name order (a name cached as two kinds ends as the later kind). All or
    // nothing: false when the key is missing or the store cannot be written.
    bool flush();

    const Product& product() const { return product_; }
    const std::string& modulePath() const { return module_path_; }
    // The library's folder: the user's application-data folder + "/Kestrune/" +
    // display name + " " + version. False when there is no home folder.
    bool applicationDataFolder(std::string& out) const;

    // The text forms, shared with the tests.
    static std::string formatInt(int value);
    static std::string formatFloat(double value);
    static std::string formatBool(bool value) { return value ? "true" : "false"; }
    // "true" / "yes" (any case) and "1" are true; "false" / "no" and "0" are false.
    static bool parseBool(std::string_view text, bool& out);
    // The leading decimal number (optional sign, then digits), saturated to the int range;
    // 0 when the text does not start with one.
    static int parseInt(std::string_view text);
    // A finite decimal number filling the whole text.
    static bool parseFloat(std::string_view text, double& out);

    // Values longer than this are not read (the store's values are meant to be short).
    static constexpr std::size_t kMaxTextBytes = 1024;

protected:
    // For the accessor classes below, which derive virtually: the most-derived class
    // always runs the constructor above, so this one is never what builds the object.
    KelRegistry() = default;

private:
    template <class T>
    using Cache = std::map<std::string, T, std::less<>>[2];

    bool readStored(int scope, std::string_view name, std::string& out);

    Product product_;
    std::unique_ptr<KelSettingsStore> store_;
    std::string module_path_;
    Cache<std::string> text_;
    Cache<double> float_;
    Cache<bool> bool_;
    Cache<std::string> path_;
    Cache<int> int_;
};

// Named accessors of the application layer (window, browser, library, preferences).
// Each read applies the value's default and range; each write applies the range first.
class MpvRegistry : public virtual KelRegistry {
public:
    static int getPolyphony();  // 1..32, 8
    static void setPolyphony(int voices);
    static bool getEnableTooltips();  // true
    static void setEnableTooltips(bool on);
    static int getResponsiveness();  // 1..10, 8; a write is clamped
    static void setResponsiveness(int value);
    // The user interface's refresh period for a responsiveness 1..10 (clamped).
    static int refreshPeriodMs(int responsiveness);
    static bool getLoadDirty();  // true
    static void setLoadDirty(bool ask);
    static bool getExitDirty();  // true
    static void setExitDirty(bool ask);
    // The browser's width in pixels; negative: collapsed, holding the width it had.
    static int getVSplitter();  // 240
    static void setVSplitter(int width);
    static int vsplitterRule(int width);
    // Window position and size: no default (false when never stored).
    static bool getWindowX(int& out);  // 0..600
    static bool getWindowY(int& out);  // 0..450
    static bool getWindowWidth(int& out);   // 128..2000
    static bool getWindowHeight(int& out);  // 64..1500
    static void setWindowX(int value);
    static void setWindowY(int value);
    static void setWindowWidth(int value);
    static void setWindowHeight(int value);
    static int getDefaultInstrument();  // >= 0, 0
    static void setDefaultInstrument(int id);
    static bool getExportSubItems();  // true
    static void setExportSubItems(bool on);
    static bool getRestoreFactory();  // false
    static void setRestoreFactory(bool pending);

    // The installation folder: machine value "InstallationPath", else "installation_path",
    // else the program's module path without its extension when that folder exists.
    static bool installationFolder(std::string& out);
    static bool tuningFolder(std::string& out);  // <installation>/Scala
    static bool manualPath(std::string& out);    // <installation>/Manual.pdf

    // Flushes the registered object; false without one.
    static bool flushSettings();

protected:
    MpvRegistry() = default;
};
