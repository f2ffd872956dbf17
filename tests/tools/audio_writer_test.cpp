// The audio writer: each container and sample format written and read back through
// libsndfile, and the combinations it must refuse.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tools/render/audio_writer.h"

using namespace mellora::render;

namespace {

std::string temp_folder() {
    char name[] = "/tmp/mellora-writer-XXXXXX";
    return ::mkdtemp(name) ? name : "/tmp";
}

} // namespace

TEST(AudioWriter, WritesEachFormatAndReadsBack) {
    struct Case {
        const char* file;
        SampleBits bits;
        int rate;
        int major, subtype;
        double step;  // one quantisation step of the sample format
    };
    const Case cases[] = {
        {"a.wav", SampleBits::pcm16, 44100, SF_FORMAT_WAV, SF_FORMAT_PCM_16, 1.0 / 32767},
        {"b.WAV", SampleBits::pcm24, 48000, SF_FORMAT_WAV, SF_FORMAT_PCM_24, 1.0 / 8388607},
        {"c.wav", SampleBits::float32, 96000, SF_FORMAT_WAV, SF_FORMAT_FLOAT, 0},
        {"d.aiff", SampleBits::pcm16, 88200, SF_FORMAT_AIFF, SF_FORMAT_PCM_16, 1.0 / 32767},
        {"e.aif", SampleBits::float32, 44100, SF_FORMAT_AIFF, SF_FORMAT_FLOAT, 0},
        {"f.flac", SampleBits::pcm16, 44100, SF_FORMAT_FLAC, SF_FORMAT_PCM_16, 1.0 / 32767},
        {"g.flac", SampleBits::pcm24, 192000, SF_FORMAT_FLAC, SF_FORMAT_PCM_24, 1.0 / 8388607},
        {"h.w64", SampleBits::float32, 48000, SF_FORMAT_W64, SF_FORMAT_FLOAT, 0},
        {"i.caf", SampleBits::pcm24, 48000, SF_FORMAT_CAF, SF_FORMAT_PCM_24, 1.0 / 8388607},
    };
    // Two different channels, longer than the writer's interleaving chunk, written in
    // odd blocks; the last frames go beyond full scale.
    constexpr int kFrames = 10007;
    std::vector<float> left(kFrames), right(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        left[i] = 0.9f * std::sin(0.01f * i);
        right[i] = -0.5f + float(i) / kFrames;
    }
    left[kFrames - 2] = 1.5f, right[kFrames - 1] = -3.0f;

    const std::string folder = temp_folder();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = folder + "/" + c.file;
        AudioFormat format;
        std::string error;
        ASSERT_TRUE(audio_format_for(path, c.bits, format, error)) << error;
        AudioFileWriter writer;
        ASSERT_TRUE(writer.open(path, format, c.rate, error)) << error;
        for (int at = 0; at < kFrames; at += 3001)
            ASSERT_TRUE(writer.write(left.data() + at, right.data() + at, std::min(3001, kFrames - at)));
        ASSERT_TRUE(writer.close(error)) << error;

        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.samplerate, c.rate);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.frames, kFrames);
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, c.major);
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, c.subtype);
        std::vector<float> back(2 * kFrames);
        EXPECT_EQ(sf_readf_float(f, back.data(), kFrames), kFrames);
        sf_close(f);
        const bool integer = c.step > 0;
        for (int i = 0; i < kFrames; ++i) {
            // Integer formats clip at full scale; float keeps every value.
            const float want_l = integer ? std::clamp(left[i], -1.0f, 1.0f) : left[i];
            const float want_r = integer ? std::clamp(right[i], -1.0f, 1.0f) : right[i];
            ASSERT_NEAR(back[2 * i], want_l, c.step) << i;
            ASSERT_NEAR(back[2 * i + 1], want_r, c.step) << i;
        }
        ::unlink(path.c_str());
    }
    ::rmdir(folder.c_str());
}

TEST(AudioWriter, RefusesWhatItCannotWrite) {
    struct Case {
        const char* path;
        SampleBits bits;
        const char* error;
    };
    const Case cases[] = {
        {"out.flac", SampleBits::float32, "FLAC holds integer samples only: use --bits 16 or 24"},
        {"out.mp3", SampleBits::pcm16, "unknown audio file extension '.mp3'"},
        {"out", SampleBits::pcm16, "no file extension"},
        {"folder.wav/out", SampleBits::pcm16, "no file extension"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        AudioFormat format;
        std::string error;
        EXPECT_FALSE(audio_format_for(c.path, c.bits, format, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }

    AudioFormat format;
    std::string error;
    ASSERT_TRUE(audio_format_for("x.wav", SampleBits::pcm16, format, error));
    AudioFileWriter writer;
    EXPECT_FALSE(writer.open("/nonexistent-folder/x.wav", format, 44100, error));
    EXPECT_NE(error.find("cannot create the file"), std::string::npos) << error;
    const float x = 0;
    EXPECT_FALSE(writer.write(&x, &x, 1));
}

TEST(AudioWriter, ParsesTheBitDepths) {
    SampleBits bits{};
    EXPECT_TRUE(parse_sample_bits("16", bits));
    EXPECT_EQ(bits, SampleBits::pcm16);
    EXPECT_TRUE(parse_sample_bits("24", bits));
    EXPECT_EQ(bits, SampleBits::pcm24);
    EXPECT_TRUE(parse_sample_bits("32f", bits));
    EXPECT_EQ(bits, SampleBits::float32);
    for (const char* bad : {"32", "8", "", "24 ", "32F"}) EXPECT_FALSE(parse_sample_bits(bad, bits)) << bad;
}
