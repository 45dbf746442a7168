// Test fixture, not the product: a small LV2 plug-in with the same URI and
// port layout (12 ports) as the real one, used to develop and to self-test
// the fuzz harness and the real-time / denormal tests before (and besides)
// the real library. Built with -DSTANDIN_BUG=<n> it carries one deliberate
// defect, so that each harness can be shown to catch what it claims to catch:
//
//   0  none: careful implementation (every harness must pass)
//   1  writes one sample past the end of out_1
//   2  reads one sample past the end of the input
//   3  lets NaN/inf circulate in the feedback loop for ever
//   4  shares a dither generator between instances (output depends on what
//      other instances did)
//   5  writes into the input buffer when it is not shared with an output
//   6  malloc/free inside run()
//   7  locks a pthread mutex inside run()
//   8  makes a system call inside run()
//   9  no denormal protection in a long decaying filter bank
//  10  operator new / delete inside run()
//  11  converts the delay time to an index without checking for NaN/huge
//  12  a loop gain above one at full feedback (output grows without bound)
//  13  sets flush-to-zero / denormals-are-zero in run() and leaves them set
//      (x86-64; the host thread's floating-point mode changes)
//  14  sets flush-to-zero / denormals-are-zero when the library is loaded
//      (x86-64; as crtfastmath.o does when linked with -ffast-math)
//
// Ports: 0 in, 1 out_1, 2 out_2, 3 delay_ms, 4 tap_ratio, 5 level_db,
// 6 pan_tap, 7 pan_loop, 8 diffusion, 9 feedback, 10 lowpass_hz,
// 11 highpass_hz.
#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef STANDIN_BUG
#define STANDIN_BUG 0
#endif

