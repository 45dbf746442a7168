/* Interposed allocation and locking functions; see rt_interpose.h. */
#define _GNU_SOURCE
#include "rt_interpose.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

/* glibc's own entry points: forwarding to them cannot recurse into us. */
extern void* __libc_malloc(size_t);
extern void __libc_free(void*);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void* __libc_valloc(size_t);
extern void* __libc_pvalloc(size_t);

static _Thread_local int t_armed; /* initial-exec TLS: no allocation */
static atomic_int g_armed_threads;
static atomic_uint_fast64_t g_count[ZQ_RT_HAZARDS];
static atomic_size_t g_nevents;
static struct zq_rt_event g_events[ZQ_RT_MAX_EVENTS];

const char* zq_rt_hazard_name(int h) {
  static const char* const names[ZQ_RT_HAZARDS] = {
      "malloc", "free", "operator new", "operator delete", "lock", "system call", "fp control register"};
  return (h >= 0 && h < ZQ_RT_HAZARDS) ? names[h] : "?";
}

void zq_rt_arm(int on) {
  if (!!on == t_armed) return;
  t_armed = !!on;
  atomic_fetch_add(&g_armed_threads, on ? 1 : -1);
}
int zq_rt_armed(void) { return t_armed; }
int zq_rt_any_armed(void) { return atomic_load(&g_armed_threads) > 0; }

void zq_rt_record(int hazard, long detail, const void* where) {
  atomic_fetch_add(&g_count[hazard], 1);
  size_t i = atomic_fetch_add(&g_nevents, 1);
  if (i < ZQ_RT_MAX_EVENTS) {
    g_events[i].hazard = hazard;
    g_events[i].detail = detail;
    g_events[i].where = where;
  }
}

uint64_t zq_rt_count(int h) { return atomic_load(&g_count[h]); }
uint64_t zq_rt_total(void) {
  uint64_t s = 0;
  for (int h = 0; h < ZQ_RT_HAZARDS; ++h) s += zq_rt_count(h);
  return s;
}
size_t zq_rt_events(struct zq_rt_event* out, size_t max) {
  size_t n = atomic_load(&g_nevents);
  size_t k = n < ZQ_RT_MAX_EVENTS ? n : ZQ_RT_MAX_EVENTS;
  if (k > max) k = max;
  memcpy(out, g_events, k * sizeof *out);
  return n;
}
void zq_rt_reset(void) {
  for (int h = 0; h < ZQ_RT_HAZARDS; ++h) atomic_store(&g_count[h], 0);
  atomic_store(&g_nevents, 0);
}

#define CALLER __builtin_return_address(0)
#define NOTE(h, d) \
  do {                                   \
    if (t_armed) zq_rt_record((h), (long)(d), CALLER); \
  } while (0)

/* ------------------------------------------------------------ allocator */
void* malloc(size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  return __libc_malloc(n);
}
void free(void* p) {
  if (p) NOTE(ZQ_RT_FREE, 0);
  __libc_free(p);
}
void* calloc(size_t a, size_t b) {
  NOTE(ZQ_RT_MALLOC, a * b);
  return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  return __libc_realloc(p, n);
}
void* reallocarray(void* p, size_t a, size_t b) {
  NOTE(ZQ_RT_MALLOC, a * b);
  size_t n;
  if (__builtin_mul_overflow(a, b, &n)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(p, n);
}
void* memalign(size_t al, size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  return __libc_memalign(al, n);
}
void* aligned_alloc(size_t al, size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  return __libc_memalign(al, n);
}
int posix_memalign(void** out, size_t al, size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  if (al < sizeof(void*) || (al & (al - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(al, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void* valloc(size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  return __libc_valloc(n);
}
void* pvalloc(size_t n) {
  NOTE(ZQ_RT_MALLOC, n);
  return __libc_pvalloc(n);
}

/* -------------------------------------------------------------- locking */
/* The real functions are looked up with dlsym(RTLD_NEXT) once, at start-up
 * (and on first use, should another library's constructor lock earlier), so
 * that no lookup happens while a thread is armed. */
#define FORWARD(ret, name, params, args)                    \
  static ret(*real_##name) params;                          \
  ret name params {                                         \
    NOTE(ZQ_RT_LOCK, 0);                                    \
    if (!real_##name) *(void**)&real_##name = dlsym(RTLD_NEXT, #name); \
    return real_##name args;                                \
  }
#define RESOLVE(name) *(void**)&real_##name = dlsym(RTLD_NEXT, #name)

FORWARD(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
FORWARD(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
FORWARD(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const struct timespec* t), (m, t))
FORWARD(int, pthread_mutex_clocklock, (pthread_mutex_t * m, clockid_t c, const struct timespec* t), (m, c, t))
FORWARD(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
FORWARD(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
FORWARD(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * l), (l))
FORWARD(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * l), (l))
FORWARD(int, pthread_rwlock_timedrdlock, (pthread_rwlock_t * l, const struct timespec* t), (l, t))
FORWARD(int, pthread_rwlock_timedwrlock, (pthread_rwlock_t * l, const struct timespec* t), (l, t))
FORWARD(int, pthread_spin_lock, (pthread_spinlock_t * l), (l))
FORWARD(int, pthread_spin_trylock, (pthread_spinlock_t * l), (l))
FORWARD(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
FORWARD(int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const struct timespec* t),
        (c, m, t))
FORWARD(int, pthread_cond_signal, (pthread_cond_t * c), (c))
FORWARD(int, pthread_cond_broadcast, (pthread_cond_t * c), (c))
FORWARD(int, sem_wait, (sem_t * s), (s))
FORWARD(int, sem_trywait, (sem_t * s), (s))
FORWARD(int, sem_timedwait, (sem_t * s, const struct timespec* t), (s, t))
FORWARD(int, sem_post, (sem_t * s), (s))

__attribute__((constructor)) static void zq_rt_resolve(void) {
  RESOLVE(pthread_mutex_lock);
  RESOLVE(pthread_mutex_trylock);
  RESOLVE(pthread_mutex_timedlock);
  RESOLVE(pthread_mutex_clocklock);
  RESOLVE(pthread_rwlock_rdlock);
  RESOLVE(pthread_rwlock_wrlock);
  RESOLVE(pthread_rwlock_tryrdlock);
  RESOLVE(pthread_rwlock_trywrlock);
  RESOLVE(pthread_rwlock_timedrdlock);
  RESOLVE(pthread_rwlock_timedwrlock);
  RESOLVE(pthread_spin_lock);
  RESOLVE(pthread_spin_trylock);
  RESOLVE(pthread_cond_wait);
  RESOLVE(pthread_cond_timedwait);
  RESOLVE(pthread_cond_signal);
  RESOLVE(pthread_cond_broadcast);
  RESOLVE(sem_wait);
  RESOLVE(sem_trywait);
  RESOLVE(sem_timedwait);
  RESOLVE(sem_post);
}
