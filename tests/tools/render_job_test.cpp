// Whole renders as the command line runs them: the file appears only when everything
// worked, bad input is refused before anything is written, seeds repeat bit for bit,
// and the installed program answers with the agreed exit codes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/smf_builder.h"
#include "tools/render/demo_instrument.h"
#include "tools/render/render_job.h"

using namespace mellora::render;
using namespace mellora::test;

namespace {

class RenderJob : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/mellora-job-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        for (const std::string& f : files()) ::unlink((dir_ + "/" + f).c_str());
        ::rmdir(dir_.c_str());
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    void write(const char* name, const Bytes& bytes) const {
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    void write(const char* name, const std::string& text) const { std::ofstream(path(name)) << text; }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            ::closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string contents(const char* name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int run(const RenderOptions& o, std::string& error) {
        DemoGraphInstrument instrument;
        JobReport report;
        const int code = run_render_job(o, instrument, report, error);
        frames_ = report.result.frames;
        return code;
    }
    RenderOptions options(const char* midi, const char* out) const {
        RenderOptions o;
        o.midi_path = path(midi);
        o.out_path = path(out);
        o.tail_seconds = 0.25;
        return o;
    }

    std::string dir_;
    uint64_t frames_ = 0;
};

// One note of a quarter at 120 BPM, then one more quarter to the end of track: 1 s.
const Bytes kSong = header(0, 1, 96) + track(ev(0, {0x90, 60, 100}) + ev(96, {0x80, 60, 0}) + end_of_track(96));

} // namespace

TEST_F(RenderJob, WritesTheFileOnlyWhenEverythingWorked) {
    write("song.mid", kSong);
    std::string error;
    RenderOptions o = options("song.mid", "out.flac");
    o.sample_rate = 48000;
    o.bits = SampleBits::pcm16;
    ASSERT_EQ(run(o, error), kExitOk) << error;
    EXPECT_EQ(files(), (std::vector<std::string>{"out.flac", "song.mid"}));  // no temporary left
    SF_INFO info{};
    SNDFILE* f = sf_open(path("out.flac").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    sf_close(f);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.frames, 48000 + 12000);  // 1 s of song, then the demo graph's steady level to the cap
    EXPECT_EQ(uint64_t(info.frames), frames_);
}

TEST_F(RenderJob, BadInputIsRefusedAndLeavesNoFile) {
    write("song.mid", kSong);
    write("junk.mid", std::string("RIFF....WAVEfmt "));
    write("cut.mid", Bytes(kSong.begin(), kSong.end() - 5));
    write("bad-preset.txt", std::string("these are not the settings you are looking for"));
    struct Case {
        const char* midi;
        const char* out;
        const char* preset;
        bool demo;
        const char* error;
    };
    const Case cases[] = {
        {"junk.mid", "out.wav", "", false, "junk.mid: not a MIDI file (no MThd header)"},
        {"cut.mid", "out.wav", "", false, "cut.mid: truncated chunk 'MTrk'"},
        {"missing.mid", "out.wav", "", false, "missing.mid: No such file or directory"},
        {"song.mid", "out.ogg", "", false, "out.ogg: unknown audio file extension '.ogg'"},
        {"song.mid", "no-folder/out.wav", "", false, "no-folder/out.wav: cannot create the file"},
        {"song.mid", "out.wav", "missing.txt", false, "missing.txt: No such file or directory"},
        {"song.mid", "out.wav", "bad-preset.txt", false, "bad-preset.txt: not an instrument state text"},
        {"", "out.wav", "bad-preset.txt", true, "bad-preset.txt: not an instrument state text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        RenderOptions o = options(c.midi, c.out);
        o.demo = c.demo;
        if (*c.preset) o.preset_path = path(c.preset);
        std::string error;
        EXPECT_EQ(run(o, error), kExitBadInput);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(files(), (std::vector<std::string>{"bad-preset.txt", "cut.mid", "junk.mid", "song.mid"}));
    }
    // A folder as the output.
    RenderOptions o = options("song.mid", "out.wav");
    o.out_path = dir_ + "/sub.wav";
    ASSERT_EQ(::mkdir(o.out_path.c_str(), 0700), 0);
    std::string error;
    EXPECT_EQ(run(o, error), kExitBadInput);
    EXPECT_NE(error.find("sub.wav: is a folder"), std::string::npos) << error;
    ::rmdir(o.out_path.c_str());
}

TEST_F(RenderJob, RefusesASongOfYears) {
    // The longest delta time at 1 tick a quarter and the slowest tempo: 2^28 × 16.7 s.
    write("long.mid", header(0, 1, 1) + track(tempo(0, 0xffffff) + ev(0x0fffffff, {0x90, 60, 1})));
    std::string error;
    EXPECT_EQ(run(options("long.mid", "out.wav"), error), kExitBadInput);
    EXPECT_NE(error.find("long.mid: the song lasts 1251000 hours, more than the 4 hours"), std::string::npos) << error;
}

TEST_F(RenderJob, PresetTextIsLoaded) {
    // The demo graph's own state with the first gain fully up: a louder left channel.
    DemoGraphInstrument source;
    std::string error;
    ASSERT_TRUE(source.prepare(44100, 512, 32, 1, error));
    t_message full = make_int_message(source.synth().gain_a->id, 1, 127);
    source.synth().dispatch(&full);
    KelTextWriter text;
    module_write_state(source.synth().root(), text);
    write("loud.txt", text.str());
    write("song.mid", kSong);

    RenderOptions o = options("song.mid", "out.wav");
    o.bits = SampleBits::float32;
    o.preset_path = path("loud.txt");
    ASSERT_EQ(run(o, error), kExitOk) << error;
    SF_INFO info{};
    SNDFILE* f = sf_open(path("out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> frames(2 * info.frames);
    sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    // tone_a's gain at 127/64 instead of 1: (0.25 × 127/64 - 0.125) × 0.5 left, not 0.0625.
    EXPECT_NEAR(frames[frames.size() - 2], (0.25f * 127 / 64 - 0.125f) * 0.5f, 1e-5f);
}

TEST_F(RenderJob, EqualSeedsGiveIdenticalFiles) {
    std::string error;
    RenderOptions o;
    o.demo = true;
    o.tail_seconds = 0;
    o.seed_given = true;
    o.seed = 1234;
    o.out_path = path("a.wav");
    ASSERT_EQ(run(o, error), kExitOk) << error;
    o.out_path = path("b.wav");
    ASSERT_EQ(run(o, error), kExitOk) << error;
    EXPECT_GT(contents("a.wav").size(), 44100u * 6 * 20);  // the demo piece lasts over 20 s
    EXPECT_EQ(contents("a.wav"), contents("b.wav"));
}

#ifdef MELLORA_RENDER_PROGRAM
TEST_F(RenderJob, ProgramExitCodesAndOutput) {
    write("song.mid", kSong);
    write("junk.mid", std::string("MThd"));
    auto program = [&](const std::string& args) {
        const std::string command = std::string(MELLORA_RENDER_PROGRAM) + " " + args + " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(program("--help"), 0);
    EXPECT_EQ(program("--version"), 0);
    EXPECT_EQ(program("--rate 1000 " + path("song.mid") + " " + path("out.wav")), 2);
    EXPECT_EQ(program(path("junk.mid") + " " + path("out.wav")), 2);
    EXPECT_EQ(program(""), 2);
    EXPECT_EQ(files(), (std::vector<std::string>{"junk.mid", "song.mid"}));

    const std::string render = "--rate 96000 --bits 16 --tail 0.5 --seed 9 " + path("song.mid") + " ";
    ASSERT_EQ(program(render + path("one.aiff")), 0);
    ASSERT_EQ(program(render + path("two.aiff")), 0);
    EXPECT_EQ(contents("one.aiff"), contents("two.aiff"));
    // An independent reader agrees on rate, depth and length, when one is installed.
    if (std::system("command -v soxi >/dev/null 2>&1") == 0) {
        auto soxi = [&](const char* flag) {
            FILE* p = ::popen(("soxi " + std::string(flag) + " " + path("one.aiff")).c_str(), "r");
            char out[64] = {};
            const std::size_t n = p ? std::fread(out, 1, sizeof out - 1, p) : 0;
            if (p) ::pclose(p);
            return std::string(out, n);
        };
        EXPECT_EQ(soxi("-r"), "96000\n");
        EXPECT_EQ(soxi("-b"), "16\n");
        EXPECT_EQ(soxi("-s"), "144000\n");  // 1 s of song and the 0.5 s cap
    }
}
#endif
