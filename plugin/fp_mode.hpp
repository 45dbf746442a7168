#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zq {

// The mode the audio path runs in: denormals flushed to zero (inputs and
// results), round to nearest. Decaying feedback tails would otherwise crawl
// through denormal arithmetic at many times the normal cost.
#if defined(__x86_64__)
// MXCSR: flush-to-zero (bit 15), denormals-are-zero (bit 6), every exception
// masked (bits 7-12), round to nearest (bits 13-14 clear).
inline constexpr std::uint32_t kAudioFpMode = 0x9FC0;
// The low six bits are sticky exception flags, not part of the mode.
inline constexpr std::uint32_t kFpModeControlBits = ~std::uint32_t{0x3F};
inline std::uint32_t read_fp_mode() { return _mm_getcsr(); }
inline void write_fp_mode(std::uint32_t mode) { _mm_setcsr(mode); }
#elif defined(__aarch64__)
// FPCR: flush-to-zero (bit 24), round to nearest, all other control bits clear.
inline constexpr std::uint64_t kAudioFpMode = 0x01000000;
inline constexpr std::uint64_t kFpModeControlBits = ~std::uint64_t{0};
inline std::uint64_t read_fp_mode()
{
    std::uint64_t mode = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(mode));
    return mode;
}
inline void write_fp_mode(std::uint64_t mode) { __asm__ volatile("msr fpcr, %0" : : "r"(mode)); }
#endif

// Puts the calling thread in the audio mode for one `run` and gives the host
// its own mode back afterwards: hosts run audio on threads that never saw the
// mode set when the library was loaded.
class AudioFpScope {
public:
#if defined(__x86_64__) || defined(__aarch64__)
    AudioFpScope() : saved_(read_fp_mode()), switched_((saved_ & kFpModeControlBits) != kAudioFpMode)
    {
        if (switched_) {
            write_fp_mode(kAudioFpMode);
        }
    }
    ~AudioFpScope()
    {
        if (switched_) {
            write_fp_mode(saved_);
        }
    }

private:
    decltype(read_fp_mode()) saved_;
    bool switched_;
#else
    AudioFpScope() = default;
#endif

public:
    AudioFpScope(const AudioFpScope&) = delete;
    AudioFpScope& operator=(const AudioFpScope&) = delete;
};

} // namespace zq
