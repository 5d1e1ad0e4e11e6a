package io.ovrel.demo;

import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * Echo server loop: accepts on a non-blocking listener and writes back whatever each
 * connection sends, on one thread and one kqueue.
 *
 * <p>Reads use a level-triggered EVFILT_READ. Writes go out straight after the read;
 * when the socket takes only part of them, the rest stays in the connection's slot of one
 * shared native buffer, reading pauses (EV_DISABLE on EVFILT_READ, so a slow peer cannot
 * make us buffer without bound) and the edge-triggered EVFILT_WRITE is enabled until the
 * slot has drained. Connection state lives in primitive arrays indexed by slot, so the
 * steady state allocates nothing.
 */
final class EchoServer implements Runnable {
    static final int WAKEUP_ID = 1;
    /** Bytes a connection may have read but not yet written back. */
    static final int CHUNK = 16 * 1024;
    private static final int EVENTS = 256;
    private static final int ACCEPT_RESULT_BYTES = 32; // length byte + up to 24 address bytes

    private final int listenFd;
    private final int maxConnections;
    private final KQueue kq;
    private final ByteBuffer slots;
    private final long slotsAddress;
    private final byte[] acceptResult = new byte[ACCEPT_RESULT_BYTES];

    private final int[] slotFd;
    private final int[] pendingFrom;
    private final int[] pendingTo;
    private final int[] freeSlots;
    private int freeCount;
    private final FdMap fdSlot = new FdMap(1024);

    private volatile long stopDeadline; // 0 until the main thread asks for the end

    int open;
    long accepted;
    long rejected;
    long closedOnEof;
    long closedOnError;
    long closedAtStop;
    long bytesEchoed;
    long partialWrites;
    long readEvents;
    long writeEvents;
    long wakeups;
    long changeErrors;
    String lastError;
    Throwable failure;
    long loopHeapBytes = -1;

    EchoServer(int listenFd, int maxConnections) {
        this.listenFd = listenFd;
        this.maxConnections = maxConnections;
        this.kq = KQueue.open(256, EVENTS, WAKEUP_ID);
        this.slots = ByteBuffer.allocateDirect(maxConnections * CHUNK);
        this.slotsAddress = Buffer.memoryAddress0(slots);
        this.slotFd = new int[maxConnections];
        this.pendingFrom = new int[maxConnections];
        this.pendingTo = new int[maxConnections];
        this.freeSlots = new int[maxConnections];
        for (int s = 0; s < maxConnections; s++) {
            freeSlots[s] = maxConnections - 1 - s;
        }
        freeCount = maxConnections;
        Arrays.fill(slotFd, -1);
        kq.change(listenFd, KEvents.EVFILT_READ, KEvents.EV_ADD);
    }

    /**
     * Ends the loop once every connection is closed by its peer, or at the latest after
     * {@code graceNanos}; whatever is still open then is closed by us and counted.
     */
    void requestStop(long graceNanos) {
        stopDeadline = System.nanoTime() + Math.max(1, graceNanos);
        kq.wakeup();
    }

    @Override
    public void run() {
        try {
            long before = ThreadAllocation.current();
            loop();
            long after = ThreadAllocation.current();
            loopHeapBytes = before < 0 ? -1 : after - before;
        } catch (Throwable t) {
            failure = t;
        } finally {
            closeAll();
        }
    }

    private void loop() {
        while (true) {
            long stopAt = stopDeadline;
            long timeout = KQueue.MAX_WAIT_NANOS;
            if (stopAt != 0) {
                long left = stopAt - System.nanoTime();
                if (open == 0 || left <= 0) {
                    return;
                }
                timeout = Math.min(left, 50_000_000L);
            }
            int n = kq.await(timeout);
            for (int i = 0; i < n; i++) {
                dispatch(i);
            }
        }
    }

