#ifndef OVREL_PLATFORM_CLOCK_H_
#define OVREL_PLATFORM_CLOCK_H_

#include <time.h>

// The clocks the wait clock is chosen from, best first. Coarse clocks lead
// where the system has them: a wait is accounted in scheduler ticks anyway,
// and they are read without a system call.
#if defined(__APPLE__)
#include "compat/darwin/clock.h"
#else
static constexpr clockid_t ovrel_wait_clock_candidates[] = {
    CLOCK_MONOTONIC_COARSE, CLOCK_MONOTONIC, CLOCK_REALTIME_COARSE, CLOCK_REALTIME};
#endif

#endif
