package io.ovrel.bench;

import io.ovrel.channel.DefaultFileRegion;
import io.ovrel.channel.kqueue.BsdSocket;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import io.ovrel.demo.Errno;
import io.ovrel.demo.KEvents;
import io.ovrel.demo.KQueue;
import io.ovrel.demo.Loopback;
import java.io.FileWriter;
import java.io.IOException;
import java.io.PrintWriter;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.io.RandomAccessFile;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.infra.IterationParams;
import org.openjdk.jmh.runner.IterationType;

/**
 * A whole file (256 MiB by default, {@code ovrel.bench.fileMiB}) to a 127.0.0.1 socket
 * whose peer, a thread of this JVM, drains it; one invocation is one transfer, timed until
 * the peer has every byte. Variants:
 * <ul>
 * <li>{@code ours_sendFile}: BsdSocket.sendFile with a DefaultFileRegion over a FileChannel,
 * on a non-blocking socket of the library, waiting in the demo's KQueue when it is full;
 * <li>{@code ours_copyLoop}: FileChannel.read into a direct buffer, then
 * FileDescriptor.writeAddress on that same kind of socket and wait;
 * <li>{@code nio_copyLoop}: the same copy through a blocking SocketChannel;
 * <li>{@code nio_transferTo}: FileChannel.transferTo to a blocking SocketChannel.
 * </ul>
 */
@State(Scope.Benchmark)
@BenchmarkMode(Mode.SingleShotTime)
@OutputTimeUnit(TimeUnit.MILLISECONDS)
public class FileTransfer {
    private static final int COPY_BUFFER = 256 * 1024;

    @Param({"ours_sendFile", "ours_copyLoop", "nio_copyLoop", "nio_transferTo"})
    public String variant;

    private long size;
    private Path file;
    private FileChannel channel;
    private ServerSocketChannel listener;
    private ByteBuffer copyBuffer;
    private long copyAddress;

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
    private boolean measuring;
    private long senderCpuNanos;
    private long wallNanos;
    private int transfers;

    private Thread drainer;
    private volatile long drained;
    private volatile Throwable drainFailure;
    private int fd = -1;
    private SocketChannel socket;
    private KQueue kq;

