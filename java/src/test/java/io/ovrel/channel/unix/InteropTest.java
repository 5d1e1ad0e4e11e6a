package io.ovrel.channel.unix;

import static io.ovrel.channel.unix.SocketTestSupport.addressOf;
import static io.ovrel.channel.unix.SocketTestSupport.argument;
import static io.ovrel.channel.unix.SocketTestSupport.awaitNonNull;
import static io.ovrel.channel.unix.SocketTestSupport.awaitNot;
import static io.ovrel.channel.unix.SocketTestSupport.boundLoopback;
import static io.ovrel.channel.unix.SocketTestSupport.checked;
import static io.ovrel.channel.unix.SocketTestSupport.closeAll;
import static io.ovrel.channel.unix.SocketTestSupport.direct;
import static io.ovrel.channel.unix.SocketTestSupport.eagain;
import static io.ovrel.channel.unix.SocketTestSupport.ip;
import static io.ovrel.channel.unix.SocketTestSupport.localPort;
import static io.ovrel.channel.unix.SocketTestSupport.text;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import io.ovrel.test.NativeLibraryExtension;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Our natives against Python's standard socket module: descriptor passing and datagrams. */
@ExtendWith(NativeLibraryExtension.class)
class InteropTest {
    private static final String SCRIPT = "tests/python/interop_peer.py";

    private Peer peer;

    @AfterEach
    void stopPeer() {
        if (peer != null) {
            peer.process.destroyForcibly();
        }
    }

    /** The peer script, found by walking up from the working directory to the repository. */
    private static Path script() {
        for (Path dir = Paths.get("").toAbsolutePath(); dir != null; dir = dir.getParent()) {
            Path candidate = dir.resolve(SCRIPT);
            if (Files.isRegularFile(candidate)) {
                return candidate;
            }
        }
        throw new AssertionError(SCRIPT + " not found above " + Paths.get("").toAbsolutePath());
    }

    /** A running python3 whose key=value lines arrive on a queue, so every wait is bounded. */
    private static final class Peer {
        final Process process;
        final BlockingQueue<String> lines = new LinkedBlockingQueue<>();
        final Map<String, String> seen = new HashMap<>();
        final StringBuilder stderr = new StringBuilder();

        Peer(String... args) throws IOException {
            List<String> command = new java.util.ArrayList<>(List.of("python3", script().toString()));
            command.addAll(List.of(args));
            try {
                process = new ProcessBuilder(command).start();
            } catch (IOException e) {
                Assumptions.abort("python3 cannot be started: " + e.getMessage());
                throw e;
            }
            process.getOutputStream().close();
            Thread out = new Thread(() -> pump(new BufferedReader(new InputStreamReader(
                    process.getInputStream(), StandardCharsets.UTF_8)), true));
            Thread err = new Thread(() -> pump(new BufferedReader(new InputStreamReader(
                    process.getErrorStream(), StandardCharsets.UTF_8)), false));
            out.setDaemon(true);
            err.setDaemon(true);
            out.start();
            err.start();
        }

        private void pump(BufferedReader reader, boolean stdout) {
            try {
                for (String line; (line = reader.readLine()) != null; ) {
                    if (stdout) {
                        lines.add(line);
                    } else {
                        synchronized (stderr) {
                            stderr.append(line).append('\n');
                        }
                    }
                }
            } catch (IOException ignored) {
                // the process is gone
            }
        }

        /** Waits for the line with this key and returns its value. */
        String await(String key) throws InterruptedException {
            long deadline = System.currentTimeMillis() + 15_000;
            while (!seen.containsKey(key)) {
                String line = lines.poll(Math.max(1, deadline - System.currentTimeMillis()), TimeUnit.MILLISECONDS);
                if (line == null) {
                    synchronized (stderr) {
                        fail("python peer never said " + key + "; so far " + seen + "\n" + stderr);
                    }
                }
                int eq = line.indexOf('=');
                if (eq > 0) {
                    seen.put(line.substring(0, eq), line.substring(eq + 1));
                }
            }
            return seen.get(key);
        }

