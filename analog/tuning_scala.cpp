#include "analog/tuning_scala.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>

#include "analog/base64.h"
#include "engine/text_stream.h"

// ---- the pitch table ----

void CTuningScala::fill_table(float table[kTuningNotes]) const {
    const int n_degrees = degree_count();
    if (n_degrees == 0) {
        for (int i = 0; i < kTuningNotes; ++i) table[i] = base_pitch_;
        return;
    }
    // The steps within one period are the unison and every degree but the last; the
    // last degree is the period itself. Octaves, in double so that 128 notes of
    // accumulated periods keep the precision of the degrees.
    const double period = degrees_[n_degrees - 1] / 1200.0;
    auto step = [&](int n) { return n == 0 ? 0.0 : degrees_[n - 1] / 1200.0; };
    // Start at the step that puts the base note on the unison.
    int n = n_degrees - base_note_ % n_degrees;
    int k = 0;
    double pitch[kTuningNotes];
    for (int i = 0; i < kTuningNotes; ++i) {
        if (n >= n_degrees) {
            ++k;
            n = 0;
        }
        pitch[i] = k * period + step(n);
        ++n;
    }
    const double shift = base_pitch_ - pitch[base_note_];
    for (int i = 0; i < kTuningNotes; ++i) table[i] = static_cast<float>(pitch[i] + shift);
}

void CTuningScala::set_base_note(int note) {
    base_note_ = note < 0 ? 0 : note > 127 ? 127 : note;
    base_pitch_ = static_cast<float>(base_note_ - kMiddleC) / 12.0f;
}

void CTuningScala::reset() {
    degrees_.clear();
    base_note_ = kMiddleC;
    base_pitch_ = 0;
    description_.clear();
}

