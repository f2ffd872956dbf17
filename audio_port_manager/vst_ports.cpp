#include "audio_port_manager/vst_ports.h"

#include <cmath>

void CVstAudioOutputPort::process(float** inputs, float** outputs, int frames, bool replacing) {
    replacing_ = replacing;
    // Pointers from an earlier block may be gone by now: only this block's are kept.
    if (inputs && inputs[0] && inputs[1] && frames > 0)
        input_.set(inputs[0], inputs[1], frames);
    else
        input_.clear();
    if (outputs && outputs[0] && outputs[1] && frames > 0) render(frames, outputs);
}

int CVstMidiInputPort::processEvents(const vst2::Events* events) {
    if (!events || !isActive() || events->num_events <= 0) return 0;
    vst2::Event* const* slots = vst2::event_slots(events);
    int queued = 0;
    for (int32_t i = 0; i < events->num_events; ++i) {
        const vst2::Event* e = slots[i];
        if (!e || e->type != vst2::kEventMidi) continue;
        const auto* m = reinterpret_cast<const vst2::MidiEvent*>(e);
        // A data byte where the status belongs (running status is not part of this
        // interface) would be read as some channel message: skip it.
        if (!(m->midi_data[0] & 0x80)) continue;
        const t_midi_event event{static_cast<uint32_t>(m->delta_frames > 0 ? m->delta_frames : 0), m->midi_data[0],
                                 m->midi_data[1], m->midi_data[2]};
        if (manager().push(event)) ++queued;
    }
    return queued;
}

bool vst_time_to_host_time(const vst2::TimeInfo* info, KelHostTime& out) {
    if (!info) return false;
    const int32_t f = info->flags;
    out.tempo_valid = (f & vst2::kTimeTempoValid) != 0;
    out.tempo_bpm = out.tempo_valid ? info->tempo : 120.0;
    out.ppq_valid = (f & vst2::kTimePpqPosValid) != 0;
    out.ppq_position = out.ppq_valid ? info->ppq_pos : 0.0;
    out.playing = (f & (vst2::kTimeTransportPlaying | vst2::kTimeTransportRecording)) != 0;
    return true;
}

void CVstSyncInputPort::update(int frames, double sample_rate) {
    KelHostTime t;
    if (!host_ || !host_->get_time(kKelHostTimeRequest, t)) {
        CSyncInputPort::update(frames, sample_rate);
        return;
    }
    // The previous update prepared where this block starts when nothing jumps.
    const double carried = next_.position;
    if (t.tempo_valid) {
        const float tempo = static_cast<float>(t.tempo_bpm);  // checked as the float the clock uses
        if (tempo_is_valid(tempo)) current_.tempo = tempo;
    }
    current_.playing = t.playing;
    current_.position = t.playing && t.ppq_valid && std::isfinite(t.ppq_position) ? t.ppq_position : carried;
    next_ = current_;
    if (frames > 0 && sample_rate > 0 && std::isfinite(sample_rate))
        next_.position = current_.position + frames / (sample_rate * 60.0 / current_.tempo);
}

CAudioPort* CVstPortFactory::createAudioOutputPort() {
    if (!audio_) audio_ = std::make_unique<CVstAudioOutputPort>();
    return audio_.get();
}

std::unique_ptr<CMidiInputPort> CVstPortFactory::createMidiInputPort(int id, CMidiInputPortManager& manager) {
    return std::make_unique<CVstMidiInputPort>(id, manager);
}

CSyncInputPort* CVstPortFactory::createSyncInputPort() {
    if (!sync_) sync_ = std::make_unique<CVstSyncInputPort>();
    return sync_.get();
}
