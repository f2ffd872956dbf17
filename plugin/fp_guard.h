#pragma once
// Scoped floating-point state for every host call that reaches the engine.
//
// The host's own settings are unknown (some leave exceptions unmasked, some leave
// denormals on): inside the guard all exceptions are masked, rounding is to nearest, and
// denormal inputs and results are flushed to zero, so decaying resonators never fall
// into the slow denormal range. The host's control and status word comes back unchanged
// on leaving, whatever the engine raised meanwhile.
//
// Threads: the state is per thread; a guard lives on one thread's stack.
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <xmmintrin.h>
#define MELLORA_HAS_MXCSR 1
#else
#include <cfenv>
#endif

class FloatingPointGuard {
public:
#if defined(MELLORA_HAS_MXCSR)
    static constexpr uint32_t kExceptionMasks = 0x1F80;  // invalid, denormal, zero divide, overflow, underflow, precision
    static constexpr uint32_t kDenormalsAreZero = 0x0040;
    static constexpr uint32_t kFlushToZero = 0x8000;
    static constexpr uint32_t kInside = kExceptionMasks | kDenormalsAreZero | kFlushToZero;  // rounding to nearest

    FloatingPointGuard() : saved_(_mm_getcsr()) { _mm_setcsr(kInside); }
    ~FloatingPointGuard() { _mm_setcsr(saved_); }
#else
    FloatingPointGuard() { fegetenv(&saved_); fesetround(FE_TONEAREST); }
    ~FloatingPointGuard() { fesetenv(&saved_); }
#endif
    FloatingPointGuard(const FloatingPointGuard&) = delete;
    FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

private:
#if defined(MELLORA_HAS_MXCSR)
    uint32_t saved_;
#else
    std::fenv_t saved_;
#endif
};
