#pragma once

#include <cstdint>

#include "plugin/ports.hpp"

namespace zq {

// A linear per-chunk ramp of one control: a jump of a port becomes a run of
// evenly spaced values, one per chunk, so a setter's costly conversion runs at
// most once per 16 samples and the sound never steps.
struct ParamRamp {
    std::uint64_t period = 1; // fixed: 1 for every ramp, so that every tick is a step
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

// The five ramps as an instance starts them, each target at its port's
// default in port units. Level and diffusion start a hair off their targets
// (× 0.9999) so that their first tick always reaches the engine.
//
// So the diffusion ramp starts in port units, at 65.9934, while the scan
// scales its target to 0..1 (× 1/101). From the first chunk on it walks down
// by its step and hands the setter about 97 values above 1, which hold every
// diffuser coefficient at its bound (the feedback limit follows the large
// amount), until it arrives after 98 or 99 chunks. That opening is part of
// the plug-in's sound and stays.
inline constexpr ParamRamp kLevelRampStart{1, 0, kPorts[kLevelDb].default_value, -8.9991f, 0.18f};
inline constexpr ParamRamp kPanRampStart{1, 0, 0.0f, 0.0f, 0.6666667f};
inline constexpr ParamRamp kDiffusionRampStart{1, 0, kPorts[kDiffusion].default_value, 65.9934f, 0.6666667f};
inline constexpr ParamRamp kFeedbackRampStart{1, 0, 0.0f, 0.0f, 0.33333334f};

} // namespace zq
