#include <gtest/gtest.h>

#include "tests/fault/fault.h"
#include "unix/util.h"

namespace {

TEST(Elapsed, CountsNanosecondsAcrossSeconds) {
    struct timespec begin = {5, 900000000}, end = {7, 100000000};
    EXPECT_EQ(ovrel_unix_util_timespec_elapsed_ns(&begin, &end), 1200000000u);
    EXPECT_EQ(ovrel_unix_util_timespec_elapsed_ns(&end, &end), 0u);
    // An end before the begin wraps to a count larger than any real timeout.
    EXPECT_EQ(ovrel_unix_util_timespec_elapsed_ns(&end, &begin), static_cast<uint64_t>(-1200000000LL));
}

struct SubtractCase {
    struct timespec before;
    uint64_t nanos;
    struct timespec after;
    bool underflow;
};

class Subtract : public testing::TestWithParam<SubtractCase> {};

TEST_P(Subtract, ReducesInPlaceAndReportsUnderflow) {
    SubtractCase c = GetParam();
    struct timespec ts = c.before;
    EXPECT_EQ(ovrel_unix_util_timespec_subtract_ns(&ts, c.nanos) == JNI_TRUE, c.underflow);
    EXPECT_EQ(ts.tv_sec, c.after.tv_sec);
    EXPECT_EQ(ts.tv_nsec, c.after.tv_nsec);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Subtract,
    testing::Values(SubtractCase{{3, 200000000}, 1500000000, {1, 700000000}, false},
                    SubtractCase{{2, 400000000}, 2500000000, {-1, 900000000}, true},
                    SubtractCase{{0, 100000000}, 150000000, {-1, 950000000}, true},
                    SubtractCase{{1, 0}, 1000000000, {0, 0}, false},
                    SubtractCase{{4, 5}, 0, {4, 5}, false},
                    SubtractCase{{0, 0}, 1, {-1, 999999999}, true},
                    // The largest count does not overflow the arithmetic.
                    SubtractCase{{1, 0}, UINT64_MAX, {1 - 18446744073LL - 1, 1000000000 - 709551615}, true}));

TEST(WaitClock, PrefersTheCoarseMonotonicClock) {
    clockid_t id = -1;
    EXPECT_TRUE(ovrel_unix_util_initialize_wait_clock(&id));
    EXPECT_EQ(id, CLOCK_MONOTONIC_COARSE);
}

TEST(WaitClock, FallsBackInOrderAndFailsWithRealtimeLeftOver) {
    clockid_t id = -1;
    ovrel_fault_reset();
    ovrel_fault_inject("clock_gettime", EINVAL, 2, 0);
    EXPECT_TRUE(ovrel_unix_util_initialize_wait_clock(&id));
    EXPECT_EQ(id, CLOCK_REALTIME_COARSE);

    ovrel_fault_inject("clock_gettime", EINVAL, 4, 0);
    EXPECT_FALSE(ovrel_unix_util_initialize_wait_clock(&id));
    EXPECT_EQ(id, CLOCK_REALTIME);
    ovrel_fault_reset();
}

TEST(WaitClock, ReadingReturnsTheSystemResult) {
    struct timespec ts;
    EXPECT_EQ(ovrel_unix_util_clock_gettime(CLOCK_MONOTONIC, &ts), 0);
    ovrel_fault_reset();
    ovrel_fault_inject("clock_gettime", EINVAL, 1, 0);
    errno = 0;
    EXPECT_EQ(ovrel_unix_util_clock_gettime(CLOCK_MONOTONIC, &ts), -1);
    EXPECT_EQ(errno, EINVAL);
    ovrel_fault_reset();
}

}  // namespace