        void awaitExit() throws InterruptedException {
            assertTrue(process.waitFor(15, TimeUnit.SECONDS), "python peer did not exit");
            synchronized (stderr) {
                assertEquals(0, process.exitValue(), stderr.toString());
            }
        }
    }

    @Test
    void descriptorsCrossBetweenUsAndPythonBothWays(@TempDir Path dir) throws Exception {
        byte[] path = dir.resolve("peer.sock").toString().getBytes(StandardCharsets.UTF_8);
        int listener = checked(Socket.newSocketDomainFd(), "socket");
        long pipe = FileDescriptor.newPipe();
        int readEnd = (int) (pipe >>> 32);
        int writeEnd = (int) pipe;
        int connection = -1;
        int fromPython = -1;
        try {
            assertEquals(0, Socket.bindDomainSocket(listener, path));
            assertEquals(0, Socket.listen(listener, 1));
            assertEquals(9, FileDescriptor.write(writeEnd, direct("from java"), 0, 9));

            peer = new Peer("fds", dir.resolve("peer.sock").toString());
            connection = awaitNot(-eagain(), () -> Socket.accept(listener, new byte[25]), "accept");
            checked(connection, "accept");

            assertEquals(1, Socket.sendFd(connection, readEnd));
            assertEquals("1", peer.await("received_count"));
            assertEquals("0", peer.await("received_flags_truncated"));
            assertEquals("from java", peer.await("received_data"));

            final int conn = connection;
            fromPython = checked(awaitNot(-eagain(), () -> Socket.recvFd(conn), "recvFd"), "recvFd");
            assertEquals("1", peer.await("sent_bytes"));
            ByteBuffer in = ByteBuffer.allocateDirect(32);
            assertEquals(11, FileDescriptor.read(fromPython, in, 0, 32));
            assertEquals("from python", text(in, 0, 11));
            // Python's pipe was blocking and its write end is still open: only a
            // non-blocking descriptor answers this read at once.
            assertEquals(-eagain(), FileDescriptor.read(fromPython, in, 0, 32));

            FileDescriptor.close(connection);
            connection = -1;
            assertEquals("1", peer.await("done"));
            peer.awaitExit();
        } finally {
            closeAll(listener, readEnd, writeEnd, connection, fromPython);
        }
    }

    @ParameterizedTest(name = "IPv{0}")
    @ValueSource(strings = {"4", "6"})
    void datagramsCrossBetweenUsAndPythonWithTheirAddresses(String family) throws Exception {
        boolean ipv6 = family.equals("6");
        String host = ipv6 ? "::1" : "127.0.0.1";
        int fd = boundLoopback(ipv6, false);
        try {
            peer = new Peer("udp", family, Integer.toString(localPort(fd)));
            int pythonPort = Integer.parseInt(peer.await("port"));

            ByteBuffer in = ByteBuffer.allocateDirect(64);
            DatagramSocketAddress from = awaitNonNull(() -> Socket.recvFrom(fd, in, 0, 64), "datagram from python");
            assertEquals("ping from python", text(in, 0, from.receivedAmount()));
            assertEquals(ip(host), addressOf(from));
            assertEquals(pythonPort, from.port());

            ByteBuffer reply = direct("pong from java");
            assertEquals(14, Socket.sendTo(fd, ipv6, reply, 0, 14, argument(addressOf(from)), from.scopeId(),
                    from.port()));
            assertEquals("pong from java", peer.await("reply"));
            assertEquals(ip(host), ip(peer.await("from_host")));
            assertEquals(Integer.toString(localPort(fd)), peer.await("from_port"));

            DatagramSocketAddress empty = awaitNonNull(() -> Socket.recvFrom(fd, in, 0, 64), "empty datagram");
            assertEquals(0, empty.receivedAmount());
            assertEquals(pythonPort, empty.port());
            peer.awaitExit();
        } finally {
            closeAll(fd);
        }
    }
}
