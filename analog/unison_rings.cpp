#include "analog/unison_rings.h"

#include <algorithm>

namespace {
constexpr int kMask = CUnisonRings::kLength - 1;
} // namespace

bool CUnisonRings::allocate(int voices) {
    voices_ = 0;
    data_.reset();
    if (voices <= 0) return true;
    data_.reset(static_cast<float*>(
        std::calloc(static_cast<std::size_t>(voices) * kSignals * kLength, sizeof(float))));
    if (!data_) return false;
    voices_ = voices;
    return true;
}

void CUnisonRings::write(int voice, int signal, const float* src, int frames) {
    float* r = ring(voice, signal);
    for (int i = 0, w = write_; i < frames; ++i, w = (w + 1) & kMask)
        r[w] = src[i];
}

void CUnisonRings::read(int voice, int signal, int delay, float add, float* dst, int frames) const {
    const float* r = ring(voice, signal);
    const float empty = signal == 1 ? add : 0.0f;
    // Samples older than the last clear read as silence.
    int i = std::clamp(delay - fill_, 0, frames);
    std::fill(dst, dst + i, empty);
    while (i < frames) {
        // One contiguous stretch of the ring at a time.
        const int at = (write_ + i - delay) & kMask;
        const int n = std::min(frames - i, CUnisonRings::kLength - at);
        for (int j = 0; j < n; ++j)
            dst[i + j] = r[at + j] + add;
        i += n;
    }
}

void CUnisonRings::advance(int frames) {
    write_ = (write_ + frames) & kMask;
    fill_ = std::min(fill_ + frames, kLength);
}
