#pragma once
// A stand-in instrument for the render loop's tests. It records every event it is given
// with its absolute frame, and sounds each note-on as a decaying sine computed from the
// absolute frame, so its output does not depend on how the render is blocked.
#include <cmath>
#include <numbers>
#include <cstdint>
#include <gtest/gtest.h>

#include <vector>

#include "tools/render/render_instrument.h"
#include "tools/render/renderer.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace mellora::test {

class TestInstrument : public mellora::render::RenderInstrument {
public:
    struct Received {
        uint64_t frame;
        uint8_t status, data1, data2;
        bool operator==(const Received&) const = default;
    };

    double decay_seconds = 0.05;  // time constant of each note's decay
    float constant = 0;           // added to every sample (a never-silent instrument)
    int capacity = 1 << 20;       // events taken per block
    bool poison = false;          // writes a NaN into the first frame of each block

    std::vector<Received> received;
    std::vector<int> block_sizes;
    bool flush_to_zero_seen = true;

    bool prepare(int rate, int, int, uint32_t, std::string&) override {
        rate_ = rate;
        return true;
    }
    bool load_preset_text(std::string_view, std::string&) override { return true; }
    bool queue_midi(uint32_t offset, uint8_t status, uint8_t d1, uint8_t d2) override {
        if (int(queued_.size()) >= capacity) return false;
        queued_.push_back({now_ + offset, status, d1, d2});
        return true;
    }
    void render(float* left, float* right, int frames) override {
#if defined(__SSE__)
        flush_to_zero_seen = flush_to_zero_seen && (_mm_getcsr() & 0x8040u) == 0x8040u;
#endif
        block_sizes.push_back(frames);
        for (const Received& r : queued_) {
            EXPECT_LT(r.frame, now_ + uint64_t(frames));
            received.push_back(r);
            if ((r.status & 0xf0) == 0x90 && r.data2 > 0) notes_.push_back({r.frame, r.data1, r.data2 / 127.0});
        }
        queued_.clear();
        for (int i = 0; i < frames; ++i) {
            const uint64_t f = now_ + uint64_t(i);
            double x = constant;
            for (const Note& n : notes_) {
                if (f < n.start) continue;
                const double t = double(f - n.start) / rate_;
                x += 0.5 * n.level * std::exp(-t / decay_seconds) *
                     std::sin(2 * std::numbers::pi * 440.0 * std::exp2((n.key - 69) / 12.0) * t);
            }
            left[i] = float(x);
            right[i] = float(-x);
        }
        if (poison && frames > 0) left[0] = NAN;
        now_ += uint64_t(frames);
    }

private:
    struct Note {
        uint64_t start;
        int key;
        double level;
    };
    int rate_ = 44100;
    uint64_t now_ = 0;
    std::vector<Received> queued_;
    std::vector<Note> notes_;
};

// Keeps what the render loop writes.
class MemorySink : public mellora::render::RenderSink {
public:
    std::vector<float> left, right;
    bool write(const float* l, const float* r, int frames) override {
        left.insert(left.end(), l, l + frames);
        right.insert(right.end(), r, r + frames);
        return true;
    }
};

} // namespace mellora::test
