package io.ovrel.channel.unix;

import java.nio.ByteBuffer;

/** Native storage addresses of direct buffers. */
public final class Buffer {
    private Buffer() {
    }

    /** Start of the buffer's storage (ignoring its position), or 0 for a heap buffer. */
    public static native long memoryAddress0(ByteBuffer buffer);

    public static native int addressSize0();
}
