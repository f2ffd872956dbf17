// The store's text form and the in-memory store.
#include "framework/settings_store.h"

#include <algorithm>

namespace {

bool needs_escape(unsigned char c) { return c < 32 || c == 127 || c == '\\' || c == '=' || c == '#'; }

void append_escaped(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (needs_escape(c)) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unescape(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 32 && c != '\t') return false;  // raw control bytes mean a damaged file
        if (c != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x') return false;
        const int hi = hex_digit(text[i + 2]), lo = hex_digit(text[i + 3]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    return true;
}

void merge(KelSettingsValues& into, const std::string& name, const std::string& value) {
    auto it = std::find_if(into.begin(), into.end(), [&](const auto& p) { return p.first == name; });
    if (it != into.end())
        it->second = value;
    else
        into.emplace_back(name, value);
}

} // namespace

std::string kel_settings_format(const KelSettingsValues& values) {
    std::string out = "# Mellora settings: name=value, special bytes written as \\xHH\n";
    for (const auto& [name, value] : values) {
        append_escaped(out, name);
        out += '=';
        append_escaped(out, value);
        out += '\n';
    }
    return out;
}

bool kel_settings_parse(std::string_view text, KelSettingsValues& values) {
    values.clear();
    KelSettingsValues parsed;
    std::string name, value;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // edited on another system
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        if (eq == 0 || eq == std::string_view::npos) return false;
        if (!unescape(line.substr(0, eq), name) || !unescape(line.substr(eq + 1), value)) return false;
        merge(parsed, name, value);
    }
    values = std::move(parsed);
    return true;
}

KelSettingsKey KelMemorySettingsStore::create_key(int scope) {
    if (scope != kKelSettingsUser && scope != kKelSettingsMachine) return KelSettingsKey::Failed;
    if (exists_[scope]) return KelSettingsKey::Existed;
    if (fail_create_) return KelSettingsKey::Failed;
    exists_[scope] = true;
    return KelSettingsKey::Created;
}

bool KelMemorySettingsStore::key_exists(int scope) {
    return (scope == kKelSettingsUser || scope == kKelSettingsMachine) && exists_[scope];
}

bool KelMemorySettingsStore::read(int scope, std::string_view name, std::string& out) {
    if (!key_exists(scope)) return false;
    for (const auto& [n, v] : values_[scope])
        if (n == name) {
            out = v;
            return true;
        }
    return false;
}

bool KelMemorySettingsStore::write(int scope, const KelSettingsValues& values) {
    if (!key_exists(scope) || fail_writes_) return false;
    for (const auto& [n, v] : values)
        if (n.empty()) return false;
    for (const auto& [n, v] : values) merge(values_[scope], n, v);
    return true;
}
