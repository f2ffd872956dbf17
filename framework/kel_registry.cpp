#include "framework/kel_registry.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

#include "framework/files.h"
#include "framework/folders.h"

namespace {

KelRegistry* g_instance = nullptr;

bool valid_scope(int scope) { return scope == kKelSettingsUser || scope == kKelSettingsMachine; }

bool equal_no_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

template <class Map, class T>
bool cached(const Map& map, std::string_view name, T& out) {
    auto it = map.find(name);
    if (it == map.end()) return false;
    out = it->second;
    return true;
}

template <class Map, class T>
bool store_in(Map* caches, int scope, std::string_view name, const T& value) {
    if (!valid_scope(scope) || name.empty()) return false;
    auto it = caches[scope].find(name);
    if (it != caches[scope].end())
        it->second = value;
    else
        caches[scope].emplace(std::string(name), value);
    return true;
}

} // namespace

KelRegistry::KelRegistry(Product product, std::unique_ptr<KelSettingsStore> store, std::string module_path)
    : product_(std::move(product)), store_(std::move(store)), module_path_(std::move(module_path)) {
    if (!g_instance) g_instance = this;
    if (store_ && store_->create_key(kKelSettingsUser) == KelSettingsKey::Created) {
        writeInt(kKelSettingsUser, "Default_Instrument", 1);
        writeBool(kKelSettingsUser, "Export_Sub_Items", true);
    }
}

KelRegistry::~KelRegistry() {
    if (g_instance == this) g_instance = nullptr;
}

KelRegistry* KelRegistry::instance() { return g_instance; }

bool KelRegistry::readStored(int scope, std::string_view name, std::string& out) {
    if (!store_ || !valid_scope(scope) || name.empty()) return false;
    std::string text;
    if (!store_->read(scope, name, text) || text.size() > kMaxTextBytes) return false;
    out = std::move(text);
    return true;
}

bool KelRegistry::readText(int scope, std::string_view name, std::string& out) {
    if (!valid_scope(scope)) return false;
    if (cached(text_[scope], name, out)) return true;
    std::string text;
    if (!readStored(scope, name, text)) return false;
    store_in(text_, scope, name, text);
    out = std::move(text);
    return true;
}

bool KelRegistry::readPath(int scope, std::string_view name, std::string& out) {
    if (!valid_scope(scope)) return false;
    if (cached(path_[scope], name, out)) return true;
    std::string text;
    if (!readStored(scope, name, text)) return false;
    store_in(path_, scope, name, text);
    out = std::move(text);
    return true;
}

bool KelRegistry::readBool(int scope, std::string_view name, bool& out) {
    if (!valid_scope(scope)) return false;
    if (cached(bool_[scope], name, out)) return true;
    std::string text;
    bool value = false;
    if (!readStored(scope, name, text) || !parseBool(text, value)) return false;
    store_in(bool_, scope, name, value);
    out = value;
    return true;
}

bool KelRegistry::readInt(int scope, std::string_view name, int& out) {
    if (!valid_scope(scope)) return false;
    if (cached(int_[scope], name, out)) return true;
    std::string text;
    if (!readStored(scope, name, text)) return false;
    const int value = parseInt(text);
    store_in(int_, scope, name, value);
    out = value;
    return true;
}

bool KelRegistry::readFloat(int scope, std::string_view name, double& out) {
    if (!valid_scope(scope)) return false;
    if (cached(float_[scope], name, out)) return true;
    std::string text;
    double value = 0;
    if (!readStored(scope, name, text) || !parseFloat(text, value)) return false;
    store_in(float_, scope, name, value);
    out = value;
    return true;
}

bool KelRegistry::writeText(int scope, std::string_view name, std::string_view value) {
    return store_in(text_, scope, name, std::string(value));
}
bool KelRegistry::writePath(int scope, std::string_view name, std::string_view value) {
    return store_in(path_, scope, name, std::string(value));
}
bool KelRegistry::writeBool(int scope, std::string_view name, bool value) { return store_in(bool_, scope, name, value); }
bool KelRegistry::writeInt(int scope, std::string_view name, int value) { return store_in(int_, scope, name, value); }
bool KelRegistry::writeFloat(int scope, std::string_view name, double value) {
    // A non-finite value has no "%f" form that reads back; it is not kept.
    return std::isfinite(value) && store_in(float_, scope, name, value);
}

