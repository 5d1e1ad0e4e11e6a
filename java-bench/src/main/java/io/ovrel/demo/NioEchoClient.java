package io.ovrel.demo;

import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.SocketChannel;
import java.util.function.Consumer;

/**
 * {@link EchoClient}'s design on JDK NIO: non-blocking connects, one message in flight per
 * connection, every byte checked against {@link EchoPattern}, each round trip recorded.
 * Read interest stays on; write interest only while a message did not fit at once.
 */
final class NioEchoClient implements Runnable {
    private static final int CHUNK = 64 * 1024;
    private static final long DRAIN_NANOS = 5_000_000_000L;

    private final int connections;
    private final int messageSize;
    private final long durationNanos;
    private final int port;
    private final Selector selector;
    private final ByteBuffer sendScratch = ByteBuffer.allocateDirect(CHUNK);
    private final ByteBuffer receiveScratch = ByteBuffer.allocateDirect(CHUNK);
    private final Consumer<SelectionKey> handler = this::dispatch;

    private final SocketChannel[] channels;
    private final SelectionKey[] keys;
    private final boolean[] active;
    private final boolean[] writeArmed;
    private final long[] sent;
    private final long[] received;
    private final long[] messageEnd;
    private final long[] messageStart;

    final LatencyHistogram latency = new LatencyHistogram();
    int open;
    int connected;
    long lostConnections;
    long stalledConnections;
    long messages;
    long bytesSent;
    long bytesReceived;
    long mismatchedBytes;
    long startNanos;
    long endNanos;
    long loopHeapBytes = -1;
    String lastError;
    Throwable failure;

    NioEchoClient(int connections, int messageSize, long durationNanos, int port) throws IOException {
        this.connections = connections;
        this.messageSize = messageSize;
        this.durationNanos = durationNanos;
        this.port = port;
        this.selector = Selector.open();
        this.channels = new SocketChannel[connections];
        this.keys = new SelectionKey[connections];
        this.active = new boolean[connections];
        this.writeArmed = new boolean[connections];
        this.sent = new long[connections];
        this.received = new long[connections];
        this.messageEnd = new long[connections];
        this.messageStart = new long[connections];
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
                if (channels[c] != null) {
                    stalledConnections++;
                    close(c);
                }
            }
            try {
                selector.close();
            } catch (IOException ignored) {
                // done either way
            }
            if (endNanos == 0) {
                endNanos = System.nanoTime();
            }
        }
    }

    private void connectAll() throws IOException {
        InetSocketAddress server = new InetSocketAddress(InetAddress.getLoopbackAddress(), port);
        startNanos = System.nanoTime();
        for (int c = 0; c < connections; c++) {
            SocketChannel ch = SocketChannel.open();
            ch.configureBlocking(false);
            ch.setOption(StandardSocketOptions.TCP_NODELAY, true);
            channels[c] = ch;
            open++;
            if (ch.connect(server)) {
                keys[c] = ch.register(selector, 0, c);
                onConnected(c);
            } else {
                keys[c] = ch.register(selector, SelectionKey.OP_CONNECT, c);
            }
        }
    }

    private void loop() throws IOException {
        long deadline = startNanos + durationNanos;
        long hardDeadline = deadline + DRAIN_NANOS;
        while (open > 0) {
            long now = System.nanoTime();
            if (now - hardDeadline >= 0) {
                return;
            }
            long timeout = Math.min(100_000_000L, Math.max(0, (now < deadline ? deadline : hardDeadline) - now));
            selector.select(handler, Math.max(1, timeout / 1_000_000));
        }
    }

    private void dispatch(SelectionKey key) {
        int c = (Integer) key.attachment();
        if (channels[c] == null) {
            return;
        }
        try {
            int ready = key.readyOps();
            if ((ready & SelectionKey.OP_CONNECT) != 0) {
                if (channels[c].finishConnect()) {
                    onConnected(c);
                }
                return;
            }
            if ((ready & SelectionKey.OP_READ) != 0) {
                onReadable(c);
            }
            if (channels[c] != null && (ready & SelectionKey.OP_WRITE) != 0 && writeArmed[c]) {
                trySend(c);
            }
        } catch (IOException e) {
            lose(c, e.toString());
        }
    }

    private void onConnected(int c) throws IOException {
        active[c] = true;
        connected++;
        keys[c].interestOps(SelectionKey.OP_READ);
        if (System.nanoTime() - (startNanos + durationNanos) >= 0) {
            close(c);
            return;
        }
        startMessage(c);
    }

    private void startMessage(int c) throws IOException {
        messageStart[c] = System.nanoTime();
        messageEnd[c] = sent[c] + messageSize;
        trySend(c);
    }

    private void trySend(int c) throws IOException {
        SocketChannel ch = channels[c];
        while (sent[c] < messageEnd[c]) {
            int length = (int) Math.min(CHUNK, messageEnd[c] - sent[c]);
            EchoPattern.fill(sendScratch, 0, c, sent[c], length);
            sendScratch.limit(length).position(0);
            int w = ch.write(sendScratch);
            sent[c] += w;
            bytesSent += w;
            if (w < length) {
                if (!writeArmed[c]) {
                    writeArmed[c] = true;
                    keys[c].interestOps(SelectionKey.OP_READ | SelectionKey.OP_WRITE);
                }
                return;
            }
        }
        if (writeArmed[c]) {
            writeArmed[c] = false;
            keys[c].interestOps(SelectionKey.OP_READ);
        }
    }

    private void onReadable(int c) throws IOException {
        receiveScratch.clear();
        int n = channels[c].read(receiveScratch);
        if (n == 0) {
            return;
        }
        if (n < 0) {
            lose(c, "end of stream");
            return;
        }
        long expected = Math.max(0, messageEnd[c] - received[c]);
        int checked = (int) Math.min(n, expected);
        mismatchedBytes += EchoPattern.mismatches(receiveScratch, 0, c, received[c], checked);
        mismatchedBytes += n - checked;
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

    private void lose(int c, String why) {
        lostConnections++;
        lastError = "connection " + c + ": " + why;
        close(c);
    }

    private void close(int c) {
        SocketChannel ch = channels[c];
        if (ch == null) {
            return;
        }
        try {
            ch.close();
        } catch (IOException ignored) {
            // closing; nothing left to do with it
        }
        channels[c] = null;
        active[c] = false;
        open--;
    }
}
