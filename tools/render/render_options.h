#pragma once
// The command line of mellora-render.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/render/audio_writer.h"

namespace mellora::render {

struct RenderOptions {
    std::string midi_path;              // empty with --demo
    std::string out_path;
    std::string preset_path;            // empty: the instrument's own default sound
    bool demo = false;
    bool help = false;
    bool version = false;
    bool quiet = false;                 // no summary line
    int sample_rate = 44100;
    int block = 512;
    int channel = 0;                    // 0: every channel
    int polyphony = 32;
    double tail_seconds = 10.0;
    SampleBits bits = SampleBits::pcm24;
    bool seed_given = false;
    uint32_t seed = 0;
    std::string plugin_path;            // empty: the built-in instrument; else a VST 2.4 plug-in
    std::string save_state_path;        // --save-state: the plug-in's chunk after the render
    std::string load_state_path;        // --load-state: a chunk restored before playing
    std::vector<std::pair<int, float>> params;  // --param INDEX=VALUE, in command-line order
};

// The output file --demo writes when no name is given.
constexpr const char* kDemoOutput = "mellora-demo.wav";

// Parses argv[1..]. False with a one-line message (without the program's name) for an
// unknown option, a missing or malformed value or the wrong number of file names.
bool parse_render_options(int argc, const char* const* argv, RenderOptions& options, std::string& error);
// The --help text.
const char* render_usage();

} // namespace mellora::render
