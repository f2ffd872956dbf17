#include "modules/transport.h"

#include <chrono>
#include <cmath>

#include "engine/sync_input_port.h"
#include "modules/tempo_division.h"

namespace {

constexpr int64_t kTapTimeoutUs = 2000000;   // a pause this long starts a new measurement
constexpr int64_t kLongPressUs = 1000000;    // a press held this long does too
constexpr float kTapTempoMax = 999.9f;

int64_t steady_now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

t_transport* self(t_module* m) { return static_cast<t_transport*>(m); }

// A tempo that is zero, negative or not finite would stop the clock or fill it with
// NaN; such a value is ignored and the last good tempo kept.
bool set_tempo(t_transport* t, float bpm) {
    if (!CSyncInputPort::tempo_is_valid(bpm)) return false;
    t->tempo = bpm;
    // Two level changes per pulse, 240 pulses per quarter note.
    t->half_period = t->sample_rate * 30.0f / (bpm * kClockPulsesPerQuarter);
    return true;
}

int rounded_integer(float tempo) {
    float whole = std::floor(tempo);
    if (tempo - whole > 0.9499f) whole += 1;
    // State text may carry any finite tempo; keep the report inside an int.
    return static_cast<int>(std::fmin(std::fmax(whole, -1e9f), 1e9f));
}

int coarse_of(float tempo) { return rounded_integer(tempo) - 1; }

int fine_of(float tempo) {
    const float tenths = tempo * 10.0f;
    if (!std::isfinite(tenths)) return 0;
    float d = std::floor(tenths);
    if (tenths - d > 0.499f) d += 1;
    return static_cast<int>(std::fmod(d, 10.0f));
}

bool host_usable(const t_transport* t) { return t->host && t->host->usable(); }

void tell_tempo_state(t_module* m) {
    module_tell(m, kTransportParamSync);
    module_tell(m, kTransportParamCoarse);
    module_tell(m, kTransportParamFine);
    module_tell(m, kTransportParamRunning);
}

void request_sync(t_transport* t, bool on) {
    if (on && host_usable(t)) {
        t->sync_active = 1;
        t->sync_wanted = 0;
        t->refresh = 1;
    } else {
        t->sync_active = 0;
        t->sync_wanted = on ? 1 : 0;
    }
}

// Tap tempo: the tempo is the mean of up to three intervals between taps.
bool tap(t_transport* t) {
    t_tap_tempo& tp = t->tap;
    const int64_t now = t->now_us();
    const int64_t dt = now - tp.last_tap_us;
    tp.last_tap_us = now;
    if (!tp.tapped || dt > kTapTimeoutUs || tp.reset) {
        tp.tapped = true;
        tp.count = 1;
        tp.reset = false;
        return false;
    }
    if (++tp.count > 4) {
        tp.count = 4;
        tp.values[0] = tp.values[1];
        tp.values[1] = tp.values[2];
    }
    const double seconds = dt > 0 ? dt * 1e-6 : 1e-6;
    tp.values[tp.count - 2] = static_cast<float>(60.0 / seconds);
    float sum = 0;
    for (int i = 0; i < tp.count - 1; ++i) sum += tp.values[i];
    float mean = sum / static_cast<float>(tp.count - 1);
    mean = mean < 0 ? 0 : (mean > kTapTempoMax ? kTapTempoMax : mean);
    return set_tempo(t, mean);
}

void release_tap(t_transport* t) {
    t_tap_tempo& tp = t->tap;
    tp.pressed = false;
    if (tp.tapped && t->now_us() - tp.last_tap_us > kLongPressUs) tp.reset = true;
}

// ---- block processing ----

void follow_host(t_module* m) {
    t_transport* t = self(m);
    const bool playing = t->host->playing();
    const float host_tempo = t->host->tempo();
    const bool tempo_ok = CSyncInputPort::tempo_is_valid(host_tempo);
    const bool changed = t->refresh || playing != t->last_host_playing || (tempo_ok && host_tempo != t->last_host_tempo);
    if (!changed) return;
    if (!t->last_host_playing && playing) t->start_pending = 1;
    t->running = playing ? 1 : 0;
    if (tempo_ok) {
        set_tempo(t, host_tempo);
        t->last_host_tempo = host_tempo;
    }
    t->last_host_playing = playing;
    t->refresh = 0;
    tell_tempo_state(m);
}

void transport_process(t_module* m, int frames) {
    t_transport* t = self(m);
    if (t->sync_active && t->host) follow_host(m);

    if (float* start = module_output(m, 3)) {
        for (int i = 0; i < frames; ++i) start[i] = 0;
        if (t->start_pending && frames > 0) {
            start[0] = 1;
            t->start_pending = 0;
        }
    }
    if (float* gate = module_output(m, 2)) {
        const float g = t->running ? 1.0f : 0.0f;
        for (int i = 0; i < frames; ++i) gate[i] = g;
    }
    float* clock = module_output(m, 1);
    if (!clock) return;
    float phase = t->phase, level = t->level;
    const float half = t->half_period;
    for (int i = 0; i < frames; ++i) {  // per sample
        phase += 1;
        if (phase > half) {
            phase -= half;
            level = 1 - level;
            // After a jump to a much faster tempo the phase may still be past the new
            // half period; restart the half cycle instead of flipping on every sample.
            if (phase > half) phase = 0;
        }
        clock[i] = level;
    }
    t->phase = phase;
    t->level = level;
}

// ---- messages ----

int transport_receive(t_module* m, t_message* msg) {
    t_transport* t = self(m);
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    const float v = message_position(*msg);
    if (!std::isfinite(v)) return 0;
    switch (msg->param_id) {
    case kTransportParamCoarse:
        set_tempo(t, v + static_cast<float>(fine_of(t->tempo)) / 10.0f + 1.0f);
        break;
    case kTransportParamFine:
        set_tempo(t, static_cast<float>(rounded_integer(t->tempo)) + v * 0.1f);
        break;
    case kTransportParamSync:
        request_sync(t, v > 0);
        module_tell(m, kTransportParamCoarse);
        module_tell(m, kTransportParamFine);
        break;
    case kTransportParamRunning:
        t->running = v > 0 ? 1 : 0;
        break;
    case kTransportParamStop:
        t->running = 0;
        t->start_pending = 1;
        module_tell(m, kTransportParamRunning);
        module_tell(m, kTransportParamStop);
        break;
    case kTransportParamTap:
        if (t->sync_active) break;
        if (v > 0 && !t->tap.pressed) {
            t->tap.pressed = true;
            if (tap(t)) tell_tempo_state(m);
        } else if (v <= 0) {
            release_tap(t);
        }
        break;
    default:
        break;
    }
    return 0;
}

int transport_get_message(t_module* m, int param_id, t_message* out) {
    t_transport* t = self(m);
    int32_t v;
    switch (param_id) {
    case kTransportParamCoarse: v = coarse_of(t->tempo); break;
    case kTransportParamFine: v = fine_of(t->tempo); break;
    case kTransportParamSync: v = (t->sync_wanted || t->sync_active) ? 1 : 0; break;
    case kTransportParamRunning: v = t->running ? 1 : 0; break;
    default: return 1;
    }
    *out = make_int_message(m->id, param_id, v);
    return 0;
}

// ---- host clock ----

int transport_query(t_module*, int kind) { return kind == kControlHostClock ? 1 : 0; }

int transport_control(t_module* m, int kind, const intptr_t* args, int nargs) {
    if (kind != kControlHostClock || nargs < 1 || !args) return 0;
    t_transport* t = self(m);
    t->host = reinterpret_cast<CSyncInputPort*>(args[0]);
    if (t->sync_wanted && host_usable(t)) request_sync(t, true);
    return 1;
}

void transport_set_rate(t_module* m, float rate) {
    t_transport* t = self(m);
    if (!(rate > 0) || !std::isfinite(rate)) return;
    t->sample_rate = rate;
    set_tempo(t, t->tempo);
}

// ---- state text ----

void transport_write(t_module* m, KelTextWriter& out, const std::string& indent) {
    t_transport* t = self(m);
    out << indent << " tempo       " << format_float(t->tempo) << '\n';
    out.flush();
    out << indent << " sync_on_off " << ((t->sync_wanted || t->sync_active) ? 1 : 0) << '\n';
    out.flush();
}

void transport_read(t_module* m, KelTextReader& in) {
    t_transport* t = self(m);
    std::string_view key, value;
    while (module_next_setting(in, key, value)) {
        if (key == "tempo") {
            float bpm;
            if (parse_float(value, bpm)) set_tempo(t, bpm);
        } else if (key == "sync_on_off") {
            int n;
            if (parse_int(value, n)) request_sync(t, n >= 1);
        }
    }
    tell_tempo_state(m);
}

} // namespace

t_module* transport_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    int buffer_size = 0;
    std::string name;
    if (!d.f(rate) || !d.d(buffer_size) || !d.s(name)) return nullptr;
    t_transport* t = module_alloc<t_transport>(0, 3);
    if (!t) return nullptr;
    t->type_name = "transport";
    t->name = name;
    module_set_version(t, 1);
    t->sample_rate = rate > 0 && std::isfinite(rate) ? rate : 44100.0f;
    set_tempo(t, 120.0f);
    t->now_us = steady_now_us;
    t->process = transport_process;
    t->receive_message = transport_receive;
    t->get_message = transport_get_message;
    t->query = transport_query;
    t->control = transport_control;
    t->set_sample_rate = transport_set_rate;
    t->write_parameters = transport_write;
    t->read_parameters = transport_read;
    return t;
}

void transport_set_timer(t_module* m, int64_t (*now_us)()) {
    if (m && now_us && m->type_name == "transport") self(m)->now_us = now_us;
}