    private void dispatch(int i) {
        int flags = kq.flags(i);
        if ((flags & KEvents.EV_ERROR) != 0) {
            // A change the kernel refused; data holds the errno.
            changeErrors++;
            lastError = "change on " + kq.ident(i) + " filter " + kq.filter(i) + ": " + Errno.describe(-kq.data(i));
            return;
        }
        short filter = kq.filter(i);
        if (filter == KEvents.EVFILT_USER) {
            wakeups++;
            return;
        }
        int fd = kq.ident(i);
        if (fd == listenFd) {
            acceptAll();
            return;
        }
        int slot = fdSlot.get(fd);
        if (slot < 0) {
            return; // reported before we closed it, in this same batch
        }
        if (filter == KEvents.EVFILT_READ) {
            readEvents++;
            onReadable(slot);
        } else if (filter == KEvents.EVFILT_WRITE) {
            writeEvents++;
            onWritable(slot);
        }
    }

    private void acceptAll() {
        while (true) {
            int fd = Socket.accept(listenFd, acceptResult);
            if (fd < 0) {
                if (Errno.wouldBlock(fd)) {
                    return;
                }
                throw new IllegalStateException("accept: " + Errno.describe(fd));
            }
            if (freeCount == 0) {
                rejected++;
                FileDescriptor.close(fd);
                continue;
            }
            int slot = freeSlots[--freeCount];
            slotFd[slot] = fd;
            pendingFrom[slot] = 0;
            pendingTo[slot] = 0;
            fdSlot.put(fd, slot);
            open++;
            accepted++;
            Socket.setTcpNoDelay(fd, 1);
            kq.change(fd, KEvents.EVFILT_READ, KEvents.EV_ADD);
            kq.change(fd, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR, KEvents.EV_DISABLE));
        }
    }

    private void onReadable(int slot) {
        if (pendingTo[slot] != 0) {
            return; // reading is paused; this event was already queued when we paused it
        }
        int fd = slotFd[slot];
        int base = slot * CHUNK;
        int n = FileDescriptor.readAddress(fd, slotsAddress, base, base + CHUNK);
        if (n > 0) {
            send(slot, 0, n, false);
        } else if (n == 0) {
            closedOnEof++;
            close(slot);
        } else if (!Errno.wouldBlock(n)) {
            fail(slot, "read", n);
        }
    }

    private void onWritable(int slot) {
        if (pendingTo[slot] == 0) {
            return; // nothing left to send: a late or duplicate edge
        }
        send(slot, pendingFrom[slot], pendingTo[slot], true);
    }

    /** Writes slot bytes [from, to); keeps what the socket did not take for EVFILT_WRITE. */
    private void send(int slot, int from, int to, boolean paused) {
        int fd = slotFd[slot];
        int base = slot * CHUNK;
        int w = FileDescriptor.writeAddress(fd, slotsAddress, base + from, base + to);
        if (w < 0 && !Errno.wouldBlock(w)) {
            fail(slot, "write", w);
            return;
        }
        int written = Math.max(w, 0);
        bytesEchoed += written;
        if (from + written == to) {
            pendingFrom[slot] = 0;
            pendingTo[slot] = 0;
            if (paused) {
                kq.change(fd, KEvents.EVFILT_WRITE, KEvents.EV_DISABLE);
                kq.change(fd, KEvents.EVFILT_READ, KEvents.EV_ENABLE);
            }
            return;
        }
        pendingFrom[slot] = from + written;
        pendingTo[slot] = to;
        if (!paused) {
            partialWrites++;
            kq.change(fd, KEvents.EVFILT_READ, KEvents.EV_DISABLE);
            kq.change(fd, KEvents.EVFILT_WRITE, KEvents.EV_ENABLE);
        }
    }

    private void fail(int slot, String what, long result) {
        closedOnError++;
        lastError = what + " on " + slotFd[slot] + ": " + Errno.describe(result);
        close(slot);
    }

    private void close(int slot) {
        int fd = slotFd[slot];
        kq.forget(fd);
        fdSlot.remove(fd);
        FileDescriptor.close(fd);
        slotFd[slot] = -1;
        pendingFrom[slot] = 0;
        pendingTo[slot] = 0;
        freeSlots[freeCount++] = slot;
        open--;
    }

    private void closeAll() {
        for (int slot = 0; slot < maxConnections; slot++) {
            if (slotFd[slot] >= 0) {
                closedAtStop++;
                close(slot);
            }
        }
        kq.close();
    }
}
