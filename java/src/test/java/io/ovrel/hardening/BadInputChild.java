package io.ovrel.hardening;

import io.ovrel.channel.DefaultFileRegion;
import io.ovrel.channel.kqueue.Native;
import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import io.ovrel.demo.NativeLibrary;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;

/**
 * Child main: runs the rows of {@link BadInputRows} from the index given, in its working
 * directory, printing "ROW i START" before and "ROW i RESULT text" after each. A row
 * that kills the JVM leaves a START without a RESULT; the parent starts a new child at
 * the next row.
 */
public final class BadInputChild {
    private BadInputChild() {
    }

    public static void main(String[] args) {
        NativeLibrary.loadConfigured();
        int from = Integer.parseInt(args[0]);
        List<BadInputRows.Row> rows = BadInputRows.all();
        Fixture fixture = new Fixture();
        for (int i = from; i < rows.size(); i++) {
            System.out.println("ROW " + i + " START");
            String result;
            try {
                result = BadInputRows.describe(rows.get(i).action.run(fixture));
            } catch (Throwable t) {
                result = "throws " + t.getClass().getSimpleName() + (t.getMessage() == null ? "" : ": " + t.getMessage());
            }
            System.out.println("ROW " + i + " RESULT " + result);
        }
        System.out.println("ROWS DONE");
    }

    /** What the rows act on, made when first asked for and kept open for the child's life. */
    static final class Fixture {
        private static final byte[] LOOPBACK =
                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};
        private final int eagain = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        private final List<Object> keepAlive = new ArrayList<>();
        private int[] pipe;
        private int udp = -1;
        private int listener = -1;
        private int kqueue = -1;
        private int[] tcpPair;
        private int[] domainPair;
        private long memory;
        private long events;
        private DefaultFileRegion region;

        int keep(int fd) {
            return fd;
        }

        int[] freshPipe() {
            long p = FileDescriptor.newPipe();
            return new int[] {(int) (p >>> 32), (int) p};
        }

        int pipeRead() {
            if (pipe == null) {
                pipe = freshPipe();
            }
            return pipe[0];
        }

        int pipeWrite() {
            pipeRead();
            return pipe[1];
        }

        int end(boolean write) {
            return write ? pipeWrite() : pipeRead();
        }

        /** A descriptor number that was open a moment ago and is not any more. */
        int closed() {
            int[] p = freshPipe();
            FileDescriptor.close(p[1]);
            FileDescriptor.close(p[0]);
            return p[0];
        }

        ByteBuffer direct(int size) {
            ByteBuffer b = ByteBuffer.allocateDirect(size);
            keepAlive.add(b);
            return b;
        }

        private long address(ByteBuffer direct) {
            keepAlive.add(direct);
            return Buffer.memoryAddress0(direct);
        }

        long memory() {
            if (memory == 0) {
                memory = address(ByteBuffer.allocateDirect(64));
            }
            return memory;
        }

        long events() {
            if (events == 0) {
                events = address(ByteBuffer.allocateDirect(4 * Native.sizeofKEvent()));
            }
            return events;
        }

        /** n iovec entries of one byte each, laid out as the kernel reads them. */
        long iovecs(int n) {
            ByteBuffer b = ByteBuffer.allocateDirect(n * 16).order(ByteOrder.nativeOrder());
            for (int i = 0; i < n; i++) {
                b.putLong(i * 16, memory());
                b.putLong(i * 16 + 8, 1);
            }
            return address(b);
        }

        ByteBuffer[] buffers(int n) {
            ByteBuffer[] all = new ByteBuffer[n];
            for (int i = 0; i < n; i++) {
                all[i] = direct(1);
            }
            return all;
        }

        /**
         * Reads or writes up to 64 bytes through a 16-byte slice of a 64-byte buffer: the
         * 48 bytes after the slice belong to nobody the call was given.
         */
        String pastCapacity(boolean write) {
            ByteBuffer whole = direct(64);
            for (int i = 0; i < 64; i++) {
                whole.put(i, (byte) 0x55);
            }
            ByteBuffer slice = whole.slice(0, 16);
            int[] p = freshPipe();
            int r;
            if (write) {
                r = FileDescriptor.write(p[1], slice, 0, 64);
            } else {
                ByteBuffer incoming = direct(64);
                FileDescriptor.write(p[1], incoming, 0, 64);
                r = FileDescriptor.read(p[0], slice, 0, 64);
            }
            boolean intact = true;
            for (int i = 16; i < 64; i++) {
                intact &= whole.get(i) == 0x55;
            }
            FileDescriptor.close(p[0]);
            FileDescriptor.close(p[1]);
            return r + (intact ? " neighbours intact" : " neighbours overwritten");
        }

