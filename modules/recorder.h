#pragma once
// "recorder": writes the instrument's stereo output to a 16-bit WAV or AIFF file while
// the user records. Descriptor "%f %d %63s" (sample rate, an unused integer, name).
// Two inputs (left, right), no outputs; a protected module, so presets leave it alone.
//
// Messages (parameter id = message number, value as a controller position):
//   1 start, 2 stop, 3 limiter (1 soft, anything else hard), 8 trigger mode (0 none,
//   1 start on trigger, 2 record while triggered), 11 choose a file: raises the dialog
//   request, tells the observer setting 11 (it runs recorder_choose_file on the
//   user-interface thread), then stops like 2.
// Reports (get_message, kind 1): 1 recording, 2 always 0, 3 soft limiter, 4 mono sink,
//   5 stereo sink, 6 8-bit sink, 7 16-bit sink, 8 trigger mode, 9 clipped; 10 the file
//   name, a string (kind 4, not owned).
//
// Threads: process and messages on the audio thread (no lock, no allocation, no file
// I/O: samples go through the sink's ring to its disk writer). recorder_choose_file on
// the user-interface thread; it swaps the sink only while the audio side is kept out of
// process by a pause handshake. Creation, state text, get_message and destruction on
// the user-interface thread while no render runs (get_message also on the audio thread).
#include <string>
#include <string_view>

struct t_module;
class KelSoundSink;

enum : int {
    kRecorderStart = 1,
    kRecorderStop = 2,
    kRecorderLimiter = 3,
    kRecorderTriggerMode = 8,
    kRecorderChooseFile = 11,
};

enum : int {
    kRecorderParamRecording = 1,
    kRecorderParamSoft = 3,
    kRecorderParamMono = 4,
    kRecorderParamStereo = 5,
    kRecorderParam8Bit = 6,
    kRecorderParam16Bit = 7,
    kRecorderParamTrigger = 8,
    kRecorderParamClipped = 9,
    kRecorderParamFileName = 10,
};

t_module* recorder_create(std::string_view line);

// Runs the save dialog ("Save Audio File") through the installed file-dialog service and,
// on a usable answer, installs a new sink for it. False when cancelled, when the file
// cannot be opened for appending, when another dialog is running, or when the audio
// thread could not be kept out of the module (the recorder is then unchanged).
bool recorder_choose_file(t_module* m);
// True once per file request of message 11 (for a user-interface loop that polls).
bool recorder_take_dialog_request(t_module* m);
// The chosen file's full path ("empty" before one was chosen) and its last part.
const std::string& recorder_path(t_module* m);
const std::string& recorder_file_name(t_module* m);
// The installed sink, null before a file was chosen.
KelSoundSink* recorder_sink(t_module* m);

// Escapes a path into one state-text token: bytes below 33, from 128 up, and "%" become
// "%" and two upper-case hexadecimal digits.
std::string recorder_escape_path(std::string_view path);

// The limiter curves, shared with the tests.
float recorder_hard_limit(float x);
float recorder_soft_limit(float x);
