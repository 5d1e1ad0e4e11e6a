package io.ovrel.demo;

import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;

/**
 * 127.0.0.1 in the forms the socket natives take and give. The natives accept one
 * 16-byte address for both families: IPv4 goes in IPv4-mapped (::ffff:a.b.c.d), and with
 * ipv6=false the library uses its last four bytes.
 */
public final class Loopback {
    private Loopback() {
    }

    /** ::ffff:127.0.0.1. A fresh array each call, since callers may hand it to other threads. */
    public static byte[] address() {
        return new byte[] {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};
    }

    /**
     * The port of the socket's local address, from the library's encoding: 8 bytes (IPv4
     * address, port as a big-endian int) or 24 bytes (IPv6 address, scope id, port).
     */
    public static int localPort(int fd) {
        byte[] encoded = Socket.localAddress(fd);
        if (encoded == null || (encoded.length != 8 && encoded.length != 24)) {
            throw new IllegalStateException("no usable local address for descriptor " + fd);
        }
        return bigEndianInt(encoded, encoded.length - 4);
    }

    static int bigEndianInt(byte[] a, int at) {
        return (a[at] & 0xff) << 24 | (a[at + 1] & 0xff) << 16 | (a[at + 2] & 0xff) << 8 | (a[at + 3] & 0xff);
    }

    /** A non-blocking TCP listener on 127.0.0.1 at a port the system chooses. */
    public static int listen(int backlog) {
        int fd = Socket.newSocketStreamFd(false);
        if (fd < 0) {
            throw new IllegalStateException("socket: " + Errno.describe(fd));
        }
        Socket.setReuseAddress(fd, 1);
        int r = Socket.bind(fd, false, address(), 0, 0);
        if (r == 0) {
            r = Socket.listen(fd, backlog);
        }
        if (r < 0) {
            FileDescriptor.close(fd);
            throw new IllegalStateException("bind/listen on 127.0.0.1: " + Errno.describe(r));
        }
        return fd;
    }
}
