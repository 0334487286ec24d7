// The floating-point environment the engine computes under: round to
// nearest, 64-bit x87 precision, every exception masked, and no flushing of
// tiny SSE values to zero. A caller's own settings are put aside and given
// back on return, so that a text has one value on every path (eval, folded
// constants, every pool thread, generated code) whatever the caller set.
//
// Two parts, because reading them costs differently: the x87 control word
// (extended arithmetic, conversions to double, reading numbers) is read on
// every call; MXCSR (the C library's functions, sqrt), whose read is slow,
// only where code calls such functions, and once per call over many rows.
#pragma once

#include <cstdint>

#include "real.h"

namespace velmoratrix {

class EngineX87 {
public:
    EngineX87() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        std::uint16_t control;
        __asm__ volatile("fnstcw %0" : "=m"(control));
        // The usual word in one comparison; any other is looked at closely.
        if (control != kUsual && (control & kControlBits) != kControl) enter();
#endif
    }
    ~EngineX87() {
        if (saved_) leave();
    }
    EngineX87(const EngineX87&) = delete;
    EngineX87& operator=(const EngineX87&) = delete;

    // A result rounded to double as the engine rounds, not as the caller's
    // settings would: for those that hand eval's value on as a double.
    static double rounded(long double value) noexcept {
        const EngineX87 floats;
#if defined(__x86_64__) || defined(__i386__)
        double out;
        // In one statement, so that no compiler moves it out of the scope.
        __asm__ volatile("fldt %1\n\tfstpl %0" : "=m"(out) : "m"(value));
        return out;
#else // the software type's rounding, whatever the caller's mode
        return static_cast<double>(Real(value));
#endif
    }

private:
    // Exception masks, precision control and rounding control.
    static constexpr std::uint16_t kControlBits = 0x0F3F, kControl = 0x033F, kUsual = 0x037F;
    struct Environment {
        std::uint8_t bytes[28];
    };
    Environment saved_env_;
    bool saved_ = false;

#if defined(__x86_64__) || defined(__i386__)
    // The whole x87 environment is kept, status flags included, so that the
    // caller finds it as it was, pending exceptions and all.
    [[gnu::cold, gnu::noinline]] void enter() noexcept {
        __asm__ volatile("fnstenv %0" : "=m"(saved_env_));
        saved_ = true;
        const std::uint16_t control = 0x037F;
        __asm__ volatile("fldcw %0" : : "m"(control) : "memory");
    }
    [[gnu::cold, gnu::noinline]] void leave() noexcept {
        __asm__ volatile("fldenv %0" : : "m"(saved_env_) : "memory");
    }
#else
    void leave() noexcept {}
#endif
};

class EngineSse {
public:
    EngineSse() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        std::uint32_t sse;
        __asm__ volatile("stmxcsr %0" : "=m"(sse));
        if ((sse & kSseBits) != kSse) enter(sse);
#elif defined(__aarch64__)
        std::uint64_t fpcr;
        __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
        if (fpcr & kFpcrBits) enter(fpcr);
#endif
    }
    ~EngineSse() {
        if (saved_) leave();
    }
    EngineSse(const EngineSse&) = delete;
    EngineSse& operator=(const EngineSse&) = delete;

private:
    // Denormals-are-zero, exception masks, rounding, flush-to-zero.
    static constexpr std::uint32_t kSseBits = 0xFFC0, kSse = 0x1F80;
    std::uint32_t sse_ = 0;
    bool saved_ = false;

#if defined(__x86_64__) || defined(__i386__)
    [[gnu::cold, gnu::noinline]] void enter(std::uint32_t sse) noexcept {
        sse_ = sse;
        saved_ = true;
        const std::uint32_t ours = kSse | (sse & 0x3F); // its status flags stay
        __asm__ volatile("ldmxcsr %0" : : "m"(ours) : "memory");
    }
    [[gnu::cold, gnu::noinline]] void leave() noexcept {
        __asm__ volatile("ldmxcsr %0" : : "m"(sse_) : "memory");
    }
#elif defined(__aarch64__)
    // The same on aarch64's FPCR: rounding (bits 22-23), flush-to-zero (24),
    // default NaN (25) and the exception traps (8-12, 15) all off.
    static constexpr std::uint64_t kFpcrBits = 0x3C09F00;
    std::uint64_t fpcr_ = 0;
    [[gnu::cold, gnu::noinline]] void enter(std::uint64_t fpcr) noexcept {
        fpcr_ = fpcr;
        saved_ = true;
        const std::uint64_t ours = fpcr & ~kFpcrBits;
        __asm__ volatile("msr fpcr, %0" : : "r"(ours) : "memory");
    }
    [[gnu::cold, gnu::noinline]] void leave() noexcept {
        __asm__ volatile("msr fpcr, %0" : : "r"(fpcr_) : "memory");
    }
#else
    void leave() noexcept {}
#endif
};

// Both parts: for a call over many rows, a pool thread's range, and
// compiling (which folds constants through the functions).
struct EngineFloats {
    EngineX87 x87;
    EngineSse sse;
};

} // namespace velmoratrix
