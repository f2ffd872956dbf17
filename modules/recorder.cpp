#include "modules/recorder.h"

#include <atomic>
#include <cmath>
#include <memory>

#include "engine/modular.h"
#include "engine/report.h"
#include "framework/dialogs.h"
#include "framework/files.h"
#include "framework/interlocked.h"
#include "framework/platform_thread.h"
#include "modules/kel_generic_sound_sink.h"

namespace {

enum : uint32_t {
    kFlagRecording = 0x01,
    kFlagTriggerMode = 0x18,  // 0 none, 0x08 start on trigger, 0x10 record while triggered
    kFlagLimiter = 0x60,      // 0x20 soft, otherwise hard
    kFlagSoft = 0x20,
    kFlagHard = 0x40,
};

constexpr int kFormatChosen = 10;  // a file has been chosen
constexpr std::size_t kMaxPath = 2047;
constexpr int kMaxBlock = 1024;
// The pause handshake: how long the user-interface thread waits for a block in progress.
constexpr int kPauseStepMs = 25;
constexpr int kPauseSteps = 40;

struct t_recorder : t_module {
    int32_t sample_rate = 44100;
    int32_t format = 0;
    // Changed by messages (audio thread), read for the state text (user-interface thread).
    std::atomic<uint32_t> flags{kFlagSoft};
    std::atomic<uint8_t> clipped{0};
    std::atomic<int32_t> paused{0};
    std::atomic<int32_t> in_process{0};
    std::atomic<int32_t> dialog_request{0};
    std::atomic<int32_t> busy{0};
    std::string path = "empty";
    std::string file_name = "empty";
    std::unique_ptr<KelSoundSink> sink;
    float left[kMaxBlock];
    float right[kMaxBlock];
};

t_recorder* self(t_module* m) { return static_cast<t_recorder*>(m); }

std::string last_part(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void report_all(t_module* m) {
    for (int id = kRecorderParamRecording; id <= kRecorderParamClipped; ++id) module_tell(m, id);
    if (m->persistence > 0 && m->observer) m->observer->received_string(m, kRecorderParamFileName, self(m)->file_name);
}

void set_flag(t_recorder* r, uint32_t mask, uint32_t value) {
    uint32_t f = r->flags.load();
    while (!r->flags.compare_exchange_weak(f, (f & ~mask) | (value & mask))) {
    }
}

void start_recording(t_module* m) {
    t_recorder* r = self(m);
    if (r->busy.load() || !r->sink) return;  // the save dialog is choosing a new file
    r->clipped.store(0);
    if (!r->sink->start()) return;
    set_flag(r, kFlagRecording, kFlagRecording);
    report_all(m);
}

void stop_recording(t_module* m) {
    t_recorder* r = self(m);
    if (r->sink) r->sink->stop();
    set_flag(r, kFlagRecording, 0);
    report_all(m);
}

// The audio side of the pause handshake, around every entry that touches the sink or the
// file name. It announces itself before looking at the pause; the user-interface thread
// sets the pause before it waits for the announcements to end, so one of the two always
// sees the other.
class AudioEntry {
public:
    explicit AudioEntry(t_recorder* r) : r_(r) {
        kel_interlocked_increment(r_->in_process);
        paused_ = r_->paused.load() != 0;
    }
    ~AudioEntry() { kel_interlocked_decrement(r_->in_process); }
    bool paused() const { return paused_; }

private:
    t_recorder* r_;
    bool paused_;
};

void recorder_process(t_module* m, int n) {
    t_recorder* r = self(m);
    const AudioEntry entry(r);
    if (entry.paused()) return;
    KelSoundSink* sink = r->sink.get();
    const float* in_l = module_input(m, 1);
    const float* in_r = module_input(m, 2);
    if (sink && in_l && in_r && n > 0 && (r->flags.load(std::memory_order_relaxed) & kFlagRecording)) {
        if (n > kMaxBlock) n = kMaxBlock;
        const bool soft = (r->flags.load(std::memory_order_relaxed) & kFlagLimiter) == kFlagSoft;
        bool clipped = false;
        for (int i = 0; i < n; ++i) {
            float a = in_l[i], b = in_r[i];
            if (!(a == a)) a = 0;  // a NaN would reach the file as noise
            if (!(b == b)) b = 0;
            if (a > 1.0f || a < -1.0f || b > 1.0f || b < -1.0f) clipped = true;
            r->left[i] = soft ? recorder_soft_limit(a) : recorder_hard_limit(a);
            r->right[i] = soft ? recorder_soft_limit(b) : recorder_hard_limit(b);
        }
        const float* channels[2] = {r->left, r->right};
        sink->write(2, n, channels);  // a full ring drops the block
        if (clipped && !r->clipped.exchange(1)) module_tell(m, kRecorderParamClipped);
    }
}

int trigger_mode_of(uint32_t flags) {
    switch (flags & kFlagTriggerMode) {
    case 0x08: return 1;
    case 0x10: return 2;
    default: return 0;
    }
}

int recorder_receive(t_module* m, t_message* msg) {
    if (msg->kind != kMessageInt && msg->kind != kMessageFloat) return 0;
    t_recorder* r = self(m);
    const int v = static_cast<int>(message_position(*msg));
    // While the sink is being replaced only the flags may change: the sink and the file
    // name belong to the user-interface thread then (a start would be ignored anyway,
    // and the replacement ends any recording).
    const AudioEntry entry(r);
    switch (msg->param_id) {
    case kRecorderStart:
        if (!entry.paused()) start_recording(m);
        break;
    case kRecorderStop:
        if (!entry.paused()) stop_recording(m);
        break;
    case kRecorderLimiter:
        set_flag(r, kFlagLimiter, v == 1 ? kFlagSoft : kFlagHard);
        module_tell(m, kRecorderParamSoft);
        break;
    case kRecorderTriggerMode:
        set_flag(r, kFlagTriggerMode, v <= 0 ? 0u : (v == 1 ? 0x08u : 0x10u));
        module_tell(m, kRecorderParamTrigger);
        break;
    case kRecorderChooseFile:
        if (entry.paused()) break;
        r->dialog_request.store(1);
        module_tell(m, kRecorderChooseFile);
        stop_recording(m);
        break;
    default: break;
    }
    return 0;
}

int recorder_get_message(t_module* m, int id, t_message* out) {
    t_recorder* r = self(m);
    const uint32_t f = r->flags.load();
    const KelSoundSink* s = r->sink.get();
    int32_t v = 0;
    switch (id) {
    case kRecorderParamRecording: v = (f & kFlagRecording) ? 1 : 0; break;
    case 2: v = 0; break;
    case kRecorderParamSoft: v = (f & kFlagLimiter) == kFlagSoft ? 1 : 0; break;
    case kRecorderParamMono: v = s && s->channels() == 1; break;
    case kRecorderParamStereo: v = s && s->channels() == 2; break;
    case kRecorderParam8Bit: v = s && s->bits() == 8; break;
    case kRecorderParam16Bit: v = s && s->bits() == 16; break;
    case kRecorderParamTrigger: v = trigger_mode_of(f); break;
    case kRecorderParamClipped: v = r->clipped.load(); break;
    case kRecorderParamFileName:
        out->kind = kMessageString;
        out->param_id = id;
        out->module_id = m->id;
        out->value.s = &r->file_name;
        out->owns_string = 0;
        return 0;
    default: return 1;
    }
    *out = make_int_message(m->id, id, v);
    return 0;
}

void recorder_write(t_module* m, KelTextWriter& out, const std::string& indent) {
    t_recorder* r = self(m);
    out << indent << " filename " << (r->format == kFormatChosen ? recorder_escape_path(r->path) : "empty") << '\n';
    out.flush();
    out << indent << " format   " << r->format << '\n';
    out.flush();
    out << indent << " flags    " << static_cast<int>(r->flags.load()) << '\n';
    out.flush();
}

void recorder_read(t_module* m, KelTextReader& in) {
    t_recorder* r = self(m);
    std::string_view key, value;
    while (module_next_setting(in, key, value)) {
        int v;
        if (key == "flags" && parse_int(value, v)) {
            // Loading neither starts a recording nor leaves a running one half stopped:
            // the recording bit stays what it is.
            const uint32_t keep = r->flags.load() & kFlagRecording;
            r->flags.store((static_cast<uint32_t>(v) & ~kFlagRecording & 0x7f) | keep);
        }
    }
    report_all(m);
}

void recorder_set_rate(t_module* m, float rate) {
    t_recorder* r = self(m);
    if (!(rate > 0) || !std::isfinite(rate)) return;
    r->sample_rate = static_cast<int32_t>(std::lround(rate));
    if (auto* g = dynamic_cast<KelGenericSoundSink*>(r->sink.get())) g->set_sample_rate(r->sample_rate);
}

void recorder_destroy(t_module* m) {
    t_recorder* r = self(m);
    if (r->sink && (r->flags.load() & kFlagRecording)) r->sink->stop();
    r->sink.reset();  // finishes the file and joins the writer
}

// Keeps the audio thread out of process; false when a block did not end in time.
bool pause_audio(t_recorder* r) {
    r->paused.store(1);
    for (int i = 0; i < kPauseSteps; ++i) {
        if (r->in_process.load() == 0) return true;
        kel_sleep_ms(kPauseStepMs);
    }
    return r->in_process.load() == 0;
}

} // namespace

float recorder_hard_limit(float x) { return x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : x); }

