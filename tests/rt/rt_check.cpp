// Real-time safety check of the plug-in's audio functions.
//
//   rt_check PLUGIN.so [seconds-per-instance] [--expect=HAZARD]
//            [--allow-load-fp-mode]
//
// While run() or connect_port() executes on the audio thread, the plug-in
// must not allocate or free memory, take a lock, make a system call or leave
// the floating-point control register changed; nor may loading the library
// change the loading thread's floating-point mode. Three instances (44.1,
// 48 and 96 kHz) are run with block sizes from 0 to 16384, controls that
// jump, sweep or are garbage (NaN, inf, out of range), non-finite and
// subnormal audio, and in-place buffers.
//
// The process links in rt_interpose.c / rt_interpose_new.cpp, which record
// allocation and lock calls made by an armed thread. System calls are caught
// with seccomp: the audio thread installs a filter that turns each of its
// system calls into a user notification (SECCOMP_RET_USER_NOTIF); a
// supervisor thread receives them, records those made while the audio thread
// is armed, and lets every call proceed (SECCOMP_USER_NOTIF_FLAG_CONTINUE).
// No privilege is needed: the filter applies to the audio thread only, after
// PR_SET_NO_NEW_PRIVS on that thread.
//
// Before the plug-in runs, the checker arms itself and makes one call of each
// kind (through libc, so through another library as a plug-in would) and
// verifies that each was seen; a checker that cannot see violations fails.
//
// --expect=malloc|free|new|delete|lock|syscall|fpenv inverts the verdict for
// checking the checker: it then passes only if that hazard was detected
// (used with deliberately faulty fixture plug-ins).
// --allow-load-fp-mode accepts a library that changes the loading thread's
// floating-point mode when it is loaded (if that is a deliberate choice).
//
// Exit status: 0 clean (or the expected hazard seen), 1 violations found (or
// the expected one missing), 2 setup problem.
#include "plugin_host.hpp"
#include "rt_interpose.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

std::atomic<int> g_listener{-1};
std::atomic<bool> g_stop_supervisor{false};
std::atomic<int> g_setup_error{0};

// ------------------------------------------------------------- seccomp ----
int install_notify_filter() {
  struct sock_filter prog[] = {
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
  };
  struct sock_fprog fprog = {static_cast<unsigned short>(std::size(prog)), prog};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return int(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &fprog));
}

// Runs on its own thread until the audio thread has been joined: every
// system call of the audio thread, up to its very exit, needs an answer.
// Allocates nothing and prints nothing, since the audio thread may be
// stopped inside malloc.
void supervise() {
  int fd;
  while ((fd = g_listener.load()) < 0) {
    if (g_stop_supervisor.load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  seccomp_notif req;
  seccomp_notif_resp resp;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int r = poll(&pfd, 1, 20);
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (pfd.revents & POLLIN)) {
      std::memset(&req, 0, sizeof req);
      if (ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0) continue;  // e.g. thread gone
      // The audio thread is stopped in this system call, so its armed flag
      // is the state it had when it made the call.
      if (zq_rt_any_armed())
        zq_rt_record(ZQ_RT_SYSCALL, long(req.data.nr), reinterpret_cast<const void*>(req.data.instruction_pointer));
      std::memset(&resp, 0, sizeof resp);
      resp.id = req.id;
      resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
      (void)ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    } else if (r > 0 && (pfd.revents & (POLLHUP | POLLERR))) {
      break;  // the filtered thread has exited
    } else if (g_stop_supervisor.load()) {
      break;
    }
  }
  close(fd);
}

// ----------------------------------------------------------- detection ----
// Control bits only: the x86 status flags (MXCSR bits 0-5) are set by
// ordinary arithmetic; on aarch64 FPCR holds no status.
#if defined(__x86_64__)
unsigned fp_control() { return _mm_getcsr() & ~0x3Fu; }
#elif defined(__aarch64__)
unsigned fp_control() {
  uint64_t v;
  asm volatile("mrs %0, fpcr" : "=r"(v));
  return unsigned(v);
}
#else
unsigned fp_control() { return 0; }
#endif

// Calls fn with the thread armed, and records a change of the FP control
// register as a hazard too.
template <class F>
void armed_call(F&& fn) {
  const unsigned before = fp_control();
  zq_rt_arm(1);
  fn();
  zq_rt_arm(0);
  const unsigned after = fp_control();
  if (after != before) zq_rt_record(ZQ_RT_FPENV, long(after), nullptr);
}

