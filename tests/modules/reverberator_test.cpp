// The room reverb: its delays, the decay time measured on impulse responses (Schroeder
// backward integration), stability across presets, sample rates and extreme settings,
// its messages, the bypass fades and its settings text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "engine/modular.h"
#include "modules/parameter.h"
#include "modules/reverberator.h"
#include "tests/support/alloc_counter.h"

namespace {

constexpr float kMixWetOnly = 1.5707964f;  // mix pi/2: dry cos = 0, wet 0.25

// A source with two outputs feeding the reverb and a sink taking its two outputs, so
// every slot has a buffer of its own.
struct Rig {
    t_module* src = module_create_generic("0 2 src");
    t_module* rev;
    t_module* sink = module_create_generic("2 0 sink");
    wire_shop* shop = wire_shop_create(1024);
    float rate;

    explicit Rig(float fs = 44100) : rev(reverberator_create(std::to_string(fs) + " 512 Reverb_Module")), rate(fs) {
        EXPECT_NE(rev, nullptr);
        rev->persistence = 1;  // settings text reaches persistent modules only
        module_connect(src, 1, rev, 1);
        module_connect(src, 2, rev, 2);
        module_connect(rev, 1, sink, 1);
        module_connect(rev, 2, sink, 2);
        for (t_module* m : {src, rev, sink}) EXPECT_TRUE(wire_shop_assign_buffers(shop, m));
    }
    ~Rig() {
        for (t_module* m : {src, rev, sink}) module_free(m);
        wire_shop_free(shop);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Renders `frames` samples; `in(i, l, r)` gives the input of sample i.
    void render(int frames, const std::function<void(int, float&, float&)>& in, std::vector<float>* out_l,
                std::vector<float>* out_r, int block = 1024) {
        for (int done = 0; done < frames;) {
            const int n = std::min(block, frames - done);
            float* il = module_output(src, 1);
            float* ir = module_output(src, 2);
            for (int i = 0; i < n; ++i) {
                il[i] = ir[i] = 0;
                if (in) in(done + i, il[i], ir[i]);
            }
            rev->process(rev, n);
            const float* ol = module_output(rev, 1);
            const float* orr = module_output(rev, 2);
            if (out_l) out_l->insert(out_l->end(), ol, ol + n);
            if (out_r) out_r->insert(out_r->end(), orr, orr + n);
            done += n;
        }
    }

    void send(int id, float position) {
        t_message msg = make_float_message(rev->id, id, position);
        rev->receive_message(rev, &msg);
    }
    int query(int id) {
        t_message out;
        EXPECT_EQ(rev->get_message(rev, id, &out), 0);
        return out.value.i;
    }
    void load(const std::string& text) {
        KelTextReader in(text);
        EXPECT_TRUE(module_read_state(rev, in));
    }
    void set(const std::string& body) { load("reverberator Reverb version 1 {\n" + body + "\n}\n"); }
    std::string settings() {
        KelTextWriter out;
        rev->write_parameters(rev, out, "");
        return out.str();
    }
    // One numeric setting as written to text.
    float written(const std::string& key) {
        const std::string text = settings();
        const std::size_t at = text.find(" " + key + " ");
        EXPECT_NE(at, std::string::npos) << key;
        return std::stof(text.substr(at + key.size() + 2));
    }
};

// Stereo impulse response of `seconds` with the module as it is.
void impulse_response(Rig& rig, double seconds, std::vector<float>& l, std::vector<float>& r, int block = 1024) {
    auto impulse = [](int i, float& a, float& b) { a = b = i == 0 ? 1.0f : 0.0f; };
    rig.render(static_cast<int>(seconds * rig.rate), impulse, &l, &r, block);
}

// Band-pass (one octave around f0), so decay can be compared across sample rates.
std::vector<double> band(const std::vector<float>& x, double f0, double fs) {
    const double w = 2 * std::numbers::pi * f0 / fs, alpha = std::sin(w) / (2 * 1.41);
    const double a0 = 1 + alpha, b0 = alpha / a0, b2 = -alpha / a0;
    const double a1 = -2 * std::cos(w) / a0, a2 = (1 - alpha) / a0;
    std::vector<double> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        y[i] = b0 * x[i] + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x[i], y2 = y1, y1 = y[i];
    }
    return y;
}

// RT60 in seconds from the Schroeder integral of the energy: twice the time between
// the -5 dB and -35 dB points. Negative when the decay never gets there.
double rt60(const std::vector<double>& energy, double fs) {
    std::vector<double> tail(energy.size() + 1, 0.0);
    for (std::size_t i = energy.size(); i-- > 0;) tail[i] = tail[i + 1] + energy[i];
    if (!(tail[0] > 0)) return -1;
    double t5 = -1, t35 = -1;
    for (std::size_t i = 0; i < energy.size(); ++i) {
        const double db = 10 * std::log10(tail[i] / tail[0] + 1e-300);
        if (t5 < 0 && db <= -5) t5 = i / fs;
        if (db <= -35) {
            t35 = i / fs;
            break;
        }
    }
    return t35 < 0 ? -1 : 2 * (t35 - t5);
}

std::vector<double> stereo_energy(const std::vector<float>& l, const std::vector<float>& r) {
    std::vector<double> e(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) e[i] = double(l[i]) * l[i] + double(r[i]) * r[i];
    return e;
}

std::vector<double> band_energy(const std::vector<float>& l, const std::vector<float>& r, double f0, double fs) {
    std::vector<double> bl = band(l, f0, fs), br = band(r, f0, fs), e(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) e[i] = bl[i] * bl[i] + br[i] * br[i];
    return e;
}

float peak(const std::vector<float>& x, std::size_t from, std::size_t to) {
    float p = 0;
    for (std::size_t i = from; i < std::min(to, x.size()); ++i) p = std::max(p, std::fabs(x[i]));
    return p;
}

bool all_finite(const std::vector<float>& x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

int first_above(const std::vector<float>& x, float threshold) {
    for (std::size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > threshold) return static_cast<int>(i);
    return -1;
}

struct PresetInfo {
    float decay, ratio;
    double nominal() const { return decay * std::pow(ratio, 1.5); }  // each line's 60 dB time
};
const PresetInfo kPresetInfo[9] = {{1.60371f, 1},    {1.60371f, 1},   {1.00949f, 1},
                                   {1.75926f, 1.5f}, {1.60371f, 1.5f}, {1.75926f, 1.5f},
                                   {2.7948f, 2},     {1.63367f, 2},   {1.60371f, 0.65f}};

void load_preset_wet(Rig& rig, int p) {
    rig.load(reverberator_preset_texts()[p]);
    rig.set("mix " + std::to_string(kMixWetOnly));
}

TEST(Reverberator, DelayLengthsArePrimesScaledByRateAndRoom) {
    struct Row {
        float fs, r;
        int a[4], t[2], l[4];
    };
    const Row rows[] = {
        {44100, 1, {257, 337, 631, 883}, {1327, 1867}, {2579, 3061, 3643, 4337}},
        {44100, 0.65f, {257, 337, 631, 883}, {859, 1213}, {1669, 1987, 2357, 2819}},
        {44100, 1.5f, {257, 337, 631, 883}, {1987, 2797}, {3863, 4597, 5449, 6491}},
        {44100, 2, {257, 337, 631, 883}, {2647, 3733}, {5153, 6131, 7283, 8669}},
        {48000, 1, {277, 367, 683, 953}, {1439, 2029}, {2803, 3331, 3967, 4703}},
    };
    for (const Row& row : rows) {
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(reverberator_delay_length(k, 1, row.fs), row.a[k]) << row.fs << " " << k;
            EXPECT_EQ(reverberator_delay_length(k + 6, row.r, row.fs), row.l[k]) << row.fs << " " << row.r;
        }
        EXPECT_EQ(reverberator_delay_length(4, row.r, row.fs), row.t[0]);
        EXPECT_EQ(reverberator_delay_length(5, row.r, row.fs), row.t[1]);
    }
}

TEST(Reverberator, FirstReflectionArrivesAfterTheTapAndFollowsTheRateAtReset) {
    Rig rig(44100);
    rig.set("mix " + std::to_string(kMixWetOnly));
    std::vector<float> l, r;
    impulse_response(rig, 0.1, l, r);
    EXPECT_EQ(first_above(l, 1e-6f), 1327);  // the left output hears tap T1 first
    EXPECT_EQ(first_above(r, 1e-6f), 1327);  // the right hears it at a fifth
    EXPECT_NEAR(l[1327], 0.25f * 0.88f, 1e-6f);

    // A new rate alone keeps the delays; the next reset takes them from the rate.
    rig.rev->set_sample_rate(rig.rev, 96000);
    rig.rate = 96000;
    rig.rev->reset(rig.rev);
    l.clear(), r.clear();
    rig.rev->set_sample_rate(rig.rev, 192000);
    impulse_response(rig, 0.1, l, r);
    EXPECT_EQ(first_above(l, 1e-6f), reverberator_delay_length(4, 1, 96000));
    rig.rev->reset(rig.rev);
    l.clear(), r.clear();
    impulse_response(rig, 0.1, l, r);
    EXPECT_EQ(first_above(l, 1e-6f), reverberator_delay_length(4, 1, 192000));
}

TEST(Reverberator, DecayTimeFollowsTheDecaySettingAcrossPresets) {
    std::vector<double> measured;
    for (int p = 0; p < 9; ++p) {
        Rig rig;
        load_preset_wet(rig, p);
        std::vector<float> l, r;
        impulse_response(rig, 1.5 * kPresetInfo[p].nominal() + 0.3, l, r);
        const double t = rt60(stereo_energy(l, r), rig.rate);
        measured.push_back(t);
        // Damping shortens the broadband decay below the lines' own 60 dB time.
        EXPECT_GT(t, 0.65 * kPresetInfo[p].nominal()) << "preset " << p;
        EXPECT_LT(t, 1.0 * kPresetInfo[p].nominal()) << "preset " << p;
    }
    // Longer settings ring longer: the longest, the shortest and a middle one.
    EXPECT_GT(measured[6], measured[7]);
    EXPECT_GT(measured[7], measured[0]);
    EXPECT_GT(measured[0], measured[2]);
    EXPECT_GT(measured[3], measured[0]);
    // Same decay and size, a brighter cutoff: the brighter preset rings longer.
    EXPECT_GT(measured[1], measured[0]);
}

TEST(Reverberator, EveryPresetIsStableAndSoundsAlikeAtEveryRate) {
    for (int p = 0; p < 9; ++p) {
        double ref_mid = 0, ref_high = 0;
        for (float fs : {44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
            Rig rig(fs);
            load_preset_wet(rig, p);
            std::vector<float> l, r;
            const double seconds = 2 * kPresetInfo[p].nominal() + 0.3;
            impulse_response(rig, seconds, l, r, fs == 48000 ? 317 : 1024);
            ASSERT_TRUE(all_finite(l) && all_finite(r)) << p << " " << fs;
            // Silent at the end: 120 dB of the lines' decay have passed.
            const float top = std::max(peak(l, 0, l.size()), peak(r, 0, r.size()));
            const std::size_t end = l.size(), last = end - static_cast<std::size_t>(0.1 * fs);
            EXPECT_LT(std::max(peak(l, last, end), peak(r, last, end)), 1e-4f * top) << p << " " << fs;
            const double mid = rt60(band_energy(l, r, 1000, fs), fs);
            const double high = rt60(band_energy(l, r, 5000, fs), fs);
            if (fs == 44100) {
                ref_mid = mid, ref_high = high;
                EXPECT_GT(mid, 0);
                EXPECT_GT(high, 0);
                continue;
            }
            EXPECT_NEAR(mid / ref_mid, 1, 0.08) << "preset " << p << " at " << fs;
            EXPECT_NEAR(high / ref_high, 1, 0.08) << "preset " << p << " at " << fs;
        }
    }
}

TEST(Reverberator, BlockSizeDoesNotChangeTheOutput) {
    std::vector<float> reference;
    for (int block : {1024, 1, 317}) {
        Rig rig;
        rig.load(reverberator_preset_texts()[3]);
        rig.send(6, 100);  // a mix ramp running across block ends
        std::vector<float> l, r;
        rig.render(22050, [](int i, float& a, float& b) { a = i % 5000 == 0 ? 1.0f : 0.0f, b = 0.1f * a; }, &l, &r,
                   block);
        l.insert(l.end(), r.begin(), r.end());
        if (reference.empty()) reference = l;
        else EXPECT_EQ(l, reference) << "block " << block;
    }
}

TEST(Reverberator, ExtremeSettingsStayFiniteAndBounded) {
    const char* settings[] = {
        "decay 4.2 cutoff 0.5 diffusion -0.63 size_ratio 2 low_freq_cutoff 20 mix 1.5707964",
        "decay 0.4 cutoff 0.05 diffusion -0.01 size_ratio 0.5 low_freq_cutoff 500 mix 0",
        "decay 99 cutoff 9 diffusion -9 size_ratio 1e30 low_freq_cutoff 1e9 mix 99",  // clamped
        "decay 0 cutoff 0 diffusion 0 size_ratio -3 low_freq_cutoff 0 mix -1",
    };
    for (float fs : {44100.0f, 192000.0f}) {
        for (const char* s : settings) {
            Rig rig(fs);
            rig.set(s);
            unsigned seed = 1;
            auto noise = [&](int i, float& a, float& b) {
                seed = seed * 1664525u + 1013904223u;
                a = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
                b = 0.7f * a;
                // Garbage from upstream must not poison the rings.
                if (i == 1000) a = std::nanf("");
                if (i == 2000) b = INFINITY;
                if (i == 3000) a = 1e30f;
            };
            std::vector<float> l, r, tl, tr;
            rig.render(static_cast<int>(2 * fs), noise, &l, &r);
            rig.render(static_cast<int>(20 * fs), nullptr, &tl, &tr);
            ASSERT_TRUE(all_finite(l) && all_finite(r) && all_finite(tl) && all_finite(tr)) << s;
            EXPECT_LT(std::max(peak(l, 0, l.size()), peak(r, 0, r.size())), 20.0f) << s;
            // No runaway once the input stops: the tail ends far below where it started.
            const std::size_t second = static_cast<std::size_t>(fs);
            EXPECT_LT(peak(tl, tl.size() - second, tl.size()), 0.01f * std::max(peak(tl, 0, second), 1e-6f)) << s;
        }
    }
}

TEST(Reverberator, SilenceInGivesOnlyTheAntiDenormalFloorOut) {
    Rig rig;
    std::vector<float> l, r;
    rig.render(44100, nullptr, &l, &r);
    EXPECT_LT(std::max(peak(l, 0, l.size()), peak(r, 0, r.size())), 1e-15f);
}

TEST(Reverberator, CreationSettingsAndTheirText) {
    Rig rig;
    EXPECT_EQ(rig.settings(),
              " decay            1\n"
              " cutoff           0.25\n"
              " diffusion        -0.4\n"
              " size             0.377953\n"
              " size_ratio       1\n"
              " low_freq_cutoff  50\n"
              " mix              0.785398\n"
              " bypass           0\n");
    EXPECT_EQ(rig.query(1), 1);
    EXPECT_EQ(rig.query(6), 64);
    EXPECT_EQ(rig.query(7), 1);
    t_message out;
    EXPECT_EQ(rig.rev->get_message(rig.rev, 8, &out), 1);
    // Only "mix" is in the parameter list.
    ASSERT_EQ(rig.rev->params.size(), 1u);
    EXPECT_EQ(rig.rev->params[0].param->name(), "mix");

    EXPECT_EQ(reverberator_create("44100 512"), nullptr);
    EXPECT_EQ(reverberator_create("0 512 Reverb"), nullptr);
    EXPECT_EQ(reverberator_create("1e9 512 Reverb"), nullptr);
}

TEST(Reverberator, PresetTextsLoadAndWriteBackTheirValues) {
    const std::vector<std::string> texts = reverberator_preset_texts();
    ASSERT_EQ(texts.size(), 9u);
    EXPECT_EQ(texts[0].substr(0, texts[0].find('}')),
              "reverberator Reverb version 1\n{\n"
              "   decay            1.60371\n"
              "   cutoff           0.187834\n"
              "   diffusion        -0.390787\n"
              "   size             0.377953\n"
              "   size_ratio       1\n"
              "   low_freq_cutoff  61.0036\n"
              "   mix              0.346317\n"
              "   bypass           0\n");
    for (const std::string& text : texts) {
        Rig rig;
        rig.send(7, 0);  // a preset switches the reverb on from any state
        rig.load(text);
        KelTextReader in(text);
        in.next_token(), in.next_token(), in.next_token(), in.next_token(), in.next_token();  // header, "{"
        for (std::string_view key = in.next_token(); key != "}"; key = in.next_token()) {
            const float v = std::stof(std::string(in.next_token()));
            EXPECT_NEAR(rig.written(std::string(key)), v, 1e-5f * std::max(1.0f, std::fabs(v))) << key;
        }
        // Round trip: the written text read into a fresh module writes the same text.
        Rig other;
        other.set(rig.settings());
        EXPECT_EQ(other.settings(), rig.settings());
    }
}

TEST(Reverberator, SizeMessagesPickTheRoomAndClearTheRings) {
    Rig rig;
    rig.set("mix " + std::to_string(kMixWetOnly));
    const float ratios[4] = {0.65f, 1, 1.5f, 2};
    for (int v : {0, 2, 3, 1}) {
        std::vector<float> l;
        rig.render(4410, [](int, float& a, float& b) { a = b = 0.5f; }, &l, nullptr);
        rig.send(1, static_cast<float>(v));
        EXPECT_FLOAT_EQ(rig.written("size_ratio"), ratios[v]);
        EXPECT_EQ(rig.query(1), v);
        l.clear();
        rig.render(512, nullptr, &l, nullptr);
        EXPECT_LT(peak(l, 0, l.size()), 1e-15f) << "rings cleared at size " << v;
        // The same value again changes nothing: the new room keeps ringing.
        rig.render(10000, [](int, float& a, float& b) { a = b = 0.5f; }, &l, nullptr);
        rig.send(1, static_cast<float>(v));
        l.clear();
        rig.render(512, nullptr, &l, nullptr);
        EXPECT_GT(peak(l, 0, l.size()), 1e-3f) << "size " << v;
    }
}

TEST(Reverberator, DecayMessageScalesByTheSquareOfTheRatioAResetByItsPowerOneAndAHalf) {
    Rig rig;
    rig.set("mix " + std::to_string(kMixWetOnly) + " cutoff 0.5 size_ratio 2");
    std::vector<float> l, r;
    rig.send(2, static_cast<float>(rig.query(2)));  // same decay, the message's law
    impulse_response(rig, 12, l, r);
    const double by_message = rt60(stereo_energy(l, r), 44100);
    rig.rev->reset(rig.rev);
    l.clear(), r.clear();
    impulse_response(rig, 12, l, r);
    const double by_reset = rt60(stereo_energy(l, r), 44100);
    EXPECT_NEAR(by_message / by_reset, std::sqrt(2.0), 0.12);
}

TEST(Reverberator, CutoffMessagesAreInvertedAndAnsweredAsSent) {
    Rig rig;
    for (int c : {0, 40, 127}) {
        rig.send(4, static_cast<float>(c));
        EXPECT_EQ(rig.query(4), c);
    }
    rig.send(4, 0);
    EXPECT_FLOAT_EQ(rig.written("cutoff"), 0.5f);
    rig.send(4, 127);
    EXPECT_FLOAT_EQ(rig.written("cutoff"), 0.05f);
}

TEST(Reverberator, MixZeroPassesTheInputWhileTheNetworkRuns) {
    Rig rig;
    rig.send(6, 0);
    std::vector<float> l, r;
    auto in = [](int i, float& a, float& b) { a = std::sin(0.01f * i), b = std::cos(0.03f * i); };
    rig.render(8820, in, &l, &r);
    for (int i = 4411; i < 8820; ++i) {  // after the 100 ms fade
        ASSERT_EQ(l[i], std::sin(0.01f * i)) << i;
        ASSERT_EQ(r[i], std::cos(0.03f * i)) << i;
    }
}

TEST(Reverberator, SwitchingOffFadesTheTailAndSwitchingOnStartsEmpty) {
    Rig rig;
    auto in = [](int i, float& a, float& b) { a = b = std::sin(0.05f * i); };
    std::vector<float> l, r;
    rig.render(44100, in, &l, &r);
    rig.send(7, 0);
    EXPECT_EQ(rig.query(7), 0);
    l.clear();
    rig.render(4410 + 1024 + 2048, in, &l, &r);
    // The wet share fades over 100 ms, then the input is copied through.
    EXPECT_GT(peak(l, 0, 1024), 1.05f);  // dry plus tail
    for (int i = 4410 + 1024; i < static_cast<int>(l.size()); ++i) ASSERT_EQ(l[i], std::sin(0.05f * i)) << i;

    rig.set("mix " + std::to_string(kMixWetOnly) + " bypass 1");  // text bypasses at once
    EXPECT_EQ(rig.query(7), 0);
    rig.send(7, 1);
    EXPECT_EQ(rig.query(7), 1);
    l.clear();
    rig.render(1000, nullptr, &l, &r);
    EXPECT_LT(peak(l, 0, l.size()), 1e-15f);  // the rings were cleared
}

struct Told : ModuleObserver {
    std::vector<int> ids;
    void told(t_module*, int id) override { ids.push_back(id); }
};

TEST(Reverberator, SettingsTextReadRules) {
    Rig rig;
    Told observer;
    rig.rev->observer = &observer;

    // Only unknown keys: no reset, bypass unchanged, the observer still hears of all seven.
    rig.send(7, 0);
    rig.render(44100, [](int, float& a, float& b) { a = b = 0.3f; }, nullptr, nullptr);
    rig.set("colour 3 loudness 7");
    EXPECT_EQ(rig.query(7), 0);
    ASSERT_GE(observer.ids.size(), 7u);
    EXPECT_EQ(std::vector<int>(observer.ids.begin(), observer.ids.begin() + 7), (std::vector<int>{2, 4, 5, 1, 3, 6, 7}));

    // A known key without a "bypass" line switches the reverb on, at the mix it holds.
    rig.set("decay 2");
    EXPECT_EQ(rig.query(7), 1);
    std::vector<float> l, r;
    impulse_response(rig, 0.1, l, r);
    EXPECT_NEAR(l[1327], 0.88f * 0.25f * std::sin(0.785398f), 1e-5f);

    // Values are clamped to their ranges; the room ratio to what the rings hold.
    rig.set("decay 100 cutoff -3 size_ratio 40 mix nan bypass 1");
    EXPECT_FLOAT_EQ(rig.written("decay"), 4.2f);
    EXPECT_FLOAT_EQ(rig.written("cutoff"), 0.05f);
    EXPECT_FLOAT_EQ(rig.written("size_ratio"), 2.0f);
    EXPECT_NEAR(rig.written("mix"), 0.785398f, 1e-6f);
    EXPECT_EQ(rig.query(7), 0);
    rig.set("size_ratio 0 bypass 0");
    EXPECT_FLOAT_EQ(rig.written("size_ratio"), 0.5f);
    EXPECT_EQ(rig.query(7), 1);
    rig.rev->observer = nullptr;
}

TEST(Reverberator, RenderingAndMessagesAllocateNothing) {
    Rig rig(96000);
    rig.load(reverberator_preset_texts()[6]);
    std::vector<float> l, r;
    l.reserve(96000 * 2), r.reserve(96000 * 2);
    mellora::test::AllocationCounter counter;
    rig.render(20000, [](int i, float& a, float& b) { a = b = i % 777 == 0 ? 1.0f : 0.0f; }, &l, &r);
    for (int id = 1; id <= 7; ++id) rig.send(id, 3);
    rig.send(7, 0);
    rig.render(20000, nullptr, &l, &r);
    rig.send(7, 1);
    rig.render(20000, nullptr, &l, &r);
    EXPECT_EQ(counter.count(), 0u);
}

} // namespace
