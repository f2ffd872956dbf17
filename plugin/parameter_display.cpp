#include "plugin/parameter_display.h"

#include <cmath>
#include <cstdio>

#include "modules/parameter.h"

std::string choose_name_variant(std::string_view name_text, std::size_t n) {
    std::string_view last;
    std::size_t start = 0;
    while (start <= name_text.size()) {
        std::size_t end = name_text.find('\n', start);
        if (end == std::string_view::npos) end = name_text.size();
        std::string_view variant = name_text.substr(start, end - start);
        // A trailing line end (or an empty line between variants) is no variant.
        if (!variant.empty()) {
            if (variant.size() <= n) return std::string(variant);
            last = variant;
        }
        start = end + 1;
    }
    return std::string(last.substr(0, n));
}

namespace {

std::string fixed(double v, int decimals, const char* suffix = "") {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f%s", decimals, v, suffix);
    return buffer;
}

std::string general3(double v, const char* suffix) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3g%s", v, suffix);
    return buffer;
}

std::string integer(long long v, const char* suffix = "") {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%lld%s", v, suffix);
    return buffer;
}

// Truncation toward zero that cannot overflow on a huge or NaN value.
long long to_int(double v) {
    if (!std::isfinite(v)) return 0;
    if (v > 9.0e18) return 9000000000000000000LL;
    if (v < -9.0e18) return -9000000000000000000LL;
    return static_cast<long long>(v);
}

std::string decibels(double g) { return fixed(g, std::fabs(g) < 10 ? 1 : 0, " dB"); }

// Seconds as the time displays write them: milliseconds below one second.
std::string seconds(double s) {
    if (std::fabs(s) < 1) return integer(to_int(s * 1000), " ms");
    return fixed(s, std::fabs(s) < 100 ? 1 : 0, " s");
}

}  // namespace

std::string parameter_display_text(int type, float value, int k) {
    const double v = value;
    switch (type) {
    case 0: return integer(k);
    case 1:
    case 22: return fixed(v, std::fabs(v) < 1 ? 2 : (std::fabs(v) < 10 ? 1 : 0));
    case 2:
        if (k == 64) return "50%";
        return general3(static_cast<float>(static_cast<float>(k) * 100.0f / 127.0f), "%");
    case 3: return fixed(v, v < 10 ? 2 : (v < 10000 ? 1 : 0), " Hz");
    case 4: return decibels(v);
    case 5: return k <= 0 ? std::string("-inf dB") : decibels(v);
    case 6: return integer(to_int(v * 100), "%");
    case 7: return k <= 0 ? std::string("0%") : integer(to_int(v * 100), "%");
    case 8: return fixed(v, v < 100 ? 1 : 0, " BPM");
    case 9: return k != 0 ? "On" : "Off";
    case 10: return v == 0 ? std::string("-inf dB") : decibels(20 * std::log10(v));
    case 11: return k <= 0 ? std::string("-inf dB") : decibels(20 * std::log10(v));
    case 12: {
        const double w = v * 60;
        return fixed(w, w < 100 ? 1 : 0, " BPM");
    }
    case 13: {
        const double w = v * 0.016666668;
        return fixed(w, w < 100 ? 1 : 0, " Hz");
    }
    case 14: return seconds(v);
    case 15:
        if (k == 0) return "0 s";
        if (v > 0 && v < 1) return integer(to_int(v * 1000), " ms");
        return fixed(v, std::fabs(v) < 100 ? 1 : 0, " s");
    case 16: return fixed(v * 1000, 2, " ms");
    case 17: return k != 0 ? "Stereo" : "Mono";
    case 18: return k != 0 ? "Rhodes" : "Triangular";
    case 19: return k != 0 ? "External" : "Internal";
    case 20: return v == 0 ? std::string() : seconds(1 / v);
    case 21: return k != 0 ? "Poly" : "Mono";
    default: return std::string();
    }
}

std::string parameter_display_text(const Parameter& p) {
    return parameter_display_text(p.display_type(), p.value(), static_cast<int>(std::trunc(p.controller_float())));
}
