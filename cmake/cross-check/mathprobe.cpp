// Cross-architecture float determinism probe.
//
// Prints one line per (function, chunk) with a 64-bit hash of the bit
// patterns of the results, so that the output of the x86-64 build and of the
// aarch64 build (run under qemu-aarch64) can be compared with `diff`. A
// difference localises to a chunk; `--dump` then lists the differing
// arguments of that chunk.
//
//   mathprobe smoke                      a few values + fp-contract check
//   mathprobe unary <fn> <chunkbits> [first count]
//                                        all 2^32 float inputs (or count
//                                        inputs from bit pattern first) of
//                                        expf, exp2f, logf, log10f, sinf, cosf,
//                                        tanf, tanhf, sincosf, modff or
//                                        pow10db (powf(10, x/20)), hashed in
//                                        chunks of 2^chunkbits
//   mathprobe powf <n> <seed>            n random (x,y) pairs, plus a dB grid
//   mathprobe dump <fn> <first> <count>  raw results, one per line
//
// NaN results are canonicalised before hashing (the sign and payload of a
// generated NaN differ between the two architectures by design: x86 makes
// 0xFFC00000, aarch64 0x7FC00000); every other result is hashed bit for bit.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <bit>
#include <string>
#include <string_view>

namespace {

std::uint32_t bits(float f) {
  if (std::isnan(f)) return 0x7FC00000u;
  return std::bit_cast<std::uint32_t>(f);
}

struct Fnv {
  std::uint64_t h = 1469598103934665603ull;
  // One multiply per word (FNV-1a on 32-bit words): cheap enough for
  // 2^32 inputs under qemu, and any single-bit change alters the hash.
  void add(std::uint32_t v) {
    h ^= v;
    h *= 1099511628211ull;
  }
};

// Results of one function at one argument, possibly two outputs.
using UnaryFn = void (*)(float, std::uint32_t*, std::uint32_t*);

void f_expf(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(expf(x)); *b = 0; }
void f_exp2f(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(exp2f(x)); *b = 0; }
void f_logf(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(logf(x)); *b = 0; }
void f_log10f(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(log10f(x)); *b = 0; }
void f_sinf(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(sinf(x)); *b = 0; }
void f_cosf(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(cosf(x)); *b = 0; }
void f_tanf(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(tanf(x)); *b = 0; }
void f_tanhf(float x, std::uint32_t* a, std::uint32_t* b) { *a = bits(tanhf(x)); *b = 0; }
void f_sincosf(float x, std::uint32_t* a, std::uint32_t* b) {
  float s, c;
  sincosf(x, &s, &c);
  *a = bits(s);
  *b = bits(c);
}
void f_modff(float x, std::uint32_t* a, std::uint32_t* b) {
  float ip;
  float fp = modff(x, &ip);
  *a = bits(fp);
  *b = bits(ip);
}
void f_pow10db(float x, std::uint32_t* a, std::uint32_t* b) {
  *a = bits(powf(10.0f, x * 0.05f));
  *b = 0;
}

UnaryFn lookup(std::string_view n) {
  if (n == "expf") return f_expf;
  if (n == "exp2f") return f_exp2f;
  if (n == "logf") return f_logf;
  if (n == "log10f") return f_log10f;
  if (n == "sinf") return f_sinf;
  if (n == "cosf") return f_cosf;
  if (n == "tanf") return f_tanf;
  if (n == "tanhf") return f_tanhf;
  if (n == "sincosf") return f_sincosf;
  if (n == "modff") return f_modff;
  if (n == "pow10db") return f_pow10db;
  std::fprintf(stderr, "unknown function %.*s\n", int(n.size()), n.data());
  std::exit(2);
}

// Keeps the compiler from folding the test expressions at compile time.
volatile float g_sink;

// A one-pole low-pass and a biquad written in plain multiply-add form. Whether
// the compiler fuses a*b+c into one fma (one rounding) or not (two roundings)
// changes the output bits; the result shows what -ffp-contract did.
std::uint64_t contract_probe(std::uint32_t n) {
  float b0 = 0.2929f, b1 = 0.5858f, b2 = 0.2929f, a1 = -1.0e-7f, a2 = 0.1716f;
  float x1 = 0, x2 = 0, y1 = 0, y2 = 0, lp = 0;
  std::uint32_t s = 12345u;
  Fnv h;
  for (std::uint32_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    float x = float(std::int32_t(s)) * (1.0f / 2147483648.0f);
    float y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1; x1 = x; y2 = y1; y1 = y;
    lp = lp + 0.01f * (y - lp);
    h.add(bits(y));
    h.add(bits(lp));
  }
  return h.h;
}

int smoke() {
  volatile float x = 0.75f, y = 1.5f, z = -0.25f;
  float s, c, ip;
  sincosf(x, &s, &c);
  float fp = modff(x * 7.0f, &ip);
  std::printf("fma     %a\n", double(std::fma(float(x), float(y), float(z))));
  std::printf("expf    %a\n", double(expf(x)));
  std::printf("powf    %a\n", double(powf(x, y)));
  std::printf("sincosf %a %a\n", double(s), double(c));
  std::printf("modff   %a %a\n", double(fp), double(ip));
  std::printf("contract %016llx\n", (unsigned long long)contract_probe(100000));
  // fma must give the single-rounding result on every target.
  volatile float a = 1.0f + 0x1p-23f, b = 1.0f - 0x1p-23f, m1 = -1.0f;
  float fused = std::fma(float(a), float(b), float(m1));
  std::printf("fma(1+u,1-u,-1) %a (exact: -0x1p-46)\n", double(fused));
  return fused == -0x1p-46f ? 0 : 1;
}

int unary(std::string_view name, int chunkbits, std::uint64_t first, std::uint64_t count) {
  UnaryFn fn = lookup(name);
  const std::uint64_t chunk = 1ull << chunkbits;
  const std::uint64_t end = std::min<std::uint64_t>(first + count, 1ull << 32);
  for (std::uint64_t base = first; base < end; base += chunk) {
    Fnv h;
    for (std::uint64_t i = base; i < std::min(base + chunk, end); ++i) {
      std::uint32_t a, b;
      fn(std::bit_cast<float>(std::uint32_t(i)), &a, &b);
      h.add(a);
      h.add(b);
    }
    std::printf("%s %08llx %016llx\n", std::string(name).c_str(),
                (unsigned long long)base, (unsigned long long)h.h);
  }
  return 0;
}

int powf_probe(std::uint64_t n, std::uint64_t seed) {
  std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&] {
    s ^= s << 13; s ^= s >> 7; s ^= s << 17;
    return s;
  };
  Fnv all, narrow;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint64_t r = next();
    // Arbitrary bit patterns, and "audio-range" arguments.
    float x = std::bit_cast<float>(std::uint32_t(r));
    float y = std::bit_cast<float>(std::uint32_t(r >> 32));
    all.add(bits(powf(x, y)));
    float xn = float(r & 0xFFFFFF) * (4.0f / 16777216.0f);
    float yn = float(std::int32_t(r >> 40)) * (1.0f / 65536.0f);
    narrow.add(bits(powf(xn, yn)));
  }
  Fnv db;
  for (int i = -96000; i <= 12000; ++i) {  // -96 dB .. +12 dB in 1/1000 dB
    float d = float(i) * 0.001f;
    db.add(bits(powf(10.0f, d / 20.0f)));
    db.add(bits(expf(d * 0.115129254649702f)));
  }
  std::printf("powf random %016llx\n", (unsigned long long)all.h);
  std::printf("powf narrow %016llx\n", (unsigned long long)narrow.h);
  std::printf("powf dbgrid %016llx\n", (unsigned long long)db.h);
  return 0;
}

int dump(std::string_view name, std::uint64_t first, std::uint64_t count) {
  UnaryFn fn = lookup(name);
  for (std::uint64_t i = first; i < first + count && i < (1ull << 32); ++i) {
    std::uint32_t a, b;
    fn(std::bit_cast<float>(std::uint32_t(i)), &a, &b);
    std::printf("%08llx %08x %08x\n", (unsigned long long)i, a, b);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view mode = argc > 1 ? argv[1] : "smoke";
  if (mode == "smoke") return smoke();
  if (mode == "unary" && argc == 4) return unary(argv[2], std::atoi(argv[3]), 0, 1ull << 32);
  if (mode == "unary" && argc == 6)
    return unary(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 0), std::strtoull(argv[5], nullptr, 0));
  if (mode == "powf" && argc == 4)
    return powf_probe(std::strtoull(argv[2], nullptr, 0), std::strtoull(argv[3], nullptr, 0));
  if (mode == "dump" && argc == 5)
    return dump(argv[2], std::strtoull(argv[3], nullptr, 0), std::strtoull(argv[4], nullptr, 0));
  std::fprintf(stderr, "usage: see the comment at the top of mathprobe.cpp\n");
  return 2;
}
