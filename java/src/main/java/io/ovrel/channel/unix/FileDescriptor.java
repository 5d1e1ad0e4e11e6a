package io.ovrel.channel.unix;

import java.nio.ByteBuffer;

/** Descriptor I/O. Failures come back as negative errno values. */
public final class FileDescriptor {
    private FileDescriptor() {
    }

    public static native int close(int fd);

    public static native int open(String path);

    public static native int write(int fd, ByteBuffer buf, int pos, int limit);

    public static native int writeAddress(int fd, long address, int pos, int limit);

    public static native long writevAddresses(int fd, long memoryAddress, int length);

    public static native long writev(int fd, ByteBuffer[] buffers, int offset, int length, long maxBytesToWrite);

    public static native int read(int fd, ByteBuffer buf, int pos, int limit);

    public static native int readAddress(int fd, long address, int pos, int limit);

    /** Read end in the upper 32 bits, write end in the lower 32 bits. */
    public static native long newPipe();
}
