#pragma once

// What the staged voice (dsp/voice_stages.hpp) reads ahead of a chunk: its
// front. A run of staged chunks reads each chunk's front beside the chunk
// before, and the engine keeps the one read beside a run's last chunk for
// the run that follows.

#include <cstdint>

#include "dsp/delay_line.hpp"

namespace zq {

inline constexpr std::uint32_t kChunkSamples = 16;

// Where a chunk's samples start: the line, the LFO, the smoother, and the
// first sample's output tap when the chunk before has read it. While the
// smoother moves, the chunk before also steps it through this chunk, a chunk
// ahead of the taps that need it: its 16 steps are a recursion as long as
// the loop filters', and the taps waiting on it would clog the core.
struct ChunkStart {
    LinePositions line;
    float phase;
    float ratio;
    float carry;
    bool carried;
    bool ratios_ahead; // ratios[] and ratio_end hold this chunk's steps
    float ratio_end;
    alignas(64) float ratios[kChunkSamples];
};

// Both taps of every sample of a chunk, and where the next chunk starts.
struct ChunkFront {
    alignas(64) float loop[kChunkSamples]; // for the loop filters, to load one by one
    alignas(64) float out[kChunkSamples];
    bool loop_in_unit; // every loop tap in [-1, 1]
    ChunkStart next;
};

} // namespace zq
