package io.ovrel.demo;

import io.ovrel.bench.Lib;
import io.ovrel.channel.unix.FileDescriptor;
import java.io.FileWriter;
import java.io.IOException;
import java.io.PrintWriter;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.infra.BenchmarkParams;
import org.openjdk.jmh.infra.IterationParams;
import org.openjdk.jmh.runner.IterationType;

/**
 * Echo over 127.0.0.1: the demo's server and client loops on the library's kqueue
 * ({@link EchoServer}, {@link EchoClient}) against the same design on NIO
 * ({@link NioEchoServer}, {@link NioEchoClient}), each a server thread and a client thread
 * in this JVM. One invocation is one echo session of {@code ovrel.bench.echoSeconds}
 * seconds; JMH's own score is just that session's length. What matters is written, per
 * trial, as one JSON line to the file named by {@code ovrel.bench.echoOut}: messages per
 * second, p50/p99 round trip over every measured session, and heap bytes the two loop
 * threads allocated per echoed message. A session whose bytes did not all come back
 * intact fails the benchmark.
 */
@State(Scope.Benchmark)
@BenchmarkMode(Mode.SingleShotTime)
@OutputTimeUnit(TimeUnit.SECONDS)
public class EchoBench {
    private static final long SERVER_GRACE_NANOS = 5_000_000_000L;

    @Param({"kqueue", "nio"})
    public String impl;

    @Param({"1", "64", "1024"})
    public int connections;

    @Param({"64", "16384"})
    public int size;

    private boolean measuring;
    private final LatencyHistogram latency = new LatencyHistogram();
    private long messages;
    private double seconds;
    private long heapBytes;
    private int sessions;

    @Setup(Level.Trial)
    public void load() {
        Lib.load();
    }

    @Setup(Level.Iteration)
    public void iteration(IterationParams params) {
        measuring = params.getType() == IterationType.MEASUREMENT;
    }

    @Benchmark
    public long session() throws Exception {
        long durationNanos = (long) (Double.parseDouble(System.getProperty("ovrel.bench.echoSeconds", "3")) * 1e9);
        return "nio".equals(impl) ? nioSession(durationNanos) : kqueueSession(durationNanos);
    }

    private long kqueueSession(long durationNanos) throws InterruptedException {
        int listenFd = Loopback.listen(Math.max(128, connections));
        int port = Loopback.localPort(listenFd);
        EchoServer server = new EchoServer(listenFd, connections);
        EchoClient client = new EchoClient(connections, size, durationNanos, port);
        run(server, client, durationNanos, server::requestStop);
        FileDescriptor.close(listenFd);
        check(client.failure == null && server.failure == null, "loop failed: " + client.failure + " / " + server.failure);
        check(client.mismatchedBytes == 0, client.mismatchedBytes + " bytes came back wrong");
        check(client.connected == connections, "only " + client.connected + " connected");
        check(client.lostConnections == 0 && client.stalledConnections == 0, "lost: " + client.lastError);
        check(client.bytesReceived == client.bytesSent, "sent " + client.bytesSent + ", got " + client.bytesReceived);
        check(server.changeErrors + client.changeErrors == 0, "kqueue refused changes: " + server.lastError);
        record(client.latency, client.messages, client.startNanos, client.endNanos,
                client.loopHeapBytes + server.loopHeapBytes);
        return client.messages;
    }

    private long nioSession(long durationNanos) throws Exception {
        NioEchoServer server = new NioEchoServer(connections, Math.max(128, connections));
        NioEchoClient client = new NioEchoClient(connections, size, durationNanos, server.port());
        run(server, client, durationNanos, server::requestStop);
        check(client.failure == null && server.failure == null, "loop failed: " + client.failure + " / " + server.failure);
        check(client.mismatchedBytes == 0, client.mismatchedBytes + " bytes came back wrong");
        check(client.connected == connections, "only " + client.connected + " connected");
        check(client.lostConnections == 0 && client.stalledConnections == 0, "lost: " + client.lastError);
        check(client.bytesReceived == client.bytesSent, "sent " + client.bytesSent + ", got " + client.bytesReceived);
        record(client.latency, client.messages, client.startNanos, client.endNanos,
                client.loopHeapBytes + server.loopHeapBytes);
        return client.messages;
    }

    private interface Stopper {
        void requestStop(long graceNanos);
    }

    private static void run(Runnable server, Runnable client, long durationNanos, Stopper stop)
            throws InterruptedException {
        Thread serverThread = new Thread(server, "echo-server-loop");
        Thread clientThread = new Thread(client, "echo-client-loop");
        serverThread.setDaemon(true);
        clientThread.setDaemon(true);
        serverThread.start();
        clientThread.start();
        long bound = durationNanos / 1_000_000 + 15_000;
        clientThread.join(bound);
        stop.requestStop(SERVER_GRACE_NANOS);
        serverThread.join(bound);
        check(!clientThread.isAlive() && !serverThread.isAlive(), "a loop did not end in time");
    }

    private void record(LatencyHistogram h, long msgs, long start, long end, long heap) {
        if (!measuring) {
            return;
        }
        latency.add(h);
        messages += msgs;
        seconds += Math.max(1e-9, (end - start) / 1e9);
        heapBytes += heap;
        sessions++;
    }

    private static void check(boolean ok, String problem) {
        if (!ok) {
            throw new IllegalStateException("echo: " + problem);
        }
    }

    @TearDown(Level.Trial)
    public void report(BenchmarkParams params) throws IOException {
        String out = System.getProperty("ovrel.bench.echoOut");
        if (out == null || sessions == 0) {
            return;
        }
        try (PrintWriter w = new PrintWriter(new FileWriter(out, true))) {
            w.println(String.format(Locale.ROOT,
                    "{\"impl\":\"%s\",\"connections\":%d,\"size\":%d,\"sessions\":%d,\"messages\":%d,"
                            + "\"seconds\":%.3f,\"messagesPerSecond\":%.1f,\"p50Micros\":%.2f,\"p99Micros\":%.2f,"
                            + "\"heapBytesPerMessage\":%.4f}",
                    impl, connections, size, sessions, messages, seconds, messages / seconds,
                    latency.percentile(50) / 1e3, latency.percentile(99) / 1e3,
                    (double) heapBytes / Math.max(1, messages)));
        }
    }
}
