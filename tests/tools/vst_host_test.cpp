// The renderer as a VST 2.4 host, driving our own built plug-in: it sounds after the
// note, restores what it saved, and refuses plug-ins that are not plug-ins with exit 2.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/smf_builder.h"

#if defined(MELLORA_RENDER_PROGRAM) && defined(MELLORA_PLUGIN_SO)

using namespace mellora::test;

namespace {

class VstHost : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/mellora-vsthost-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        // One second of C4 at 120 bpm (480 ticks a quarter), then release.
        const Bytes song = header(0, 1, 480) +
                           track(ev(0, {0x90, 60, 100}) + ev(960, {0x80, 60, 0}) + end_of_track(0));
        std::ofstream(path("song.mid"), std::ios::binary)
            .write(reinterpret_cast<const char*>(song.data()), static_cast<std::streamsize>(song.size()));
    }
    void TearDown() override { [[maybe_unused]] int r = std::system(("rm -rf " + dir_).c_str()); }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    std::string contents(const char* name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static int program(const std::string& args) {
        const std::string command = std::string(MELLORA_RENDER_PROGRAM) + " -q " + args + " 2>/dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Float samples, interleaved stereo.
    std::vector<float> read(const char* name) const {
        SF_INFO info{};
        SNDFILE* f = sf_open(path(name).c_str(), SFM_READ, &info);
        if (!f) return {};
        std::vector<float> out(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_float(f, out.data(), info.frames);
        sf_close(f);
        return out;
    }
    std::string render_args(const char* out) const {
        return "--bits 32f --tail 0.5 --seed 7 " + path("song.mid") + " " + path(out);
    }
    const std::string plugin = std::string("--plugin ") + MELLORA_PLUGIN_SO + " ";
    std::string dir_;
};

double peak(const std::vector<float>& s, std::size_t from, std::size_t to) {
    double p = 0;
    for (std::size_t i = from; i < to && i < s.size(); ++i) p = std::max(p, double(std::fabs(s[i])));
    return p;
}

TEST_F(VstHost, PluginRenderSoundsAfterTheNote) {
    ASSERT_EQ(program(plugin + render_args("plug.wav")), 0);
    const std::vector<float> s = read("plug.wav");
    ASSERT_GT(s.size(), 2u * 44100);
    for (float x : s) ASSERT_TRUE(std::isfinite(x));
    EXPECT_GT(peak(s, 2 * 2205, 2 * 44100), 1e-3);  // from 50 ms into the note
}

// The renderer hands the plug-in its seed before the plug-in opens, so both paths give
// the same samples. The plug-in is always built at the host's default rate and told the
// real one afterwards: at other rates this proves that a rate change lands exactly where
// building at that rate does.
TEST_F(VstHost, PluginAndDirectRendersAreIdentical) {
    struct Case {
        const char* options;
    };
    for (const Case& c : {Case{""}, Case{"--block 1 "}, Case{"--block 333 "}, Case{"--block 8192 "},
                          Case{"--rate 48000 --block 64 "}, Case{"--rate 96000 "}}) {
        ASSERT_EQ(program(plugin + c.options + render_args("plug.wav")), 0) << c.options;
        ASSERT_EQ(program(c.options + render_args("direct.wav")), 0) << c.options;
        const std::vector<float> a = read("plug.wav"), b = read("direct.wav");
        ASSERT_GT(a.size(), 2u * 44100) << c.options;
        ASSERT_EQ(a.size(), b.size()) << c.options;
        std::size_t first = a.size();
        for (std::size_t i = 0; i < a.size() && first == a.size(); ++i)
            if (a[i] != b[i]) first = i;
        EXPECT_EQ(first, a.size()) << c.options << "first difference at frame " << first / 2;
    }
}

TEST_F(VstHost, SavedStateLoadsBack) {
    ASSERT_EQ(program(plugin + "--param 0=0.25 --save-state " + path("a.state") + " " + render_args("a.wav")), 0);
    ASSERT_FALSE(contents("a.state").empty());
    ASSERT_EQ(program(plugin + "--load-state " + path("a.state") + " --save-state " + path("b.state") + " " +
                      render_args("b.wav")),
              0);
    EXPECT_EQ(contents("a.state"), contents("b.state"));
    // The default state differs from one with a parameter moved.
    ASSERT_EQ(program(plugin + "--save-state " + path("c.state") + " " + render_args("c.wav")), 0);
    EXPECT_NE(contents("a.state"), contents("c.state"));
}

// Autocorrelation pitch of the left channel over [from, to) frames, 100..2000 Hz.
double pitch(const std::vector<float>& s, std::size_t from, std::size_t to, double rate) {
    double best = -1;
    int best_lag = 0;
    for (int lag = static_cast<int>(rate / 2000); lag <= static_cast<int>(rate / 100); ++lag) {
        double sum = 0;
        for (std::size_t i = from; i + lag < to; ++i) sum += double(s[2 * i]) * s[2 * (i + lag)];
        if (sum > best) best = sum, best_lag = lag;
    }
    return best_lag ? rate / best_lag : 0;
}

// Our host against a plug-in we did not write: a string synthesiser from Debian
// (dpf-plugins-vst, installed by the test set-up) plays A4 at its pitch.
TEST_F(VstHost, ThirdPartyInstrumentPlaysANote) {
    const std::string kars = "/usr/lib/vst/Kars-vst.so";
    ASSERT_EQ(::access(kars.c_str(), R_OK), 0) << kars << " is missing: install dpf-plugins-vst (./setup.sh test does)";
    const Bytes song = header(0, 1, 480) + track(ev(480, {0x90, 69, 110}) + ev(960, {0x80, 69, 0}) + end_of_track(0));
    std::ofstream(path("a4.mid"), std::ios::binary)
        .write(reinterpret_cast<const char*>(song.data()), static_cast<std::streamsize>(song.size()));
    ASSERT_EQ(program("--plugin " + kars + " --bits 32f --tail 0.5 " + path("a4.mid") + " " + path("kars.wav")), 0);
    const std::vector<float> s = read("kars.wav");
    ASSERT_GT(s.size(), 2u * 44100);
    for (float x : s) ASSERT_TRUE(std::isfinite(x));
    EXPECT_LT(peak(s, 0, 2 * 22000), 1e-4);  // the note starts at 0.5 s
    EXPECT_GT(peak(s, 2 * 22050, 2 * 33075), 0.01);
    // Its string loop is a whole number of samples long and sits a little flat: within
    // a third of a semitone still tells A4 from its neighbours.
    EXPECT_NEAR(pitch(s, 22050 + 2205, 22050 + 8820, 44100), 440.0, 8.5);
}

TEST_F(VstHost, BadPluginsExitWithTwo) {
    std::ofstream(path("junk.so")) << "not a shared object";
    // A real shared object without an entry point: the C library.
    const char* no_entry = "/lib/x86_64-linux-gnu/libm.so.6";
    for (const std::string& p : {path("missing.so"), path("junk.so"), std::string(no_entry)}) {
        EXPECT_EQ(program("--plugin " + p + " " + render_args("x.wav")), 2) << p;
        EXPECT_TRUE(contents("x.wav").empty()) << p;
    }
    EXPECT_EQ(program(plugin + "--load-state " + path("missing.state") + " " + render_args("x.wav")), 2);
    std::ofstream(path("junk.state")) << "main_synth? no, random words";
    EXPECT_EQ(program(plugin + "--load-state " + path("junk.state") + " " + render_args("x.wav")), 2);
    EXPECT_EQ(program(plugin + "--param 100000=0.5 " + render_args("x.wav")), 2);
    EXPECT_EQ(program("--param 0=0.5 " + render_args("x.wav")), 2);  // --param needs --plugin
    EXPECT_TRUE(contents("x.wav").empty());
}

} // namespace

#endif
