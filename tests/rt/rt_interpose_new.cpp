// Replacements for every global operator new / delete; see rt_interpose.h.
// They allocate from glibc directly, so one `new` counts once (as new, not
// also as malloc).
#include "rt_interpose.h"

#include <cstddef>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t);
void __libc_free(void*);
void* __libc_memalign(std::size_t, std::size_t);
}

namespace {

#define ZQ_CALLER __builtin_return_address(0)

inline void* take(std::size_t n, std::size_t align, const void* caller, bool nothrow) {
  if (zq_rt_armed()) zq_rt_record(ZQ_RT_NEW, long(n), caller);
  if (n == 0) n = 1;
  void* p = align > alignof(std::max_align_t) ? __libc_memalign(align, n) : __libc_malloc(n);
  if (!p && !nothrow) throw std::bad_alloc();
  return p;
}

inline void give(void* p, const void* caller) {
  if (!p) return;
  if (zq_rt_armed()) zq_rt_record(ZQ_RT_DELETE, 0, caller);
  __libc_free(p);
}

}  // namespace

void* operator new(std::size_t n) { return take(n, 0, ZQ_CALLER, false); }
void* operator new[](std::size_t n) { return take(n, 0, ZQ_CALLER, false); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return take(n, 0, ZQ_CALLER, true); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return take(n, 0, ZQ_CALLER, true); }
void* operator new(std::size_t n, std::align_val_t a) { return take(n, std::size_t(a), ZQ_CALLER, false); }
void* operator new[](std::size_t n, std::align_val_t a) { return take(n, std::size_t(a), ZQ_CALLER, false); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take(n, std::size_t(a), ZQ_CALLER, true);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take(n, std::size_t(a), ZQ_CALLER, true);
}

void operator delete(void* p) noexcept { give(p, ZQ_CALLER); }
void operator delete[](void* p) noexcept { give(p, ZQ_CALLER); }
void operator delete(void* p, std::size_t) noexcept { give(p, ZQ_CALLER); }
void operator delete[](void* p, std::size_t) noexcept { give(p, ZQ_CALLER); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give(p, ZQ_CALLER); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give(p, ZQ_CALLER); }
void operator delete(void* p, std::align_val_t) noexcept { give(p, ZQ_CALLER); }
void operator delete[](void* p, std::align_val_t) noexcept { give(p, ZQ_CALLER); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { give(p, ZQ_CALLER); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { give(p, ZQ_CALLER); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { give(p, ZQ_CALLER); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { give(p, ZQ_CALLER); }
