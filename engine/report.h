#pragma once
// The two failure reports shared by the whole program.
//
// A warning writes "unit(line) : <warning> message" to the log sink and hands the
// message to the message-box service under the title "Warning". An error does the
// same with "<error>" and the title "Error", and records the failure. It never ends
// the process: inside a host that would take the host and the user's unsaved project
// with it. Callers that can fail check kel_error_count() (or their own result) and
// answer failure instead.
//
// Threads: callable from any thread; the sink and box service are installed once at
// start-up, before other threads run. Reports format into a fixed buffer and do not
// allocate, but the installed sink and box may block: reports belong to construction
// and user actions, never to a render.
#include <cstdarg>

using KelLogSink = void (*)(const char* line);
using KelMessageBox = void (*)(const char* title, const char* text);

// Replace the log sink (default: standard error, the nearest thing to debugger output).
void kel_set_log_sink(KelLogSink sink);
// Replace the message-box service (default: none; headless programs only log).
void kel_set_message_box(KelMessageBox box);

void kel_warning(const char* unit, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
void kel_error(const char* unit, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
// A trace line for the log only, "unit(line) : message": facts worth knowing that need
// no box (a fallback taken, a file ignored), so the user is not interrupted.
void kel_log(const char* unit, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Number of errors reported since start-up (or the last reset); a caller compares it
// before and after an operation to learn whether the operation failed.
int kel_error_count();
void kel_reset_error_count();

#define KEL_WARNING(...) kel_warning(__FILE__, __LINE__, __VA_ARGS__)
#define KEL_ERROR(...) kel_error(__FILE__, __LINE__, __VA_ARGS__)
#define KEL_LOG(...) kel_log(__FILE__, __LINE__, __VA_ARGS__)
