// The instrument's render schedule, measured at its outputs: host blocks split into
// sub-blocks with events and messages in place, the voice hold after a release, the
// sleeping effect chain, pickup resets of idle voices, and no allocation.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/message.h"
#include "engine/voice_block.h"
#include "tests/instrument/instrument_fixture.h"
#include "tests/support/alloc_counter.h"

namespace {

using mellora::test::Instrument;
using mellora::test::rms;

constexpr int kPickUp0 = 611, kTremolo = 614, kVolume = 619, kEffectA = 616, kReverb = 618;
constexpr int kPickUpDistance = 2, kPickUpModel = 11, kOnOff = 0xffff;

size_t onset(const std::vector<float>& x, size_t from = 0) {
    for (size_t i = from; i < x.size(); ++i)
        if (std::fabs(x[i]) > 1e-6f) return i;
    return x.size();
}

double max_difference(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) d = std::fmax(d, std::fabs(double(a[i]) - b[i]));
    return d;
}

TEST(MelloraRender, ALongHostBlockKeepsItsEventsAndMessagesInPlace) {
    // One host block of 3000 frames runs as sub-blocks of 1024, 1024 and 952. A note
    // lands in the first sub-block and one in the second; a message queued before the
    // block must already hold for the first, where the pickup latches its gap at the
    // first note's rising gate. The reference plays the same notes in host blocks of
    // 512, 1024 and 952 frames, the message applied by an empty block before.
    enum How { kOneBlock, kReference, kOneBlockWithoutMessage, kFirstNoteOnly, kSecondAtBlockStart };
    struct Played {
        std::vector<float> left;
        std::vector<float> last_sub_block;  // voice 0's pickup buffer after the 3000 frames
    };
    auto run = [](How how) {
        Instrument in(4);
        EXPECT_TRUE(in.ok && in.without_damper_noise());
        if (how != kOneBlockWithoutMessage) in.messages.push(make_float_message(kPickUp0, kPickUpDistance, 20.0f));
        in.note(60, 100, 300);
        switch (how) {
        case kReference:
            in.synth.render(in.midi.get(), in.l.data(), in.r.data(), 0);
            in.render(1024, 512);
            in.note(67, 100, 1100 - 1024);
            in.render(1024, 1024);
            in.render(952, 952);
            break;
        case kSecondAtBlockStart:
            in.render(1100, 1100);
            in.note(67, 100);
            in.render(1900, 1900);
            break;
        default:
            if (how != kFirstNoteOnly) in.note(67, 100, 1100);
            in.render(3000, 3000);
        }
        const float* pick = module_output(in.synth.pick_up[0], 1);
        Played p{{}, std::vector<float>(pick, pick + 952)};
        in.render(3000, 100);
        p.left = in.left;
        return p;
    };
    const Played one = run(kOneBlock), reference = run(kReference);
    const double level = rms(reference.left, 300, 6000);
    EXPECT_LT(max_difference(one.left, reference.left), 1e-9 * level) << "the same sub-blocks, the same sound";
    EXPECT_LT(max_difference(one.last_sub_block, reference.last_sub_block), 1e-9 * level)
        << "the last sub-block holds frames 2048 to 2999";
    EXPECT_GE(onset(one.left), 300u);
    EXPECT_LT(onset(one.left), 500u);
    EXPECT_GT(max_difference(one.left, run(kOneBlockWithoutMessage).left), 0.1 * level)
        << "the queued message changed the first note";
    // The second note is heard from the same sample as when it opens its own host block.
    const std::vector<float> first_only = run(kFirstNoteOnly).left, at_start = run(kSecondAtBlockStart).left;
    auto second_onset = [&](const std::vector<float>& x) {
        for (size_t i = 0; i < x.size(); ++i)
            if (std::fabs(x[i] - first_only[i]) > 1e-6f) return i;
        return x.size();
    };
    EXPECT_EQ(second_onset(one.left), second_onset(at_start));
    EXPECT_GE(second_onset(one.left), 1100u);
    EXPECT_LT(second_onset(one.left), 1300u);
}

