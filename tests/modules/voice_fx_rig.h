#pragma once
// Test rig for the voice and effect modules: the module under test sits in a small
// graph beside a source module whose outputs feed its inputs, so a test writes input
// samples into the source's buffers and reads the module's outputs after process.
#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/modular.h"
#include "engine/text_stream.h"

namespace voice_fx_test {

constexpr float kTwoPi = 6.28318530717959f;

struct Rig {
    t_module* root = nullptr;
    t_module* source = nullptr;
    t_module* dut = nullptr;
    t_module* sink = nullptr; // gives every output a net of its own (open outputs share one buffer)
    wire_shop* shop = nullptr;

    // Drives the first `driven` inputs of the module (all of them by default).
    explicit Rig(t_module* module, int driven = -1) : dut(module) {
        if (driven < 0) driven = module->input_count;
        root = module_create_generic("0 0 rig");
        source = module_alloc<t_module>(0, driven);
        source->name = "source";
        module_add_child(root, source);
        module_add_child(root, dut);
        sink = module_alloc<t_module>(module->output_count, 0);
        sink->name = "sink";
        module_add_child(root, sink);
        for (int k = 1; k <= driven; ++k)
            module_connect(source, k, dut, k);
        for (int k = 1; k <= module->output_count; ++k)
            module_connect(dut, k, sink, k);
        module_set_persistence(dut, 1);
        shop = wire_shop_create(1024);
        wire_shop_assign_buffers(shop, root);
    }
    ~Rig() {
        module_free(root);
        wire_shop_free(shop);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    float* in(int k) { return module_output(source, k); }
    float* out(int k) { return module_output(dut, k); }
    void run(int frames) { dut->process(dut, frames); }

    void send(int param_id, int position) {
        t_message msg = make_int_message(dut->id, param_id, position);
        module_dispatch_message(dut, &msg);
    }
    // Reads a settings block body, e.g. "depth 1 mono_stereo 1".
    void settings(std::string_view body) {
        std::string text = dut->type_name + " " + dut->name + " version " + std::to_string(dut->version) +
                           "\n{\n" + std::string(body) + "\n}\n";
        KelTextReader reader(text);
        module_read_state(dut, reader);
    }
    std::string state_text() {
        KelTextWriter w;
        module_write_state(dut, w);
        return w.str();
    }
    int query(int param_id) {
        t_message msg;
        if (dut->get_message(dut, param_id, &msg) != 0) return -1;
        return msg.value.i;
    }

    // Renders `total` frames in blocks of at most `block`; fill(offset, frames) writes
    // the inputs for one block. Returns each output, concatenated over the blocks.
    template <class Fill> std::vector<std::vector<float>> render(int total, int block, Fill fill) {
        std::vector<std::vector<float>> outs(static_cast<std::size_t>(dut->output_count));
        for (int done = 0; done < total;) {
            const int n = std::min(block, total - done);
            fill(done, n);
            run(n);
            for (int k = 0; k < dut->output_count; ++k)
                outs[k].insert(outs[k].end(), out(k + 1), out(k + 1) + n);
            done += n;
        }
        return outs;
    }
};

// The transport's square clock: 240 periods per beat, level flips every half period.
struct TestClock {
    float half_period;
    float phase = 0, level = 0;
    TestClock(float rate, float tempo) : half_period(rate * 30.0f / (tempo * 240.0f)) {}
    void fill(float* out, int n) {
        for (int i = 0; i < n; ++i) {
            phase += 1;
            if (phase > half_period) {
                phase -= half_period;
                level = 1 - level;
            }
            out[i] = level;
        }
    }
};

// Amplitude of the component at `hz` (projection onto a complex exponential).
inline double amplitude_at(const std::vector<float>& x, std::size_t from, std::size_t count, double hz,
                           double rate) {
    std::complex<double> acc = 0;
    for (std::size_t i = 0; i < count; ++i)
        acc += static_cast<double>(x[from + i]) *
               std::polar(1.0, -2.0 * M_PI * hz * static_cast<double>(i) / rate);
    return 2.0 * std::abs(acc) / static_cast<double>(count);
}

inline double rms(const std::vector<float>& x, std::size_t from, std::size_t count) {
    double s = 0;
    for (std::size_t i = from; i < from + count; ++i)
        s += static_cast<double>(x[i]) * x[i];
    return std::sqrt(s / static_cast<double>(count));
}

inline float max_abs(const std::vector<float>& x, std::size_t from, std::size_t count) {
    float m = 0;
    for (std::size_t i = from; i < from + count; ++i)
        m = std::max(m, std::fabs(x[i]));
    return m;
}

inline bool all_finite(const std::vector<float>& x) {
    for (float v : x)
        if (!std::isfinite(v)) return false;
    return true;
}

// Times (in samples, interpolated) at which x rises through `level`.
inline std::vector<double> upward_crossings(const std::vector<float>& x, float level) {
    std::vector<double> t;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < level && x[i] >= level)
            t.push_back(static_cast<double>(i - 1) + (level - x[i - 1]) / (x[i] - x[i - 1]));
    return t;
}

// Mean interval between crossings, ignoring the first `skip` crossings.
inline double mean_period(const std::vector<double>& t, std::size_t skip) {
    if (t.size() < skip + 2) return 0;
    return (t.back() - t[skip]) / static_cast<double>(t.size() - 1 - skip);
}

inline const float kRates[] = {44100.0f, 48000.0f, 96000.0f, 192000.0f};
inline const int kBlocks[] = {1, 37, 1024};

} // namespace voice_fx_test
