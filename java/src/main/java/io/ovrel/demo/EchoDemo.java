package io.ovrel.demo;

import io.ovrel.channel.unix.FileDescriptor;
import java.io.PrintStream;

/**
 * Echo over loopback: an {@link EchoServer} loop and an {@link EchoClient} loop on two
 * threads, each with its own kqueue, talking through the library's socket natives only.
 * Prints {@code echo.*} lines; returns 0 when every byte came back as sent on every
 * connection, 1 otherwise.
 */
final class EchoDemo {
    /** Time the server gets to see every client's end of stream after the client loop ended. */
    private static final long SERVER_GRACE_NANOS = 5_000_000_000L;
    private static final long JOIN_SLACK_MILLIS = 15_000;

    private EchoDemo() {
    }

    static int run(DemoOptions options, PrintStream out) throws InterruptedException {
        int connections = options.connections();
        int listenFd = Loopback.listen(Math.max(128, connections));
        int port = Loopback.localPort(listenFd);
        EchoServer server;
        try {
            server = new EchoServer(listenFd, connections);
        } catch (RuntimeException e) {
            FileDescriptor.close(listenFd);
            throw e;
        }
        EchoClient client = new EchoClient(connections, options.size(), options.durationNanos(), port);

        Thread serverThread = new Thread(server, "echo-server-loop");
        Thread clientThread = new Thread(client, "echo-client-loop");
        serverThread.setDaemon(true);
        clientThread.setDaemon(true);
        serverThread.start();
        clientThread.start();

        long bound = (long) (options.durationSeconds() * 1000) + JOIN_SLACK_MILLIS;
        clientThread.join(bound);
        server.requestStop(SERVER_GRACE_NANOS);
        serverThread.join(bound);
        FileDescriptor.close(listenFd);
        boolean hung = clientThread.isAlive() || serverThread.isAlive();

        double seconds = Math.max(1e-9, (client.endNanos - client.startNanos) / 1e9);
        out.println("mode=echo");
        out.println("echo.server=127.0.0.1:" + port);
        out.println("echo.connections=" + connections);
        out.println("echo.connected=" + client.connected);
        out.println("echo.messageSize=" + options.size());
        out.println("echo.seconds=" + Stats.fixed(seconds, 3));
        out.println("echo.messages=" + client.messages);
        out.println("echo.bytesSent=" + client.bytesSent);
        out.println("echo.bytesReceived=" + client.bytesReceived);
        out.println("echo.mismatchedBytes=" + client.mismatchedBytes);
        out.println("echo.throughput.messagesPerSecond=" + Stats.fixed(client.messages / seconds, 0));
        out.println("echo.throughput.MiBPerSecond=" + Stats.fixed(client.bytesReceived / seconds / (1 << 20), 2));
        Stats.printLatency(out, "echo.latency", client.latency);
        out.println("echo.client.partialWrites=" + client.partialWrites);
        out.println("echo.client.connectFailures=" + client.connectFailures);
        out.println("echo.client.lostConnections=" + client.lostConnections);
        out.println("echo.client.stalledConnections=" + client.stalledConnections);
        out.println("echo.server.accepted=" + server.accepted);
        out.println("echo.server.bytesEchoed=" + server.bytesEchoed);
        out.println("echo.server.readEvents=" + server.readEvents);
        out.println("echo.server.writeEvents=" + server.writeEvents);
        out.println("echo.server.partialWrites=" + server.partialWrites);
        out.println("echo.server.closedOnEof=" + server.closedOnEof);
        out.println("echo.server.closedOnError=" + server.closedOnError);
        out.println("echo.server.closedAtStop=" + server.closedAtStop);
        out.println("echo.server.rejected=" + server.rejected);
        out.println("echo.client.loopHeapBytes=" + client.loopHeapBytes);
        out.println("echo.server.loopHeapBytes=" + server.loopHeapBytes);
        out.println("echo.changeErrors=" + (client.changeErrors + server.changeErrors));

        StringBuilder problems = new StringBuilder();
        check(problems, client.failure == null, "client loop failed: " + client.failure);
        check(problems, server.failure == null, "server loop failed: " + server.failure);
        check(problems, !hung, "a loop did not end in time");
        check(problems, client.mismatchedBytes == 0, client.mismatchedBytes + " bytes came back wrong");
        check(problems, client.connected == connections, (connections - client.connected) + " connections failed");
        check(problems, client.lostConnections == 0 && client.stalledConnections == 0,
                "connections lost or stalled: " + client.lastError);
        check(problems, client.bytesReceived == client.bytesSent, "sent " + client.bytesSent + " bytes, got back "
                + client.bytesReceived);
        check(problems, client.messages > 0, "no message made the round trip");
        check(problems, server.closedOnEof == connections && server.closedOnError == 0 && server.closedAtStop == 0,
                "server did not see every connection end cleanly: " + server.lastError);
        check(problems, client.changeErrors + server.changeErrors == 0, "kqueue refused changes: "
                + (client.lastError != null ? client.lastError : server.lastError));
        out.println("echo.result=" + (problems.length() == 0 ? "ok" : "FAILED"));
        out.flush();
        if (problems.length() > 0) {
            System.err.print(problems);
            System.err.flush();
            return Demo.EXIT_CHECK_FAILED;
        }
        return 0;
    }

    private static void check(StringBuilder problems, boolean ok, String problem) {
        if (!ok) {
            problems.append("echo: ").append(problem).append('\n');
        }
    }
}
