#pragma once
// Helpers for the platform tests: a temporary folder, environment variables set for
// one test, and a capture of the log lines.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/report.h"

namespace mellora::test {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "mellora-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (or, with nullopt, removes) an environment variable until destroyed.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Collects every log line while alive.
class LogCapture {
public:
    LogCapture() {
        instance() = this;
        kel_set_log_sink(&LogCapture::sink);
    }
    ~LogCapture() {
        kel_set_log_sink(nullptr);
        instance() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int count_containing(const std::string& part) const {
        int n = 0;
        for (const std::string& line : lines())
            if (line.find(part) != std::string::npos) ++n;
        return n;
    }

private:
    static LogCapture*& instance() {
        static LogCapture* current = nullptr;
        return current;
    }
    static void sink(const char* line) {
        if (LogCapture* c = instance()) {
            std::lock_guard<std::mutex> lock(c->mutex_);
            c->lines_.emplace_back(line);
        }
    }
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_whole_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace mellora::test
