package io.ovrel.hardening;

import io.ovrel.channel.DefaultFileRegion;
import io.ovrel.channel.kqueue.BsdSocket;
import io.ovrel.channel.kqueue.Native;
import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import io.ovrel.hardening.BadInputChild.Fixture;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.function.IntConsumer;
import java.util.function.IntUnaryOperator;

/**
 * Bad input for every native that takes something from Java it could misread: buffers,
 * indices, counts, arrays, strings, addresses and descriptors. Each row names the
 * native, the input and what the library answers: a negative errno, another documented
 * value, or an exception. The child JVM ({@link BadInputChild}) runs the actions; the
 * test ({@link BadInputTest}) holds the answers against them. Both build the same list,
 * so a row is known by its index.
 *
 * <p>Uses nothing of JUnit: the child's classpath has none.
 */
final class BadInputRows {
    private BadInputRows() {
    }

    static final boolean LINUX = System.getProperty("os.name", "").equals("Linux");

    /** The errno values the rows expect, Linux first, FreeBSD second. */
    enum Errno {
        EINVAL(22, 22), EBADF(9, 9), EFAULT(14, 14), ENOENT(2, 2), EISDIR(21, 21), ENOTSOCK(88, 38),
        ENAMETOOLONG(36, 63), ENOTCONN(107, 57), EOPNOTSUPP(95, 45), EBADMSG(74, 89), EAGAIN(11, 35);

        final int value;

        Errno(int linux, int freebsd) {
            this.value = LINUX ? linux : freebsd;
        }
    }

    /** What a row must give: the text the child prints, and how the README shows it. */
    static final class Expect {
        final String printed;
        final String shown;

        private Expect(String printed, String shown) {
            this.printed = printed;
            this.shown = shown;
        }

        static Expect errno(Errno e) {
            return new Expect(Integer.toString(-e.value), "-" + e.name() + " (" + -e.value + ")");
        }

        static Expect value(Object printed) {
            return new Expect(String.valueOf(printed), String.valueOf(printed));
        }

        static Expect value(Object printed, String note) {
            return new Expect(String.valueOf(printed), printed + " (" + note + ")");
        }

        static Expect thrown(String exception) {
            return new Expect("throws " + exception, "throws " + exception);
        }

        static Expect thrown(String exception, String message) {
            return new Expect("throws " + exception + ": " + message, "throws " + exception + " \"" + message + "\"");
        }
    }

    /** What a row does in the child; returns the native's result, or a word about it. */
    interface Action {
        Object run(Fixture f) throws Exception;
    }

    static final class Row {
        final String nativeName;
        final String input;
        final Expect expect;
        final Action action;

        Row(String nativeName, String input, Expect expect, Action action) {
            this.nativeName = nativeName;
            this.input = input;
            this.expect = expect;
            this.action = action;
        }

        @Override
        public String toString() {
            return nativeName + ": " + input;
        }
    }

    /** Printed for a void native that returned normally. */
    static final String RETURNED = "returned";

    /** Printed (with a suffix) for a native whose result is not a number. */
    static String describe(Object result) {
        if (result == null) {
            return "null";
        }
        if (result instanceof byte[]) {
            return "byte[" + ((byte[]) result).length + "]";
        }
        if (result instanceof Object[]) {
            return Arrays.toString((Object[]) result);
        }
        if (result instanceof Number || result instanceof Boolean || result instanceof String) {
            return result.toString();
        }
        return result.getClass().getSimpleName();
    }

    /** A descriptor number nobody opened: above any limit a test process gets. */
    static final int NEVER_OPENED = 1 << 24;

