package io.ovrel.demo;

import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.util.function.Consumer;

/**
 * {@link EchoServer}'s design on JDK NIO, for comparison in the same JVM: one thread, one
 * Selector, level-triggered read interest, writes straight after the read; a partial
 * write parks the rest in the connection's slot of one shared direct buffer, swaps read
 * interest for write interest until the slot has drained. Selected keys are handed to a
 * preallocated consumer (Selector.select(Consumer, long)), so the steady state allocates
 * nothing in our code.
 */
final class NioEchoServer implements Runnable {
    static final int CHUNK = EchoServer.CHUNK;

    private static final class Conn {
        final int slot;
        final ByteBuffer buf;
        SocketChannel channel;
        SelectionKey key;
        int pendingFrom;
        int pendingTo;

        Conn(int slot, ByteBuffer buf) {
            this.slot = slot;
            this.buf = buf;
        }
    }

    private final ServerSocketChannel listener;
    private final Selector selector;
    private final Conn[] conns;
    private final Conn[] free;
    private int freeCount;
    private final Consumer<SelectionKey> handler = this::dispatch;
    private volatile long stopDeadline;

    int open;
    long accepted;
    long closedOnEof;
    long closedOnError;
    long closedAtStop;
    long bytesEchoed;
    String lastError;
    Throwable failure;
    long loopHeapBytes = -1;

    NioEchoServer(int maxConnections, int backlog) throws IOException {
        listener = ServerSocketChannel.open();
        listener.setOption(StandardSocketOptions.SO_REUSEADDR, true);
        listener.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), backlog);
        listener.configureBlocking(false);
        selector = Selector.open();
        listener.register(selector, SelectionKey.OP_ACCEPT);
        ByteBuffer slots = ByteBuffer.allocateDirect(maxConnections * CHUNK);
        conns = new Conn[maxConnections];
        free = new Conn[maxConnections];
        for (int s = 0; s < maxConnections; s++) {
            conns[s] = new Conn(s, slots.slice(s * CHUNK, CHUNK));
            free[maxConnections - 1 - s] = conns[s];
        }
        freeCount = maxConnections;
    }

    int port() throws IOException {
        return ((InetSocketAddress) listener.getLocalAddress()).getPort();
    }

    void requestStop(long graceNanos) {
        stopDeadline = System.nanoTime() + Math.max(1, graceNanos);
        selector.wakeup();
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

    private void loop() throws IOException {
        while (true) {
            long stopAt = stopDeadline;
            long timeoutMillis = KQueue.MAX_WAIT_NANOS / 1_000_000;
            if (stopAt != 0) {
                long left = stopAt - System.nanoTime();
                if (open == 0 || left <= 0) {
                    return;
                }
                timeoutMillis = Math.max(1, Math.min(left, 50_000_000L) / 1_000_000);
            }
            selector.select(handler, timeoutMillis);
        }
    }

    private void dispatch(SelectionKey key) {
        try {
            Object a = key.attachment();
            if (a == null) {
                acceptAll();
                return;
            }
            Conn c = (Conn) a;
            int ready = key.readyOps();
            if ((ready & SelectionKey.OP_READ) != 0) {
                onReadable(c);
            }
            if (c.channel != null && (ready & SelectionKey.OP_WRITE) != 0) {
                onWritable(c);
            }
        } catch (IOException e) {
            Conn c = (Conn) key.attachment();
            if (c == null) {
                throw new IllegalStateException("accept", e);
            }
            closedOnError++;
            lastError = e.toString();
            close(c);
        }
    }

    private void acceptAll() throws IOException {
        while (true) {
            SocketChannel ch = listener.accept();
            if (ch == null) {
                return;
            }
            if (freeCount == 0) {
                ch.close();
                continue;
            }
            Conn c = free[--freeCount];
            ch.configureBlocking(false);
            ch.setOption(StandardSocketOptions.TCP_NODELAY, true);
            c.channel = ch;
            c.pendingFrom = 0;
            c.pendingTo = 0;
            c.key = ch.register(selector, SelectionKey.OP_READ, c);
            open++;
            accepted++;
        }
    }

    private void onReadable(Conn c) throws IOException {
        if (c.pendingTo != 0) {
            return;
        }
        ByteBuffer b = c.buf;
        b.clear();
        int n = c.channel.read(b);
        if (n > 0) {
            send(c, 0, n, false);
        } else if (n < 0) {
            closedOnEof++;
            close(c);
        }
    }

    private void onWritable(Conn c) throws IOException {
        if (c.pendingTo == 0) {
            return;
        }
        send(c, c.pendingFrom, c.pendingTo, true);
    }

    private void send(Conn c, int from, int to, boolean paused) throws IOException {
        ByteBuffer b = c.buf;
        b.limit(to).position(from);
        int written = c.channel.write(b);
        bytesEchoed += written;
        if (from + written == to) {
            c.pendingFrom = 0;
            c.pendingTo = 0;
            if (paused) {
                c.key.interestOps(SelectionKey.OP_READ);
            }
            return;
        }
        c.pendingFrom = from + written;
        c.pendingTo = to;
        if (!paused) {
            c.key.interestOps(SelectionKey.OP_WRITE);
        }
    }

    private void close(Conn c) {
        if (c.channel == null) {
            return;
        }
        try {
            c.channel.close();
        } catch (IOException ignored) {
            // closing; nothing left to do with it
        }
        c.channel = null;
        c.key = null;
        free[freeCount++] = c;
        open--;
    }

    private void closeAll() {
        for (Conn c : conns) {
            if (c.channel != null) {
                closedAtStop++;
                close(c);
            }
        }
        try {
            selector.close();
            listener.close();
        } catch (IOException ignored) {
            // the loop is over either way
        }
    }
}
