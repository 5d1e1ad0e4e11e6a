package io.ovrel.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/**
 * A kqueue with change and event arrays in native memory, driven through the natives
 * directly (evSet, keventWait) the way the transport's event loop does, and readiness
 * sources made with the library's own descriptor and socket natives. Every wait is
 * bounded.
 */
final class KQueueFixture implements AutoCloseable {
    static final int CAPACITY = 16;
    /** Upper bound of any wait that expects an event; reached only when a test fails. */
    static final int EVENT_WAIT_SECONDS = 5;

    static final byte[] LOOPBACK = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};

    final int kq;
    private final ByteBuffer changes;
    private final ByteBuffer events;
    private final long changesAddress;
    private final long eventsAddress;
    private final int size = Native.sizeofKEvent();
    private int changeCount;
    private boolean closed;

    KQueueFixture() {
        kq = Native.kqueueCreate();
        assertTrue(kq >= 0, "kqueueCreate returned " + kq);
        changes = ByteBuffer.allocateDirect(CAPACITY * size).order(ByteOrder.nativeOrder());
        events = ByteBuffer.allocateDirect(CAPACITY * size).order(ByteOrder.nativeOrder());
        changesAddress = Buffer.memoryAddress0(changes);
        eventsAddress = Buffer.memoryAddress0(events);
    }

    static short flags(int... parts) {
        int all = 0;
        for (int p : parts) {
            all |= p & 0xffff;
        }
        return (short) all;
    }

    void change(int ident, short filter, short flags) {
        KQueueEventArray.evSet(changesAddress + (long) changeCount * size, ident, filter, flags, 0);
        changeCount++;
    }

    /** Applies the queued changes and waits; returns keventWait's result as it is. */
    int wait(int seconds, int nanos) {
        int n = Native.keventWait(kq, changesAddress, changeCount, eventsAddress, CAPACITY, seconds, nanos);
        changeCount = 0;
        return n;
    }

    /** Applies the queued changes and polls once. */
    int poll() {
        return wait(0, 0);
    }

    /** Waits until at least one event arrives; fails after {@link #EVENT_WAIT_SECONDS}. */
    int awaitEvents() {
        int n = wait(EVENT_WAIT_SECONDS, 0);
        assertTrue(n > 0, "expected an event within " + EVENT_WAIT_SECONDS + " s, keventWait returned " + n);
        return n;
    }

    /** Index of the event for (ident, filter) among the first n, or -1. */
    int find(int n, int ident, short filter) {
        for (int i = 0; i < n; i++) {
            if (ident(i) == ident && filter(i) == filter) {
                return i;
            }
        }
        return -1;
    }

    long ident(int i) {
        return events.getLong(i * size + Native.offsetofKEventIdent());
    }

    short filter(int i) {
        return events.getShort(i * size + Native.offsetofKEventFilter());
    }

    int flags(int i) {
        return events.getShort(i * size + Native.offsetofKEventFlags()) & 0xffff;
    }

    int fflags(int i) {
        return events.getInt(i * size + Native.offsetofKEventFFlags());
    }

    long data(int i) {
        return events.getLong(i * size + Native.offsetofKeventData());
    }

    String describe(int n) {
        StringBuilder b = new StringBuilder(n + " event(s)");
        for (int i = 0; i < n; i++) {
            b.append(String.format(" [ident=%d filter=%d flags=0x%x fflags=0x%x data=%d]", ident(i), filter(i),
                    flags(i), fflags(i), data(i)));
        }
        return b.toString();
    }

    @Override
    public void close() {
        if (!closed) {
            closed = true;
            FileDescriptor.close(kq);
        }
    }

    static int check(long result, String what) {
        if (result < 0) {
            fail(what + " failed: " + ErrorsStaticallyReferencedJniMethods.strError((int) -result));
        }
        return (int) result;
    }

    /** Writes {@code count} bytes of value 'x' from a direct buffer; asserts all were taken. */
    static void writeBytes(int fd, int count) {
        ByteBuffer b = ByteBuffer.allocateDirect(count);
        int w = check(FileDescriptor.write(fd, b, 0, count), "write");
        assertTrue(w == count, "wrote " + w + " of " + count);
    }

    /** Two connected descriptors: bytes written to {@link #writer} become readable on {@link #reader}. */
    static final class Pair implements AutoCloseable {
        final int reader;
        int writer;

        Pair(int reader, int writer) {
            this.reader = reader;
            this.writer = writer;
        }

        /** Closes the writing side, as a peer going away. */
        void closeWriter() {
            check(FileDescriptor.close(writer), "close");
            writer = -1;
        }

        @Override
        public void close() {
            for (int fd : new int[] {reader, writer}) {
                if (fd >= 0) {
                    FileDescriptor.close(fd);
                }
            }
        }
    }

    /** The kinds of descriptor an event loop watches. */
    enum Source {
        PIPE {
            @Override
            Pair open() {
                long pipe = FileDescriptor.newPipe();
                check(pipe, "newPipe");
                return new Pair((int) (pipe >>> 32), (int) pipe);
            }
        },
        /** Two ends of a TCP connection over 127.0.0.1, both non-blocking. */
        TCP_LOOPBACK {
            @Override
            Pair open() {
                int listener = check(Socket.newSocketStreamFd(false), "socket");
                int client = -1;
                try {
                    check(Socket.bind(listener, false, LOOPBACK, 0, 0), "bind");
                    check(Socket.listen(listener, 4), "listen");
                    byte[] local = Socket.localAddress(listener);
                    int port = ByteBuffer.wrap(local, local.length - 4, 4).getInt();
                    client = check(Socket.newSocketStreamFd(false), "socket");
                    int r = Socket.connect(client, false, LOOPBACK, 0, port);
                    if (r != 0 && r != -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS()) {
                        check(r, "connect");
                    }
                    // Polling accept keeps this independent of the kqueue under test.
                    byte[] peer = new byte[32];
                    long deadline = System.nanoTime() + EVENT_WAIT_SECONDS * 1_000_000_000L;
                    int accepted;
                    while ((accepted = Socket.accept(listener, peer)) == -ErrorsStaticallyReferencedJniMethods
                            .errnoEAGAIN()) {
                        assertTrue(System.nanoTime() < deadline, "no connection to accept");
                        Thread.onSpinWait();
                    }
                    check(accepted, "accept");
                    FileDescriptor.close(listener);
                    return new Pair(accepted, client);
                } catch (RuntimeException | AssertionError e) {
                    FileDescriptor.close(listener);
                    if (client >= 0) {
                        FileDescriptor.close(client);
                    }
                    throw e;
                }
            }
        };

        abstract Pair open();
    }
}
