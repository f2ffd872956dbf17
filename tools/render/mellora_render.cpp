// mellora-render: a Standard MIDI File in, an audio file out, through the instrument.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tools/render/mellora_instrument.h"
#include "tools/render/render_job.h"
#include "tools/render/vst_host_instrument.h"

#ifndef MELLORA_VERSION
#define MELLORA_VERSION "0"
#endif

using namespace mellora::render;

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_interrupt(int) { g_interrupted.store(true); }

// A bar on standard error, redrawn only when its text changes.
class ProgressBar {
public:
    void operator()(uint64_t done, uint64_t most) {
        const int percent = most ? int(done * 100 / most) : 100;
        if (percent == shown_) return;
        shown_ = percent;
        char bar[41];
        const int filled = percent * 40 / 100;
        for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
        bar[40] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
        std::fflush(stderr);
    }
    void finish() {
        if (shown_ >= 0) std::fputs("\r\033[K", stderr);
    }

private:
    int shown_ = -1;
};

// Sets up the plug-in host: bad plug-ins and unreadable state files are bad input.
bool prepare_plugin(const RenderOptions& options, VstHostInstrument& host, std::string& error) {
    if (!host.load(options.plugin_path, error, options.seed)) return false;
    if (!options.load_state_path.empty()) {
        std::ifstream in(options.load_state_path, std::ios::binary);
        std::vector<char> chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) chunk.clear();
        if (chunk.empty()) {
            error = options.load_state_path + ": cannot be read or is empty";
            return false;
        }
        if (!host.restore_state(chunk, error)) {
            error = options.load_state_path + ": " + error;
            return false;
        }
    }
    for (const auto& [index, value] : options.params)
        if (!host.set_parameter(index, value, error)) return false;
    return true;
}

bool save_plugin_state(const std::string& path, VstHostInstrument& host, std::string& error) {
    std::vector<char> chunk;
    if (!host.get_state(chunk, error)) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    out.close();
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    RenderOptions options;
    std::string error;
    if (!parse_render_options(argc, argv, options, error)) {
        std::fprintf(stderr, "mellora-render: %s\n", error.c_str());
        return kExitBadInput;
    }
    if (options.help) {
        std::fputs(render_usage(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("mellora-render %s\n", MELLORA_VERSION);
        return kExitOk;
    }

    // An interrupted render stops between blocks so that its temporary file is removed.
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);

    ProgressBar bar;
    RenderProgress progress;
    // The tail's end is not known in advance: the bar runs to the tail cap and the
    // render may finish early.
    if (::isatty(STDERR_FILENO)) progress = [&bar](uint64_t done, uint64_t most) { bar(done, most); };

    std::unique_ptr<MelloraInstrument> direct;
    std::unique_ptr<VstHostInstrument> host;
    RenderInstrument* instrument = nullptr;
    if (options.plugin_path.empty()) {
        direct = std::make_unique<MelloraInstrument>();
        instrument = direct.get();
    } else {
        // The plug-in takes its seed when it opens, before the job starts: fix it now.
        if (!options.seed_given) {
            options.seed = clock_seed();
            options.seed_given = true;
        }
        host = std::make_unique<VstHostInstrument>();
        if (!prepare_plugin(options, *host, error)) {
            std::fprintf(stderr, "mellora-render: %s\n", error.c_str());
            return kExitBadInput;
        }
        instrument = host.get();
    }
    JobReport report;
    const int code = run_render_job(options, *instrument, report, error, progress, &g_interrupted);
    bar.finish();
    if (code != kExitOk) {
        std::fprintf(stderr, "mellora-render: %s\n", error.c_str());
        return code;
    }
    if (host && !options.save_state_path.empty() && !save_plugin_state(options.save_state_path, *host, error)) {
        std::fprintf(stderr, "mellora-render: %s\n", error.c_str());
        return kExitFailed;
    }
    if (host) host->close();
    if (report.result.late_events)
        std::fprintf(stderr,
                     "mellora-render: %llu events played a frame late: more at one frame than the instrument takes\n",
                     static_cast<unsigned long long>(report.result.late_events));
    if (report.result.dropped_events)
        std::fprintf(stderr, "mellora-render: %llu events dropped: the instrument took none\n",
                     static_cast<unsigned long long>(report.result.dropped_events));
    if (report.result.non_finite)
        std::fprintf(stderr, "mellora-render: %llu invalid samples (NaN or infinite) written as silence\n",
                     static_cast<unsigned long long>(report.result.non_finite));
    if (report.result.over_full_scale && options.bits != SampleBits::float32)
        std::fprintf(stderr, "mellora-render: %llu samples beyond full scale were clipped (try --bits 32f)\n",
                     static_cast<unsigned long long>(report.result.over_full_scale));
    if (!options.quiet)
        std::printf("mellora-render: wrote %s (%.2f s, %s, seed %u)\n", report.out_path.c_str(), report.seconds,
                    report.format.c_str(), report.seed);
    return kExitOk;
}
