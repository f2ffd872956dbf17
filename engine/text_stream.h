#pragma once
// Text streams for module state text and descriptor lines.
//
// State text comes from presets, host chunks and exchange files, so the reader treats
// it as hostile: every read is bounds-checked, tokens are views into the text, and the
// reader never goes past the end. Numbers are parsed and printed without the C locale,
// so a host running in a locale with a decimal comma still reads and writes "0.5".
#include <cstddef>
#include <string>
#include <string_view>

class KelTextReader {
public:
    explicit KelTextReader(std::string_view text) : text_(text) {}

    // Next run of non-blank characters; empty at the end of the text.
    std::string_view next_token();
    // The first non-blank character, not consumed; '\0' at the end.
    char peek_char();
    // Consumes one character (after skipping blanks).
    void get_char();
    bool at_end();

    std::size_t tell() const { return pos_; }
    void seek(std::size_t pos) { pos_ = pos < text_.size() ? pos : text_.size(); }
    std::string_view text() const { return text_; }

private:
    void skip_blanks();
    std::string_view text_;
    std::size_t pos_ = 0;
};

class KelTextWriter {
public:
    KelTextWriter& operator<<(std::string_view s) {
        text_.append(s);
        return *this;
    }
    KelTextWriter& operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    KelTextWriter& operator<<(int v);
    void flush() {}

    const std::string& str() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

// Locale-free number conversions shared by parameters and descriptors.
// parse_float reads the decimal number at the start of s (after blanks, with an
// optional sign); false when there is none. format_float prints six significant
// digits in the shortest general form, like the default stream formatting.
bool parse_float(std::string_view s, float& out, std::size_t* used = nullptr);
bool parse_int(std::string_view s, int& out, std::size_t* used = nullptr);
std::string format_float(float v);

// Reads a module's creation line field by field, as its format says: a float,
// an integer, or a name of at most 63 characters. Each call returns false when the
// next field is missing or malformed; the scanner then stays failed.
class KelDescriptor {
public:
    explicit KelDescriptor(std::string_view line) : reader_(line) {}
    bool f(float& out);
    bool d(int& out);
    bool s(std::string& out);  // at most 63 characters; the rest of the token is dropped
    bool skip_f() { float x; return f(x); }
    bool skip_d() { int x; return d(x); }
    bool ok() const { return ok_; }

private:
    KelTextReader reader_;
    bool ok_ = true;
};