    private static final byte[] LOOPBACK = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};
    private static final byte[] MAPPED_ANY = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 0, 0, 0, 0};
    private static final int IOV_MAX = 1024;
    private static final String NOT_A_SOCKET = "Socket operation on non-socket";

    static byte[] bytes(int n) {
        return Arrays.copyOf(LOOPBACK, n);
    }

    static byte[] path(char c, int n) {
        byte[] p = new byte[n];
        Arrays.fill(p, (byte) c);
        return p;
    }

    private static final List<Row> ROWS = Collections.unmodifiableList(build());

    static List<Row> all() {
        return ROWS;
    }

    private static List<Row> build() {
        List<Row> t = new ArrayList<>();
        descriptorIo(t);
        socketLifecycle(t);
        datagrams(t);
        domainSockets(t);
        options(t);
        bsdSocket(t);
        kqueue(t);
        t.add(new Row("Buffer.memoryAddress0", "null buffer", Expect.value(0L),
                f -> Buffer.memoryAddress0(null)));
        t.add(new Row("Buffer.memoryAddress0", "heap buffer", Expect.value(0L),
                f -> Buffer.memoryAddress0(ByteBuffer.allocate(16))));
        return t;
    }

    private static void descriptorIo(List<Row> t) {
        String n = "FileDescriptor.close";
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> FileDescriptor.close(f.closed())));
        t.add(new Row(n, "descriptor -1", Expect.errno(Errno.EBADF), f -> FileDescriptor.close(-1)));
        t.add(new Row(n, "never-opened descriptor", Expect.errno(Errno.EBADF),
                f -> FileDescriptor.close(NEVER_OPENED)));

        n = "FileDescriptor.open";
        t.add(new Row(n, "null path", Expect.errno(Errno.EINVAL), f -> FileDescriptor.open(null)));
        t.add(new Row(n, "empty path (0 bytes)", Expect.errno(Errno.ENOENT), f -> FileDescriptor.open("")));
        t.add(new Row(n, "path of 4096 bytes", Expect.errno(Errno.ENAMETOOLONG),
                f -> FileDescriptor.open("o".repeat(4096))));
        t.add(new Row(n, "a directory", Expect.errno(Errno.EISDIR), f -> FileDescriptor.open(".")));
        t.add(new Row(n, "in a missing directory", Expect.errno(Errno.ENOENT),
                f -> FileDescriptor.open("missing/file")));

        // write and read: the same region rules, so one table for both.
        for (boolean write : new boolean[] {true, false}) {
            String name = write ? "FileDescriptor.write" : "FileDescriptor.read";
            Transfer io = write
                    ? (fd, b, pos, limit) -> FileDescriptor.write(fd, b, pos, limit)
                    : (fd, b, pos, limit) -> FileDescriptor.read(fd, b, pos, limit);
            t.add(new Row(name, "null buffer", Expect.errno(Errno.EINVAL), f -> io.run(f.end(write), null, 0, 4)));
            t.add(new Row(name, "heap buffer", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), ByteBuffer.allocate(16), 0, 4)));
            t.add(new Row(name, "pos > limit", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), f.direct(16), 8, 4)));
            t.add(new Row(name, "negative pos", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), f.direct(16), -1, 4)));
            t.add(new Row(name, "limit Integer.MAX_VALUE on a 16-byte buffer", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), f.direct(16), 0, Integer.MAX_VALUE)));
            t.add(new Row(name, "limit 64 on a 16-byte slice of a 64-byte buffer (neighbour bytes checked)",
                    Expect.value("-" + Errno.EINVAL.value + " neighbours intact", "-EINVAL; nothing beyond the slice touched"),
                    f -> f.pastCapacity(write)));
            t.add(new Row(name, "closed descriptor", Expect.errno(Errno.EBADF),
                    f -> io.run(f.closed(), f.direct(16), 0, 4)));
            t.add(new Row(name, "never-opened descriptor", Expect.errno(Errno.EBADF),
                    f -> io.run(NEVER_OPENED, f.direct(16), 0, 4)));
            t.add(new Row(name, write ? "the read end of a pipe" : "the write end of a pipe",
                    Expect.errno(Errno.EBADF), f -> io.run(f.end(!write), f.direct(16), 0, 4)));
        }
        t.add(new Row("FileDescriptor.read", "a listening socket", Expect.errno(Errno.ENOTCONN),
                f -> FileDescriptor.read(f.tcpListener(), f.direct(16), 0, 16)));
        t.add(new Row("FileDescriptor.write", "pos == limit (nothing to write)", Expect.value(0),
                f -> FileDescriptor.write(f.pipeWrite(), f.direct(16), 16, 16)));

        for (boolean write : new boolean[] {true, false}) {
            String name = write ? "FileDescriptor.writeAddress" : "FileDescriptor.readAddress";
            AddressTransfer io = write
                    ? (fd, a, pos, limit) -> FileDescriptor.writeAddress(fd, a, pos, limit)
                    : (fd, a, pos, limit) -> FileDescriptor.readAddress(fd, a, pos, limit);
            t.add(new Row(name, "address 0", Expect.errno(Errno.EINVAL), f -> io.run(f.end(write), 0, 0, 4)));
            t.add(new Row(name, "address 0, pos == limit", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), 0, 0, 0)));
            t.add(new Row(name, "pos > limit", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), f.memory(), 8, 4)));
            t.add(new Row(name, "negative pos", Expect.errno(Errno.EINVAL),
                    f -> io.run(f.end(write), f.memory(), -8, 4)));
            t.add(new Row(name, "closed descriptor", Expect.errno(Errno.EBADF),
                    f -> io.run(f.closed(), f.memory(), 0, 4)));
        }

        String wa = "FileDescriptor.writevAddresses";
        t.add(new Row(wa, "count -1", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writevAddresses(f.pipeWrite(), f.iovecs(1), -1)));
        t.add(new Row(wa, "count IOV_MAX + 1", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writevAddresses(f.pipeWrite(), f.iovecs(IOV_MAX + 1), IOV_MAX + 1)));
        t.add(new Row(wa, "count Integer.MAX_VALUE", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writevAddresses(f.pipeWrite(), f.iovecs(1), Integer.MAX_VALUE)));
        t.add(new Row(wa, "address 0, count 1", Expect.errno(Errno.EFAULT),
                f -> FileDescriptor.writevAddresses(f.pipeWrite(), 0, 1)));
        t.add(new Row(wa, "address 0, count 0", Expect.value(0L),
                f -> FileDescriptor.writevAddresses(f.pipeWrite(), 0, 0)));
        t.add(new Row(wa, "count IOV_MAX (1024 one-byte entries)", Expect.value(1024L),
                f -> FileDescriptor.writevAddresses(f.freshPipe()[1], f.iovecs(IOV_MAX), IOV_MAX)));
        t.add(new Row(wa, "closed descriptor", Expect.errno(Errno.EBADF),
                f -> FileDescriptor.writevAddresses(f.closed(), f.iovecs(1), 1)));

        String wv = "FileDescriptor.writev";
        t.add(new Row(wv, "null array", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), null, 0, 1, 100)));
        t.add(new Row(wv, "negative offset", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), f.buffers(2), -1, 1, 100)));
        t.add(new Row(wv, "negative length", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), f.buffers(2), 0, -1, 100)));
        t.add(new Row(wv, "length IOV_MAX + 1", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), f.buffers(IOV_MAX + 1), 0, IOV_MAX + 1, 1 << 20)));
        t.add(new Row(wv, "offset + length overflows an int", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), f.buffers(2), Integer.MAX_VALUE, 1, 100)));
        t.add(new Row(wv, "offset + length past the array's end",
                Expect.thrown("ArrayIndexOutOfBoundsException", "Index 2 out of bounds for length 2"),
                f -> FileDescriptor.writev(f.freshPipe()[1], f.buffers(2), 1, 2, 100)));
        t.add(new Row(wv, "null element", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), new ByteBuffer[] {f.direct(4), null}, 0, 2, 100)));
        t.add(new Row(wv, "heap element", Expect.errno(Errno.EINVAL),
                f -> FileDescriptor.writev(f.pipeWrite(), new ByteBuffer[] {ByteBuffer.allocate(4)}, 0, 1, 100)));
        t.add(new Row(wv, "length IOV_MAX (1024 one-byte buffers)", Expect.value(1024L),
                f -> FileDescriptor.writev(f.freshPipe()[1], f.buffers(IOV_MAX), 0, IOV_MAX, 1 << 20)));
        t.add(new Row(wv, "negative budget: only the first buffer goes", Expect.value(1L),
                f -> FileDescriptor.writev(f.freshPipe()[1], f.buffers(3), 0, 3, -5)));
        t.add(new Row(wv, "closed descriptor", Expect.errno(Errno.EBADF),
                f -> FileDescriptor.writev(f.closed(), f.buffers(1), 0, 1, 100)));
    }

    private static void socketLifecycle(List<Row> t) {
        String n = "Socket.shutdown";
        t.add(new Row(n, "neither direction", Expect.errno(Errno.EINVAL),
                f -> Socket.shutdown(f.tcpListener(), false, false)));
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> Socket.shutdown(f.closed(), true, true)));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK), f -> Socket.shutdown(f.pipeRead(), true, true)));
        t.add(new Row(n, "an unconnected TCP socket", Expect.errno(Errno.ENOTCONN),
                f -> Socket.shutdown(f.keep(Socket.newSocketStreamFd(false)), false, true)));

        for (boolean bind : new boolean[] {true, false}) {
            String name = bind ? "Socket.bind" : "Socket.connect";
            AddressCall call = bind
                    ? (fd, address) -> Socket.bind(fd, false, address, 0, 0)
                    : (fd, address) -> Socket.connect(fd, false, address, 0, 9);
            t.add(new Row(name, "null address array", Expect.errno(Errno.EINVAL),
                    f -> call.run(f.keep(Socket.newSocketStreamFd(false)), null)));
            t.add(new Row(name, "address array of 17 bytes", Expect.value(-1, "address longer than 16 bytes"),
                    f -> call.run(f.keep(Socket.newSocketStreamFd(false)), bytes(17))));
            t.add(new Row(name, "closed descriptor", Expect.errno(Errno.EBADF), f -> call.run(f.closed(), LOOPBACK)));
            t.add(new Row(name, "a pipe", Expect.errno(Errno.ENOTSOCK), f -> call.run(f.pipeRead(), LOOPBACK)));
        }
        // Shorter arrays are read as if padded with zeros: these all name the IPv4 wildcard.
        for (int length : new int[] {0, 15, 16}) {
            t.add(new Row("Socket.bind", "address array of " + length + " bytes (the wildcard, zero-padded)",
                    Expect.value("0 local 0.0.0.0", "0, bound to 0.0.0.0"), f -> {
                        int fd = f.keep(Socket.newSocketStreamFd(false));
                        int r = Socket.bind(fd, false, Arrays.copyOf(MAPPED_ANY, length), 0, 0);
                        byte[] local = Socket.localAddress(fd);
                        return r + " local " + (local[0] & 0xff) + "." + (local[1] & 0xff) + "."
                                + (local[2] & 0xff) + "." + (local[3] & 0xff);
                    }));
        }

        n = "Socket.listen";
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> Socket.listen(f.closed(), 4)));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK), f -> Socket.listen(f.pipeRead(), 4)));
        t.add(new Row(n, "a UDP socket", Expect.errno(Errno.EOPNOTSUPP), f -> Socket.listen(f.udp(), 4)));
        t.add(new Row(n, "negative backlog", Expect.value(0, "the system's minimum"), f -> {
            int fd = f.keep(Socket.newSocketStreamFd(false));
            Socket.bind(fd, false, LOOPBACK, 0, 0);
            return Socket.listen(fd, -1);
        }));

        n = "Socket.finishConnect";
        t.add(new Row(n, "closed descriptor", Expect.thrown("ClosedChannelException"),
                f -> Socket.finishConnect(f.closed())));
        t.add(new Row(n, "a pipe", Expect.thrown("ChannelException", "getsockopt() failed: " + NOT_A_SOCKET),
                f -> Socket.finishConnect(f.pipeRead())));

        n = "Socket.disconnect";
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> Socket.disconnect(f.closed(), false)));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK), f -> Socket.disconnect(f.pipeRead(), true)));

        n = "Socket.accept";
        t.add(new Row(n, "null result array", Expect.errno(Errno.EINVAL),
                f -> Socket.accept(f.tcpListener(), null)));
        t.add(new Row(n, "result array of 0 bytes, a connection waiting",
                Expect.value("-" + Errno.EINVAL.value + " peer sees end of stream",
                        "-EINVAL; the connection is closed, not leaked"), f -> f.acceptInto(new byte[0])));
        t.add(new Row(n, "result array of 8 bytes (IPv4 needs 9), a connection waiting",
                Expect.value("-" + Errno.EINVAL.value + " peer sees end of stream",
                        "-EINVAL; the connection is closed, not leaked"), f -> f.acceptInto(new byte[8])));
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> Socket.accept(f.closed(), new byte[25])));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK), f -> Socket.accept(f.pipeRead(), new byte[25])));
        t.add(new Row(n, "a socket that is not listening", Expect.errno(Errno.EINVAL),
                f -> Socket.accept(f.keep(Socket.newSocketStreamFd(false)), new byte[25])));

        for (String name : new String[] {"Socket.localAddress", "Socket.remoteAddress"}) {
            boolean local = name.endsWith("localAddress");
            t.add(new Row(name, "closed descriptor", Expect.value("null"),
                    f -> local ? Socket.localAddress(f.closed()) : Socket.remoteAddress(f.closed())));
            t.add(new Row(name, "a pipe", Expect.value("null"),
                    f -> local ? Socket.localAddress(f.pipeRead()) : Socket.remoteAddress(f.pipeRead())));
        }
        t.add(new Row("Socket.remoteAddress", "an unconnected socket", Expect.value("null"),
                f -> Socket.remoteAddress(f.udp())));

        n = "Socket.isIPv6";
        t.add(new Row(n, "closed descriptor", Expect.thrown("ChannelException", "getsockname(...) failed: Bad file descriptor"),
                f -> Socket.isIPv6(f.closed())));
        t.add(new Row(n, "a pipe", Expect.thrown("ChannelException", "getsockname(...) failed: " + NOT_A_SOCKET),
                f -> Socket.isIPv6(f.pipeRead())));
    }

    private static void datagrams(List<Row> t) {
        String n = "Socket.sendTo";
        t.add(new Row(n, "null buffer", Expect.errno(Errno.EINVAL),
                f -> Socket.sendTo(f.udp(), false, null, 0, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "heap buffer", Expect.errno(Errno.EINVAL),
                f -> Socket.sendTo(f.udp(), false, ByteBuffer.allocate(4), 0, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "pos > limit", Expect.errno(Errno.EINVAL),
                f -> Socket.sendTo(f.udp(), false, f.direct(16), 8, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "limit Integer.MAX_VALUE on a 16-byte buffer", Expect.errno(Errno.EINVAL),
                f -> Socket.sendTo(f.udp(), false, f.direct(16), 0, Integer.MAX_VALUE, LOOPBACK, 0, 9)));
        t.add(new Row(n, "null address array", Expect.errno(Errno.EINVAL),
                f -> Socket.sendTo(f.udp(), false, f.direct(16), 0, 4, null, 0, 9)));
        t.add(new Row(n, "address array of 17 bytes", Expect.value(-1, "address longer than 16 bytes"),
                f -> Socket.sendTo(f.udp(), false, f.direct(16), 0, 4, bytes(17), 0, 9)));
        for (int length : new int[] {0, 15}) {
            // Zero-padded: 0.0.0.0, which the system takes for this host; sent to our own port.
            t.add(new Row(n, "address array of " + length + " bytes (0.0.0.0, zero-padded)",
                    Expect.value(4, "sent to 0.0.0.0, i.e. this host"), f -> {
                        int fd = f.freshUdp();
                        return Socket.sendTo(fd, false, f.direct(16), 0, 4, Arrays.copyOf(MAPPED_ANY, length), 0,
                                f.port(fd));
                    }));
        }
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF),
                f -> Socket.sendTo(f.closed(), false, f.direct(16), 0, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK),
                f -> Socket.sendTo(f.pipeWrite(), false, f.direct(16), 0, 4, LOOPBACK, 0, 9)));

        n = "Socket.sendToAddress";
        t.add(new Row(n, "address 0", Expect.errno(Errno.EINVAL),
                f -> Socket.sendToAddress(f.udp(), false, 0, 0, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "pos > limit", Expect.errno(Errno.EINVAL),
                f -> Socket.sendToAddress(f.udp(), false, f.memory(), 8, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "negative pos", Expect.errno(Errno.EINVAL),
                f -> Socket.sendToAddress(f.udp(), false, f.memory(), -1, 4, LOOPBACK, 0, 9)));
        t.add(new Row(n, "address array of 17 bytes", Expect.value(-1, "address longer than 16 bytes"),
                f -> Socket.sendToAddress(f.udp(), false, f.memory(), 0, 4, bytes(17), 0, 9)));

        n = "Socket.sendToAddresses";
        t.add(new Row(n, "count -1", Expect.errno(Errno.EINVAL),
                f -> Socket.sendToAddresses(f.udp(), false, f.iovecs(1), -1, LOOPBACK, 0, 9)));
        t.add(new Row(n, "count IOV_MAX + 1", Expect.errno(Errno.EINVAL),
                f -> Socket.sendToAddresses(f.udp(), false, f.iovecs(IOV_MAX + 1), IOV_MAX + 1, LOOPBACK, 0, 9)));
        t.add(new Row(n, "address 0, count 1", Expect.errno(Errno.EFAULT),
                f -> Socket.sendToAddresses(f.udp(), false, 0, 1, LOOPBACK, 0, 9)));
        t.add(new Row(n, "null address array", Expect.errno(Errno.EINVAL),
                f -> Socket.sendToAddresses(f.udp(), false, f.iovecs(1), 1, null, 0, 9)));
        t.add(new Row(n, "address array of 17 bytes", Expect.value(-1, "address longer than 16 bytes"),
                f -> Socket.sendToAddresses(f.udp(), false, f.iovecs(1), 1, bytes(17), 0, 9)));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK),
                f -> Socket.sendToAddresses(f.pipeWrite(), false, f.iovecs(1), 1, LOOPBACK, 0, 9)));

        String invalid = "recvfrom() failed: Invalid argument";
        n = "Socket.recvFrom";
        t.add(new Row(n, "null buffer", Expect.thrown("IOException", invalid),
                f -> Socket.recvFrom(f.udp(), null, 0, 4)));
        t.add(new Row(n, "heap buffer", Expect.thrown("IOException", invalid),
                f -> Socket.recvFrom(f.udp(), ByteBuffer.allocate(16), 0, 4)));
        t.add(new Row(n, "pos > limit", Expect.thrown("IOException", invalid),
                f -> Socket.recvFrom(f.udp(), f.direct(16), 8, 4)));
        t.add(new Row(n, "limit Integer.MAX_VALUE on a 16-byte buffer", Expect.thrown("IOException", invalid),
                f -> Socket.recvFrom(f.udp(), f.direct(16), 0, Integer.MAX_VALUE)));
        t.add(new Row(n, "nothing waiting", Expect.value("null", "null, no exception"),
                f -> Socket.recvFrom(f.udp(), f.direct(16), 0, 16)));
        t.add(new Row(n, "closed descriptor", Expect.thrown("ClosedChannelException"),
                f -> Socket.recvFrom(f.closed(), f.direct(16), 0, 16)));
        t.add(new Row(n, "a pipe", Expect.thrown("ChannelException", "getsockopt() failed: " + NOT_A_SOCKET),
                f -> Socket.recvFrom(f.pipeRead(), f.direct(16), 0, 16)));

        n = "Socket.recvFromAddress";
        t.add(new Row(n, "address 0", Expect.thrown("IOException", invalid),
                f -> Socket.recvFromAddress(f.udp(), 0, 0, 4)));
        t.add(new Row(n, "pos > limit", Expect.thrown("IOException", invalid),
                f -> Socket.recvFromAddress(f.udp(), f.memory(), 8, 4)));
        t.add(new Row(n, "closed descriptor", Expect.thrown("ClosedChannelException"),
                f -> Socket.recvFromAddress(f.closed(), f.memory(), 0, 16)));
    }

    private static void domainSockets(List<Row> t) {
        int sunPath = LINUX ? 108 : 104;
        String n = "Socket.bindDomainSocket";
        t.add(new Row(n, "null path", Expect.errno(Errno.EINVAL),
                f -> Socket.bindDomainSocket(f.keep(Socket.newSocketDomainFd()), null)));
        // Two bytes of address and no name: Linux binds to an address of its choosing.
        t.add(new Row(n, "path of 0 bytes", LINUX ? Expect.value(0, "Linux picks an abstract address")
                : Expect.errno(Errno.EINVAL), f -> Socket.bindDomainSocket(f.keep(Socket.newSocketDomainFd()), new byte[0])));
        char letter = 'b';
        for (int length : new int[] {3, 104, 105, 108, 109, 4096}) {
            int used = Math.min(length, sunPath);
            char c = letter++;
            t.add(new Row(n, "relative path of " + length + " bytes",
                    Expect.value("0 file of " + used + " bytes",
                            "0; the socket file's name is the first " + used + " bytes (sun_path holds " + sunPath + ")"),
                    f -> f.bindAndName(c, length)));
        }
        t.add(new Row(n, "in a missing directory", Expect.errno(Errno.ENOENT),
                f -> Socket.bindDomainSocket(f.keep(Socket.newSocketDomainFd()),
                        "missing/s".getBytes(StandardCharsets.US_ASCII))));
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF),
                f -> Socket.bindDomainSocket(f.closed(), "cl".getBytes(StandardCharsets.US_ASCII))));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK),
                f -> Socket.bindDomainSocket(f.pipeRead(), "pi".getBytes(StandardCharsets.US_ASCII))));

        n = "Socket.connectDomainSocket";
        t.add(new Row(n, "null path", Expect.errno(Errno.EINVAL),
                f -> Socket.connectDomainSocket(f.keep(Socket.newSocketDomainFd()), null)));
        t.add(new Row(n, "path of 0 bytes", Expect.errno(Errno.EINVAL),
                f -> Socket.connectDomainSocket(f.keep(Socket.newSocketDomainFd()), new byte[0])));
        for (int length : new int[] {105, 4096}) {
            t.add(new Row(n, "relative path of " + length + " bytes, nobody there", Expect.errno(Errno.ENOENT),
                    f -> Socket.connectDomainSocket(f.keep(Socket.newSocketDomainFd()), path('z', length))));
        }
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF),
                f -> Socket.connectDomainSocket(f.closed(), "cl".getBytes(StandardCharsets.US_ASCII))));
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK),
                f -> Socket.connectDomainSocket(f.pipeRead(), "pi".getBytes(StandardCharsets.US_ASCII))));

        n = "Socket.sendFd";
        t.add(new Row(n, "a pipe as the socket", Expect.errno(Errno.ENOTSOCK),
                f -> Socket.sendFd(f.pipeWrite(), f.pipeRead())));
        t.add(new Row(n, "closed descriptor as the socket", Expect.errno(Errno.EBADF),
                f -> Socket.sendFd(f.closed(), f.pipeRead())));
        t.add(new Row(n, "closed descriptor to send", Expect.errno(Errno.EBADF),
                f -> Socket.sendFd(f.domainPair()[0], f.closed())));
        t.add(new Row(n, "descriptor -1 to send", Expect.errno(Errno.EBADF),
                f -> Socket.sendFd(f.domainPair()[0], -1)));

        n = "Socket.recvFd";
        t.add(new Row(n, "a pipe", Expect.errno(Errno.ENOTSOCK), f -> Socket.recvFd(f.pipeRead())));
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> Socket.recvFd(f.closed())));
        t.add(new Row(n, "a TCP socket carrying plain data", Expect.errno(Errno.EBADMSG), f -> f.recvFdOverTcp()));
    }

    /** Every option native: a closed descriptor is a closed channel, a pipe a failed option call. */
    private static void options(List<Row> t) {
        String setFailed = "setsockopt() failed: " + NOT_A_SOCKET;
        String getFailed = "getsockopt() failed: " + NOT_A_SOCKET;
        List<Object[]> setters = List.of(
                new Object[] {"Socket.setTcpNoDelay", (IntConsumer) fd -> Socket.setTcpNoDelay(fd, 1)},
                new Object[] {"Socket.setReusePort", (IntConsumer) fd -> Socket.setReusePort(fd, 1)},
                new Object[] {"Socket.setBroadcast", (IntConsumer) fd -> Socket.setBroadcast(fd, 1)},
                new Object[] {"Socket.setReuseAddress", (IntConsumer) fd -> Socket.setReuseAddress(fd, 1)},
                new Object[] {"Socket.setReceiveBufferSize", (IntConsumer) fd -> Socket.setReceiveBufferSize(fd, 4096)},
                new Object[] {"Socket.setSendBufferSize", (IntConsumer) fd -> Socket.setSendBufferSize(fd, 4096)},
                new Object[] {"Socket.setKeepAlive", (IntConsumer) fd -> Socket.setKeepAlive(fd, 1)},
                new Object[] {"Socket.setSoLinger", (IntConsumer) fd -> Socket.setSoLinger(fd, 0)},
                new Object[] {"Socket.setTrafficClass", (IntConsumer) fd -> Socket.setTrafficClass(fd, false, 0)},
                new Object[] {"BsdSocket.setTcpNoPush", (IntConsumer) fd -> BsdSocket.setTcpNoPush(fd, 1)},
                new Object[] {"BsdSocket.setSndLowAt", (IntConsumer) fd -> BsdSocket.setSndLowAt(fd, 1)},
                new Object[] {"BsdSocket.setAcceptFilter", (IntConsumer) fd -> BsdSocket.setAcceptFilter(fd, null, null)});
        for (Object[] s : setters) {
            String name = (String) s[0];
            IntConsumer call = (IntConsumer) s[1];
            String nullNote = name.endsWith("AcceptFilter") ? " (null name and argument)" : "";
            t.add(new Row(name, "closed descriptor" + nullNote, Expect.thrown("ClosedChannelException"), f -> {
                call.accept(f.closed());
                return RETURNED;
            }));
            t.add(new Row(name, "a pipe" + nullNote, Expect.thrown("ChannelException", setFailed), f -> {
                call.accept(f.pipeRead());
                return RETURNED;
            }));
        }
        List<Object[]> getters = List.of(
                new Object[] {"Socket.isKeepAlive", (IntUnaryOperator) Socket::isKeepAlive},
                new Object[] {"Socket.isTcpNoDelay", (IntUnaryOperator) Socket::isTcpNoDelay},
                new Object[] {"Socket.isBroadcast", (IntUnaryOperator) Socket::isBroadcast},
                new Object[] {"Socket.isReuseAddress", (IntUnaryOperator) Socket::isReuseAddress},
                new Object[] {"Socket.isReusePort", (IntUnaryOperator) Socket::isReusePort},
                new Object[] {"Socket.getReceiveBufferSize", (IntUnaryOperator) Socket::getReceiveBufferSize},
                new Object[] {"Socket.getSendBufferSize", (IntUnaryOperator) Socket::getSendBufferSize},
                new Object[] {"Socket.getSoLinger", (IntUnaryOperator) Socket::getSoLinger},
                new Object[] {"Socket.getTrafficClass", (IntUnaryOperator) fd -> Socket.getTrafficClass(fd, true)},
                new Object[] {"Socket.getSoError", (IntUnaryOperator) Socket::getSoError},
                new Object[] {"BsdSocket.getTcpNoPush", (IntUnaryOperator) BsdSocket::getTcpNoPush},
                new Object[] {"BsdSocket.getSndLowAt", (IntUnaryOperator) BsdSocket::getSndLowAt});
        for (Object[] g : getters) {
            String name = (String) g[0];
            IntUnaryOperator call = (IntUnaryOperator) g[1];
            t.add(new Row(name, "closed descriptor", Expect.thrown("ClosedChannelException"),
                    f -> call.applyAsInt(f.closed())));
            t.add(new Row(name, "a pipe", Expect.thrown("ChannelException", getFailed),
                    f -> call.applyAsInt(f.pipeRead())));
        }
        t.add(new Row("BsdSocket.getAcceptFilter", "closed descriptor", Expect.thrown("ClosedChannelException"),
                f -> BsdSocket.getAcceptFilter(f.closed())));
        t.add(new Row("BsdSocket.getAcceptFilter", "a pipe", Expect.thrown("ChannelException", getFailed),
                f -> BsdSocket.getAcceptFilter(f.pipeRead())));
        t.add(new Row("BsdSocket.getPeerCredentials", "closed descriptor", Expect.thrown("ClosedChannelException"),
                f -> BsdSocket.getPeerCredentials(f.closed())));
        t.add(new Row("BsdSocket.getPeerCredentials", "a pipe", Expect.thrown("ChannelException", getFailed),
                f -> BsdSocket.getPeerCredentials(f.pipeRead())));
        t.add(new Row("Socket.setTcpNoDelay", "a kqueue", Expect.thrown("ChannelException", setFailed), f -> {
            Socket.setTcpNoDelay(f.kqueue(), 1);
            return RETURNED;
        }));
    }

    private static void bsdSocket(List<Row> t) {
        String n = "BsdSocket.setAcceptFilter";
        // Null strings leave the record's fields empty, and an empty name is
        // looked up like any other: no filter has it, on either platform.
        t.add(new Row(n, "null name and argument on a listener",
                Expect.thrown("ChannelException", "setsockopt() failed: No such file or directory"), f -> {
                    BsdSocket.setAcceptFilter(f.tcpListener(), null, null);
                    return RETURNED;
                }));

        n = "BsdSocket.sendFile";
        t.add(new Row(n, "null region", Expect.thrown("RuntimeException", "failed to get DefaultFileRegion.file"),
                f -> BsdSocket.sendFile(f.tcpPair()[0], null, 0, 0, 1)));
        t.add(new Row(n, "region without a channel", Expect.thrown("RuntimeException", "failed to get DefaultFileRegion.file"),
                f -> BsdSocket.sendFile(f.tcpPair()[0], new DefaultFileRegion(null, 0, 1), 0, 0, 1)));
        t.add(new Row(n, "region whose channel is closed", Expect.thrown("RuntimeException", "failed to get FileDescriptor.fd"),
                f -> {
                    FileChannel channel = f.regionFile();
                    channel.close();
                    return BsdSocket.sendFile(f.tcpPair()[0], new DefaultFileRegion(channel, 0, 1), 0, 0, 1);
                }));
        t.add(new Row(n, "negative length", Expect.errno(Errno.EINVAL),
                f -> BsdSocket.sendFile(f.tcpPair()[0], f.region(), 0, 0, -1)));
        t.add(new Row(n, "negative offset", Expect.errno(Errno.EINVAL),
                f -> BsdSocket.sendFile(f.tcpPair()[0], f.region(), 0, -1, 1)));
        t.add(new Row(n, "negative base position", Expect.errno(Errno.EINVAL),
                f -> BsdSocket.sendFile(f.tcpPair()[0], f.region(), -1, 0, 1)));
        t.add(new Row(n, "base + offset overflows a long", Expect.errno(Errno.EINVAL),
                f -> BsdSocket.sendFile(f.tcpPair()[0], f.region(), Long.MAX_VALUE, 1, 1)));
        t.add(new Row(n, "closed destination", Expect.errno(Errno.EBADF),
                f -> BsdSocket.sendFile(f.closed(), f.region(), 0, 0, 1)));
        t.add(new Row(n, "a pipe as the destination", Expect.errno(Errno.ENOTSOCK),
                f -> BsdSocket.sendFile(f.pipeWrite(), f.region(), 0, 0, 1)));
        t.add(new Row(n, "file position 2^44, far past the end", Expect.value(0, "nothing to send"),
                f -> BsdSocket.sendFile(f.tcpPair()[0], f.region(), 1L << 44, 0, 1)));

        // No local peer: never a record that would name uid 0.
        n = "BsdSocket.getPeerCredentials";
        t.add(new Row(n, "an IPv4 TCP connection", Expect.thrown("ChannelException", "getsockopt() failed: Invalid argument"),
                f -> BsdSocket.getPeerCredentials(f.tcpPair()[0])));
        t.add(new Row(n, "a UDP socket", Expect.thrown("ChannelException", "getsockopt() failed: Invalid argument"),
                f -> BsdSocket.getPeerCredentials(f.udp())));
    }

    private static void kqueue(List<Row> t) {
        String n = "Native.keventWait";
        t.add(new Row(n, "a socket where a kqueue is expected", Expect.errno(Errno.EBADF),
                f -> Native.keventWait(f.udp(), f.events(), 0, f.events(), 4, 0, 0)));
        t.add(new Row(n, "a pipe where a kqueue is expected", Expect.errno(Errno.EBADF),
                f -> Native.keventWait(f.pipeRead(), f.events(), 0, f.events(), 4, 0, 0)));
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF),
                f -> Native.keventWait(f.closed(), f.events(), 0, f.events(), 4, 0, 0)));
        t.add(new Row(n, "change list address 0, count 1", Expect.errno(Errno.EFAULT),
                f -> Native.keventWait(f.kqueue(), 0, 1, f.events(), 4, 0, 0)));
        t.add(new Row(n, "event list address 0, capacity 4, an event ready", Expect.errno(Errno.EFAULT),
                f -> Native.keventWait(f.readyKqueue(), 0, 0, 0, 4, 0, 0)));
        t.add(new Row(n, "both addresses 0, counts 0", Expect.value(0),
                f -> Native.keventWait(f.kqueue(), 0, 0, 0, 0, 0, 0)));
        t.add(new Row(n, "negative change count", Expect.errno(Errno.EINVAL),
                f -> Native.keventWait(f.kqueue(), f.events(), -1, f.events(), 4, 0, 0)));
        t.add(new Row(n, "negative event capacity", Expect.errno(Errno.EINVAL),
                f -> Native.keventWait(f.kqueue(), f.events(), 0, f.events(), -1, 0, 0)));
        t.add(new Row(n, "capacity Integer.MAX_VALUE on a 4-record array, nothing ready", Expect.value(0),
                f -> Native.keventWait(f.kqueue(), f.events(), 0, f.events(), Integer.MAX_VALUE, 0, 0)));
        t.add(new Row(n, "negative timeout", Expect.errno(Errno.EINVAL),
                f -> Native.keventWait(f.kqueue(), f.events(), 0, f.events(), 4, -1, 0)));
        t.add(new Row(n, "timeout nanoseconds of 1e9", Expect.errno(Errno.EINVAL),
                f -> Native.keventWait(f.kqueue(), f.events(), 0, f.events(), 4, 0, 1_000_000_000)));

        n = "Native.keventAddUserEvent";
        t.add(new Row(n, "a socket where a kqueue is expected", Expect.errno(Errno.EBADF),
                f -> Native.keventAddUserEvent(f.udp(), 1)));
        t.add(new Row(n, "closed descriptor", Expect.errno(Errno.EBADF), f -> Native.keventAddUserEvent(f.closed(), 1)));
        n = "Native.keventTriggerUserEvent";
        t.add(new Row(n, "an id never added", Expect.errno(Errno.ENOENT),
                f -> Native.keventTriggerUserEvent(f.kqueue(), 4242)));
        t.add(new Row(n, "a pipe where a kqueue is expected", Expect.errno(Errno.EBADF),
                f -> Native.keventTriggerUserEvent(f.pipeRead(), 1)));
        t.add(new Row(n, "never-opened descriptor", Expect.errno(Errno.EBADF),
                f -> Native.keventTriggerUserEvent(NEVER_OPENED, 1)));
    }

    interface Transfer {
        int run(int fd, ByteBuffer buffer, int pos, int limit);
    }

    interface AddressTransfer {
        int run(int fd, long address, int pos, int limit);
    }

    interface AddressCall {
        int run(int fd, byte[] address);
    }

    /** Writes the region file once; rows open it as they need. */
    static Path regionPath() throws java.io.IOException {
        Path file = Path.of("region.bin");
        if (!Files.exists(file)) {
            Files.write(file, path('r', 100), StandardOpenOption.CREATE_NEW);
        }
        return file;
    }
}
