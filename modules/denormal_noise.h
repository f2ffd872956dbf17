#pragma once
// The shared anti-denormal table: 128 tiny values, none zero or denormal, with one
// cursor for the whole program. Recursive filters add the next value to their state
// so that a decaying tail never falls into the denormal range.
//
// Threads: filled on the user-interface thread while a synth is built (never during
// a render); read from any audio thread. The cursor is a relaxed atomic: instances on
// different threads may share a value now and then, which is harmless.
#include <atomic>
#include <cstdint>

namespace denormal_noise {

extern float g_table[128];
extern std::atomic<unsigned> g_cursor;

// Fills the table from a seed; fill_time_seeded() uses the current time.
void fill(uint32_t seed);
void fill_time_seeded();
// A fixed seed makes every later fill use it (tests, reproducible renders); 0 restores time seeding.
void set_fixed_seed(uint32_t seed);
// The fixed seed, or 0 when seeding follows the clock. Other noise sources of the
// instrument derive their seeds from it, so that a seeded render repeats bit for bit.
uint32_t fixed_seed();
void fill_default();
// A reproducible start: fixes the seed (0 is mapped to a constant, since 0 means "from
// the clock"), fills the table and rewinds the cursor. Renders and the plug-in's seed
// request use it before an instrument is built, so equal seeds give equal samples.
void seed_reproducibly(uint32_t seed);

inline float next() {
    unsigned c = (g_cursor.load(std::memory_order_relaxed) + 1) & 127u;
    g_cursor.store(c, std::memory_order_relaxed);
    return g_table[c];
}

} // namespace denormal_noise
