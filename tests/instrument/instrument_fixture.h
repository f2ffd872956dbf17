#pragma once
// A complete instrument driven the way a host drives it: MIDI events dispatched per host
// block, messages through the audio-thread queue, then one render per block. Plus the
// few measurements the instrument's sound tests share.
#include <cmath>
#include <complex>
#include <memory>
#include <vector>

#include "engine/kel_simple_synth_queue.h"
#include "engine/midi_input_state.h"
#include "instrument/mellora_default_text.h"
#include "instrument/mellora_synth.h"
#include "modules/denormal_noise.h"

namespace mellora::test {

struct Instrument {
    std::unique_ptr<MidiInputState> midi = std::make_unique<MidiInputState>();
    KelMidiEventQueue events{1024};
    KelSimpleSynthQueue messages;
    MelloraSynth synth;
    std::vector<float> left, right;
    std::vector<float> l = std::vector<float>(4096), r = std::vector<float>(4096);
    bool ok = false;

    explicit Instrument(int polyphony = 4, int rate = 44100, bool default_text = true) {
        denormal_noise::set_fixed_seed(1234);
        ok = synth.initialise(0, 0, nullptr, &messages, rate, midi.get(), nullptr, polyphony, 2);
        if (ok && default_text) {
            KelTextReader in(kMelloraDefaultInstrumentText);
            ok = synth.read_state(1, in, true);
        }
    }
    // The damper's thump is fresh noise in every instrument (each damper seeds itself);
    // without it two renders of the same input can be compared sample by sample.
    bool without_damper_noise() {
        KelTextReader in("noise_damper noise_damper0 version 1 { strength 0 }");
        return synth.read_state(609, in, false);
    }
    // Events land at `offset` frames into the next host block.
    void note(int key, int velocity, uint32_t offset = 0) {
        events.push(t_midi_event{offset, uint8_t(velocity ? 0x90 : 0x80), uint8_t(key), uint8_t(velocity)});
    }
    void controller(int number, int value, uint32_t offset = 0) {
        events.push(t_midi_event{offset, 0xb0, uint8_t(number), uint8_t(value)});
    }
    // Renders host blocks of `block` frames (at most 4096) and appends them to left/right.
    void render(int frames, int block = 512) {
        while (frames > 0) {
            int n = frames < block ? frames : block;
            if (n > static_cast<int>(l.size())) n = static_cast<int>(l.size());
            midi->dispatch(events, static_cast<uint32_t>(n));
            synth.render(midi.get(), l.data(), r.data(), n);
            midi->endOfBlock();
            left.insert(left.end(), l.begin(), l.begin() + n);
            right.insert(right.end(), r.begin(), r.begin() + n);
            frames -= n;
        }
    }
};

inline double rms(const std::vector<float>& x, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to; ++i) s += double(x[i]) * x[i];
    return std::sqrt(s / double(to - from));
}

// Magnitude spectrum of x[from, from + length) under a Hann window, zero-padded to
// `size` points (a power of two); bin k is k * rate / size Hz.
inline std::vector<double> spectrum(const std::vector<float>& x, size_t from, size_t length, size_t size) {
    std::vector<std::complex<double>> a(size);
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < length && from + i < x.size(); ++i)
        a[i] = x[from + i] * (0.5 - 0.5 * std::cos(2 * pi * double(i) / double(length)));
    for (size_t i = 1, j = 0; i < size; ++i) {  // bit reversal
        size_t bit = size >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= size; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2 * pi / double(len));
        for (size_t i = 0; i < size; i += len) {
            std::complex<double> wk = 1;
            for (size_t k = 0; k < len / 2; ++k, wk *= w) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    std::vector<double> mag(size / 2);
    for (size_t k = 0; k < size / 2; ++k) mag[k] = std::abs(a[k]);
    return mag;
}

} // namespace mellora::test
