package io.ovrel.bench;

/** Sizes shared with bench/natives_bench.cpp, so that C and Java do the same work. */
final class Common {
    /** One refill (or drain) of a pipe per this many 1-byte operations. */
    static final int BATCH = 4096;
    static final int IOV_COUNT = 8;
    static final int IOV_BYTES = 8;
    /** writev: drained every this many calls (32 KiB, half a pipe). */
    static final int WRITEV_BATCH = 512;
    static final int DATAGRAM = 64;
    static final int EVENTS = 64;

    private Common() {
    }
}
