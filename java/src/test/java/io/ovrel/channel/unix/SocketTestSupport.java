package io.ovrel.channel.unix;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import io.ovrel.test.Platform;
import java.net.Inet4Address;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.UnknownHostException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Arrays;
import java.util.function.IntSupplier;
import java.util.function.Supplier;

/** Addresses in the library's forms, errno values of this platform, and bounded waits. */
final class SocketTestSupport {
    static final int EINVAL = 22;  // the same on Linux and FreeBSD
    static final long WAIT_MILLIS = 5_000;

    private SocketTestSupport() {
    }

    static int eagain() {
        return ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    }

    static int ebadmsg() {
        return Platform.pick(74, 89);
    }

    static int enoprotoopt() {
        return Platform.pick(92, 42);
    }

    static InetAddress ip(String literal) {
        try {
            return InetAddress.getByName(literal);
        } catch (UnknownHostException e) {
            throw new AssertionError(e);
        }
    }

    /** The 16-byte address argument: IPv6 as is, IPv4 in IPv4-mapped form. */
    static byte[] argument(InetAddress address) {
        byte[] raw = address.getAddress();
        if (raw.length == 16) {
            return raw;
        }
        byte[] mapped = new byte[16];
        mapped[10] = (byte) 0xff;
        mapped[11] = (byte) 0xff;
        System.arraycopy(raw, 0, mapped, 12, 4);
        return mapped;
    }

    static byte[] argument(String literal) {
        return argument(ip(literal));
    }

    /** Decodes an 8- or 24-byte socket address encoding found at offset. */
    static InetSocketAddress decode(byte[] encoded, int offset, int length) {
        ByteBuffer b = ByteBuffer.wrap(encoded, offset, length).order(ByteOrder.BIG_ENDIAN);
        try {
            if (length == 8) {
                byte[] ip = new byte[4];
                b.get(ip);
                return new InetSocketAddress(InetAddress.getByAddress(ip), b.getInt());
            }
            assertTrue(length == 24, "encoding length " + length);
            byte[] ip = new byte[16];
            b.get(ip);
            int scope = b.getInt();
            return new InetSocketAddress(Inet6Address.getByAddress(null, ip, scope), b.getInt());
        } catch (UnknownHostException e) {
            throw new AssertionError(e);
        }
    }

    static InetSocketAddress decode(byte[] encoded) {
        return decode(encoded, 0, encoded.length);
    }

    static InetAddress addressOf(DatagramSocketAddress d) {
        try {
            return InetAddress.getByAddress(d.address());
        } catch (UnknownHostException e) {
            throw new AssertionError(e);
        }
    }

    static boolean isIPv4(InetAddress a) {
        return a instanceof Inet4Address;
    }

    static int checked(int result, String what) {
        if (result < 0) {
            fail(what + " failed: " + ErrorsStaticallyReferencedJniMethods.strError(-result) + " (" + result + ")");
        }
        return result;
    }

    /** A non-blocking socket of the family bound to loopback port 0. */
    static int boundLoopback(boolean ipv6, boolean stream) {
        int fd = checked(stream ? Socket.newSocketStreamFd(ipv6) : Socket.newSocketDgramFd(ipv6), "socket");
        checked(Socket.bind(fd, ipv6, argument(ipv6 ? "::1" : "127.0.0.1"), 0, 0), "bind");
        if (stream) {
            checked(Socket.listen(fd, 16), "listen");
        }
        return fd;
    }

    static int localPort(int fd) {
        return decode(Socket.localAddress(fd)).getPort();
    }

    static void closeAll(int... fds) {
        for (int fd : fds) {
            if (fd >= 0) {
                FileDescriptor.close(fd);
            }
        }
    }

    /** Polls until the supplier gives a value other than the one it gives while waiting. */
    static int awaitNot(int waiting, IntSupplier call, String what) {
        long deadline = System.currentTimeMillis() + WAIT_MILLIS;
        int result;
        while ((result = call.getAsInt()) == waiting) {
            if (System.currentTimeMillis() > deadline) {
                fail(what + " still " + waiting + " after " + WAIT_MILLIS + " ms");
            }
            sleepBriefly();
        }
        return result;
    }

    static <T> T awaitNonNull(Supplier<T> call, String what) {
        long deadline = System.currentTimeMillis() + WAIT_MILLIS;
        T result;
        while ((result = call.get()) == null) {
            if (System.currentTimeMillis() > deadline) {
                fail(what + " gave nothing within " + WAIT_MILLIS + " ms");
            }
            sleepBriefly();
        }
        return result;
    }

    static void sleepBriefly() {
        try {
            Thread.sleep(5);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError(e);
        }
    }

    /** Connects a TCP client to the listener, waits until it is established, and accepts it. */
    static int[] connectedPair(boolean ipv6, int listener, String host) {
        int client = checked(Socket.newSocketStreamFd(ipv6), "socket");
        int r = Socket.connect(client, ipv6, argument(host), 0, localPort(listener));
        assertTrue(r == 0 || r == -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS(), "connect: " + r);
        byte[] accepted = new byte[25];
        int server = awaitNot(-eagain(), () -> Socket.accept(listener, accepted), "accept");
        checked(server, "accept");
        awaitNonNull(() -> Socket.remoteAddress(client), "connection");
        return new int[] {client, server};
    }

    static ByteBuffer direct(String text) {
        byte[] bytes = text.getBytes(java.nio.charset.StandardCharsets.ISO_8859_1);
        ByteBuffer b = ByteBuffer.allocateDirect(bytes.length);
        b.put(bytes).flip();
        return b;
    }

    static String text(ByteBuffer b, int from, int count) {
        byte[] out = new byte[count];
        for (int i = 0; i < count; i++) {
            out[i] = b.get(from + i);
        }
        return new String(out, java.nio.charset.StandardCharsets.ISO_8859_1);
    }

    /** Reads what is waiting on a non-blocking descriptor (up to 64 KiB). */
    static String readAvailable(int fd) {
        ByteBuffer b = ByteBuffer.allocateDirect(65536);
        int n = FileDescriptor.read(fd, b, 0, b.capacity());
        return n <= 0 ? "" : text(b, 0, n);
    }

    /** Waits for data on a non-blocking descriptor and returns what arrived. */
    static String awaitNonNullText(int fd) {
        return awaitNonNull(() -> {
            String s = readAvailable(fd);
            return s.isEmpty() ? null : s;
        }, "data on descriptor " + fd);
    }

    static String bytes(byte[] b) {
        return Arrays.toString(b);
    }
}
