#pragma once
// A small effect chain built the way the instrument builds its effect section: the master
// clock, two effect slots (each holding wah, auto-wah, distortion, chorus, ping-pong delay
// and phaser, wired in loops through the slot) placed by a topology, and the reverb slot
// after it. A stereo source feeds the topology; the reverb slot's outputs are the end.
// Each effect can be heard and measured through its slot, with the slot's own presets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "analog/pm_sync_chorus.h"
#include "analog/sync_ping_pong_delay.h"
#include "engine/modular.h"
#include "modules/auto_wah.h"
#include "modules/distortion.h"
#include "modules/fx_wrapper.h"
#include "modules/mo_topology.h"
#include "modules/phaser.h"
#include "modules/reverberator.h"
#include "modules/transport.h"
#include "modules/wah.h"

namespace fx_chain_test {

inline constexpr int kSlotPresets = 13;   // presets 0..12 of an effect slot; 13 selects nothing
inline constexpr int kReverbPresets = 9;  // presets 0..8 of the reverb slot; 9 selects nothing
inline constexpr int kBlock = 1024;       // the engine's longest sub-block

// Which effect entry each effect-slot preset names (chorus 0-4, delay 5-7, phaser 8,
// auto-wah 9, wah 10-11, distortion 12).
inline int entry_of_preset(int p) {
    static const int kEntry[kSlotPresets] = {0, 0, 0, 0, 0, 1, 1, 1, 2, 3, 4, 4, 5};
    return kEntry[p];
}

struct Slot {
    t_module* wrapper = nullptr;
    // wah L, R; auto-wah L, R; distortion L, R; chorus; delay; phaser L, R.
    t_module* fx[10] = {};
    // Left and right module of each entry (right null for the one-module stereo effects).
    t_module* left(int entry) const {
        static const int kLeft[6] = {6, 7, 8, 2, 0, 4};
        return fx[kLeft[entry]];
    }
    t_module* right(int entry) const {
        static const int kRight[6] = {-1, -1, 9, 3, 1, 5};
        return kRight[entry] < 0 ? nullptr : fx[kRight[entry]];
    }
};

// The knob ids, sync id and label of each entry, as the slots register them.
struct EntryNumbers {
    int feed;
    int knobs[3];
    int sync;
    int label;
};
inline const EntryNumbers kEntries[6] = {
    {7, {17, 20, 10}, 4, 0}, // chorus
    {9, {10, 6, 5}, 1, 5},   // ping-pong delay
    {11, {4, 2, 8}, 7, 8},   // phaser
    {13, {1, 3, 4}, 0, 9},   // auto-wah
    {3, {1, 3, 5}, 4, 9},    // wah
    {5, {1, 2, 3}, 0, 12},   // distortion
};
inline const int kReverbKnobs[3] = {6, 2, 4};

// The "decay" (seconds) and the room's size ratio of the nine reverb presets. A pass
// through a line loses 60 dB in decay * ratio^1.5 seconds: the designed decay time.
inline constexpr double kReverbDecay[kReverbPresets] = {1.60371, 1.60371, 1.00949, 1.75926, 1.60371,
                                                        1.75926, 2.7948,  1.63367, 1.60371};
inline constexpr double kReverbRatio[kReverbPresets] = {1, 1, 1, 1.5, 1.5, 1.5, 2, 2, 0.65};
inline double reverb_design_seconds(int preset) {
    return kReverbDecay[preset] * std::pow(kReverbRatio[preset], 1.5);
}

class Chain {
public:
    explicit Chain(int rate) : rate_(rate) {
        root_ = module_create_composite(line(" 1024 0 0 fx_chain mo"));
        module_set_persistence(root_, 1);
        source_ = module_alloc<t_module>(0, 2);
        source_->name = "source";
        module_add_child(root_, source_);
        clock = add(transport_create(line(" 1024 Clock")), 1);
        topology = add(mo_topology_create(line(" 512 Topology")), 2);
        for (int c = 1; c <= 2; ++c) connect(source_, c, topology, c);
        build_slot(a, "A", 3);
        build_slot(b, "B", 5);
        reverb = add(fx_wrapper_create(line(" 512 2 2 9 Reverb")), 2);
        reverb_module = add(reverberator_create(line(" 512 Reverb_Module")), 1);
        for (int c = 1; c <= 2; ++c) {
            connect(topology, c, reverb, c);
            connect(reverb, 2 + c, reverb_module, c);
            connect(reverb_module, c, reverb, 2 + c);
        }
        sink_ = module_alloc<t_module>(2, 0);
        sink_->name = "sink";
        module_add_child(root_, sink_);
        for (int c = 1; c <= 2; ++c) connect(reverb, c, sink_, c);
        shop_ = wire_shop_create(kBlock);
        ok_ = ok_ && wire_shop_assign_buffers(shop_, root_);
        if (!ok_) return;

        configure_slot(a);
        configure_slot(b);
        t_fx_effect_spec r;
        r.left = reverb_module;
        r.feed_left = r.return_left = 3;
        r.feed_right = r.return_right = 4;
        for (int k = 0; k < 3; ++k) r.knob_ids[k] = kReverbKnobs[k];
        r.sync_id = -1;
        r.on_off_id = 0xffff;
        r.label = 0;
        ok_ = ok_ && fx_wrapper_add_effect(reverb, r) == 1;
        for (const std::string& text : reverberator_preset_texts())
            ok_ = ok_ && fx_wrapper_add_preset(reverb, 0, text.c_str()) == 1;
        ok_ = ok_ && mo_topology_link(topology, a.wrapper, b.wrapper) == 1;
        // As the instrument does last: every module hears the rate once more.
        for (t_module* m : module_processing_order(root_))
            if (m->set_sample_rate) m->set_sample_rate(m, static_cast<float>(rate_));
    }
    ~Chain() {
        module_free(root_);
        wire_shop_free(shop_);
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    bool ok() const { return ok_; }
    int rate() const { return rate_; }

    // One sub-block (n <= 1024) in the instrument's order: the clock, the topology (which
    // runs both slots and through them their effects), the reverb slot.
    void run(int n) {
        clock->process(clock, n);
        topology->process(topology, n);
        reverb->process(reverb, n);
    }
    float* in(int c) { return module_output(source_, c); }
    float* out(int c) { return module_output(reverb, c); }
    static float* slot_out(const Slot& s, int c) { return module_output(s.wrapper, c); }

    // Renders whole signals: left and right in, the reverb slot's outputs (or, with
    // `from`, a slot's outputs) out, in sub-blocks of `block` frames.
    void render(const std::vector<float>& l, const std::vector<float>& r, std::vector<float>& ol,
                std::vector<float>& or_, int block = kBlock, const Slot* from = nullptr) {
        const std::size_t total = l.size();
        ol.assign(total, 0.0f);
        or_.assign(total, 0.0f);
        for (std::size_t at = 0; at < total; at += static_cast<std::size_t>(block)) {
            const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(block), total - at));
            std::copy_n(l.data() + at, n, in(1));
            std::copy_n(r.data() + at, n, in(2));
            run(n);
            const float* yl = from ? slot_out(*from, 1) : out(1);
            const float* yr = from ? slot_out(*from, 2) : out(2);
            std::copy_n(yl, n, ol.data() + at);
            std::copy_n(yr, n, or_.data() + at);
        }
    }

