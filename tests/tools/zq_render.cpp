// The project's reference renderer: runs a mono WAV through the built bundle
// with lilv, as a host would, and writes a 32-bit float stereo WAV. Host
// tests compare other hosts' renders with its output sample for sample.
//
//   zq-render --block N [--preset URI] [--set SYMBOL=VALUE]... in.wav out.wav

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "lilv_host.hpp"

namespace {

struct Wav {
    double rate = 48000.0;
    std::vector<float> mono; // first channel
};

std::uint32_t u32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24; }
std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

bool read_wav(const char* path, Wav& wav)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        return false;
    }
    std::uint16_t format = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::uint32_t size = u32(&b[at + 4]);
        const unsigned char* body = &b[at + 8];
        const std::size_t avail = std::min<std::size_t>(size, b.size() - at - 8);
        if (std::memcmp(&b[at], "fmt ", 4) == 0 && avail >= 16) {
            format = u16(body);
            channels = u16(body + 2);
            wav.rate = u32(body + 4);
            bits = u16(body + 14);
            if (format == 0xFFFE && avail >= 26) {
                format = u16(body + 24); // the sub-format's leading code
            }
        } else if (std::memcmp(&b[at], "data", 4) == 0 && channels > 0) {
            const std::size_t frame = static_cast<std::size_t>(channels) * bits / 8;
            for (std::size_t i = 0; (i + 1) * frame <= avail; ++i) {
                const unsigned char* s = body + i * frame;
                float v = 0.0f;
                if (format == 3 && bits == 32) {
                    std::memcpy(&v, s, 4);
                } else if (format == 1 && bits == 16) {
                    v = static_cast<float>(static_cast<std::int16_t>(u16(s))) / 32768.0f;
                } else if (format == 1 && bits == 32) {
                    v = static_cast<float>(static_cast<double>(static_cast<std::int32_t>(u32(s))) / 2147483648.0);
                } else {
                    return false;
                }
                wav.mono.push_back(v);
            }
            return true;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

void put32(std::FILE* f, std::uint32_t v)
{
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

void put16(std::FILE* f, std::uint16_t v)
{
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    std::fwrite(b, 1, 2, f);
}

bool write_wav(const char* path, double rate, const std::vector<float>& l, const std::vector<float>& r)
{
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        return false;
    }
    const auto bytes = static_cast<std::uint32_t>(l.size() * 8);
    std::fwrite("RIFF", 1, 4, f);
    put32(f, 36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 16);
    put16(f, 3); // IEEE float
    put16(f, 2);
    put32(f, static_cast<std::uint32_t>(rate));
    put32(f, static_cast<std::uint32_t>(rate) * 8);
    put16(f, 8);
    put16(f, 32);
    std::fwrite("data", 1, 4, f);
    put32(f, bytes);
    for (std::size_t i = 0; i < l.size(); ++i) {
        std::fwrite(&l[i], 4, 1, f); // little-endian machines only, as the tests
        std::fwrite(&r[i], 4, 1, f);
    }
    return std::fclose(f) == 0;
}

int usage()
{
    std::fprintf(stderr, "usage: zq-render --block N [--preset URI] [--set SYMBOL=VALUE]... in.wav out.wav\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t block = 0;
    std::string preset;
    std::vector<std::string> sets;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--block" && i + 1 < argc) {
            block = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--preset" && i + 1 < argc) {
            preset = argv[++i];
        } else if (a == "--set" && i + 1 < argc) {
            sets.emplace_back(argv[++i]);
        } else {
            files.push_back(argv[i]);
        }
    }
    if (block == 0 || files.size() != 2) {
        return usage();
    }
    Wav in;
    if (!read_wav(files[0], in)) {
        std::fprintf(stderr, "cannot read %s\n", files[0]);
        return 1;
    }
    zq_test::HostedPlugin host(in.rate);
    if (!preset.empty() && !host.apply_preset(preset)) {
        std::fprintf(stderr, "no preset %s\n", preset.c_str());
        return 1;
    }
    for (const std::string& kv : sets) {
        const std::size_t eq = kv.find('=');
        const std::uint32_t port = zq_test::port_index(kv.substr(0, eq));
        if (eq == std::string::npos || port < zq::kFirstControl || port >= zq::kPortCount) {
            std::fprintf(stderr, "bad control %s\n", kv.c_str());
            return 1;
        }
        host.set_control(port, std::strtof(kv.c_str() + eq + 1, nullptr));
    }
    std::vector<float> l(in.mono.size());
    std::vector<float> r(in.mono.size());
    host.run(in.mono.data(), l.data(), r.data(), in.mono.size(), block);
    if (!write_wav(files[1], in.rate, l, r)) {
        std::fprintf(stderr, "cannot write %s\n", files[1]);
        return 1;
    }
    return 0;
}
