package io.ovrel.channel.kqueue;

/** Fills one event record in native memory. */
public final class KQueueEventArray {
    private KQueueEventArray() {
    }

    public static native void evSet(long keventAddress, int ident, short filter, short flags, int fflags);
}