    @Setup(Level.Trial)
    public void setup() throws IOException {
        Lib.load();
        size = Long.getLong("ovrel.bench.fileMiB", 256L) << 20;
        file = Files.createTempFile("ovrel-bench-", ".bin");
        try (RandomAccessFile f = new RandomAccessFile(file.toFile(), "rw")) {
            byte[] block = new byte[1 << 20];
            for (int i = 0; i < block.length; i++) {
                block[i] = (byte) (i * 31 + 7);
            }
            for (long at = 0; at < size; at += block.length) {
                f.write(block);
            }
        }
        channel = FileChannel.open(file, StandardOpenOption.READ);
        listener = ServerSocketChannel.open();
        listener.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 4);
        copyBuffer = Lib.direct(COPY_BUFFER);
        copyAddress = Lib.address(copyBuffer);
    }

    @TearDown(Level.Trial)
    public void close() throws IOException {
        channel.close();
        listener.close();
        Files.deleteIfExists(file);
    }

    @Setup(Level.Invocation)
    public void connect() throws Exception {
        drained = 0;
        drainFailure = null;
        drainer = new Thread(this::drain, "file-drain");
        drainer.setDaemon(true);
        drainer.start();
        int port = ((InetSocketAddress) listener.getLocalAddress()).getPort();
        if (variant.startsWith("ours")) {
            fd = Lib.check(Socket.newSocketStreamFd(false), "socket");
            kq = KQueue.open(4, 4, 1);
            kq.change(fd, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR));
            int r = Socket.connect(fd, false, Loopback.address(), 0, port);
            if (r == -Errno.EINPROGRESS) {
                kq.await(KQueue.MAX_WAIT_NANOS);
                r = Socket.finishConnect(fd);
            }
            Lib.check(r, "connect");
        } else {
            socket = SocketChannel.open(new InetSocketAddress(InetAddress.getLoopbackAddress(), port));
        }
    }

    @TearDown(Level.Invocation)
    public void disconnect() throws Exception {
        if (fd >= 0) {
            FileDescriptor.close(fd);
            fd = -1;
            kq.close();
        }
        if (socket != null) {
            socket.close();
            socket = null;
        }
        drainer.join(30_000);
    }

    private void drain() {
        ByteBuffer b = ByteBuffer.allocateDirect(1 << 20);
        try (SocketChannel peer = listener.accept()) {
            long got = 0;
            while (got < size) {
                b.clear();
                int n = peer.read(b);
                if (n < 0) {
                    break;
                }
                got += n;
            }
            drained = got;
        } catch (Throwable t) {
            drainFailure = t;
        }
    }

    private void awaitDrained() throws InterruptedException {
        drainer.join(60_000);
        if (drainFailure != null || drained != size) {
            throw new IllegalStateException("peer got " + drained + " of " + size + " bytes", drainFailure);
        }
    }

    @Setup(Level.Iteration)
    public void iteration(IterationParams params) {
        measuring = params.getType() == IterationType.MEASUREMENT;
    }

    @Benchmark
    public long transfer() throws Exception {
        long cpuBefore = THREADS.getCurrentThreadCpuTime();
        long wallBefore = System.nanoTime();
        switch (variant) {
            case "ours_sendFile":
                sendFile();
                break;
            case "ours_copyLoop":
                oursCopy();
                break;
            case "nio_copyLoop":
                nioCopy();
                break;
            default:
                transferTo();
                break;
        }
        long cpu = THREADS.getCurrentThreadCpuTime() - cpuBefore;
        awaitDrained();
        long wall = System.nanoTime() - wallBefore;
        if (measuring) {
            senderCpuNanos += cpu;
            wallNanos += wall;
            transfers++;
        }
        return size;
    }

    /** One JSON line per trial: wall-clock MiB/s until the peer had it all, and the sender's CPU. */
    @TearDown(Level.Trial)
    public void report() throws IOException {
        String out = System.getProperty("ovrel.bench.fileOut");
        if (out == null || transfers == 0) {
            return;
        }
        double mib = size / (double) (1 << 20);
        try (PrintWriter w = new PrintWriter(new FileWriter(out, true))) {
            w.println(String.format(Locale.ROOT,
                    "{\"variant\":\"%s\",\"MiB\":%.0f,\"transfers\":%d,\"MiBPerSecond\":%.1f,"
                            + "\"senderCpuMillisPerTransfer\":%.2f}",
                    variant, mib, transfers, mib * transfers / (wallNanos / 1e9), senderCpuNanos / 1e6 / transfers));
        }
    }

    private void sendFile() {
        DefaultFileRegion region = new DefaultFileRegion(channel, 0, size);
        long offset = 0;
        while (offset < size) {
            long r = BsdSocket.sendFile(fd, region, 0, offset, size - offset);
            if (r > 0) {
                offset += r;
            } else if (Errno.wouldBlock(r)) {
                kq.await(KQueue.MAX_WAIT_NANOS);
            } else {
                throw new IllegalStateException("sendFile: " + r);
            }
        }
    }

    private void oursCopy() throws IOException {
        long position = 0;
        while (position < size) {
            copyBuffer.clear();
            int n = channel.read(copyBuffer, position);
            int off = 0;
            while (off < n) {
                int w = FileDescriptor.writeAddress(fd, copyAddress, off, n);
                if (w > 0) {
                    off += w;
                } else if (Errno.wouldBlock(w)) {
                    kq.await(KQueue.MAX_WAIT_NANOS);
                } else {
                    throw new IllegalStateException("write: " + w);
                }
            }
            position += n;
        }
    }

    private void nioCopy() throws IOException {
        long position = 0;
        while (position < size) {
            copyBuffer.clear();
            int n = channel.read(copyBuffer, position);
            copyBuffer.flip();
            while (copyBuffer.hasRemaining()) {
                socket.write(copyBuffer);
            }
            position += n;
        }
    }

    private void transferTo() throws IOException {
        long position = 0;
        while (position < size) {
            position += channel.transferTo(position, size - position, socket);
        }
    }
}