bool KelRegistry::flush() {
    if (!store_ || !store_->key_exists(kKelSettingsUser)) return false;
    KelSettingsValues values;
    const int u = kKelSettingsUser;
    for (const auto& [n, v] : text_[u]) values.emplace_back(n, v);
    for (const auto& [n, v] : float_[u]) values.emplace_back(n, formatFloat(v));
    for (const auto& [n, v] : bool_[u]) values.emplace_back(n, formatBool(v));
    for (const auto& [n, v] : path_[u]) values.emplace_back(n, v);
    for (const auto& [n, v] : int_[u]) values.emplace_back(n, formatInt(v));
    if (values.empty()) return true;
    return store_->write(u, values);
}

bool KelRegistry::applicationDataFolder(std::string& out) const {
    std::string data;
    if (!kel_folder_path(KelFolder::UserAppData, data)) return false;
    out = data + "/Kestrune/" + product_.display_name + " " + product_.version;
    return true;
}

std::string KelRegistry::formatInt(int value) { return std::to_string(value); }

std::string KelRegistry::formatFloat(double value) {
    // to_chars ignores the locale, unlike printf: a host running in a language with a
    // decimal comma must not write settings that other instances read differently.
    char buffer[400];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    return r.ec == std::errc() ? std::string(buffer, r.ptr) : std::string("0.000000");
}

bool KelRegistry::parseBool(std::string_view text, bool& out) {
    if (equal_no_case(text, "true") || equal_no_case(text, "yes") || text == "1") {
        out = true;
        return true;
    }
    if (equal_no_case(text, "false") || equal_no_case(text, "no") || text == "0") {
        out = false;
        return true;
    }
    return false;
}

