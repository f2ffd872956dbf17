#include "modules/denormal_noise.h"

#include <ctime>

namespace denormal_noise {

float g_table[128];
std::atomic<unsigned> g_cursor{0};
static std::atomic<uint32_t> g_fixed_seed{0};

void fill(uint32_t seed) {
    // A small linear congruential generator giving integers 0..32767.
    uint32_t state = seed;
    for (float& entry : g_table) {
        state = state * 214013u + 2531011u;
        int r = static_cast<int>((state >> 16) & 0x7fff);
        float x = 5e-21f - static_cast<float>(r) * 3.0517577e-25f;
        x += x >= 0 ? 1e-30f : -1e-30f;
        entry = x;
    }
}

void fill_time_seeded() { fill(static_cast<uint32_t>(std::time(nullptr))); }

void set_fixed_seed(uint32_t seed) { g_fixed_seed.store(seed); }
uint32_t fixed_seed() { return g_fixed_seed.load(); }

void seed_reproducibly(uint32_t seed) {
    const uint32_t fixed = seed ? seed : 0x6d656c6cu;
    set_fixed_seed(fixed);
    fill(fixed);
    g_cursor.store(0, std::memory_order_relaxed);
}

void fill_default() {
    uint32_t seed = g_fixed_seed.load();
    if (seed != 0) fill(seed);
    else fill_time_seeded();
}

// Filled once at start-up so that a module used before any synth exists is safe.
[[maybe_unused]] static const bool g_filled_at_startup = (fill_time_seeded(), true);

} // namespace denormal_noise
