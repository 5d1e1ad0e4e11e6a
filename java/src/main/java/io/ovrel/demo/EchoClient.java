package io.ovrel.demo;

import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * Echo client loop: opens its connections with non-blocking connects, then keeps one
 * message in flight on each until the run time is over, checks every byte that comes
 * back against {@link EchoPattern} and records each message's round trip.
 *
 * <p>A connect in progress waits for EVFILT_WRITE and is completed by finishConnect.
 * After that EVFILT_READ stays enabled (level-triggered): the server echoes while we are
 * still sending, and a large message only gets through if we keep draining the echo.
 * EVFILT_WRITE (EV_CLEAR) is enabled only while a message did not fit the socket at
 * once. Bytes to send are regenerated from the pattern into one scratch buffer, so a
 * connection costs a few longs of state however large its messages are.
 */
final class EchoClient implements Runnable {
    static final int WAKEUP_ID = 2;
    private static final int CHUNK = 64 * 1024;
    private static final int EVENTS = 256;
    /** How long connections may take to finish their last message after the run time. */
    private static final long DRAIN_NANOS = 5_000_000_000L;

    private static final byte CONNECTING = 1;
    private static final byte ACTIVE = 2;
    private static final byte CLOSED = 3;

    private final int connections;
    private final int messageSize;
    private final long durationNanos;
    private final int port;
    private final KQueue kq;
    private final ByteBuffer sendScratch = ByteBuffer.allocateDirect(CHUNK);
    private final ByteBuffer receiveScratch = ByteBuffer.allocateDirect(CHUNK);
    private final long sendAddress = Buffer.memoryAddress0(sendScratch);
    private final long receiveAddress = Buffer.memoryAddress0(receiveScratch);

    private final int[] fds;
    private final byte[] state;
    private final boolean[] writeArmed;
    private final long[] sent;
    private final long[] received;
    private final long[] messageEnd;
    private final long[] messageStart;
    private final FdMap fdConnection = new FdMap(1024);

    final LatencyHistogram latency = new LatencyHistogram();
    int open;
    int connected;
    long connectFailures;
    long lostConnections;
    long stalledConnections;
    long messages;
    long bytesSent;
    long bytesReceived;
    long mismatchedBytes;
    long partialWrites;
    long changeErrors;
    long startNanos;
    long endNanos;
    long loopHeapBytes = -1;
    String lastError;
    Throwable failure;

    EchoClient(int connections, int messageSize, long durationNanos, int port) {
        this.connections = connections;
        this.messageSize = messageSize;
        this.durationNanos = durationNanos;
        this.port = port;
        this.kq = KQueue.open(256, EVENTS, WAKEUP_ID);
        this.fds = new int[connections];
        this.state = new byte[connections];
        this.writeArmed = new boolean[connections];
        this.sent = new long[connections];
        this.received = new long[connections];
        this.messageEnd = new long[connections];
        this.messageStart = new long[connections];
        Arrays.fill(fds, -1);
    }

    @Override
    public void run() {
        try {
            connectAll();
            long before = ThreadAllocation.current();
            loop();
            long after = ThreadAllocation.current();
            loopHeapBytes = before < 0 ? -1 : after - before;
        } catch (Throwable t) {
            failure = t;
        } finally {
            for (int c = 0; c < connections; c++) {
                if (state[c] != CLOSED && fds[c] >= 0) {
                    stalledConnections++;
                    close(c);
                }
            }
            kq.close();
            if (endNanos == 0) {
                endNanos = System.nanoTime();
            }
        }
    }