        int port(int fd) {
            byte[] local = Socket.localAddress(fd);
            return ((local[6] & 0xff) << 8) | (local[7] & 0xff);
        }

        int freshUdp() {
            int fd = Socket.newSocketDgramFd(false);
            Socket.bind(fd, false, LOOPBACK, 0, 0);
            return fd;
        }

        int udp() {
            if (udp < 0) {
                udp = freshUdp();
            }
            return udp;
        }

        private int newListener() {
            int fd = Socket.newSocketStreamFd(false);
            Socket.bind(fd, false, LOOPBACK, 0, 0);
            Socket.listen(fd, 8);
            return fd;
        }

        int tcpListener() {
            if (listener < 0) {
                listener = newListener();
            }
            return listener;
        }

        private int acceptWaiting(int fd, byte[] into) throws InterruptedException {
            int r = -eagain;
            for (int i = 0; i < 200 && r == -eagain; i++) {
                r = Socket.accept(fd, into);
                if (r == -eagain) {
                    Thread.sleep(10);
                }
            }
            return r;
        }

        int[] tcpPair() throws InterruptedException {
            if (tcpPair == null) {
                int l = newListener();
                int client = Socket.newSocketStreamFd(false);
                Socket.connect(client, false, LOOPBACK, 0, port(l));
                tcpPair = new int[] {client, acceptWaiting(l, new byte[25])};
                FileDescriptor.close(l);
            }
            return tcpPair;
        }

        int[] domainPair() throws InterruptedException {
            if (domainPair == null) {
                byte[] path = "pair.sock".getBytes(StandardCharsets.US_ASCII);
                int l = Socket.newSocketDomainFd();
                Socket.bindDomainSocket(l, path);
                Socket.listen(l, 4);
                int client = Socket.newSocketDomainFd();
                Socket.connectDomainSocket(client, path);
                domainPair = new int[] {client, acceptWaiting(l, new byte[25])};
                FileDescriptor.close(l);
            }
            return domainPair;
        }

        /**
         * Accepts a waiting connection into a result array too short for its address,
         * then tells whether the connecting side saw its connection end.
         */
        String acceptInto(byte[] into) throws InterruptedException {
            int l = newListener();
            int client = Socket.newSocketStreamFd(false);
            Socket.connect(client, false, LOOPBACK, 0, port(l));
            Thread.sleep(50); // loopback handshakes are done long before this
            int r = Socket.accept(l, into);
            String peer = "peer still connected";
            ByteBuffer b = direct(4);
            for (int i = 0; i < 200; i++) {
                int n = FileDescriptor.read(client, b, 0, 4);
                if (n != -eagain) {
                    peer = n == 0 || n == -ErrorsStaticallyReferencedJniMethods.errnoECONNRESET()
                            ? "peer sees end of stream" : "peer read " + n;
                    break;
                }
                Thread.sleep(10);
            }
            FileDescriptor.close(client);
            FileDescriptor.close(l);
            return r + " " + peer;
        }

        /** Binds a new domain socket to c repeated length times; reports the name of the file made. */
        String bindAndName(char c, int length) throws IOException {
            int fd = Socket.newSocketDomainFd();
            int r = Socket.bindDomainSocket(fd, BadInputRows.path(c, length));
            String regex = c + "+";
            int named;
            try (Stream<Path> files = Files.list(Path.of("."))) {
                named = files.map(p -> p.getFileName().toString()).filter(name -> name.matches(regex))
                        .mapToInt(String::length).max().orElse(0);
            }
            FileDescriptor.close(fd);
            return r + " file of " + named + " bytes";
        }

        int recvFdOverTcp() throws InterruptedException {
            int[] pair = tcpPair();
            ByteBuffer b = direct(1);
            FileDescriptor.write(pair[0], b, 0, 1);
            int r = -eagain;
            for (int i = 0; i < 200 && r == -eagain; i++) {
                r = Socket.recvFd(pair[1]);
                if (r == -eagain) {
                    Thread.sleep(10);
                }
            }
            return r;
        }

        FileChannel regionFile() throws IOException {
            FileChannel channel = FileChannel.open(BadInputRows.regionPath(), StandardOpenOption.READ);
            keepAlive.add(channel);
            return channel;
        }

        DefaultFileRegion region() throws IOException {
            if (region == null) {
                region = new DefaultFileRegion(regionFile(), 0, 100);
            }
            return region;
        }

        int kqueue() {
            if (kqueue < 0) {
                kqueue = Native.kqueueCreate();
            }
            return kqueue;
        }

        /** A new kqueue with a triggered user event waiting to be collected. */
        int readyKqueue() {
            int kq = Native.kqueueCreate();
            Native.keventAddUserEvent(kq, 7);
            Native.keventTriggerUserEvent(kq, 7);
            return kq;
        }
    }
}
