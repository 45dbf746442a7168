#pragma once

#include <cstdint>

namespace zq {

// A linear per-chunk ramp of one control: a jump of a port becomes a run of
// evenly spaced values, one per chunk, so a setter's costly conversion runs at
// most once per 16 samples and the sound never steps.
struct ParamRamp {
    std::uint64_t period = 1;
    std::uint64_t counter = 0;
    float target = 0.0f;
    float current = 0.0f;
    float step = 0.0f;

    // True when ticks change nothing (not even the counter) until the
    // target changes.
    bool at_rest() const { return period == 1 && current == target; }

    // One chunk's advance. True when the ramp moved and its setter is due.
    // It moves by exactly `step` until the step that would reach or pass the
    // target, and that step lands on the target. A NaN target compares
    // unordered and walks the ramp down.
    bool tick()
    {
        if (++counter < period) {
            return false;
        }
        counter = 0;
        if (current == target) {
            return false;
        }
        if (target > current) {
            const float next = current + step;
            current = target <= next ? target : next;
        } else {
            const float next = current - step;
            current = target >= next ? target : next;
        }
        return true;
    }
};

// The five ramps as an instance starts them. Level and diffusion start a hair
// off their targets so that their first tick always reaches the engine.
inline constexpr ParamRamp kLevelRampStart{1, 0, -9.0f, -8.9991f, 0.18f};
inline constexpr ParamRamp kPanRampStart{1, 0, 0.0f, 0.0f, 0.6666667f};
inline constexpr ParamRamp kDiffusionRampStart{1, 0, 66.0f, 65.9934f, 0.6666667f};
inline constexpr ParamRamp kFeedbackRampStart{1, 0, 0.0f, 0.0f, 0.33333334f};

} // namespace zq