int KelRegistry::parseInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;  // saturate
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool KelRegistry::parseFloat(std::string_view text, double& out) {
    double value = 0;
    const char* first = text.data();
    if (!text.empty() && text.front() == '+') ++first;
    const auto r = std::from_chars(first, text.data() + text.size(), value);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

// ---- application layer ----

namespace {

int read_int(std::string_view name, int fallback) {
    int v = fallback;
    if (KelRegistry* r = KelRegistry::instance()) r->readInt(kKelSettingsUser, name, v);
    return v;
}
bool read_bool(std::string_view name, bool fallback) {
    bool v = fallback;
    if (KelRegistry* r = KelRegistry::instance()) r->readBool(kKelSettingsUser, name, v);
    return v;
}
void write_int(std::string_view name, int value) {
    if (KelRegistry* r = KelRegistry::instance()) r->writeInt(kKelSettingsUser, name, value);
}
void write_bool(std::string_view name, bool value) {
    if (KelRegistry* r = KelRegistry::instance()) r->writeBool(kKelSettingsUser, name, value);
}
// A value kept inside [lo, hi], or `fallback` outside.
int in_range_or(int v, int lo, int hi, int fallback) { return v < lo || v > hi ? fallback : v; }

bool read_clamped(std::string_view name, int lo, int hi, int& out) {
    KelRegistry* r = KelRegistry::instance();
    int v = 0;
    if (!r || !r->readInt(kKelSettingsUser, name, v)) return false;
    out = std::clamp(v, lo, hi);  // a hand-edited position must not put the window off screen
    return true;
}

} // namespace

int MpvRegistry::getPolyphony() { return in_range_or(read_int("Polyphony", 8), 1, 32, 8); }
void MpvRegistry::setPolyphony(int voices) { write_int("Polyphony", in_range_or(voices, 1, 32, 8)); }
bool MpvRegistry::getEnableTooltips() { return read_bool("EnableTooltips", true); }
void MpvRegistry::setEnableTooltips(bool on) { write_bool("EnableTooltips", on); }
int MpvRegistry::getResponsiveness() { return in_range_or(read_int("Responsiveness", 8), 1, 10, 8); }
void MpvRegistry::setResponsiveness(int value) { write_int("Responsiveness", std::clamp(value, 1, 10)); }

int MpvRegistry::refreshPeriodMs(int responsiveness) {
    static constexpr int kPeriods[10] = {500, 333, 250, 200, 125, 91, 67, 50, 40, 33};
    return kPeriods[std::clamp(responsiveness, 1, 10) - 1];
}

bool MpvRegistry::getLoadDirty() { return read_bool("Load_Dirty", true); }
void MpvRegistry::setLoadDirty(bool ask) { write_bool("Load_Dirty", ask); }
bool MpvRegistry::getExitDirty() { return read_bool("Exit_Dirty", true); }
void MpvRegistry::setExitDirty(bool ask) { write_bool("Exit_Dirty", ask); }

int MpvRegistry::vsplitterRule(int width) {
    if (width < -600) return -600;
    if (width > 600) return 600;
    if (width >= -79 && width <= -1) return -80;  // a collapsed browser reopens at least 80 wide
    if (width >= 0 && width <= 79) return 80;
    return width;
}
int MpvRegistry::getVSplitter() { return vsplitterRule(read_int("VSplitter", 240)); }
void MpvRegistry::setVSplitter(int width) { write_int("VSplitter", vsplitterRule(width)); }

bool MpvRegistry::getWindowX(int& out) { return read_clamped("WindowX", 0, 600, out); }
bool MpvRegistry::getWindowY(int& out) { return read_clamped("WindowY", 0, 450, out); }
bool MpvRegistry::getWindowWidth(int& out) { return read_clamped("WindowWidth", 128, 2000, out); }
bool MpvRegistry::getWindowHeight(int& out) { return read_clamped("WindowHeight", 64, 1500, out); }
void MpvRegistry::setWindowX(int value) { write_int("WindowX", std::clamp(value, 0, 600)); }
void MpvRegistry::setWindowY(int value) { write_int("WindowY", std::clamp(value, 0, 450)); }
void MpvRegistry::setWindowWidth(int value) { write_int("WindowWidth", std::clamp(value, 128, 2000)); }
void MpvRegistry::setWindowHeight(int value) { write_int("WindowHeight", std::clamp(value, 64, 1500)); }

int MpvRegistry::getDefaultInstrument() { return std::max(read_int("Default_Instrument", 0), 0); }
void MpvRegistry::setDefaultInstrument(int id) { write_int("Default_Instrument", std::max(id, 0)); }
bool MpvRegistry::getExportSubItems() { return read_bool("Export_Sub_Items", true); }
void MpvRegistry::setExportSubItems(bool on) { write_bool("Export_Sub_Items", on); }
bool MpvRegistry::getRestoreFactory() { return read_bool("RestoreFactory", false); }
void MpvRegistry::setRestoreFactory(bool pending) { write_bool("RestoreFactory", pending); }

bool MpvRegistry::installationFolder(std::string& out) {
    KelRegistry* r = KelRegistry::instance();
    if (!r) return false;
    std::string path;
    if ((r->readPath(kKelSettingsMachine, "InstallationPath", path) ||
         r->readPath(kKelSettingsMachine, "installation_path", path)) &&
        !path.empty()) {
        out = path;
        return true;
    }
    // Beside the module, a folder named like it: ".../Mellora.so" gives ".../Mellora".
    const std::string& module = r->modulePath();
    const size_t slash = module.rfind('/');
    const size_t dot = module.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1) return false;
    const std::string folder = module.substr(0, dot);
    if (!kel_folder_exists(folder)) return false;
    out = folder;
    return true;
}

bool MpvRegistry::tuningFolder(std::string& out) {
    std::string base;
    if (!installationFolder(base)) return false;
    out = base + "/Scala";
    return true;
}

bool MpvRegistry::manualPath(std::string& out) {
    std::string base;
    if (!installationFolder(base)) return false;
    out = base + "/Manual.pdf";
    return true;
}

bool MpvRegistry::flushSettings() {
    KelRegistry* r = KelRegistry::instance();
    return r && r->flush();
}
