#include "modules/sync_lfo.h"

#include <gtest/gtest.h>

#include "modules/tempo_division.h"

namespace {

// Steps the LFO with a clock whose rising edges come every `period` samples.
struct Edges {
    int period, position = 0;
    float next() {
        const float level = position < period / 2 ? 1.0f : 0.0f;
        position = (position + 1) % period;
        return level;
    }
};

} // namespace

TEST(SyncLfo, FreeRunningStartsAtTheResetPhaseAndRunsAtItsSpeed) {
    t_sync_lfo lfo;
    sync_lfo_init(lfo, 48000);
    EXPECT_EQ(sync_lfo_step(lfo, 0, 0), 0.0f); // the pending reset of initialisation
    EXPECT_FLOAT_EQ(lfo.increment, 120.0f / 60 / 48000);

    sync_lfo_set_speed(lfo, 90);
    EXPECT_FLOAT_EQ(lfo.increment, 1.5f / 48000);
    sync_lfo_set_speed(lfo, 60 * 30000); // above half the rate: half a cycle per sample
    EXPECT_EQ(lfo.increment, 0.5f);
    sync_lfo_set_speed(lfo, -5);
    EXPECT_EQ(lfo.increment, 0.0f);

    sync_lfo_set_speed(lfo, 60 * 4800); // a tenth of a cycle per sample
    float previous = 0;
    int wraps = 0;
    for (int i = 0; i < 1000; ++i) {
        const float d = sync_lfo_step(lfo, 0, 0);
        ASSERT_GE(d, 0.0f);
        ASSERT_LE(d, 1.0f);
        wraps += d < previous;
        previous = d;
    }
    EXPECT_NEAR(wraps, 100, 1);
}

TEST(SyncLfo, LockingSkipsTheFirstEdgeThenMeasuresEachPulse) {
    t_sync_lfo lfo;
    sync_lfo_init(lfo, 44100);
    const float free_increment = lfo.increment;
    sync_lfo_set_ratio(lfo, tempo_division_beats(14)); // one beat per cycle
    sync_lfo_set_sync(lfo, true);

    Edges clock{90};
    // The first rising edge only starts the count: the free increment stays.
    for (int i = 0; i < 90; ++i)
        sync_lfo_step(lfo, clock.next(), 0);
    EXPECT_EQ(lfo.increment, free_increment);
    // From the second edge on: one cycle every 240 pulses.
    for (int i = 0; i < 90; ++i)
        sync_lfo_step(lfo, clock.next(), 0);
    EXPECT_FLOAT_EQ(lfo.increment, 1.0f / (90 * 240));

    // A new tempo is picked up at the next pulse; speed changes are ignored while locked.
    clock = Edges{60, 59};
    sync_lfo_set_speed(lfo, 1000);
    for (int i = 0; i < 62; ++i)
        sync_lfo_step(lfo, clock.next(), 0);
    EXPECT_FLOAT_EQ(lfo.increment, 1.0f / (60 * 240));
}

TEST(SyncLfo, TempoDivisionsAreQuarterNoteFractions) {
    EXPECT_EQ(kTempoDivisionCount, 25);
    EXPECT_FLOAT_EQ(tempo_division_beats(14), 1.0f); // "1"
    EXPECT_FLOAT_EQ(tempo_division_beats(1), 24.0f); // "16d"
    EXPECT_FLOAT_EQ(tempo_division_beats(24), 0.16666667f / 4);
    EXPECT_EQ(tempo_division_beats(25), 0.0f);
    EXPECT_EQ(tempo_division_beats(-1), 0.0f);
}
