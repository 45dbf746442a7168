#pragma once

// The plug-in's URI and twelve ports, each fact written once. The shell's
// scan, the test hosts, the benchmarks and the fuzz harness read this table;
// the bundle's description is held to it by tests/bundle_test.cpp.

#include <cstdint>

#ifndef ZQ_PLUGIN_URI
#error "ZQ_PLUGIN_URI is defined by the build (CMakeLists.txt), which also writes it into the bundle"
#endif

namespace zq {

inline constexpr const char* kPluginUri = ZQ_PLUGIN_URI;

enum Port : std::uint32_t {
    kIn,
    kOut1,
    kOut2,
    kDelayMs,
    kTapRatio,
    kLevelDb,
    kPanTap,
    kPanLoop,
    kDiffusion,
    kFeedback,
    kLowpassHz,
    kHighpassHz,
    kPortCount,
};
inline constexpr Port kFirstControl = kDelayMs;

// Immediate controls reach their setter as soon as the scan sees a new value;
// ramped ones only set their ramp's target and reach the engine chunk by chunk.
enum class PortKind : std::uint8_t { kAudioIn, kAudioOut, kImmediate, kRamped };

// Port values reach the setters and ramps in the setters' units.
inline constexpr float kPercentToUnit = 0.01f;
inline constexpr float kDiffusionToUnit = 0.00990099f; // nearest float to 1/101

struct PortInfo {
    Port index;
    const char* symbol;
    PortKind kind;
    float default_value; // what a host gives a fresh instance
    float min;
    float max;
    float unit; // the scan hands the setter or ramp the port value times this
};

inline constexpr PortInfo kPorts[kPortCount] = {
    {kIn, "in", PortKind::kAudioIn, 0.0f, 0.0f, 0.0f, 1.0f},
    {kOut1, "out_1", PortKind::kAudioOut, 0.0f, 0.0f, 0.0f, 1.0f},
    {kOut2, "out_2", PortKind::kAudioOut, 0.0f, 0.0f, 0.0f, 1.0f},
    {kDelayMs, "delay_ms", PortKind::kImmediate, 120.0f, 1.0f, 500.0f, 1.0f},
    {kTapRatio, "tap_ratio", PortKind::kImmediate, 100.0f, 0.0f, 100.0f, kPercentToUnit},
    {kLevelDb, "level_db", PortKind::kRamped, -9.0f, -90.0f, 6.0f, 1.0f},
    {kPanTap, "pan_tap", PortKind::kRamped, 0.0f, -100.0f, 100.0f, 1.0f},
    {kPanLoop, "pan_loop", PortKind::kRamped, 0.0f, -100.0f, 100.0f, 1.0f},
    {kDiffusion, "diffusion", PortKind::kRamped, 66.0f, 0.0f, 100.0f, kDiffusionToUnit},
    {kFeedback, "feedback", PortKind::kRamped, 0.0f, 0.0f, 100.0f, kPercentToUnit},
    {kLowpassHz, "lowpass_hz", PortKind::kImmediate, 6000.0f, 200.0f, 20000.0f, 1.0f},
    {kHighpassHz, "highpass_hz", PortKind::kImmediate, 10.0f, 10.0f, 2000.0f, 1.0f},
};

static_assert(
    [] {
        for (std::uint32_t i = 0; i < kPortCount; ++i) {
            if (kPorts[i].index != i) {
                return false;
            }
        }
        return true;
    }(),
    "kPorts lists the ports in index order");

} // namespace zq
