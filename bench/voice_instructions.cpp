// Runs one build and path of the voice over a settled engine (250 ms, tap
// ratio 50 %, feedback 60 %, diffusion 66, white noise in) for a given
// number of chunks, after the start-up glide has ended. Under an instruction
// tracer (bench/voice_instructions.sh), two runs that differ only in that
// number give the instructions the path executes per sample.
//
//   zq_voice_instructions baseline|avx2|avx512|neon chunks|reference CHUNKS

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_support.hpp"
#include "dsp/delay_engine.hpp"
#include "dsp/voice_kernels.hpp"

namespace vk = zq::voice_kernels;

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s baseline|avx2|avx512|neon chunks|reference CHUNKS\n", argv[0]);
        return 2;
    }
    int isa = 0;
    while (isa < vk::kIsaCount && std::strcmp(argv[1], vk::isa_name(static_cast<vk::Isa>(isa))) != 0) {
        ++isa;
    }
    const bool reference = std::strcmp(argv[2], "reference") == 0;
    const long count = std::atol(argv[3]);
    if (isa == vk::kIsaCount || !vk::isa_available(static_cast<vk::Isa>(isa)) || count < 0 ||
        (!reference && std::strcmp(argv[2], "chunks") != 0)) {
        std::fprintf(stderr, "%s: no such build or path here\n", argv[0]);
        return 2;
    }
    constexpr std::uint32_t kChunk = zq::DelayEngine::kChunk;
    auto e = std::make_unique<zq::DelayEngine>();
    e->set_delay_ms(250.0f);
    e->set_tap_ratio(0.5f);
    e->set_feedback(0.6f);
    e->set_diffusion(0.66f);
    const std::vector<float> in = zq_bench::white_noise(kChunk * 4096);
    std::vector<float> o1(in.size()), o2(in.size());
    std::uint64_t staged = 0;
    const auto run = [&](long chunks) {
        for (long done = 0; done < chunks;) {
            const auto n = static_cast<std::uint32_t>(chunks - done < 4096 ? chunks - done : 4096);
            if (reference) {
                for (std::uint32_t k = 0; k < n; ++k) {
                    vk::run_reference(static_cast<vk::Isa>(isa), *e, in.data() + k * kChunk, o1.data() + k * kChunk,
                                      o2.data() + k * kChunk, kChunk);
                }
            } else {
                const vk::ChunkTally t =
                    vk::run_chunks(static_cast<vk::Isa>(isa), *e, in.data(), o1.data(), o2.data(), n);
                staged += t.pipelined + t.staged;
            }
            done += n;
        }
    };
    // Past the start-up glide (about 4 s at the default lengths).
    run(4 * 48000 / kChunk);
    staged = 0;
    run(count);
    std::printf("%s %s: %ld chunks, %llu staged\n", argv[1], argv[2], count, static_cast<unsigned long long>(staged));
    return 0;
}