// Each hazard once, through libc: strdup allocates inside libc,
// std::mutex locks through pthread_mutex_lock, getppid is a plain syscall.
bool self_test() {
  zq_rt_reset();
  std::mutex m;
  armed_call([&] {
    char* volatile s = strdup("zq");
    free(s);
    int* volatile p = new int(1);
    delete p;
    m.lock();
    m.unlock();
    (void)syscall(SYS_getppid);
  });
  bool ok = true;
  for (int h : {ZQ_RT_MALLOC, ZQ_RT_FREE, ZQ_RT_NEW, ZQ_RT_DELETE, ZQ_RT_LOCK, ZQ_RT_SYSCALL}) {
    if (zq_rt_count(h) == 0) {
      std::fprintf(stderr, "rt_check: self-test: a deliberate %s was not detected\n", zq_rt_hazard_name(h));
      ok = false;
    }
  }
  zq_rt_reset();
  return ok;
}

// ------------------------------------------------------------ workload ----
struct Rng {
  uint32_t s = 0x12345678u;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  float unit() { return float(int32_t(next())) * (1.0f / 2147483648.0f); }
};

// Control values that a host may send: in range, at the ends, and garbage.
float control_value(Rng& rng, uint32_t port, int phase) {
  const zq::PortInfo& r = zq::kPorts[port];
  switch (phase % 8) {
    case 0: return r.default_value;
    case 1: return r.min;
    case 2: return r.max;
    case 3: return r.min + (r.max - r.min) * (0.5f + 0.5f * rng.unit());
    case 4: return std::numeric_limits<float>::quiet_NaN();
    case 5: return (rng.next() & 1) ? std::numeric_limits<float>::infinity() : -1e30f;
    case 6: return r.max * 10.0f;
    default: return r.min - 1.0f;
  }
}

void fill(std::vector<float>& x, uint32_t n, Rng& rng, int kind) {
  for (uint32_t i = 0; i < n; ++i) {
    switch (kind % 5) {
      case 0: x[i] = rng.unit(); break;
      case 1: x[i] = 0.0f; break;
      case 2: x[i] = rng.unit() * 1e-39f; break;
      case 3: x[i] = (i % 97 == 0) ? std::numeric_limits<float>::quiet_NaN() : rng.unit(); break;
      default: x[i] = rng.unit() * 1e30f; break;
    }
  }
}

void audio_thread(const LV2_Descriptor* d, double seconds) {
  // Instances are made and activated before the filter (instantiation and
  // activation may allocate); everything after it is observed.
  static constexpr double kRates[] = {48000.0, 44100.0, 96000.0};
  static constexpr uint32_t kMaxBlock = 16384;
  std::vector<std::unique_ptr<zq_test::PluginHost>> inst;
  for (double rate : kRates) inst.push_back(std::make_unique<zq_test::PluginHost>(d, rate));
  for (auto& i : inst) i->activate();
  std::vector<float> in(kMaxBlock), out1(kMaxBlock), out2(kMaxBlock);

  const int fd = install_notify_filter();
  if (fd < 0) {
    g_setup_error.store(errno ? errno : -1);
    return;
  }
  g_listener.store(fd);
  if (!self_test()) {
    g_setup_error.store(-2);
    return;
  }

  static constexpr uint32_t kBlocks[] = {64, 1, 512, 16384, 0, 256, 4096, 33, 1024, 128, 2, 8192};
  Rng rng;
  uint64_t block_index = 0;
  for (size_t k = 0; k < inst.size(); ++k) {
    zq_test::PluginHost& host = *inst[k];
    const double rate = kRates[k];
    uint64_t done = 0;
    const uint64_t total = uint64_t(seconds * rate);
    while (done < total) {
      const uint32_t n = kBlocks[block_index % std::size(kBlocks)];
      const int phase = int(block_index / 7);
      // Controls change between blocks: sweeps, jumps and garbage.
      for (uint32_t p = zq::kFirstControl; p < zq::kPortCount; ++p)
        host.set_control(p, control_value(rng, p, phase + int(p) * int(block_index % 3)));
      fill(in, n, rng, int(block_index / 5));
      const bool o1 = block_index % 11 == 3, o2 = block_index % 13 == 5;
      armed_call([&] { host.run(in.data(), o1 ? in.data() : out1.data(), o2 ? in.data() : out2.data(), n); });
      done += n ? n : 1;
      ++block_index;
    }
  }
  for (auto& i : inst) i->deactivate();
  inst.clear();
}

