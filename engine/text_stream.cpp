#include "engine/text_stream.h"

#include <charconv>
#include <cmath>

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
} // namespace

void KelTextReader::skip_blanks() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
}

std::string_view KelTextReader::next_token() {
    skip_blanks();
    std::size_t start = pos_;
    while (pos_ < text_.size() && !is_blank(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
}

char KelTextReader::peek_char() {
    skip_blanks();
    return pos_ < text_.size() ? text_[pos_] : '\0';
}

void KelTextReader::get_char() {
    skip_blanks();
    if (pos_ < text_.size()) ++pos_;
}

bool KelTextReader::at_end() {
    skip_blanks();
    return pos_ >= text_.size();
}

KelTextWriter& KelTextWriter::operator<<(int v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    text_.append(buf, r.ptr);
    return *this;
}

bool parse_float(std::string_view s, float& out, std::size_t* used) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    // from_chars also accepts "inf" and "nan"; state text never legitimately holds them.
    if (i >= s.size() || !((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) return false;
    float v = 0;
    auto r = std::from_chars(s.data() + i, s.data() + s.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large or too small for a float: saturate like strtof does.
        double d = 0;
        auto rd = std::from_chars(s.data() + i, s.data() + s.size(), d, std::chars_format::general);
        if (rd.ec != std::errc{} && rd.ec != std::errc::result_out_of_range) return false;
        if (rd.ec == std::errc::result_out_of_range) {
            // Beyond a double as well, and from_chars leaves d alone: the exponent's sign
            // tells overflow from underflow.
            std::string_view digits(s.data() + i, static_cast<std::size_t>(rd.ptr - (s.data() + i)));
            std::size_t e = digits.find_first_of("eE");
            d = (e != std::string_view::npos && e + 1 < digits.size() && digits[e + 1] == '-') ? 0.0 : 2.0;
        }
        v = std::fabs(d) > 1 ? HUGE_VALF : 0.0f;
        r = rd;
    } else if (r.ec != std::errc{}) {
        return false;
    }
    // A denormal value would slow every signal it scales; it reads as 0, like smaller numbers.
    if (std::fpclassify(v) == FP_SUBNORMAL) v = 0;
    out = negative ? -v : v;
    if (used) *used = static_cast<std::size_t>(r.ptr - s.data());
    return true;
}

bool parse_int(std::string_view s, int& out, std::size_t* used) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i < s.size() && s[i] == '+') ++i;
    int v = 0;
    auto r = std::from_chars(s.data() + i, s.data() + s.size(), v);
    if (r.ec != std::errc{}) return false;
    out = v;
    if (used) *used = static_cast<std::size_t>(r.ptr - s.data());
    return true;
}

std::string format_float(float v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
    return std::string(buf, r.ptr);
}

bool KelDescriptor::f(float& out) {
    if (!ok_) return false;
    std::string_view t = reader_.next_token();
    std::size_t used = 0;
    float v = 0;
    if (t.empty() || !parse_float(t, v, &used) || used != t.size()) return ok_ = false;
    out = v;
    return true;
}

bool KelDescriptor::d(int& out) {
    if (!ok_) return false;
    std::string_view t = reader_.next_token();
    std::size_t used = 0;
    int v = 0;
    if (t.empty() || !parse_int(t, v, &used) || used != t.size()) return ok_ = false;
    out = v;
    return true;
}

bool KelDescriptor::s(std::string& out) {
    if (!ok_) return false;
    std::string_view t = reader_.next_token();
    if (t.empty()) return ok_ = false;
    out.assign(t.substr(0, 63));
    return true;
}
