#include "vector_script.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace zq_test {

std::string vector_dir() { return ZQ_TEST_DATA_DIR "/vectors"; }

std::vector<float> read_f32(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

namespace {

double parse_value(const std::string& word)
{
    if (word == "nan") {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (word == "inf") {
        return std::numeric_limits<double>::infinity();
    }
    if (word == "-inf") {
        return -std::numeric_limits<double>::infinity();
    }
    return std::strtod(word.c_str(), nullptr);
}

} // namespace

VectorRun load_vector(const std::string& name)
{
    VectorRun run;
    const std::string base = vector_dir() + "/" + name;
    std::ifstream script(base + ".zq");
    std::string line;
    while (std::getline(script, line)) {
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb)) {
            continue;
        }
        VectorCommand c{VectorCommand::kRun};
        if (verb == "rate") {
            words >> run.rate;
            continue;
        } else if (verb == "set") {
            std::string value;
            c.kind = VectorCommand::kSet;
            words >> c.port >> value;
            c.value = parse_value(value);
        } else if (verb == "block") {
            c.kind = VectorCommand::kBlock;
            words >> c.count;
        } else if (verb == "run") {
            c.kind = VectorCommand::kRun;
            words >> c.count;
        } else if (verb == "inplace") {
            c.kind = VectorCommand::kInplace;
            words >> c.count;
        } else if (verb == "activate") {
            c.kind = VectorCommand::kActivate;
        } else if (verb == "deactivate") {
            c.kind = VectorCommand::kDeactivate;
        } else {
            continue; // input generator notes: the stream is recorded
        }
        run.commands.push_back(c);
    }
    run.input = read_f32(base + ".in.f32");
    run.expected = read_f32(base + ".out.f32");
    return run;
}

std::vector<float> replay(const VectorRun& v, VectorHost& host)
{
    constexpr float kStartControls[12] = {0, 0, 0, 120, 100, -9, 0, 0, 66, 0, 6000, 10};
    for (std::uint32_t p = 3; p < 12; ++p) {
        host.set_control(p, kStartControls[p]);
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

std::size_t first_difference(const std::vector<float>& a, const std::vector<float>& b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            return i;
        }
    }
    return a.size() == b.size() ? a.size() : n;
}

} // namespace zq_test
