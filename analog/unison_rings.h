#pragma once
// The unison rings: for each voice that unison copies, the last 2^17 samples of its
// gate, pitch and velocity, so that the copies can play the same signals a little
// later. Clearing only forgets what was written, so it costs nothing on the audio thread.
//
// Threads: allocate() on the creation thread; everything else on the audio thread,
// without allocating.
#include <cstdlib>
#include <memory>

class CUnisonRings {
  public:
    static constexpr int kLength = 1 << 17; // samples per ring
    static constexpr int kSignals = 3;      // gate, pitch, velocity

    // Rings for `voices` voices; false when memory runs out. The memory comes zeroed
    // and untouched until unison first writes it.
    bool allocate(int voices);
    int voices() const { return voices_; }
    // The longest delay a copy may read at, leaving room for one block.
    static int max_delay(int copies) { return (kLength - 1024) / copies; }

    // Everything before this point reads as silence.
    void clear() { fill_ = 0; }
    // One block: voice v's signal s enters its ring at the write position.
    void write(int voice, int signal, const float* src, int frames);
    // The same block's samples `delay` samples earlier, plus `add`; silence where
    // nothing was written yet (`add` alone for the pitch).
    void read(int voice, int signal, int delay, float add, float* dst, int frames) const;
    // After every voice of the block was written and read.
    void advance(int frames);

  private:
    struct Free {
        void operator()(float* p) const { std::free(p); }
    };
    float* ring(int voice, int signal) const {
        return data_.get() + (static_cast<std::size_t>(voice) * kSignals + signal) * kLength;
    }

    std::unique_ptr<float, Free> data_;
    int voices_ = 0;
    int write_ = 0;
    int fill_ = 0; // samples written since the last clear
};