    // A float controller event, as the host parameter set sends it.
    static void send(t_module* m, int id, float position) {
        t_message msg = make_float_message(m->id, id, position);
        module_dispatch_message(m, &msg);
    }
    // The controller position a module reports for one of its settings (-1: not answered).
    static float position_of(t_module* m, int id) {
        t_message q;
        if (m->get_message(m, id, &q) != 0) return -1;
        return message_position(q);
    }
    // Chooses the effect presets (13 selects nothing) and the reverb preset (9: none).
    void choose(int preset_a, int preset_b, int preset_reverb) {
        send(a.wrapper, kFxWrapperPreset, static_cast<float>(preset_a));
        send(b.wrapper, kFxWrapperPreset, static_cast<float>(preset_b));
        send(reverb, kFxWrapperPreset, static_cast<float>(preset_reverb));
    }

    t_module* clock = nullptr;
    t_module* topology = nullptr;
    t_module* reverb = nullptr;
    t_module* reverb_module = nullptr;
    Slot a, b;

private:
    std::string line(const char* rest) const { return std::to_string(rate_) + rest; }
    t_module* add(t_module* m, int persistence) {
        if (!m) {
            ok_ = false;
            return nullptr;
        }
        module_add_child(root_, m);
        module_set_persistence(m, persistence);
        return m;
    }
    void connect(t_module* src, int out, t_module* dst, int in) {
        if (!src || !dst || module_connect(src, out, dst, in) != 1) ok_ = false;
    }

