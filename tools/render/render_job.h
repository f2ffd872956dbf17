#pragma once
// One whole render as the command line asks for it: read the song and the preset,
// prepare the instrument, render into a temporary file beside the output and move it
// into place only when everything succeeded, so a failed or interrupted render never
// leaves a partial file under the asked name.
#include <atomic>
#include <string>

#include "tools/render/render_instrument.h"
#include "tools/render/render_options.h"
#include "tools/render/renderer.h"

namespace mellora::render {

// Exit codes of the program.
enum : int { kExitOk = 0, kExitFailed = 1, kExitBadInput = 2 };

// A song longer than this is refused (a hostile delta time could ask for years).
constexpr double kMaxSongSeconds = 4 * 3600.0;
// Preset files above this size are refused.
constexpr long kMaxPresetBytes = 4L << 20;

struct JobReport {
    RenderResult result;
    std::string out_path;  // as written
    std::string format;    // "WAV, 24-bit, 48000 Hz"
    double seconds = 0;    // of audio written
    uint32_t seed = 0;
};

// A non-zero seed from the clocks, for a render without --seed.
uint32_t clock_seed();

// Runs the render; on failure `error` is one line naming the file and the problem and
// the exit code says whose fault it was. `options.seed_given` false: a seed from the clock.
int run_render_job(const RenderOptions& options, RenderInstrument& instrument, JobReport& report,
                   std::string& error, const RenderProgress& progress = {},
                   const std::atomic<bool>* cancel = nullptr);

} // namespace mellora::render
