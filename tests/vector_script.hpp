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

std::string vector_dir();
VectorRun load_vector(const std::string& name);
std::vector<float> read_f32(const std::string& path);

} // namespace zq_test