    void build_slot(Slot& s, const std::string& suffix, int topo_first) {
        s.wrapper = add(fx_wrapper_create(line((" 512 12 12 13 Effect_" + suffix).c_str())), 2);
        auto name = [&](const char* base) { return line((std::string(" 512 ") + base + suffix).c_str()); };
        s.fx[0] = add(wah_create(name("Wah_Wah_Left_")), 1);
        s.fx[1] = add(wah_create(name("Wah_Wah_Right_")), 1);
        s.fx[2] = add(auto_wah_create(name("Auto_Wah_Left_")), 1);
        s.fx[3] = add(auto_wah_create(name("Auto_Wah_Right_")), 1);
        s.fx[4] = add(distortion_create(line((" 1024 Distortion_Left_" + suffix).c_str())), 1);
        s.fx[5] = add(distortion_create(line((" 1024 Distortion_Right_" + suffix).c_str())), 1);
        s.fx[6] = add(pm_sync_chorus_create(line((" 1024 Chorus_" + suffix).c_str())), 1);
        s.fx[7] = add(sync_ping_pong_delay_create(line((" 1024 Delay_" + suffix).c_str())), 1);
        s.fx[8] = add(phaser_create(line((" 512 550. 0.5 0. 0. Phaser_Left_" + suffix).c_str())), 1);
        s.fx[9] = add(phaser_create(line((" 512 550. 0.5 0. 0. Phaser_Right_" + suffix).c_str())), 1);
        if (!ok_) return;
        for (int c = 0; c < 2; ++c) {
            connect(s.wrapper, 1 + c, topology, topo_first + c);
            connect(topology, topo_first + c, s.wrapper, 1 + c);
        }
        for (int k : {0, 1}) {
            connect(clock, 1, s.fx[k], 1); // wah: clock, LFO reset, audio
            connect(clock, 2, s.fx[k], 2);
            connect(s.wrapper, 3 + k, s.fx[k], 3);
            connect(s.fx[k], 1, s.wrapper, 3 + k);
            connect(s.wrapper, 13 + k, s.fx[2 + k], 1); // auto-wah
            connect(s.fx[2 + k], 1, s.wrapper, 13 + k);
            connect(s.wrapper, 5 + k, s.fx[4 + k], 1); // distortion
            connect(s.fx[4 + k], 1, s.wrapper, 5 + k);
            connect(clock, 1, s.fx[8 + k], 1); // phaser: clock, LFO reset, audio
            connect(clock, 2, s.fx[8 + k], 2);
            connect(s.wrapper, 11 + k, s.fx[8 + k], 3);
            connect(s.fx[8 + k], 1, s.wrapper, 11 + k);
        }
        for (int k : {0, 1}) { // chorus on 7, 8 and delay on 9, 10: clock, left, right
            t_module* e = s.fx[6 + k];
            const int base = 7 + 2 * k;
            connect(clock, 1, e, 1);
            connect(s.wrapper, base, e, 2);
            connect(s.wrapper, base + 1, e, 3);
            connect(e, 1, s.wrapper, base);
            connect(e, 2, s.wrapper, base + 1);
        }
    }

    void configure_slot(Slot& s) {
        for (int e = 0; e < 6; ++e) {
            t_fx_effect_spec spec;
            spec.left = s.left(e);
            spec.right = s.right(e);
            spec.feed_left = spec.return_left = kEntries[e].feed;
            spec.feed_right = spec.return_right = kEntries[e].feed + 1;
            for (int k = 0; k < 3; ++k) spec.knob_ids[k] = kEntries[e].knobs[k];
            spec.sync_id = kEntries[e].sync;
            spec.on_off_id = 0xffff;
            spec.label = kEntries[e].label;
            ok_ = ok_ && fx_wrapper_add_effect(s.wrapper, spec) == 1;
        }
        using Texts = const char* const* (*)(int*);
        const Texts texts[6] = {chorus_preset_texts, delay_preset_texts, phaser_preset_texts,
                                auto_wah_preset_texts, wah_preset_texts, distortion_preset_texts};
        for (int e = 0; e < 6; ++e) {
            int n = 0;
            const char* const* t = texts[e](&n);
            for (int k = 0; k < n; ++k) ok_ = ok_ && fx_wrapper_add_preset(s.wrapper, e, t[k]) == 1;
        }
    }

