// The floating-point environment the engine computes under: round to
// nearest, 64-bit x87 precision, every exception masked, and no flushing of
// tiny SSE values to zero. A caller's own settings are put aside for the
// call and given back on return, so that a text has one value on every path
// (eval, folded constants, every pool thread, generated code) whatever the
// caller set. The common case, a caller on the defaults, costs two reads.
#pragma once

#include <cstdint>

namespace velmoratrix {

class EngineFloats {
public:
    EngineFloats() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        std::uint16_t control;
        std::uint32_t sse;
        __asm__ volatile("fnstcw %0" : "=m"(control));
        __asm__ volatile("stmxcsr %0" : "=m"(sse));
        if ((control & kControlBits) != kControl || (sse & kSseBits) != kSse) enter(sse);
#endif
    }
    ~EngineFloats() {
        if (saved_) leave();
    }
    EngineFloats(const EngineFloats&) = delete;
    EngineFloats& operator=(const EngineFloats&) = delete;

    // A result rounded to double as the engine rounds, not as the caller's
    // settings would: for those that hand eval's value on as a double.
    static double rounded(long double value) noexcept {
        const EngineFloats floats;
#if defined(__x86_64__) || defined(__i386__)
        double out;
        // In one statement, so that no compiler moves it out of the scope.
        __asm__ volatile("fldt %1\n\tfstpl %0" : "=m"(out) : "m"(value));
        return out;
#else
        return static_cast<double>(value);
#endif
    }

private:
    // x87: exception masks, precision control and rounding control.
    static constexpr std::uint16_t kControlBits = 0x0F3F, kControl = 0x033F;
    // SSE: denormals-are-zero, exception masks, rounding, flush-to-zero.
    static constexpr std::uint32_t kSseBits = 0xFFC0, kSse = 0x1F80;

    struct X87Environment {
        std::uint8_t bytes[28];
    };
    X87Environment x87_;
    std::uint32_t sse_ = 0;
    bool saved_ = false;

#if defined(__x86_64__) || defined(__i386__)
    // The whole x87 environment is kept, status flags included, so that the
    // caller finds it as it was, pending exceptions and all.
    [[gnu::cold, gnu::noinline]] void enter(std::uint32_t sse) noexcept {
        __asm__ volatile("fnstenv %0" : "=m"(x87_));
        sse_ = sse;
        saved_ = true;
        const std::uint16_t control = 0x037F;
        const std::uint32_t ours = kSse | (sse & 0x3F);
        __asm__ volatile("fldcw %0" : : "m"(control) : "memory");
        __asm__ volatile("ldmxcsr %0" : : "m"(ours) : "memory");
    }
    [[gnu::cold, gnu::noinline]] void leave() noexcept {
        __asm__ volatile("fldenv %0" : : "m"(x87_) : "memory");
        __asm__ volatile("ldmxcsr %0" : : "m"(sse_) : "memory");
    }
#else
    void leave() noexcept {}
#endif
};

} // namespace velmoratrix
