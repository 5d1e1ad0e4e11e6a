#ifndef OVREL_TESTS_FAULT_H_
#define OVREL_TESTS_FAULT_H_

// Deterministic fault injection for the library's system calls. The test
// builds link the library's objects with -Wl,--wrap=<call>; each wrapper asks
// this registry whether to fail before running the real call.
//
// In a shared library build the registry is also filled from the environment
// variable OVREL_FAULTS at load time: "call:errno:times[:after],..." (for
// example "read:4:2,connect:4:1:0"), so a child JVM can script its faults.

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// The `times` calls of `call` that follow `after` untouched calls fail with `err`.
// Each call queues a step after the ones already scripted for `call`.
void ovrel_fault_inject(const char* call, int err, int times, int after);
// Forgets every script and every count.
void ovrel_fault_reset(void);
// How often `call` went through its wrapper since the last reset, failures included.
int ovrel_fault_calls(const char* call);
// For wrappers: the errno to fail this call with, or 0 to make the real call.
int ovrel_fault_take(const char* call);

// What kevent was asked, call by call since the last reset (at most 64 kept).
struct ovrel_fault_kevent_call {
    int nchanges;
    int nevents;
    int timed;  // 0 for a null timeout
    struct timespec timeout;
};
void ovrel_fault_kevent_record(const struct ovrel_fault_kevent_call* call);
int ovrel_fault_kevent_calls(struct ovrel_fault_kevent_call* out, int max);

// sendfile (the natives' BSD-signature one) knows two calls: "sendfile" fails
// before sending anything; "sendfile_partial" sends half of what was asked,
// sets *sbytes to that part and then fails with the scripted errno.

// Makes dladdr report `fname` as the library's file (null: the real answer).
void ovrel_fault_dladdr_fname(const char* fname);
const char* ovrel_fault_dladdr_fname_get(void);

// Makes the next `count` clock_gettime calls read `readings` in order (any
// clock id); later calls read the real clock again. count 0 ends a script.
void ovrel_fault_clock_script(const struct timespec* readings, int count);
// For the clock wrapper: 1 and *out filled when a scripted reading is due.
int ovrel_fault_clock_take(struct timespec* out);

// Allocation failures for the code under test. Between ovrel_fault_alloc_arm
// and ovrel_fault_alloc_disarm, and only on the thread that armed, the
// failAt-th call of malloc, calloc or strndup (counted from 1) returns null
// with ENOMEM; failAt 0 fails none and only counts. Other threads, and the
// same thread outside the window, are never touched, so a test can arm around
// one library call without failing the harness's own allocations.
// Blocks handed out in the window are tracked until freed: whatever is still
// held at disarm is what the code under test left behind.
struct ovrel_fault_alloc_report {
    int calls;         // allocation calls in the window, the failed one included
    int failed;        // how many were made to fail (0 or 1)
    int live;          // blocks handed out in the window and not freed by disarm
    unsigned long liveBytes;
    int untracked;     // blocks beyond the tracking table (then `live` is a lower bound)
};
void ovrel_fault_alloc_arm(int failAt);
struct ovrel_fault_alloc_report ovrel_fault_alloc_disarm(void);

// Descriptors this process holds now (entries of /proc/self/fd, less the one
// the count itself opens), or -1 when that cannot be read; a sweep compares it
// before and after each injected failure.
int ovrel_fault_open_fds(void);

#ifdef __cplusplus
}
#endif

#endif
