#include "framework/kel_mutex.h"

void KelMutex::create() {
    if (!section_) section_ = std::make_unique<KelCriticalSection>();
}

bool KelMutex::lock(int timeout_ms) {
    if (!section_ || timeout_ms != kInfinite) return false;
    section_->enter();
    return true;
}

void KelMutex::unlock() {
    if (section_) section_->leave();
}
