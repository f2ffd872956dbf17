// The command line of mellora-render: what it accepts and the one-line errors for the rest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/render/render_options.h"

using namespace mellora::render;

namespace {

bool parse(std::vector<const char*> args, RenderOptions& o, std::string& error) {
    args.insert(args.begin(), "mellora-render");
    return parse_render_options(int(args.size()), args.data(), o, error);
}

} // namespace

TEST(RenderOptions, DefaultsAndEveryOption) {
    RenderOptions o;
    std::string error;
    ASSERT_TRUE(parse({"song.mid", "out.wav"}, o, error)) << error;
    EXPECT_EQ(o.midi_path, "song.mid");
    EXPECT_EQ(o.out_path, "out.wav");
    EXPECT_EQ(o.sample_rate, 44100);
    EXPECT_EQ(o.block, 512);
    EXPECT_EQ(o.channel, 0);
    EXPECT_EQ(o.polyphony, 32);
    EXPECT_EQ(o.tail_seconds, 10.0);
    EXPECT_EQ(o.bits, SampleBits::pcm24);
    EXPECT_FALSE(o.seed_given);

    ASSERT_TRUE(parse({"--rate", "192000", "--bits=32f", "--block", "64", "--channel", "16", "--polyphony=1",
                       "--tail", "2.5", "--preset", "p.txt", "--seed", "4294967295", "-q", "in.mid", "--",
                       "-out.aiff"},
                      o, error))
        << error;
    EXPECT_EQ(o.sample_rate, 192000);
    EXPECT_EQ(o.bits, SampleBits::float32);
    EXPECT_EQ(o.block, 64);
    EXPECT_EQ(o.channel, 16);
    EXPECT_EQ(o.polyphony, 1);
    EXPECT_EQ(o.tail_seconds, 2.5);
    EXPECT_EQ(o.preset_path, "p.txt");
    EXPECT_TRUE(o.seed_given);
    EXPECT_EQ(o.seed, 4294967295u);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.out_path, "-out.aiff");  // after "--" a name may start with a dash

    ASSERT_TRUE(parse({"--demo"}, o, error)) << error;
    EXPECT_TRUE(o.demo);
    EXPECT_EQ(o.out_path, kDemoOutput);
    ASSERT_TRUE(parse({"--demo", "piece.flac"}, o, error)) << error;
    EXPECT_EQ(o.out_path, "piece.flac");
    ASSERT_TRUE(parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);
    ASSERT_TRUE(parse({"--version"}, o, error));
    EXPECT_TRUE(o.version);

    ASSERT_TRUE(parse({"--plugin", "x.so", "--param", "3=0.25", "--param=0=1", "--load-state", "a.st",
                       "--save-state=b.st", "in.mid", "out.wav"},
                      o, error))
        << error;
    EXPECT_EQ(o.plugin_path, "x.so");
    EXPECT_EQ(o.load_state_path, "a.st");
    EXPECT_EQ(o.save_state_path, "b.st");
    EXPECT_EQ(o.params, (std::vector<std::pair<int, float>>{{3, 0.25f}, {0, 1.0f}}));
}

TEST(RenderOptions, BadOptionsGiveOneClearLine) {
    struct Case {
        std::vector<const char*> args;
        const char* error;
    };
    const Case cases[] = {
        {{}, "no MIDI file given"},
        {{"song.mid"}, "no output file given"},
        {{"a.mid", "b.wav", "c.wav"}, "too many file names"},
        {{"--demo", "a.wav", "b.wav"}, "--demo takes at most one file name"},
        {{"--loud", "a.mid", "b.wav"}, "unknown option '--loud' (see --help)"},
        {{"--rate=44", "a.mid", "b.wav"}, "--rate takes 44100, 48000, 88200, 96000 or 192000, not '44'"},
        {{"--rate", "48k", "a.mid", "b.wav"}, "--rate takes"},
        {{"a.mid", "b.wav", "--rate"}, "--rate needs a value"},
        {{"--bits", "8", "a.mid", "b.wav"}, "--bits takes 16, 24 or 32f, not '8'"},
        {{"--block", "0", "a.mid", "b.wav"}, "--block takes a whole number from 1 to 8192, not '0'"},
        {{"--block", "9000", "a.mid", "b.wav"}, "--block takes a whole number from 1 to 8192"},
        {{"--channel", "17", "a.mid", "b.wav"}, "--channel takes a whole number from 1 to 16, not '17'"},
        {{"--channel", "0", "a.mid", "b.wav"}, "--channel takes"},
        {{"--polyphony", "33", "a.mid", "b.wav"}, "--polyphony takes a whole number from 1 to 32"},
        {{"--polyphony", "4x", "a.mid", "b.wav"}, "--polyphony takes"},
        {{"--tail", "-1", "a.mid", "b.wav"}, "--tail takes seconds from 0 to 3600, not '-1'"},
        {{"--tail", "nan", "a.mid", "b.wav"}, "--tail takes seconds"},
        {{"--tail", "1,5", "a.mid", "b.wav"}, "--tail takes seconds"},
        {{"--seed", "-3", "a.mid", "b.wav"}, "--seed takes a whole number"},
        {{"--seed", "4294967296", "a.mid", "b.wav"}, "--seed takes a whole number"},
        {{"--preset=", "a.mid", "b.wav"}, "--preset needs a file name"},
        {{"--plugin=", "a.mid", "b.wav"}, "--plugin needs a file name"},
        {{"--plugin", "x.so", "--param", "3", "a.mid", "b.wav"}, "--param takes INDEX=VALUE"},
        {{"--plugin", "x.so", "--param", "-1=0.5", "a.mid", "b.wav"}, "--param takes INDEX=VALUE"},
        {{"--plugin", "x.so", "--param", "2=1.5", "a.mid", "b.wav"}, "--param takes INDEX=VALUE"},
        {{"--plugin", "x.so", "--param", "2=nan", "a.mid", "b.wav"}, "--param takes INDEX=VALUE"},
        {{"--save-state", "s", "a.mid", "b.wav"}, "need --plugin"},
    };
    for (const Case& c : cases) {
        RenderOptions o;
        std::string error;
        EXPECT_FALSE(parse(c.args, o, error)) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}
