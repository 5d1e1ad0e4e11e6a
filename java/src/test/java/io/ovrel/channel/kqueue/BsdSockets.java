package io.ovrel.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Loopback sockets and files for the BsdSocket tests, made with the library's own
 * natives (the sockets are non-blocking, as the transport's are). Every wait is
 * bounded.
 */
final class BsdSockets {
    /** 127.0.0.1 in the IPv4-mapped form the socket natives take. */
    static final byte[] LOOPBACK = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};

    private static final long WAIT_NANOS = 5_000_000_000L;

    private BsdSockets() {
    }

    static int check(int result, String what) {
        if (result < 0) {
            fail(what + " failed: " + ErrorsStaticallyReferencedJniMethods.strError(-result));
        }
        return result;
    }

    static void close(int... fds) {
        for (int fd : fds) {
            if (fd >= 0) {
                FileDescriptor.close(fd);
            }
        }
    }

    /** A listening TCP socket on 127.0.0.1 and an ephemeral port. */
    static int tcpListener(int receiveBufferSize) {
        int fd = check(Socket.newSocketStreamFd(false), "socket");
        if (receiveBufferSize > 0) {
            Socket.setReceiveBufferSize(fd, receiveBufferSize);
        }
        check(Socket.bind(fd, false, LOOPBACK, 0, 0), "bind");
        check(Socket.listen(fd, 8), "listen");
        return fd;
    }

    static int port(int fd) {
        byte[] address = Socket.localAddress(fd);
        return ByteBuffer.wrap(address, address.length - 4, 4).getInt();
    }

    /** A connected TCP socket that is not listening. */
    static int tcpUnconnected() {
        return check(Socket.newSocketStreamFd(false), "socket");
    }

    /**
     * {sender, receiver}: a connected loopback TCP pair. With a buffer size, the
     * sender's send buffer and the receiver's receive buffer are that small, so that
     * a receiver that does not read soon stops the sender.
     */
    static int[] tcpPair(int bufferSize) {
        int listener = tcpListener(bufferSize);
        int sender = -1;
        try {
            sender = check(Socket.newSocketStreamFd(false), "socket");
            if (bufferSize > 0) {
                Socket.setSendBufferSize(sender, bufferSize);
            }
            int connected = Socket.connect(sender, false, LOOPBACK, 0, port(listener));
            if (connected != 0 && connected != -KQueueErrno.EINPROGRESS) {
                check(connected, "connect");
            }
            int receiver = acceptWithin(listener);
            waitConnected(sender);
            return new int[] {sender, receiver};
        } catch (RuntimeException | Error e) {
            close(sender);
            throw e;
        } finally {
            close(listener);
        }
    }

    private static int acceptWithin(int listener) {
        long deadline = System.nanoTime() + WAIT_NANOS;
        byte[] peer = new byte[25];
        for (;;) {
            int fd = Socket.accept(listener, peer);
            if (fd >= 0) {
                return fd;
            }
            if (fd != -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN() || System.nanoTime() > deadline) {
                return check(fd, "accept");
            }
            pause();
        }
    }

    private static void waitConnected(int fd) {
        long deadline = System.nanoTime() + WAIT_NANOS;
        while (Socket.remoteAddress(fd) == null) {
            assertTrue(System.nanoTime() < deadline, "connect did not complete");
            pause();
        }
        check(Socket.finishConnect(fd), "finishConnect");
    }

    /** {one end, other end} of a connected Unix-domain stream pair, bound under dir. */
    static int[] unixPair(Path dir) {
        byte[] path = dir.resolve("peer.sock").toString().getBytes(StandardCharsets.UTF_8);
        int listener = check(Socket.newSocketDomainFd(), "socket(AF_UNIX)");
        int client = -1;
        try {
            check(Socket.bindDomainSocket(listener, path), "bind(AF_UNIX)");
            check(Socket.listen(listener, 1), "listen(AF_UNIX)");
            client = check(Socket.newSocketDomainFd(), "socket(AF_UNIX)");
            int connected = Socket.connectDomainSocket(client, path);
            if (connected != 0 && connected != -KQueueErrno.EINPROGRESS) {
                check(connected, "connect(AF_UNIX)");
            }
            return new int[] {client, acceptWithin(listener)};
        } catch (RuntimeException | Error e) {
            close(client);
            throw e;
        } finally {
            close(listener);
        }
    }

    /** Reads until {@code count} bytes came or the wait ran out; returns what came. */
    static byte[] read(int fd, int count) {
        ByteArrayOutputStream received = new ByteArrayOutputStream();
        ByteBuffer buffer = ByteBuffer.allocateDirect(65536);
        long deadline = System.nanoTime() + WAIT_NANOS;
        while (received.size() < count && System.nanoTime() < deadline) {
            int n = FileDescriptor.read(fd, buffer, 0, Math.min(buffer.capacity(), count - received.size()));
            if (n > 0) {
                byte[] chunk = new byte[n];
                buffer.get(0, chunk);
                received.write(chunk, 0, n);
            } else if (n == 0) {
                break;
            } else {
                pause();
            }
        }
        return received.toByteArray();
    }

    /** Whatever arrives until the peer has been quiet for a while. */
    static byte[] readAll(int fd) {
        ByteArrayOutputStream received = new ByteArrayOutputStream();
        ByteBuffer buffer = ByteBuffer.allocateDirect(65536);
        long quietSince = System.nanoTime();
        while (System.nanoTime() - quietSince < 200_000_000L) {
            int n = FileDescriptor.read(fd, buffer, 0, buffer.capacity());
            if (n > 0) {
                byte[] chunk = new byte[n];
                buffer.get(0, chunk);
                received.write(chunk, 0, n);
                quietSince = System.nanoTime();
            } else if (n == 0) {
                break;
            } else {
                pause();
            }
        }
        return received.toByteArray();
    }

    /** Distinct bytes at every position, so that a shifted range cannot pass for the right one. */
    static byte[] pattern(int size) {
        byte[] bytes = new byte[size];
        for (int i = 0; i < size; i++) {
            bytes[i] = (byte) (i * 131 + i / 251);
        }
        return bytes;
    }

    static Path file(Path dir, byte[] content) throws IOException {
        return Files.write(Files.createTempFile(dir, "region", ".bin"), content);
    }

    private static void pause() {
        try {
            Thread.sleep(2);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    /** Errno values the natives return that the errors module does not offer. */
    static final class KQueueErrno {
        static final int EINPROGRESS = ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS();
        /** Same number on Linux and FreeBSD. */
        static final int EINVAL = 22;

        private KQueueErrno() {
        }
    }
}
