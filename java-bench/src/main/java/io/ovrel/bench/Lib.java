package io.ovrel.bench;

import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.demo.NativeLibrary;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/** Loads the library once per benchmark JVM and offers the few helpers every benchmark needs. */
public final class Lib {
    static {
        NativeLibrary.loadConfigured();
    }

    private Lib() {
    }

    /** Touching this loads the library (from -Dovrel.native.library). */
    public static void load() {
    }

    /** A non-blocking pipe from the library: [read end, write end]. */
    public static int[] pipe() {
        long p = FileDescriptor.newPipe();
        if (p < 0) {
            throw new IllegalStateException("newPipe: " + p);
        }
        return new int[] {(int) (p >>> 32), (int) p};
    }

    public static ByteBuffer direct(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    public static long address(ByteBuffer direct) {
        return Buffer.memoryAddress0(direct);
    }

    /** The result itself; anything but the expected count means the benchmark measures a failure. */
    public static long expect(long result, long wanted) {
        if (result != wanted) {
            throw new IllegalStateException("expected " + wanted + ", got " + result);
        }
        return result;
    }

    public static int expect(int result, int wanted) {
        if (result != wanted) {
            throw new IllegalStateException("expected " + wanted + ", got " + result);
        }
        return result;
    }

    public static int check(long result, String what) {
        if (result < 0) {
            throw new IllegalStateException(what + " failed: " + result);
        }
        return (int) result;
    }
}
