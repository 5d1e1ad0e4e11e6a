package io.ovrel.demo;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

/**
 * Heap bytes allocated by the calling thread, where the JVM counts them (-1 elsewhere).
 * The loops report what they allocated while running, which shows whether their steady
 * state really is free of garbage.
 */
final class ThreadAllocation {
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
    private static final boolean COUNTED = THREADS instanceof com.sun.management.ThreadMXBean
            && ((com.sun.management.ThreadMXBean) THREADS).isThreadAllocatedMemorySupported();

    private ThreadAllocation() {
    }

    static long current() {
        if (!COUNTED) {
            return -1;
        }
        return ((com.sun.management.ThreadMXBean) THREADS).getThreadAllocatedBytes(Thread.currentThread().getId());
    }
}
