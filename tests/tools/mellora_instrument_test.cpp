// The renderer's instrument: the complete piano with its built-in sound.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tools/render/mellora_instrument.h"

namespace {

using mellora::render::MelloraInstrument;

std::vector<float> play(uint32_t seed) {
    MelloraInstrument instrument;
    std::string error;
    EXPECT_TRUE(instrument.prepare(44100, 512, 8, seed, error)) << error;
    std::vector<float> out;
    std::vector<float> l(512), r(512);
    for (int block = 0; block < 60; ++block) {
        if (block == 2) {
            EXPECT_TRUE(instrument.queue_midi(100, 0x90, 60, 100));
            EXPECT_TRUE(instrument.queue_midi(300, 0x90, 64, 80));
        }
        if (block == 40) {
            EXPECT_TRUE(instrument.queue_midi(0, 0x80, 60, 0));
        }
        instrument.render(l.data(), r.data(), 512);
        out.insert(out.end(), l.begin(), l.end());
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

TEST(MelloraInstrument, EqualSeedsRenderBitIdenticalSound) {
    const std::vector<float> a = play(7), b = play(7);
    ASSERT_EQ(a.size(), b.size());
    double energy = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i], b[i]) << i;
        energy += double(a[i]) * a[i];
    }
    EXPECT_GT(energy, 1e-3) << "the notes are heard";
}

TEST(MelloraInstrument, RefusesATextThatIsNotAnInstrumentState) {
    MelloraInstrument instrument;
    std::string error;
    ASSERT_TRUE(instrument.prepare(48000, 256, 4, 1, error));
    for (const char* text : {"", "fork fork0 version 1 { }", "main_synth", "\x01\x02 binary"}) {
        EXPECT_FALSE(instrument.load_preset_text(text, error)) << text;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(instrument.load_preset_text("main_synth mo version 2 { }", error)) << error;
}

} // namespace
