#pragma once
// Times a host's blocks one at a time, as a host's CPU meter sees them.
//
// Counters: "x_realtime" is seconds of audio rendered per second of this thread's CPU
// time (one core); "worst_block" is the slowest block's wall time over the block's
// duration (what a host's CPU meter shows at its peak; 1 means a dropout), which on a
// shared machine includes preemption; "worst_block_cpu" is the same in thread CPU time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace bench {

inline double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// One second of blocks to warm up, then one `render_block()` per iteration.
template <typename RenderBlock>
void time_blocks(benchmark::State& state, int block, int rate, RenderBlock render_block) {
    for (int i = 0; i < rate / block; ++i) render_block();

    double worst = 0, worst_cpu = 0;
    long frames = 0;
    const double cpu_start = thread_cpu_seconds();
    for (auto _ : state) {
        const double c0 = thread_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        render_block();
        const auto t1 = std::chrono::steady_clock::now();
        worst_cpu = std::max(worst_cpu, thread_cpu_seconds() - c0);
        worst = std::max(worst, std::chrono::duration<double>(t1 - t0).count());
        frames += block;
    }
    const double cpu = thread_cpu_seconds() - cpu_start;
    const double duration = double(block) / rate;
    state.counters["x_realtime"] = cpu > 0 ? double(frames) / rate / cpu : 0;
    state.counters["worst_block"] = worst / duration;
    state.counters["worst_block_cpu"] = worst_cpu / duration;
}

} // namespace bench