namespace {

constexpr int kPorts = 12;
constexpr int kBankSize = 64;

struct Standin {
  double rate = 48000.0;
  float* port[kPorts] = {};
  float* line = nullptr;
  std::uint32_t line_len = 0;
  std::uint32_t write_pos = 0;
  float lp = 0.0f, hp_x1 = 0.0f, hp_y1 = 0.0f;
  float bank[kBankSize] = {};
  std::uint32_t dither = 1u;
};

#if STANDIN_BUG == 14 && defined(__x86_64__)
__attribute__((constructor)) void set_ftz_daz_on_load() { _mm_setcsr(_mm_getcsr() | 0x8040u); }
#endif
#if STANDIN_BUG == 4
std::uint32_t g_shared_dither = 1u;
#endif
#if STANDIN_BUG == 7
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
#endif

float clampf(float v, float lo, float hi, float fallback) {
  if (!(v == v)) return fallback;  // NaN
  return v < lo ? lo : (v > hi ? hi : v);
}

float flush(float v) {
#if STANDIN_BUG == 3
  return v;
#elif STANDIN_BUG == 9
  return std::isfinite(v) ? v : 0.0f;
#else
  if (!std::isfinite(v) || std::fabs(v) < 1e-20f) return 0.0f;
  return v;
#endif
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const*) {
  if (!(rate >= 1.0 && rate <= 10.0e6)) return nullptr;
  auto* s = new (std::nothrow) Standin;
  if (!s) return nullptr;
  s->rate = rate;
  s->line_len = std::uint32_t(rate * 0.5) + 2;
  s->line = static_cast<float*>(std::calloc(s->line_len, sizeof(float)));
  if (!s->line) {
    delete s;
    return nullptr;
  }
  return s;
}

void connect_port(LV2_Handle h, std::uint32_t port, void* data) {
  auto* s = static_cast<Standin*>(h);
  if (port < kPorts) s->port[port] = static_cast<float*>(data);
}

void activate(LV2_Handle h) {
  auto* s = static_cast<Standin*>(h);
  std::memset(s->line, 0, s->line_len * sizeof(float));
  s->write_pos = 0;
  s->lp = s->hp_x1 = s->hp_y1 = 0.0f;
  std::memset(s->bank, 0, sizeof s->bank);
  s->dither = 1u;
}

float next_dither(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return float(std::int32_t(state)) * (1.0f / 2147483648.0f) * 1e-7f;
}

void run(LV2_Handle h, std::uint32_t n) {
  auto* s = static_cast<Standin*>(h);
  const float* in = s->port[0];
  float* out1 = s->port[1];
  float* out2 = s->port[2];
  const float delay_ms = clampf(*s->port[3], 1.0f, 500.0f, 250.0f);
  const float level = std::pow(10.0f, clampf(*s->port[5], -90.0f, 6.0f, 0.0f) / 20.0f);
  const float pan = (clampf(*s->port[7], -100.0f, 100.0f, 0.0f) + 100.0f) / 200.0f;
  const float diffusion = clampf(*s->port[8], 0.0f, 100.0f, 0.0f) / 100.0f;
#if STANDIN_BUG == 12
  const float fb = clampf(*s->port[9], 0.0f, 100.0f, 0.0f) / 100.0f * 1.05f;
#else
  const float fb = clampf(*s->port[9], 0.0f, 100.0f, 0.0f) / 100.0f * 0.98f;
#endif
  const float nyq = float(s->rate * 0.45);
  const float lp_hz = clampf(*s->port[10], 200.0f, 20000.0f, 20000.0f);
  const float hp_hz = clampf(*s->port[11], 10.0f, 2000.0f, 10.0f);
  const float lp_a = 1.0f - std::exp(-6.2831853f * std::fmin(lp_hz, nyq) / float(s->rate));
  const float hp_r = std::exp(-6.2831853f * std::fmin(hp_hz, nyq) / float(s->rate));

#if STANDIN_BUG == 11
  std::uint32_t delay = std::uint32_t(*s->port[3] * float(s->rate) / 1000.0f);
#else
  std::uint32_t delay = std::uint32_t(double(delay_ms) * s->rate / 1000.0);
#endif
  if (STANDIN_BUG != 11) {
    if (delay < 1) delay = 1;
    if (delay > s->line_len - 1) delay = s->line_len - 1;
  }

#if STANDIN_BUG == 6
  void* volatile scratch = std::malloc(64);
  std::free(scratch);
#endif
#if STANDIN_BUG == 10
  float* volatile scratch2 = new float[16];
  delete[] scratch2;
#endif
#if STANDIN_BUG == 7
  pthread_mutex_lock(&g_mutex);
  pthread_mutex_unlock(&g_mutex);
#endif
#if STANDIN_BUG == 8
  (void)syscall(SYS_getppid);
#endif
#if STANDIN_BUG == 13 && defined(__x86_64__)
  _mm_setcsr(_mm_getcsr() | 0x8040u);
#endif
#if STANDIN_BUG == 2
  volatile float past_end = in[n];
  (void)past_end;
#endif

  for (std::uint32_t i = 0; i < n; ++i) {
#if STANDIN_BUG == 3
    const float x = in[i];
#else
    // Non-finite input is dropped and finite input limited, so that a huge
    // value cannot leave a residue that takes longer than the loop to decay.
    const float x = std::fmax(-16.0f, std::fmin(16.0f, flush(in[i])));
#endif
    std::uint32_t rd = s->write_pos + s->line_len - delay;
    if (rd >= s->line_len) rd -= s->line_len;
    float wet = s->line[rd];
    // One-pole low-pass and DC-blocking high-pass inside the loop.
    s->lp = flush(s->lp + lp_a * (wet - s->lp));
    const float hp = flush(hp_r * (s->hp_y1 + s->lp - s->hp_x1));
    s->hp_x1 = s->lp;
    s->hp_y1 = hp;
    float diffused = hp;
    for (int k = 0; k < (STANDIN_BUG == 9 ? kBankSize : 4); ++k) {
      // Slowly decaying resonators: with silence in, their state decays
      // through the denormal range unless flushed.
      s->bank[k] = flush(s->bank[k] * 0.9995f + diffusion * 1e-3f * x);
      diffused += s->bank[k];
    }
#if STANDIN_BUG == 4
    diffused += next_dither(g_shared_dither);
#else
    diffused += next_dither(s->dither);
#endif
    float fbv = x + fb * diffused;
#if STANDIN_BUG != 12
    fbv = std::fmax(-8.0f, std::fmin(8.0f, fbv));
#endif
    s->line[s->write_pos] = flush(fbv);
    if (++s->write_pos == s->line_len) s->write_pos = 0;
    const float y = level * diffused;
    const float o1 = x + y * (1.0f - pan);
    const float o2 = x + y * pan;
    // out_1 / out_2 may alias in: read in[i] first (done above), then write.
    out1[i] = o1;
    out2[i] = o2;
#if STANDIN_BUG == 5
    if (in != out1 && in != out2) const_cast<float*>(in)[i] = 0.0f;
#endif
  }
#if STANDIN_BUG == 1
  out1[n] = 0.0f;
#endif
}

void deactivate(LV2_Handle) {}

void cleanup(LV2_Handle h) {
  auto* s = static_cast<Standin*>(h);
  std::free(s->line);
  delete s;
}

const void* extension_data(const char*) { return nullptr; }

const LV2_Descriptor kDescriptor = {
    ZQ_PLUGIN_URI, instantiate, connect_port, activate, run, deactivate, cleanup,
    extension_data,
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
  return index == 0 ? &kDescriptor : nullptr;
}