TEST(MelloraRender, AReleasedVoiceStopsAfter4000QuietSamples) {
    // Host blocks of one frame show the pickup output sample by sample; the voice must
    // end exactly when its smoothed output has stayed below 1e-5 for 4000 samples.
    Instrument in(2);
    ASSERT_TRUE(in.ok);
    in.note(60, 100);
    in.render(22050);
    in.note(60, 0);
    const t_voice_record& v = in.synth.voice_block().voices[0];
    float follower = 0;
    long quiet = 0, released = 0;
    long last_loud = -1;
    while (v.active && released < 10 * 44100) {
        in.render(1, 1);
        const float x = module_output(in.synth.pick_up[0], 1)[0];
        follower = 0.05f * x + 0.95f * follower;
        if (std::fabs(follower) < 1e-5f) {
            ++quiet;
        } else {
            quiet = 0;
            last_loud = released;
        }
        ++released;
        if (v.active) {
            ASSERT_LE(quiet, 4000) << "still active after " << quiet << " quiet samples";
        }
    }
    ASSERT_FALSE(v.active);
    EXPECT_GT(last_loud, 100) << "the release tail was heard";
    EXPECT_EQ(quiet, 4001) << "the 4000 samples of hold, then the quiet sample that ends it";
    EXPECT_EQ(in.synth.voice_block().active_count, 0);
}

TEST(MelloraRender, SilenceDetectionHoldsAndOneLoudSampleRearms) {
    // The detector alone, on made-up signals of one sub-block each. A loud sample (after
    // smoothing at or above 1e-5) re-arms the full hold and ends the scan of its block,
    // so the hold counts from the next block.
    struct Case {
        const char* what;
        int quiet_before, loud_at, frames;
        int hold_before;
        bool active_after;
        int hold_after;
    } cases[] = {
        {"quiet samples count down", 100, -1, 100, 4000, true, 3900},
        {"the block after the last count ends the voice", 1, -1, 1, 0, false, 0},
        {"one loud sample re-arms", 0, 10, 1024, 5, true, 4000},
        {"a re-armed hold is not counted within its block", 0, 0, 1024, 4000, true, 4000},
    };
    for (const Case& c : cases) {
        t_voice_block block;
        block.activate(0);
        t_voice_record& r = block.voices[0];
        r.hold_counter = c.hold_before;
        std::vector<float> x(size_t(c.frames), 0.0f);
        if (c.loud_at >= 0) x[size_t(c.loud_at)] = 1e-3f;  // follower 5e-5
        voice_record_watch(r, x.data(), c.frames);
        EXPECT_EQ(bool(r.active), c.active_after) << c.what;
        EXPECT_EQ(r.hold_counter, c.hold_after) << c.what;
        EXPECT_EQ(block.active_count, c.active_after ? 1 : 0) << c.what;
    }
    // A loud sample wakes an inactive detector.
    t_voice_block block;
    float loud = 1.0f;
    voice_record_watch(block.voices[3], &loud, 1);
    EXPECT_TRUE(block.voices[3].active);
    EXPECT_EQ(block.active_count, 1);
}

TEST(MelloraRender, ASilentInstrumentWritesZerosAndKeepsItsTremoloRunning) {
    Instrument in(2);
    ASSERT_TRUE(in.ok);
    in.render(4 * 44100, 3000);
    ASSERT_FALSE(in.synth.effect_chain_active());
    ASSERT_EQ(in.synth.voice_block().active_count, 0);
    in.synth.set_parameter_int(kTremolo, kOnOff, 1);
    ASSERT_FALSE(in.synth.effect_chain_active()) << "the tremolo does not wake the chain";
    // The equaliser sleeps too: a constant on its output shows the tremolo's modulation.
    float* eq_out = module_output(in.synth.eq, 1);
    const float* tremolo_out = module_output(in.synth.tremolo, 1);
    std::vector<float> modulation;
    for (int block = 0; block < 2 * 44100 / 3000; ++block) {
        std::fill(eq_out, eq_out + 1024, 1.0f);
        std::fill(in.l.begin(), in.l.end(), 0.5f);  // stale host buffers
        std::fill(in.r.begin(), in.r.end(), 0.5f);
        for (int k : {1, 2}) std::fill(module_input(in.synth.stereo, k), module_input(in.synth.stereo, k) + 1024, 0.5f);
        in.render(3000, 3000);
        for (int k = 0; k < 3000; ++k) ASSERT_TRUE(in.l[k] == 0.0f && in.r[k] == 0.0f) << block << " " << k;
        // The last sub-block (952 frames) is what the tremolo's output holds now.
        modulation.insert(modulation.end(), tremolo_out, tremolo_out + 952);
    }
    float lo = 1e9f, hi = -1e9f;
    for (float g : modulation) lo = std::fmin(lo, g), hi = std::fmax(hi, g);
    EXPECT_GT(hi - lo, 0.3f) << "the gain moves with the LFO";
    EXPECT_FALSE(in.synth.effect_chain_active());
}

