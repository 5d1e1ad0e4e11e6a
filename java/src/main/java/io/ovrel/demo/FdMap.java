package io.ovrel.demo;

import java.util.Arrays;

/**
 * Maps descriptor numbers to the index of the connection that owns them, in a
 * flat array: looking one up on every event allocates nothing, and the array
 * only grows when a descriptor number above any seen so far arrives.
 */
public final class FdMap {
    private int[] indexOf;

    public FdMap(int initialCapacity) {
        indexOf = new int[initialCapacity];
        Arrays.fill(indexOf, -1);
    }

    /** The index bound to fd, or -1. */
    public int get(int fd) {
        return fd >= 0 && fd < indexOf.length ? indexOf[fd] : -1;
    }

    public void put(int fd, int index) {
        if (fd >= indexOf.length) {
            int old = indexOf.length;
            indexOf = Arrays.copyOf(indexOf, Math.max(fd + 1, old * 2));
            Arrays.fill(indexOf, old, indexOf.length, -1);
        }
        indexOf[fd] = index;
    }

    public void remove(int fd) {
        if (fd >= 0 && fd < indexOf.length) {
            indexOf[fd] = -1;
        }
    }
}
