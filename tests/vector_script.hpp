#pragma once

// Recorded runs: a control script, the exact input stream and the expected
// outputs (interleaved out_1, out_2), compared bit for bit.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/ports.hpp"

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

// What a replay needs from a host, for hosts not built on PluginHost: the
// controls, the lifecycle calls and `run` with the audio ports connected to
// the given buffers.
class VectorHost {
public:
    virtual ~VectorHost() = default;
    virtual void set_control(std::uint32_t port, float value) = 0;
    virtual void activate() = 0;
    virtual void deactivate() = 0;
    virtual void run(const float* in, float* out_1, float* out_2, std::uint32_t count) = 0;
};

// Replays a script as the recordings were made (controls from the ports'
// defaults, activate once, fresh exactly sized buffers per call); returns the
// interleaved outputs of all calls. `Host` is a PluginHost or a VectorHost.
template <typename Host>
std::vector<float> replay(const VectorRun& v, Host& host)
{
    for (std::uint32_t p = zq::kFirstControl; p < zq::kPortCount; ++p) {
        host.set_control(p, zq::kPorts[p].default_value);
    }
    host.activate();
    std::vector<float> out;
    out.reserve(v.expected.size());
    std::size_t block = 64;
    bool inplace = false;
    std::size_t at = 0;
    std::vector<float> buf_in;
    std::vector<float> buf_1;
    std::vector<float> buf_2;
    for (const VectorCommand& c : v.commands) {
        switch (c.kind) {
        case VectorCommand::kSet: host.set_control(c.port, static_cast<float>(c.value)); break;
        case VectorCommand::kBlock: block = c.count; break;
        case VectorCommand::kInplace: inplace = c.count != 0; break;
        case VectorCommand::kActivate: host.activate(); break;
        case VectorCommand::kDeactivate: host.deactivate(); break;
        case VectorCommand::kRate: break;
        case VectorCommand::kRun:
            for (std::uint64_t done = 0; done < c.count && at < v.input.size();) {
                const std::size_t n = std::min<std::size_t>({block, c.count - done, v.input.size() - at});
                // Fresh buffers per call, sized exactly: any access past the
                // block is a fault the sanitizer build reports.
                buf_in.assign(v.input.begin() + static_cast<std::ptrdiff_t>(at),
                              v.input.begin() + static_cast<std::ptrdiff_t>(at + n));
                buf_1.assign(n, 0.0f);
                buf_2.assign(n, 0.0f);
                float* out_1 = inplace ? buf_in.data() : buf_1.data();
                host.run(buf_in.data(), out_1, buf_2.data(), static_cast<std::uint32_t>(n));
                for (std::size_t i = 0; i < n; ++i) {
                    out.push_back(out_1[i]);
                    out.push_back(buf_2[i]);
                }
                at += n;
                done += n;
            }
            break;
        }
    }
    return out;
}

// Index of the first value whose bits differ, or the size when none does.
std::size_t first_difference(const std::vector<float>& a, const std::vector<float>& b);

inline constexpr const char* kVectorNames[] = {"v01", "v02", "v03", "v04", "v05", "v06", "v07", "v08"};

std::string vector_dir();
VectorRun load_vector(const std::string& name);
std::vector<float> read_f32(const std::string& path);

} // namespace zq_test