void report_event(const zq_rt_event& e) {
  Dl_info info{};
  const char* sym = "?";
  const char* file = "?";
  long off = 0;
  if (e.where && dladdr(e.where, &info)) {
    if (info.dli_sname) sym = info.dli_sname;
    if (info.dli_fname) file = info.dli_fname;
    off = long(static_cast<const char*>(e.where) -
               static_cast<const char*>(info.dli_saddr ? info.dli_saddr : info.dli_fbase));
  }
  if (e.hazard == ZQ_RT_FPENV) {
    std::fprintf(stderr, "  %-20s left at %#lx\n", zq_rt_hazard_name(e.hazard), e.detail);
    return;
  }
  std::fprintf(stderr, "  %-20s %s=%ld at %p (%s+0x%lx in %s)\n", zq_rt_hazard_name(e.hazard),
               e.hazard == ZQ_RT_SYSCALL ? "nr" : "arg", e.detail, e.where, sym, off, file);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = nullptr;
  double seconds = 20.0;
  int expect = -1;
  bool allow_load_fp_mode = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--allow-load-fp-mode") {
      allow_load_fp_mode = true;
    } else if (a.rfind("--expect=", 0) == 0) {
      static const char* const kNames[] = {"malloc", "free", "new", "delete", "lock", "syscall", "fpenv"};
      for (int h = 0; h < ZQ_RT_HAZARDS; ++h)
        if (a.substr(9) == kNames[h]) expect = h;
      if (expect < 0) {
        std::fprintf(stderr, "unknown hazard in %s\n", a.c_str());
        return 2;
      }
    } else if (!path) {
      path = argv[i];
    } else {
      seconds = std::atof(argv[i]);
    }
  }
  if (!path || !(seconds > 0)) {
    std::fprintf(stderr, "usage: %s PLUGIN.so [seconds-per-instance] [--expect=HAZARD] [--allow-load-fp-mode]\n",
                 argv[0]);
    return 2;
  }
  // Loading must not change the loading thread's floating-point mode (a
  // constructor setting FTZ/DAZ, or crtfastmath.o from -ffast-math linking).
  const unsigned mode_before = fp_control();
  const LV2_Descriptor* d = zq_test::load_descriptor(path);
  const unsigned mode_after = fp_control();

  const auto t0 = std::chrono::steady_clock::now();
  std::thread supervisor(supervise);
  std::thread audio(audio_thread, d, seconds);
  audio.join();
  g_stop_supervisor.store(true);
  supervisor.join();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  if (const int err = g_setup_error.load()) {
    if (err == -2) std::fprintf(stderr, "rt_check: the checker failed its self-test\n");
    else std::fprintf(stderr, "rt_check: cannot install the seccomp filter: %s\n", std::strerror(err));
    return 2;
  }
  if (mode_after != mode_before) {
    std::fprintf(stderr, "rt_check: loading the library changed the floating-point mode from %#x to %#x%s\n",
                 mode_before, mode_after, allow_load_fp_mode ? " (allowed)" : "");
    if (!allow_load_fp_mode) zq_rt_record(ZQ_RT_FPENV, long(mode_after), nullptr);
  }
  const uint64_t total = zq_rt_total();
  std::printf("rt_check: %s, %.0f s of audio per instance (3 instances), %.2f s wall\n", path, seconds, secs);
  for (int h = 0; h < ZQ_RT_HAZARDS; ++h)
    std::printf("  %-20s %llu\n", zq_rt_hazard_name(h), (unsigned long long)zq_rt_count(h));
  if (expect >= 0) {
    const bool seen = zq_rt_count(expect) > 0;
    std::printf("rt_check: expected %s %s\n", zq_rt_hazard_name(expect), seen ? "detected: PASS" : "NOT detected: FAIL");
    return seen ? 0 : 1;
  }
  if (total == 0) {
    std::printf("rt_check: PASS (no allocation, lock, system call or FP mode change in run/connect_port%s)\n",
                allow_load_fp_mode ? "" : "; loading kept the FP mode");
    return 0;
  }
  zq_rt_event ev[ZQ_RT_MAX_EVENTS];
  const size_t n = zq_rt_events(ev, ZQ_RT_MAX_EVENTS);
  std::fprintf(stderr, "rt_check: FAIL: %llu real-time hazards in run/connect_port; first ones:\n",
               (unsigned long long)total);
  // One line per distinct (hazard, site) among the first recorded events.
  const size_t k = std::min<size_t>(n, ZQ_RT_MAX_EVENTS);
  for (size_t i = 0; i < k; ++i) {
    bool dup = false;
    for (size_t j = 0; j < i && !dup; ++j) dup = ev[j].hazard == ev[i].hazard && ev[j].where == ev[i].where;
    if (!dup) report_event(ev[i]);
  }
  std::fprintf(stderr, "  (offsets: addr2line -f -C -e LIBRARY 0xOFFSET; syscall numbers: <asm/unistd_64.h>)\n");
  return 1;
}
