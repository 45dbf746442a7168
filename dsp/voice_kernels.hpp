#pragma once

// The voice's builds, reachable one by one: for tests that check that every
// build and every path gives the same bits, and for benchmarks that time
// them. The plug-in itself only calls DelayEngine::process_chunk and
// process_run, which run the build picked once when the library is loaded.

#include <cstdint>

namespace zq {

struct DelayEngine;

namespace voice_kernels {

// Instruction-set builds of the voice.
enum class Isa : std::uint8_t {
    kBaseline, // plain x86-64 (or the target's baseline): std::fma is the C library's
    kFma,      // x86-64 with FMA and AVX
    kAvx512,   // x86-64 with AVX-512 F, DQ and VL, and FMA
};
inline constexpr int kIsaCount = 3;

// The build process_chunk and process_run use unless a route is selected:
// the widest the processor has.
Isa active_isa();
bool isa_available(Isa isa);
const char* isa_name(Isa isa);

// The per-sample voice of dsp/voice.hpp (voice_run) as compiled for `isa`,
// for 1..16 samples: what process_run runs.
void run_reference(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t count);

// What process_chunk runs with `isa`: the staged chunk of dsp/fast_voice.hpp
// where its conditions hold, otherwise voice_run. Returns true when the
// staged chunk ran. The baseline build has no staged chunk.
bool run_chunk(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2);

// What process_chunks runs with `isa`: runs of steady chunks pipelined
// (dsp/fast_voice.hpp), the others as run_chunk does. The baseline build runs
// every chunk with voice_run.
struct ChunkTally {
    std::uint32_t pipelined = 0; // chunks of pipelined runs
    std::uint32_t staged = 0;    // chunks the staged form processed one by one
};
ChunkTally run_chunks(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks);

// Which path process_chunk, process_chunks and process_run take from now on,
// for every engine in the process, with the counts below kept. For tests
// only: not synchronised with running voices.
enum class Path : std::uint8_t {
    kReference, // run_reference for chunks and runs
    kFast,      // run_chunk and run_chunks for chunks, run_reference for runs
};
// False (and nothing changes) when the processor lacks `isa`.
bool select_route(Isa isa, Path path);
// Back to the load-time choice, uncounted: the plug-in's own route.
void select_load_time_route();

struct RouteCounts {
    std::uint64_t pipelined_chunks = 0;  // chunks of pipelined runs
    std::uint64_t staged_chunks = 0;     // chunks the staged form processed one by one
    std::uint64_t per_sample_chunks = 0; // whole chunks that ran sample by sample
    std::uint64_t partial_runs = 0;      // runs of 1..15 samples at block edges
};
RouteCounts route_counts();
void reset_route_counts();

} // namespace voice_kernels
} // namespace zq
