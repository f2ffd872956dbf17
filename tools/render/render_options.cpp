#include "tools/render/render_options.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

namespace mellora::render {

namespace {

constexpr int kRates[] = {44100, 48000, 88200, 96000, 192000};
constexpr int kMaxBlock = 8192;
constexpr double kMaxTailSeconds = 3600.0;

template <typename T>
bool whole_number(std::string_view text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool decimal(std::string_view text, double& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);  // locale-free
    return ec == std::errc() && ptr == end && !text.empty() && std::isfinite(out);
}

bool int_in(std::string_view name, std::string_view text, int lo, int hi, int& out, std::string& error) {
    if (whole_number(text, out) && out >= lo && out <= hi) return true;
    error = std::string(name) + " takes a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
            ", not '" + std::string(text) + "'";
    return false;
}

} // namespace

bool parse_render_options(int argc, const char* const* argv, RenderOptions& o, std::string& error) {
    o = RenderOptions{};
    std::vector<std::string_view> files;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        if (arg == "--version") {
            o.version = true;
            continue;
        }
        if (arg == "--demo") {
            o.demo = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
            continue;
        }
        // Options with a value: "--rate 48000" or "--rate=48000".
        std::string_view name = arg, value;
        bool has_value = false;
        if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        static constexpr std::string_view kValued[] = {"--rate",  "--bits",   "--block", "--channel",
                                                       "--tail",  "--preset", "--seed",  "--polyphony",
                                                       "--plugin", "--save-state", "--load-state", "--param"};
        bool known = false;
        for (std::string_view k : kValued) known = known || name == k;
        if (!known) {
            error = "unknown option '" + std::string(name) + "' (see --help)";
            return false;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return false;
            }
            value = argv[++i];
        }

        if (name == "--rate") {
            int rate = 0;
            bool ok = whole_number(value, rate);
            bool listed = false;
            for (int r : kRates) listed = listed || r == rate;
            if (!ok || !listed) {
                error = "--rate takes 44100, 48000, 88200, 96000 or 192000, not '" + std::string(value) + "'";
                return false;
            }
            o.sample_rate = rate;
        } else if (name == "--bits") {
            if (!parse_sample_bits(value, o.bits)) {
                error = "--bits takes 16, 24 or 32f, not '" + std::string(value) + "'";
                return false;
            }
        } else if (name == "--block") {
            if (!int_in(name, value, 1, kMaxBlock, o.block, error)) return false;
        } else if (name == "--channel") {
            if (!int_in(name, value, 1, 16, o.channel, error)) return false;
        } else if (name == "--polyphony") {
            if (!int_in(name, value, 1, 32, o.polyphony, error)) return false;
        } else if (name == "--tail") {
            if (!decimal(value, o.tail_seconds) || o.tail_seconds < 0 || o.tail_seconds > kMaxTailSeconds) {
                error = "--tail takes seconds from 0 to 3600, not '" + std::string(value) + "'";
                return false;
            }
        } else if (name == "--seed") {
            if (!whole_number(value, o.seed)) {
                error = "--seed takes a whole number from 0 to 4294967295, not '" + std::string(value) + "'";
                return false;
            }
            o.seed_given = true;
        } else if (name == "--preset") {
            if (value.empty()) {
                error = "--preset needs a file name";
                return false;
            }
            o.preset_path = value;
        } else if (name == "--plugin" || name == "--save-state" || name == "--load-state") {
            if (value.empty()) {
                error = std::string(name) + " needs a file name";
                return false;
            }
            (name == "--plugin" ? o.plugin_path : name == "--save-state" ? o.save_state_path : o.load_state_path) =
                value;
        } else if (name == "--param") {
            const std::size_t eq = value.find('=');
            int index = -1;
            double v = 0;
            if (eq == std::string_view::npos || !whole_number(value.substr(0, eq), index) || index < 0 ||
                !decimal(value.substr(eq + 1), v) || v < 0 || v > 1) {
                error = "--param takes INDEX=VALUE with a value from 0 to 1, not '" + std::string(value) + "'";
                return false;
            }
            o.params.emplace_back(index, static_cast<float>(v));
        }
    }
    if (o.help || o.version) return true;
    if (o.plugin_path.empty() && (!o.save_state_path.empty() || !o.load_state_path.empty() || !o.params.empty())) {
        error = "--save-state, --load-state and --param need --plugin";
        return false;
    }
    if (o.demo) {
        if (files.size() > 1) {
            error = "--demo takes at most one file name (the output)";
            return false;
        }
        o.out_path = files.empty() ? kDemoOutput : std::string(files[0]);
        return true;
    }
    if (files.size() != 2) {
        error = files.empty()       ? "no MIDI file given (usage: mellora-render song.mid out.wav, or --demo)"
                : files.size() == 1 ? "no output file given (usage: mellora-render song.mid out.wav)"
                                    : "too many file names (usage: mellora-render song.mid out.wav)";
        return false;
    }
    o.midi_path = files[0];
    o.out_path = files[1];
    return true;
}

const char* render_usage() {
    return "Usage: mellora-render [options] song.mid out.wav\n"
           "       mellora-render --demo [options] [out.wav]\n"
           "\n"
           "Renders a Standard MIDI File (format 0 or 1) through the Mellora electric piano\n"
           "into an audio file. The format follows the output's extension: .wav, .aiff/.aif,\n"
           ".flac, .w64 or .caf. After the last event the render goes on until the sound has\n"
           "died away (0.5 s below -90 dBFS), at most for the tail time.\n"
           "\n"
           "Options:\n"
           "  --demo             render the built-in piece (to mellora-demo.wav by default)\n"
           "  --rate HZ          44100 (default), 48000, 88200, 96000 or 192000\n"
           "  --bits B           16, 24 (default) or 32f (32-bit float; not for FLAC)\n"
           "  --channel N        play MIDI channel N (1..16) only; default: every channel\n"
           "  --polyphony N      voices, 1..32 (default 32)\n"
           "  --block N          host block size in frames, 1..8192 (default 512)\n"
           "  --tail SECONDS     longest ring-out after the last event, 0..3600 (default 10)\n"
           "  --preset FILE      load an instrument state text before playing\n"
           "  --seed N           seed of the instrument's noise: equal seeds give\n"
           "                     bit-identical files (default: a new seed every run)\n"
           "  --plugin FILE      render through a VST 2.4 instrument plug-in (.so) instead\n"
           "  --load-state FILE  restore the plug-in's saved state before playing\n"
           "  --save-state FILE  write the plug-in's state after the render\n"
           "  --param I=V        set plug-in parameter I to V (0..1) before playing; repeatable\n"
           "  -q, --quiet        no summary line\n"
           "  -h, --help         this text\n"
           "      --version      the program's version\n"
           "\n"
           "A progress bar is shown on standard error when it is a terminal. Exit status:\n"
           "0 success, 2 bad arguments or input, 1 the instrument or the render failed.\n";
}

} // namespace mellora::render