float recorder_soft_limit(float x) {
    // Joins the straight line at +-0.7 with slope 1 and approaches +-1: 1 - 0.3 / g^3
    // has slope 0.9 / g^4 * (1 / 0.9) = 1 at g = 1.
    if (x > 0.7f) {
        const float g = (x - 0.7f) * 1.1111112f + 1.0f;
        return 1.0f - 0.3f / (g * g * g);
    }
    if (x < -0.7f) {
        const float g = (x + 0.7f) * 1.1111112f - 1.0f;
        return -1.0f - 0.3f / (g * g * g);
    }
    return x;
}

std::string recorder_escape_path(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 33 || c >= 128 || c == '%') {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

t_module* recorder_create(std::string_view line) {
    KelDescriptor d(line);
    float rate = 0;
    std::string name;
    if (!d.f(rate) || !d.skip_d() || !d.s(name)) return nullptr;
    t_recorder* r = module_alloc<t_recorder>(2, 0);
    if (!r) return nullptr;
    r->type_name = "recorder";
    r->name = name;
    r->sample_rate = rate > 0 && std::isfinite(rate) ? static_cast<int32_t>(std::lround(rate)) : 44100;
    r->path.reserve(kMaxPath + 1);
    r->process = recorder_process;
    r->receive_message = recorder_receive;
    r->get_message = recorder_get_message;
    r->write_parameters = recorder_write;
    r->read_parameters = recorder_read;
    r->set_sample_rate = recorder_set_rate;
    r->on_destroy = recorder_destroy;
    module_set_protected_module(r, 1);
    return r;
}

bool recorder_take_dialog_request(t_module* m) { return m && self(m)->dialog_request.exchange(0) != 0; }

const std::string& recorder_path(t_module* m) { return self(m)->path; }
const std::string& recorder_file_name(t_module* m) { return self(m)->file_name; }
KelSoundSink* recorder_sink(t_module* m) { return self(m)->sink.get(); }

bool recorder_choose_file(t_module* m) {
    if (!m) return false;
    t_recorder* r = self(m);
    // One dialog at a time; while it runs, start requests are ignored.
    if (kel_interlocked_compare_exchange(r->busy, 1, 0) != 0) return false;
    r->dialog_request.store(0);

    KelFileDialogRequest request;
    request.title = "Save Audio File";
    request.default_name = "untitled";
    request.types = {{"WAV Audio File (16 bits)", ".wav"}, {"AIFF Audio File (16 bits)", ".aiff"}};
    const KelFileDialogAnswer answer = kel_file_dialog_service().save_file(request);

    bool installed = false;
    // The answer is UTF-8, which is also this system's code page: no conversion. A path
    // longer than the recorder keeps is refused rather than cut (a cut path names
    // another file).
    if (answer.chosen && !answer.path.empty() && answer.path.size() <= kMaxPath &&
        kel_can_open_for_append(answer.path)) {
        const KelSoundFileType type = answer.type_index == 0 ? KelSoundFileType::Wav : KelSoundFileType::Aiff;
        auto sink = std::make_unique<KelGenericSoundSink>(r->sample_rate, 2, type, answer.path);
        if (pause_audio(r)) {
            std::unique_ptr<KelSoundSink> old = std::move(r->sink);
            r->sink = std::move(sink);
            r->path = answer.path;
            r->file_name = last_part(answer.path);
            r->format = kFormatChosen;
            set_flag(r, kFlagRecording, 0);  // the new file starts with the next start
            r->paused.store(0);
            old.reset();  // finishes the previous file and joins its writer
            installed = true;
            for (int id : {kRecorderParam8Bit, kRecorderParam16Bit, kRecorderParamMono, kRecorderParamStereo})
                module_tell(m, id);
            if (m->persistence > 0 && m->observer)
                m->observer->received_string(m, kRecorderParamFileName, r->file_name);
        } else {
            r->paused.store(0);
            KEL_LOG("the audio thread did not leave the recorder; the new file \"%s\" is not used",
                    answer.path.c_str());
        }
    } else if (answer.chosen) {
        KEL_LOG("cannot record to \"%.200s\"", answer.path.c_str());
    }
    r->busy.store(0);
    return installed;
}
