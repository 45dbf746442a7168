/* Real-time hazard recorder. The functions in rt_interpose.c and
 * rt_interpose_new.cpp replace malloc & co., operator new/delete and the
 * pthread locking functions for the whole process (the executable is linked
 * with -rdynamic, so a dlopen'ed plug-in binds to them). They forward to
 * glibc, and while the calling thread is armed they also record the call.
 * System calls are recorded by the seccomp supervisor in rt_check.cpp. */
#ifndef ZQ_RT_INTERPOSE_H
#define ZQ_RT_INTERPOSE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum zq_rt_hazard {
  ZQ_RT_MALLOC,  /* malloc, calloc, realloc, memalign, ... */
  ZQ_RT_FREE,    /* free of a non-null pointer */
  ZQ_RT_NEW,     /* operator new / new[] (any overload) */
  ZQ_RT_DELETE,  /* operator delete / delete[] of a non-null pointer */
  ZQ_RT_LOCK,    /* mutex / rwlock / spinlock / condition / semaphore call */
  ZQ_RT_SYSCALL, /* any system call */
  ZQ_RT_FPENV,   /* floating-point control register changed by the call */
  ZQ_RT_HAZARDS
};

struct zq_rt_event {
  int hazard;
  long detail;       /* size asked for, or system call number */
  const void* where; /* caller's return address or syscall instruction */
};

#define ZQ_RT_MAX_EVENTS 64

const char* zq_rt_hazard_name(int hazard);
void zq_rt_arm(int on);   /* arm / disarm the calling thread */
int zq_rt_armed(void);    /* is the calling thread armed? */
int zq_rt_any_armed(void); /* is any thread armed? */
void zq_rt_record(int hazard, long detail, const void* where);
uint64_t zq_rt_count(int hazard);
uint64_t zq_rt_total(void);
/* Copies up to max events, returns how many were recorded in all. */
size_t zq_rt_events(struct zq_rt_event* out, size_t max);
void zq_rt_reset(void);

#ifdef __cplusplus
}
#endif

#endif
