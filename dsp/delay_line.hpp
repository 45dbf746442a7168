#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/voice_inline.hpp"

namespace zq {

// Where the delay line writes and reads, and its glide: what moves every
// sample whatever the signal, so that a copy can run ahead of the line.
struct LinePositions {
    static constexpr std::uint64_t kSlots = 24000;
    static constexpr float kSlotsF = 24000.0f;
    static constexpr float kSlowSpeed = 0.7f; // lengthening
    static constexpr float kFastSpeed = 1.4f; // shortening

    float read_pos = 0.0f;
    std::uint64_t write_index = 0;
    std::uint64_t length = 0;
    std::uint64_t glide_target = 0;
    std::uint64_t pending_length = 0;
    bool gliding = false;
    float speed = 1.0f;

    // How far the write index w lies ahead of the read position r, as a glide
    // measures it: a read position in [w, w + 1) measures a full lap, never 0.
    ZQ_VOICE_INLINE static std::uint64_t distance(std::uint64_t w, float r)
    {
        std::int64_t d = static_cast<std::int64_t>(w) - static_cast<std::int64_t>(r);
        if (!(static_cast<float>(w) > r)) {
            d += static_cast<std::int64_t>(kSlots);
        }
        return static_cast<std::uint64_t>(d);
    }

    // The glide step, then the move of the read position. Must follow this
    // sample's write: the distance is measured from the advanced write index to
    // the read position that this sample read at.
    ZQ_VOICE_INLINE void advance()
    {
        const float r = read_pos;
        if (gliding) {
            length = distance(write_index, r);
            if (length == glide_target) {
                gliding = false;
                speed = 1.0f;
            }
        } else if (pending_length != 0) {
            glide_target = pending_length;
            // An equal request also shortens: it runs a lap unless the very
            // next check already measures it.
            speed = pending_length > length ? kSlowSpeed : kFastSpeed;
            gliding = true;
            pending_length = 0;
        }
        float next = r + speed;
        if (!(next < kSlotsF)) {
            next -= kSlotsF;
        }
        read_pos = next;
    }
};

// The long memory: 24000 slots (0.5 s at 48 kHz), a write index that moves one
// slot per sample and a fractional read position that normally moves one slot
// per sample too. A new length is reached by a glide: the read position runs at
// 0.7 or 1.4 slots per sample until its distance to the write index equals the
// requested length, bending the pitch of the echoes like a moved tape head.
struct DelayLine : LinePositions {
    // The cubic read takes slots n .. n + 3 for an integer part n of at most
    // kSlots + 1, so slots kSlots .. kSlots + 4 mirror slots 0 .. 4 and the read
    // never wraps.
    static constexpr std::uint64_t kMaxReadIndex = kSlots + 1;
    static constexpr std::uint64_t kCubicTaps = 4;
    static constexpr std::uint64_t kMirror = kMaxReadIndex + kCubicTaps - kSlots;
    static_assert(kMirror == 5, "the mirror holds the reach of the four-point read");

    float mod_depth = 1.0f; // fixed at 1
    float lfo_inc = 1.0f;   // fixed at 1
    float lfo_phase = 0.0f;
    float buffer[kSlots + kMirror] = {};

    DelayLine() = default;
    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    void reset();

    // Four-point Catmull-Rom read at a position in [0, kMaxReadIndex + 1); a
    // position p yields slot p + 1 at t = 0. The fma order fixes every rounding.
    ZQ_VOICE_INLINE float read_cubic(float position) const
    {
        // Truncating the non-negative position is its integer part, and the
        // difference is exact: the split modff would make.
        const auto n = static_cast<std::uint64_t>(position);
        const float t = position - static_cast<float>(n);
        const float* y = buffer + n;
        const float y0 = y[0];
        const float y1 = y[1];
        const float y2 = y[2];
        const float y3 = y[3];
        const float c3 = std::fma(y3 - y0, 0.5f, (y1 - y2) * 1.5f);
        const float c2 = std::fma(y2, 2.0f, y0) - std::fma(y1, 2.5f, y3 * 0.5f);
        const float m = std::fma(t, c3, c2) * t;
        const float k = std::fma(y2 - y0, 0.5f, m);
        return std::fma(t, k, y1);
    }

    // Position of a tap that adds no delay beyond the LFO offset of one or two
    // slots; both additions are rounded before the fused product-sum.
    ZQ_VOICE_INLINE float tap_base(float phase) const
    {
        return std::fma(mod_depth, std::fabs(phase) + 1.0f, read_pos + 1.0f);
    }

    ZQ_VOICE_INLINE float step_lfo()
    {
        lfo_phase = next_lfo_phase(lfo_phase, lfo_inc);
        return lfo_phase;
    }

    // One LFO step from `phase`: up by `inc`, wrapping from 1 to -1.
    ZQ_VOICE_INLINE static float next_lfo_phase(float phase, float inc)
    {
        float next = phase + inc;
        if (next >= 1.0f) {
            next -= 2.0f;
        }
        return next;
    }

    ZQ_VOICE_INLINE void write_sample(float x)
    {
        buffer[write_index] = x;
        if (write_index < kMirror) {
            buffer[kSlots + write_index] = x;
        }
        if (++write_index >= kSlots) {
            write_index = 0;
        }
    }
};

} // namespace zq
