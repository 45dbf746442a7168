#pragma once

// Recorded runs: a control script, the exact input stream and the expected
// outputs (interleaved out_1, out_2), compared bit for bit.

#include <cstdint>
#include <string>
#include <vector>

namespace zq_test {

struct VectorCommand {
    enum Kind { kRate, kSet, kBlock, kRun, kInplace, kActivate, kDeactivate } kind;
    std::uint32_t port = 0;
    double value = 0.0;
    std::uint64_t count = 0;
};

struct VectorRun {
    double rate = 48000.0;
    std::vector<VectorCommand> commands;
    std::vector<float> input;
    std::vector<float> expected; // interleaved out_1, out_2
};

// What a replay needs from a host: its controls, its lifecycle calls and one
// `run` with the audio ports connected to the given buffers.
class VectorHost {
public:
    virtual ~VectorHost() = default;
    virtual void set_control(std::uint32_t port, float value) = 0;
    virtual void activate() = 0;
    virtual void deactivate() = 0;
    virtual void run(const float* in, float* out_1, float* out_2, std::uint32_t count) = 0;
};

// Replays a script as the recordings were made (controls from their start
// values, activate once, fresh exactly sized buffers per call); returns the
// interleaved outputs of all calls.
std::vector<float> replay(const VectorRun& v, VectorHost& host);

// Index of the first value whose bits differ, or the size when none does.
std::size_t first_difference(const std::vector<float>& a, const std::vector<float>& b);

inline constexpr const char* kVectorNames[] = {"v01", "v02", "v03", "v04", "v05", "v06", "v07", "v08"};

std::string vector_dir();
VectorRun load_vector(const std::string& name);
std::vector<float> read_f32(const std::string& path);

} // namespace zq_test
