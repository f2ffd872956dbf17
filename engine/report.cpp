#include "engine/report.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// Most engine messages end in a line feed, some do not: one report, one line.
void stderr_sink(const char* line) {
    std::fputs(line, stderr);
    std::size_t n = std::strlen(line);
    if (n == 0 || line[n - 1] != '\n') std::fputc('\n', stderr);
}

std::atomic<KelLogSink> g_sink{stderr_sink};
std::atomic<KelMessageBox> g_box{nullptr};
std::atomic<int> g_errors{0};

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void report(const char* kind, const char* title, const char* unit, int line, const char* format,
            va_list args) {
    char message[1024];
    std::vsnprintf(message, sizeof message, format, args);
    char text[1400];
    std::snprintf(text, sizeof text, "%s(%d) : <%s> %s", base_name(unit), line, kind, message);
    if (KelLogSink sink = g_sink.load()) sink(text);
    if (KelMessageBox box = g_box.load()) box(title, message);
}

} // namespace

void kel_set_log_sink(KelLogSink sink) { g_sink.store(sink ? sink : stderr_sink); }
void kel_set_message_box(KelMessageBox box) { g_box.store(box); }

void kel_warning(const char* unit, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("warning", "Warning", unit, line, format, args);
    va_end(args);
}

void kel_error(const char* unit, int line, const char* format, ...) {
    g_errors.fetch_add(1);
    va_list args;
    va_start(args, format);
    report("error", "Error", unit, line, format, args);
    va_end(args);
}

void kel_log(const char* unit, int line, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    char text[1400];
    std::snprintf(text, sizeof text, "%s(%d) : %s", base_name(unit), line, message);
    if (KelLogSink sink = g_sink.load()) sink(text);
}

int kel_error_count() { return g_errors.load(); }
void kel_reset_error_count() { g_errors.store(0); }
