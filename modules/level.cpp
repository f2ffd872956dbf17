#include "modules/level.h"

#include <algorithm>
#include <cmath>

#include "engine/modular.h"

namespace {

constexpr int kLights = 15;
constexpr int kCountdown = 1057;  // the display updates every 1059th sample

enum { kReportLevel = 20, kReportClip = 21, kReportPeak = 22 };

struct t_level : t_module {
    float rate = 44100;
    float k = 0;       // 2 pi / rate: the smoothing coefficient
    float a = 0;       // smoothed level of twice the rectified signal
    float b = 0;       // peak, falling seven times slower than a moves
    bool lights[kLights] = {};
    bool reported_lights[kLights] = {};
    int reported_level = 0, reported_peak = 0, reported_clip = 0;
    int countdown = kCountdown;
};

int to_scale(float x) {  // 0..127, four steps per dB
    return std::clamp(static_cast<int>(127 + 80 * std::log10(x + 1e-10f)), 0, 127);
}

void update_display(t_level* l) {
    // Lights 3 dB apart; the 15th lights only through the peak.
    int n = std::clamp(static_cast<int>(14 + (20.0f / 3) * std::log10(l->a + 1e-10f)), 0, 14);
    for (int j = 0; j < n; ++j) l->lights[j] = true;
    if (l->b > l->a) {
        int m = static_cast<int>(14 + (20.0f / 3) * std::log10(l->b + 1e-10f));
        if (m > 14) l->lights[14] = true;
        else if (m >= 1) l->lights[m] = true;  // the peak light sits above the bar
    }
    for (int j = 0; j < kLights; ++j) {
        if (l->lights[j] != l->reported_lights[j]) {
            l->reported_lights[j] = l->lights[j];
            module_report(l, j + 1, l->lights[j] ? 1.0f : 0.0f);
        }
        l->lights[j] = false;
    }
    int clip = l->b > 1 ? 1 : 0;
    if (clip != l->reported_clip) {
        l->reported_clip = clip;
        module_report(l, kReportClip, static_cast<float>(clip));
    }
}

void level_process(t_module* m, int n) {
    if (m->persistence <= 0) return;
    auto* l = static_cast<t_level*>(m);
    const float* in = module_input(m, 1);
    const float k = l->k, fall = 1 - k / 7;
    float a = l->a, b = l->b;
    const float b_at_start = b;
    for (int i = 0; i < n; ++i) {
        a += k * (std::fabs(2 * in[i]) - a);
        b = a >= b ? a : b * fall;
        if (l->countdown-- < 0) {
            l->a = a, l->b = b;
            update_display(l);
            l->countdown = kCountdown;
        }
    }
    // A silent output decays both towards zero: stop before they turn denormal.
    if (a < 1e-20f) a = 0;
    if (b < 1e-20f) b = 0;
    l->a = a;
    int level = to_scale(a);
    if (level != l->reported_level) {
        l->reported_level = level;
        module_report(m, kReportLevel, static_cast<float>(level));
    }
    if (b != b_at_start) {
        b = std::min(b, 1.0f);
        int peak = to_scale(b);
        if (peak != l->reported_peak) {
            l->reported_peak = peak;
            module_report(m, kReportPeak, static_cast<float>(peak));
        }
    }
    l->b = b;
}

void level_read(t_module* m, KelTextReader& in) {
    auto* l = static_cast<t_level*>(m);
    module_skip_block(in);
    // A fresh sound starts with a dark meter on the panel.
    l->reported_clip = l->reported_level = l->reported_peak = 0;
    module_report(m, kReportClip, 0);
    module_report(m, kReportLevel, 0);
    module_report(m, kReportPeak, 0);
}

void level_set_rate(t_module* m, float rate) {
    auto* l = static_cast<t_level*>(m);
    if (rate > 0) {
        l->rate = rate;
        l->k = 6.2831855f / rate;
    }
}

} // namespace

t_module* level_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    auto* l = module_alloc<t_level>(1, 0);
    if (!l) return nullptr;
    l->type_name = "level";
    l->name = name;
    level_set_rate(l, rate > 0 ? rate : 44100);
    l->process = level_process;
    l->receive_message = module_ignore_message;
    l->write_parameters = module_write_nothing;
    l->read_parameters = level_read;
    l->set_sample_rate = level_set_rate;
    return l;
}
