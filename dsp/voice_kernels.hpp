#pragma once

// The voice's instruction-set builds. The library picks one when it is
// loaded (AVX-512 where the processor has it, else AVX2 with FMA, else the
// baseline; aarch64 always NEON) and DelayEngine::process_chunk,
// process_chunks and process_run run it. Each build lives in its own
// translation unit, compiled for its instruction set, and shows the rest of
// the library nothing but its table.
//
// A test build of the engine (ZQ_TEST_ROUTES) can also reach every build
// and path one by one and count what ran; the shipped library has no such
// switch.

#include <cstdint>

namespace zq {

struct DelayEngine;
struct ChunkParams;

namespace voice_kernels {

// How the chunks of a call ran; the others ran per sample.
struct ChunkTally {
    std::uint32_t pipelined = 0; // staged, their taps read while the chunk before ran
    std::uint32_t staged = 0;    // staged, their taps read after the chunk before
};

struct Kernels {
    // The per-sample voice (voice_run) for 1..16 samples.
    void (*run)(DelayEngine& e, const ChunkParams& p, const float* in, float* out_1, float* out_2,
                std::uint32_t count);
    // Whole chunks, chunk k with params[k] (the engine's own for all when
    // null): staged and pipelined where their conditions hold, per sample
    // where not.
    ChunkTally (*chunks)(DelayEngine& e, const ChunkParams* params, const float* in, float* out_1, float* out_2,
                         std::uint32_t chunks);
};

// Instruction-set builds, in the order of the tables below.
enum class Isa : std::uint8_t {
    kBaseline, // the target's baseline: on x86-64 std::fma is the C library's
    kAvx2,     // x86-64 with AVX2 and FMA
    kAvx512,   // x86-64 with AVX-512 F, DQ and VL, AVX2 and FMA
    kNeon,     // aarch64
};
inline constexpr int kIsaCount = 4;

extern const Kernels kBaselineKernels;
#if defined(__x86_64__)
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;
#elif defined(__aarch64__)
extern const Kernels kNeonKernels;
#endif

// The kernels the engine runs: the load-time choice (or, in a test build,
// the selected route).
const Kernels& active();

#if defined(ZQ_TEST_ROUTES)
Isa active_isa();
bool isa_available(Isa isa);
const char* isa_name(Isa isa);

// One build's kernels (the baseline's when the processor lacks `isa`): the
// per-sample voice with the engine's parameters; one chunk, true when it
// was staged; whole chunks.
void run_reference(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t count);
bool run_chunk(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2);
ChunkTally run_chunks(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks,
                      const ChunkParams* params = nullptr);

// Which path the engine takes from now on, for every engine in the process,
// with the counts below kept. Not synchronised with running voices.
enum class Path : std::uint8_t {
    kReference, // the per-sample voice for chunks and runs
    kFast,      // chunks as the build has them, the per-sample voice for runs
};
// False (and nothing changes) when the processor lacks `isa`.
bool select_route(Isa isa, Path path);
// Back to the load-time choice, uncounted: the plug-in's own route.
void select_load_time_route();

struct RouteCounts {
    std::uint64_t pipelined_chunks = 0;  // staged, their taps read while the chunk before ran
    std::uint64_t staged_chunks = 0;     // staged, their taps read after the chunk before
    std::uint64_t per_sample_chunks = 0; // whole chunks that ran sample by sample
    std::uint64_t partial_runs = 0;      // runs of 1..15 samples at block edges
};
RouteCounts route_counts();
void reset_route_counts();
#endif

} // namespace voice_kernels
} // namespace zq