// ---- .scl files ----

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool all_digits(std::string_view s) {
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

// A run of decimal digits (any length) as a double; none when it overflows.
std::optional<double> digits_value(std::string_view digits) {
    if (digits.empty()) return 0.0;
    double v = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec != std::errc{} || r.ptr != digits.data() + digits.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// One degree line in cents: "-"? then digits with a "." (cents), digits with a "/"
// (a ratio n/d), or digits alone (a ratio n/1). Anything else, a ratio that is not
// positive, or a value out of range gives none.
std::optional<double> parse_degree(std::string_view line) {
    const bool negative = !line.empty() && line.front() == '-';
    if (negative) line.remove_prefix(1);
    const std::size_t mark = line.find_first_not_of("0123456789");
    if (mark != std::string_view::npos && line[mark] != '.' && line[mark] != '/') return std::nullopt;
    const std::string_view head = line.substr(0, mark);
    const std::string_view tail = mark == std::string_view::npos ? std::string_view() : line.substr(mark + 1);
    if (!all_digits(tail)) return std::nullopt;

    double cents;
    if (mark != std::string_view::npos && line[mark] == '.') {
        if (head.empty() && tail.empty()) return std::nullopt;  // a lone "."
        double v = 0;
        auto r = std::from_chars(line.data(), line.data() + line.size(), v);
        if (r.ec != std::errc{} || r.ptr != line.data() + line.size()) return std::nullopt;
        cents = negative ? -v : v;
    } else {
        if (negative || head.empty()) return std::nullopt;  // ratios must be positive
        const auto num = digits_value(head);
        const auto den = tail.empty() ? std::optional<double>(1.0) : digits_value(tail);  // "3/" is 3/1
        if (!num || !den || *num <= 0 || *den <= 0) return std::nullopt;
        // log2 of each side: n / d itself may overflow for long digit strings.
        cents = 1200.0 * (std::log2(*num) - std::log2(*den));
    }
    if (!std::isfinite(cents) || std::fabs(cents) > kMaxDegreeCents) return std::nullopt;
    return cents;
}

std::string_view base_name(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

bool CTuningScala::read_scl(std::string_view bytes, std::string_view file_name) {
    if (bytes.size() > kMaxScaleFileBytes) return false;
    enum { kDescription, kCount, kDegrees } stage = kDescription;
    std::size_t count = 0;
    std::vector<float> degrees;

    std::size_t pos = 0;
    while (pos < bytes.size() && !(stage == kDegrees && degrees.size() == count)) {
        std::size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos) end = bytes.size();  // a last line without its end
        const std::string_view line = trim(bytes.substr(pos, end - pos));
        pos = end + 1;
        if (!line.empty() && line.front() == '!') continue;
        switch (stage) {
        case kDescription:
            stage = kCount;
            break;
        case kCount:
            if (!all_digits(line)) return false;
            {
                // Leading zeros aside, more than five digits is beyond any allowed count.
                const std::string_view digits = line.substr(std::min(line.find_first_not_of('0'), line.size()));
                if (digits.size() > 5) return false;
                count = 0;
                for (char c : digits) count = count * 10 + static_cast<std::size_t>(c - '0');
            }
            if (count > static_cast<std::size_t>(kMaxScaleDegrees)) return false;
            degrees.reserve(count);
            stage = kDegrees;
            break;
        case kDegrees: {
            const auto cents = parse_degree(line);
            if (!cents) return false;
            degrees.push_back(static_cast<float>(*cents));
            break;
        }
        }
    }
    // A file that ends before its count is damaged (cut short in a download, say):
    // playing the degrees that happened to arrive would be a different scale.
    if (stage != kDegrees || degrees.size() != count) return false;

    degrees_ = std::move(degrees);
    description_.assign(base_name(file_name));
    return true;
}

bool CTuningScala::read_file(const std::string& path) {
    std::error_code ec;
    // Directories, devices and pipes are not scale files; a pipe would also block.
    if (!std::filesystem::is_regular_file(path, ec) || ec) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string bytes(kMaxScaleFileBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) return false;
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return read_scl(bytes, path);
}

// ---- the scale as text ----

namespace {

void append_float(std::string& out, double v) {
    char buf[32];
    // The shortest text that reads back as the same float: a round trip through a
    // preset reproduces the table exactly.
    auto r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(v));
    out.append(buf, r.ptr);
    out += '\n';
}

bool read_int_token(KelTextReader& in, int& out) {
    std::string_view t = in.next_token();
    std::size_t used = 0;
    return !t.empty() && parse_int(t, out, &used) && used == t.size();
}

bool read_float_token(KelTextReader& in, float& out) {
    std::string_view t = in.next_token();
    std::size_t used = 0;
    return !t.empty() && parse_float(t, out, &used) && used == t.size() && std::isfinite(out);
}

} // namespace

std::string CTuningScala::write_text() const {
    std::string out = "Version 2 \n";
    out += std::to_string(description_.size());
    out += ' ';
    out += description_;
    out += '\n';
    out += std::to_string(base_note_);
    out += '\n';
    append_float(out, base_pitch_);
    out += std::to_string(degrees_.size());
    out += '\n';
    for (float d : degrees_) append_float(out, d);
    return out;
}

bool CTuningScala::read_text(std::string_view text) {
    reset();
    constexpr std::string_view kHeader = "Version 2";
    std::string description;
    KelTextReader in(text);
    if (text.substr(0, kHeader.size()) == kHeader) {
        in.seek(kHeader.size());
        int length = 0;
        if (!read_int_token(in, length) || length < 0) return false;
        // One separator, then exactly `length` characters: the name may hold blanks.
        const std::size_t start = in.tell() + 1;
        if (start > text.size() || static_cast<std::size_t>(length) > text.size() - start) return false;
        description.assign(text.substr(start, static_cast<std::size_t>(length)));
        in.seek(start + static_cast<std::size_t>(length));
    }
    int base_note = 0, count = 0;
    float base_pitch = 0;
    if (!read_int_token(in, base_note) || base_note < 0 || base_note > 127) return false;
    if (!read_float_token(in, base_pitch) || std::fabs(base_pitch) > kMaxDegreeCents / 1200.0) return false;
    if (!read_int_token(in, count) || count < 0 || count > kMaxScaleDegrees) return false;
    std::vector<float> degrees(static_cast<std::size_t>(count));
    for (float& d : degrees)
        if (!read_float_token(in, d) || std::fabs(d) > kMaxDegreeCents) return false;

    degrees_ = std::move(degrees);
    base_note_ = base_note;
    base_pitch_ = base_pitch;
    description_ = std::move(description);
    return true;
}

// ---- "scala_scale" ----

std::string TuningParameter::value_text() const { return scala_ ? base64_encode(scala_->write_text()) : std::string(); }

void TuningParameter::set_value_text(std::string_view text) {
    if (!scala_) return;
    std::string decoded;
    if (!base64_decode(text, decoded) || !scala_->read_text(decoded)) scala_->reset();
}
