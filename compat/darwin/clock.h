#ifndef OVREL_COMPAT_DARWIN_CLOCK_H_
#define OVREL_COMPAT_DARWIN_CLOCK_H_

// macOS has no coarse clocks by the names FreeBSD and Linux use; its
// "approximate" clocks only move at context switches, which is too coarse a
// base for subtracting a wait's elapsed time. Its monotonic clock comes first.
// Only platform/clock.h includes this.
#include <time.h>

static constexpr clockid_t ovrel_wait_clock_candidates[] = {CLOCK_MONOTONIC, CLOCK_REALTIME};

#endif