TEST(MelloraRender, APickUpChangeResetsIdleVoicesAndLeavesSoundingOnesAlone) {
    // A model switch is faded in and out by a sounding pickup, while a reset one takes
    // the new model at once. The change arrives while voice 0 sounds, then a second key
    // sounds on an idle voice: it must sound as if the model had been chosen from the start.
    enum How { kFromStart, kWhileSounding, kByQueuedMessage, kGapWhileSounding, kNone };
    struct Played {
        std::vector<float> first, second;
    };
    auto play = [](How how) {
        Instrument in(2);
        EXPECT_TRUE(in.ok && in.without_damper_noise());
        if (how == kFromStart) in.synth.set_parameter_int(kPickUp0, kPickUpModel, 1);
        in.note(60, 100);
        Played p;
        auto block = [&] {
            in.render(256, 256);
            const float* a = module_output(in.synth.pick_up[0], 1);
            p.first.insert(p.first.end(), a, a + 256);
            const float* b = module_output(in.synth.pick_up[1], 1);
            if (in.synth.voice_block().voices[1].active) p.second.insert(p.second.end(), b, b + 256);
        };
        for (int k = 0; k < 40; ++k) block();
        if (how == kWhileSounding) in.synth.set_parameter_int(kPickUp0, kPickUpModel, 1);
        if (how == kByQueuedMessage) in.messages.push(make_int_message(kPickUp0, kPickUpModel, 1));
        if (how == kGapWhileSounding) in.synth.set_parameter(kPickUp0, kPickUpDistance, 20.0f);
        in.note(67, 100);
        for (int k = 0; k < 20; ++k) block();
        return p;
    };
    const Played start = play(kFromStart), sounding = play(kWhileSounding), message = play(kByQueuedMessage);
    ASSERT_EQ(start.second.size(), 20u * 256);
    ASSERT_EQ(sounding.second.size(), start.second.size());
    const double level = rms(start.second, 0, start.second.size());
    EXPECT_LT(max_difference(sounding.second, start.second), 1e-4 * level) << "the idle voice was reset";
    EXPECT_GT(max_difference(message.second, start.second), 0.05 * level) << "a queued message resets nothing";
    // The sounding voice keeps its history and its latched gap: not a sample changes.
    const Played gap = play(kGapWhileSounding), none = play(kNone);
    ASSERT_EQ(gap.first.size(), none.first.size());
    EXPECT_LT(max_difference(gap.first, none.first), 1e-9 * level) << "at most the shared denormal noise differs";
    EXPECT_GT(max_difference(gap.second, none.second), 0.05 * level) << "the new gap reaches the next note";
}

TEST(MelloraRender, ABlockWithNotesControllersAndMessagesAllocatesNothing) {
    Instrument in(8);
    ASSERT_TRUE(in.ok);
    in.synth.set_parameter_int(kEffectA, kOnOff, 1);
    in.synth.set_parameter_int(kReverb, kOnOff, 1);
    in.left.reserve(1 << 20);
    in.right.reserve(1 << 20);
    in.note(48, 90);
    in.render(3000, 3000);
    mellora::test::AllocationCounter counter;
    for (int round = 0; round < 8; ++round) {
        for (int k : {55, 60, 64, 67}) in.note(k + round, 40 + 10 * round, uint32_t(100 * round));
        in.controller(1, 16 * round, 17);   // mod wheel
        in.controller(64, round % 2 ? 127 : 0, 900);  // sustain pedal
        in.events.push(t_midi_event{1500, 0xe0, 0, uint8_t(64 + round)});  // pitch wheel
        in.messages.push(make_float_message(kVolume, 1, 50.0f + round));
        in.messages.push(make_float_message(kPickUp0, kPickUpDistance, 30.0f + round));
        in.messages.push(make_int_message(kTremolo, kOnOff, round % 2));
        in.render(3000, 3000);
        for (int k : {55, 60, 64, 67}) in.note(k + round, 0, 2000);
        in.render(512, 512);
    }
    EXPECT_EQ(counter.count(), 0u);
    for (float x : in.left) ASSERT_TRUE(std::isfinite(x));
}

} // namespace