    int rate_;
    bool ok_ = true;
    t_module* root_ = nullptr;
    t_module* source_ = nullptr;
    t_module* sink_ = nullptr;
    wire_shop* shop_ = nullptr;
};

// ---- signals and measurements ----

// Uniform white noise in -amplitude..+amplitude from a fixed seed.
inline std::vector<float> noise(std::size_t n, float amplitude, uint32_t seed = 12345) {
    std::vector<float> x(n);
    for (float& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = amplitude * (static_cast<float>(seed >> 8) * (2.0f / 16777216.0f) - 1.0f);
    }
    return x;
}

inline std::vector<float> sine(std::size_t n, double hz, double rate, float amplitude) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
    return x;
}

// H(hz) from input x and output y over [from, from + count): Hann-windowed segments
// with half overlap, sum conj(X) Y / sum |X|^2 (an averaged cross-spectrum, so noise
// in gives a clean answer).
inline std::complex<double> transfer(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
                                     std::size_t count, double hz, double rate, std::size_t segment) {
    std::complex<double> sxy = 0;
    double sxx = 0;
    const std::complex<double> rot = std::polar(1.0, -2.0 * M_PI * hz / rate);
    for (std::size_t start = from; start + segment <= from + count; start += segment / 2) {
        std::complex<double> X = 0, Y = 0, ph = 1;
        for (std::size_t n = 0; n < segment; ++n) {
            const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(n) / static_cast<double>(segment));
            X += w * x[start + n] * ph;
            Y += w * y[start + n] * ph;
            ph *= rot;
        }
        sxy += std::conj(X) * Y;
        sxx += std::norm(X);
    }
    return sxx > 0 ? sxy / sxx : 0;
}

// |H(hz)|.
inline double transfer_gain(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
                            std::size_t count, double hz, double rate, std::size_t segment) {
    return std::abs(transfer(x, y, from, count, hz, rate, segment));
}

// The gain in dB on a grid of 1/12 octave from lo to hi.
inline std::vector<double> response_db(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
                                       std::size_t count, double rate, double lo, double hi, std::size_t segment) {
    std::vector<double> g;
    for (double f = lo; f <= hi; f *= std::exp2(1.0 / 12.0))
        g.push_back(20.0 * std::log10(transfer_gain(x, y, from, count, f, rate, segment) + 1e-12));
    return g;
}

// The grid frequency (1/24 octave) between lo and hi where the response is largest, or
// smallest for a notch.
inline double extreme_hz(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
                         std::size_t count, double rate, double lo, double hi, bool largest, std::size_t segment) {
    double best_f = lo, best_g = largest ? -1.0 : 1e30;
    for (double f = lo; f <= hi; f *= std::exp2(1.0 / 24.0)) {
        const double g = transfer_gain(x, y, from, count, f, rate, segment);
        if (largest ? g > best_g : g < best_g) {
            best_g = g;
            best_f = f;
        }
    }
    return best_f;
}

// Amplitude of the component at hz (single-bin correlation over whole cycles).
inline double amplitude_at(const std::vector<float>& y, std::size_t from, std::size_t count, double hz, double rate) {
    std::complex<double> s = 0;
    for (std::size_t n = 0; n < count; ++n)
        s += static_cast<double>(y[from + n]) * std::polar(1.0, -2.0 * M_PI * hz * static_cast<double>(n) / rate);
    return 2.0 * std::abs(s) / static_cast<double>(count);
}

inline double peak_abs(const std::vector<float>& y, std::size_t from, std::size_t to) {
    double m = 0;
    for (std::size_t i = from; i < to && i < y.size(); ++i) m = std::max(m, static_cast<double>(std::fabs(y[i])));
    return m;
}

inline double rms(const std::vector<float>& y, std::size_t from, std::size_t to) {
    double s = 0;
    for (std::size_t i = from; i < to; ++i) s += static_cast<double>(y[i]) * y[i];
    return to > from ? std::sqrt(s / static_cast<double>(to - from)) : 0;
}

inline bool all_finite(const std::vector<float>& y) {
    for (float v : y)
        if (!std::isfinite(v)) return false;
    return true;
}

} // namespace fx_chain_test
