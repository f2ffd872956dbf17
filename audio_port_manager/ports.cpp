#include "audio_port_manager/ports.h"

bool CAudioPort::setSampleRate(int rate) {
    CAudioPortProperties& p = properties();
    if (rate <= 0 || rate == p.sample_rate_) return false;
    p.sample_rate_ = rate;
    AudioPortNotify n;
    n.type = kAudioPortNotifySampleRate;
    n.words[0] = rate;
    notify(n);
    return true;
}
