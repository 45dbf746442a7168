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