    private void connectAll() {
        byte[] address = Loopback.address();
        startNanos = System.nanoTime();
        for (int c = 0; c < connections; c++) {
            int fd = Socket.newSocketStreamFd(false);
            if (fd < 0) {
                throw new IllegalStateException("socket for connection " + c + ": " + Errno.describe(fd));
            }
            fds[c] = fd;
            fdConnection.put(fd, c);
            open++;
            Socket.setTcpNoDelay(fd, 1);
            int r = Socket.connect(fd, false, address, 0, port);
            if (r == 0) {
                kq.change(fd, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR, KEvents.EV_DISABLE));
                onConnected(c);
            } else if (r == -Errno.EINPROGRESS) {
                state[c] = CONNECTING;
                kq.change(fd, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR));
            } else {
                connectFailures++;
                lastError = "connect: " + Errno.describe(r);
                close(c);
            }
        }
    }

    private void loop() {
        long deadline = startNanos + durationNanos;
        long hardDeadline = deadline + DRAIN_NANOS;
        while (open > 0) {
            long now = System.nanoTime();
            if (now - hardDeadline >= 0) {
                return; // what is still open is counted as stalled by run()
            }
            long timeout = Math.min(100_000_000L, Math.max(0, (now < deadline ? deadline : hardDeadline) - now));
            int n = kq.await(timeout);
            for (int i = 0; i < n; i++) {
                dispatch(i);
            }
        }
    }

    private void dispatch(int i) {
        if ((kq.flags(i) & KEvents.EV_ERROR) != 0) {
            changeErrors++;
            lastError = "change on " + kq.ident(i) + " filter " + kq.filter(i) + ": " + Errno.describe(-kq.data(i));
            return;
        }
        short filter = kq.filter(i);
        if (filter == KEvents.EVFILT_USER) {
            return;
        }
        int c = fdConnection.get(kq.ident(i));
        if (c < 0 || state[c] == CLOSED) {
            return;
        }
        if (filter == KEvents.EVFILT_WRITE) {
            if (state[c] == CONNECTING) {
                finishConnect(c);
            } else if (writeArmed[c]) {
                trySend(c);
            }
        } else if (filter == KEvents.EVFILT_READ) {
            onReadable(c);
        }
    }

    private void finishConnect(int c) {
        int r = Socket.finishConnect(fds[c]);
        if (r != 0) {
            connectFailures++;
            lastError = "connect: " + Errno.describe(r);
            close(c);
            return;
        }
        kq.change(fds[c], KEvents.EVFILT_WRITE, KEvents.EV_DISABLE);
        onConnected(c);
    }

    private void onConnected(int c) {
        state[c] = ACTIVE;
        connected++;
        kq.change(fds[c], KEvents.EVFILT_READ, KEvents.EV_ADD);
        if (System.nanoTime() - (startNanos + durationNanos) >= 0) {
            close(c);
            return;
        }
        startMessage(c);
    }

    private void startMessage(int c) {
        messageStart[c] = System.nanoTime();
        messageEnd[c] = sent[c] + messageSize;
        trySend(c);
    }

    /** Sends what is left of the current message; arms EVFILT_WRITE when the socket is full. */
    private void trySend(int c) {
        int fd = fds[c];
        while (sent[c] < messageEnd[c]) {
            int length = (int) Math.min(CHUNK, messageEnd[c] - sent[c]);
            EchoPattern.fill(sendScratch, 0, c, sent[c], length);
            int w = FileDescriptor.writeAddress(fd, sendAddress, 0, length);
            if (w < 0 && !Errno.wouldBlock(w)) {
                lose(c, "write", w);
                return;
            }
            if (w > 0) {
                sent[c] += w;
                bytesSent += w;
            }
            if (w < length) {
                partialWrites++;
                if (!writeArmed[c]) {
                    writeArmed[c] = true;
                    kq.change(fd, KEvents.EVFILT_WRITE, KEvents.EV_ENABLE);
                }
                return;
            }
        }
        if (writeArmed[c]) {
            writeArmed[c] = false;
            kq.change(fd, KEvents.EVFILT_WRITE, KEvents.EV_DISABLE);
        }
    }

    private void onReadable(int c) {
        int n = FileDescriptor.readAddress(fds[c], receiveAddress, 0, CHUNK);
        if (n < 0) {
            if (!Errno.wouldBlock(n)) {
                lose(c, "read", n);
            }
            return;
        }
        if (n == 0) {
            lose(c, "read", 0);
            return;
        }
        long expected = Math.max(0, messageEnd[c] - received[c]);
        int checked = (int) Math.min(n, expected);
        mismatchedBytes += EchoPattern.mismatches(receiveScratch, 0, c, received[c], checked);
        mismatchedBytes += n - checked; // nothing beyond the message in flight may come back
        received[c] += n;
        bytesReceived += n;
        if (received[c] >= messageEnd[c] && sent[c] == messageEnd[c]) {
            long now = System.nanoTime();
            latency.record(now - messageStart[c]);
            messages++;
            endNanos = now;
            if (now - (startNanos + durationNanos) >= 0) {
                close(c);
            } else {
                startMessage(c);
            }
        }
    }

    private void lose(int c, String what, int result) {
        lostConnections++;
        lastError = what + " on connection " + c + ": " + (result == 0 ? "end of stream" : Errno.describe(result));
        close(c);
    }

    private void close(int c) {
        int fd = fds[c];
        kq.forget(fd);
        fdConnection.remove(fd);
        FileDescriptor.close(fd);
        fds[c] = -1;
        state[c] = CLOSED;
        open--;
    }

}
