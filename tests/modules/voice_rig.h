#pragma once
// Test rig for the voice modules: a test-only source module plays precomputed gate,
// pitch and velocity signals (what the voice keyboard will send) into the modules
// under test, wired with the kernel and rendered in blocks of a chosen size.
// Also the signal measurements the voice tests share.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "engine/modular.h"
#include "tests/support/alloc_counter.h"

namespace voice_test {

// Plays one precomputed signal per output; zero past the end.
struct t_script : t_module {
    std::vector<std::vector<float>> signals;
    long position = 0;
};

inline void script_process(t_module* m, int frames) {
    auto* s = static_cast<t_script*>(m);
    for (int k = 0; k < s->output_count; ++k) {
        float* out = module_output(s, k + 1);
        const std::vector<float>& sig = s->signals[k];
        for (int i = 0; i < frames; ++i) {
            const long at = s->position + i;
            out[i] = at < static_cast<long>(sig.size()) ? sig[at] : 0.0f;
        }
    }
    s->position += frames;
}

// Adds its inputs (the voice's mallet + damper adder, for the tests).
struct t_sum : t_module {};

inline void sum_process(t_module* m, int frames) {
    float* out = module_output(m, 1);
    for (int i = 0; i < frames; ++i) out[i] = 0;
    for (int k = 1; k <= m->input_count; ++k) {
        const float* in = module_input(m, k);
        for (int i = 0; i < frames; ++i) out[i] += in[i];
    }
}

class Rig {
public:
    // `sources` signals of `length` samples each, all zero until set.
    Rig(int sources, long length) : length_(length) {
        root_ = module_create_generic("0 0 rig");
        script_ = module_alloc<t_script>(0, sources);
        script_->name = "script";
        script_->process = script_process;
        script_->signals.assign(sources, std::vector<float>(length, 0.0f));
        module_add_child(root_, script_);
    }
    ~Rig() {
        module_free(root_);
        if (shop_) wire_shop_free(shop_);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    t_module* add(t_module* m) {
        if (m) module_add_child(root_, m);
        return m;
    }
    t_module* add_sum(int inputs) {
        auto* s = module_alloc<t_sum>(inputs, 1);
        s->name = "sum";
        s->process = sum_process;
        return add(s);
    }
    // Source k (1-based) into input `in` of m.
    void feed(int k, t_module* m, int in) { module_connect(script_, k, m, in); }
    void connect(t_module* a, int out, t_module* b, int in) { module_connect(a, out, b, in); }
    std::vector<float>& signal(int k) { return script_->signals[k - 1]; }

    // Assigns buffers; then render() may run, recording the output 1 of each watched module.
    void finish(std::vector<t_module*> watched) {
        watched_ = std::move(watched);
        shop_ = wire_shop_create(1024);
        wire_shop_assign_buffers(shop_, root_);
        order_ = module_processing_order(root_);
        outs_.resize(watched_.size());
        for (auto& o : outs_) o.reserve(length_);
    }
    void finish(t_module* watched) { finish(std::vector<t_module*>{watched}); }

    // Renders `frames` more samples in blocks of `block`, appending the watched output.
    // Counts the heap allocations of the modules' processing in allocations().
    void render(long frames, int block) {
        mellora::test::AllocationCounter counter;
        while (frames > 0) {
            const int n = static_cast<int>(std::min<long>({frames, block, 1024}));
            for (t_module* m : order_)
                if (m->process) m->process(m, n);
            for (std::size_t w = 0; w < watched_.size(); ++w) {
                const float* o = module_output(watched_[w], 1);
                std::vector<float>& rec = outs_[w];
                for (int i = 0; i < n; ++i)
                    if (rec.size() < rec.capacity()) rec.push_back(o[i]);
            }
            frames -= n;
        }
        allocations_ += counter.count();
    }
    void render_all(int block) { render(length_ - static_cast<long>(outs_.at(0).size()), block); }

    // The first watched module's output, or the w-th one's.
    const std::vector<float>& output(std::size_t w = 0) const { return outs_.at(w); }
    std::size_t allocations() const { return allocations_; }
    t_module* root() const { return root_; }

private:
    long length_;
    t_module* root_ = nullptr;
    t_script* script_ = nullptr;
    std::vector<t_module*> watched_;
    wire_shop* shop_ = nullptr;
    std::vector<t_module*> order_;
    std::vector<std::vector<float>> outs_;
    std::size_t allocations_ = 0;
};

// Frequency of a (decaying) sinusoid from its upward zero crossings in [from, to),
// interpolated linearly between samples.
inline double zero_crossing_hz(const std::vector<float>& y, long from, long to, double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (long i = std::max(from, 1L); i < to && i < static_cast<long>(y.size()); ++i) {
        if (y[i - 1] < 0 && y[i] >= 0) {
            const double t = (i - 1) + y[i - 1] / (y[i - 1] - y[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * rate / (last - first);
}

// Slope of the envelope in dB per second: the peak |y| of each window of `window`
// samples in [from, to), fitted by least squares on a dB scale.
inline double decay_db_per_second(const std::vector<float>& y, long from, long to, long window, double rate) {
    std::vector<double> t, db;
    for (long w = from; w + window <= to; w += window) {
        float peak = 0;
        for (long i = w; i < w + window; ++i) peak = std::max(peak, std::fabs(y[i]));
        if (peak <= 0) continue;
        t.push_back((w + window / 2.0) / rate);
        db.push_back(20 * std::log10(peak));
    }
    const double n = static_cast<double>(t.size());
    double st = 0, sd = 0, stt = 0, std_ = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        st += t[i], sd += db[i], stt += t[i] * t[i], std_ += t[i] * db[i];
    }
    return (n * std_ - st * sd) / (n * stt - st * st);
}

inline float peak_abs(const std::vector<float>& y, long from, long to) {
    float p = 0;
    for (long i = from; i < to && i < static_cast<long>(y.size()); ++i) p = std::max(p, std::fabs(y[i]));
    return p;
}

inline bool all_finite(const std::vector<float>& y) {
    return std::all_of(y.begin(), y.end(), [](float v) { return std::isfinite(v); });
}

// Records what a module tells its owner.
struct RecordingObserver : ModuleObserver {
    std::vector<int> told_ids;
    void told(t_module*, int id) override { told_ids.push_back(id); }
};

} // namespace voice_test
