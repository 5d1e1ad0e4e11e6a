package io.ovrel.channel.kqueue;

import static io.ovrel.channel.kqueue.BsdSockets.close;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.channel.DefaultFileRegion;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.Socket;
import io.ovrel.test.NativeLibraryExtension;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.MappedByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.ReadableByteChannel;
import java.nio.channels.WritableByteChannel;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;
import java.util.concurrent.locks.LockSupport;
import java.util.function.Function;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** BsdSocket.sendFile: file regions over loopback TCP, and regions it cannot read. */
@ExtendWith(NativeLibraryExtension.class)
class BsdSocketSendFileTest {
    private static final int FILE_SIZE = 5000;
    private static final byte[] CONTENT = BsdSockets.pattern(FILE_SIZE);

    @TempDir
    Path dir;

    private FileChannel channel;
    private int[] pair;

    @BeforeEach
    void open() throws IOException {
        channel = FileChannel.open(BsdSockets.file(dir, CONTENT), StandardOpenOption.READ);
    }

    @AfterEach
    void closeAll() throws IOException {
        channel.close();
        if (pair != null) {
            close(pair);
        }
    }

    static Stream<Arguments> ranges() {
        // base position, offset, length -> first file byte sent, bytes sent
        return Stream.of(
                Arguments.of("whole file", 0L, 0L, (long) FILE_SIZE, 0, FILE_SIZE),
                Arguments.of("base position", 1000L, 0L, 100L, 1000, 100),
                Arguments.of("base position plus offset", 1000L, 50L, 100L, 1050, 100),
                Arguments.of("length 0 sends to the end", 0L, 0L, 0L, 0, FILE_SIZE),
                Arguments.of("length 0 from base plus offset", 4000L, 500L, 0L, 4500, 500),
                Arguments.of("length past the end stops at the end", 4900L, 0L, 1000L, 4900, 100));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("ranges")
    void sendsTheRangeAndRecordsOffsetPlusSent(String name, long base, long offset, long length, int first,
            int expected) throws IOException {
        pair = BsdSockets.tcpPair(0);
        DefaultFileRegion region = new DefaultFileRegion(channel, base, length);

        long sent = BsdSocket.sendFile(pair[0], region, base, offset, length);

        assertEquals(expected, sent);
        assertEquals(offset + expected, region.transferred());
        assertArrayEquals(Arrays.copyOfRange(CONTENT, first, first + expected),
                BsdSockets.read(pair[1], expected));
        assertEquals(0, channel.position(), "the channel's own position is not used");
    }

    static Stream<Arguments> pastTheEnd() {
        // base position, offset, length: a file position at or past the end
        return Stream.of(
                Arguments.of("at the end, offset given", (long) FILE_SIZE, 7L, 10L),
                Arguments.of("far past the end (2^44)", 1L << 44, 0L, 10L),
                Arguments.of("near the top of a long", Long.MAX_VALUE - 100, 3L, 10L),
                Arguments.of("near the top of a long, length 0", Long.MAX_VALUE - 100, 3L, 0L));
    }

    /** As on FreeBSD: nothing to send is a success with 0 bytes, never an error. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("pastTheEnd")
    void nothingToSendReturnsZeroAndLeavesTransferredAlone(String name, long base, long offset, long length) {
        pair = BsdSockets.tcpPair(0);
        DefaultFileRegion region = new DefaultFileRegion(channel, base, length);

        assertEquals(0, BsdSocket.sendFile(pair[0], region, base, offset, length));
        assertEquals(0, region.transferred(), "offset + 0 must not be recorded");
        assertEquals(0, BsdSockets.readAll(pair[1]).length);
    }

    /**
     * A connection that is gone gives -EPIPE, whichever end went and however; the
     * reset itself may be reported once first. Only a socket that never connected
     * gives -ENOTCONN.
     */
    @ParameterizedTest(name = "{0}")
    @MethodSource("goneConnections")
    void goneConnectionReturnsEpipe(String name, boolean resetByReceiver) {
        pair = BsdSockets.tcpPair(0);
        int gone = resetByReceiver ? 1 : 0;
        int sender = 1 - gone;
        Socket.setSoLinger(pair[gone], 0);
        close(pair[gone]);
        pair[gone] = -1;
        DefaultFileRegion region = new DefaultFileRegion(channel, 0, 10);

        // Until the reset has arrived and been reported, a call may still send or
        // say ECONNRESET; after that, every call must say EPIPE.
        int epipe = ErrorsStaticallyReferencedJniMethods.errnoEPIPE();
        long result = 0;
        for (int i = 0; i < 100 && result != -epipe; i++) {
            result = BsdSocket.sendFile(pair[sender], region, 0, 0, 10);
            assertTrue(result >= 0 || result == -epipe
                    || result == -ErrorsStaticallyReferencedJniMethods.errnoECONNRESET(), "result " + result);
            if (result != -epipe) {
                LockSupport.parkNanos(1_000_000);
            }
        }
        assertEquals(-epipe, result);
        assertEquals(-epipe, BsdSocket.sendFile(pair[sender], region, 0, 0, 10), "asked again");
    }

    static Stream<Arguments> goneConnections() {
        return Stream.of(
                Arguments.of("connecting end, reset by the accepted end", true),
                Arguments.of("accepted end, reset by the connecting end", false));
    }

    @Test
    void neverConnectedSocketReturnsEnotconn() {
        int fd = BsdSockets.tcpUnconnected();
        try {
            DefaultFileRegion region = new DefaultFileRegion(channel, 0, 10);
            assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOTCONN(),
                    BsdSocket.sendFile(fd, region, 0, 0, 10));
            assertEquals(0, region.transferred());
        } finally {
            close(fd);
        }
    }

    /** A peer that does not read: part goes, then the socket is full. */
    @Test
    void fullSocketSendsPartThenReportsEagain() throws IOException {
        byte[] big = BsdSockets.pattern(8 << 20);
        try (FileChannel bigFile = FileChannel.open(BsdSockets.file(dir, big), StandardOpenOption.READ)) {
            pair = BsdSockets.tcpPair(4096);
            DefaultFileRegion region = new DefaultFileRegion(bigFile, 100, big.length - 100);
            long offset = 11;
            long length = big.length - 111;

            long part = BsdSocket.sendFile(pair[0], region, 100, offset, length);
            assertTrue(part > 0 && part < length, "sent " + part + " of " + length);
            assertEquals(offset + part, region.transferred());

            // The stack may still move a little from the send queue to the peer:
            // go on until a call finds no room at all. These calls name the same
            // file position with a base 7 lower and an offset 7 higher, so that a
            // failed call that wrote its offset into transferred would show.
            long total = part;
            long expectedTransferred = offset + part;
            long result = 0;
            for (int i = 0; i < 1000 && result >= 0; i++) {
                long callOffset = offset + total + 7;
                result = BsdSocket.sendFile(pair[0], region, 93, callOffset, length - total);
                if (result > 0) {
                    total += result;
                    expectedTransferred = callOffset + result;
                }
                assertEquals(expectedTransferred, region.transferred());
            }
            assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEAGAIN(), result);
            part = total;

            byte[] received = BsdSockets.readAll(pair[1]);
            assertArrayEquals(Arrays.copyOfRange(big, 111, 111 + (int) part), received);
        }
    }

    static Stream<Arguments> badPositions() {
        return Stream.of(
                Arguments.of("negative length", 0L, 0L, -1L),
                Arguments.of("negative offset", 0L, -1L, 10L),
                Arguments.of("negative base position", -5L, 0L, 10L),
                Arguments.of("position overflows", Long.MAX_VALUE, 1L, 10L));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("badPositions")
    void impossiblePositionsReturnEinvalAndSendNothing(String name, long base, long offset, long length) {
        pair = BsdSockets.tcpPair(0);
        DefaultFileRegion region = new DefaultFileRegion(channel, base, length);

        assertEquals(-BsdSockets.KQueueErrno.EINVAL, BsdSocket.sendFile(pair[0], region, base, offset, length));
        assertEquals(0, region.transferred());
        assertEquals(0, BsdSockets.readAll(pair[1]).length);
    }

    @Test
    void closedSocketReturnsEbadf() {
        int fd = BsdSockets.tcpUnconnected();
        close(fd);
        DefaultFileRegion region = new DefaultFileRegion(channel, 0, 10);

        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(), BsdSocket.sendFile(fd, region, 0, 0, 10));
        assertEquals(0, region.transferred());
    }

    static Stream<Arguments> brokenRegions() {
        return Stream.of(
                Arguments.of("no file", (Function<FileChannel, DefaultFileRegion>) ch -> new DefaultFileRegion(null, 0, 10),
                        "failed to get DefaultFileRegion.file"),
                Arguments.of("no region", (Function<FileChannel, DefaultFileRegion>) ch -> null,
                        "failed to get DefaultFileRegion.file"),
                Arguments.of("a FileChannel of another kind",
                        (Function<FileChannel, DefaultFileRegion>) ch -> new DefaultFileRegion(new ForeignFileChannel(), 0, 10),
                        "failed to get FileChannelImpl.fd"),
                Arguments.of("a closed channel", (Function<FileChannel, DefaultFileRegion>) ch -> {
                    closeQuietly(ch);
                    return new DefaultFileRegion(ch, 0, 10);
                }, "failed to get FileDescriptor.fd"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("brokenRegions")
    void unreadableRegionRaisesRuntimeException(String name, Function<FileChannel, DefaultFileRegion> make,
            String message) {
        pair = BsdSockets.tcpPair(0);
        DefaultFileRegion region = make.apply(channel);

        RuntimeException e = assertThrows(RuntimeException.class,
                () -> BsdSocket.sendFile(pair[0], region, 0, 0, 10));
        assertEquals(RuntimeException.class, e.getClass());
        assertEquals(message, e.getMessage());
        if (region != null) {
            assertEquals(0, region.transferred());
        }
        assertEquals(0, BsdSockets.readAll(pair[1]).length);
    }

    private static void closeQuietly(FileChannel ch) {
        try {
            ch.close();
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    /** A FileChannel that is not the JDK's: it has no descriptor field to read. */
    private static final class ForeignFileChannel extends FileChannel {
        @Override
        public int read(ByteBuffer dst) {
            return -1;
        }

        @Override
        public long read(ByteBuffer[] dsts, int offset, int length) {
            return -1;
        }

        @Override
        public int write(ByteBuffer src) {
            return 0;
        }

        @Override
        public long write(ByteBuffer[] srcs, int offset, int length) {
            return 0;
        }

        @Override
        public long position() {
            return 0;
        }

        @Override
        public FileChannel position(long newPosition) {
            return this;
        }

        @Override
        public long size() {
            return 0;
        }

        @Override
        public FileChannel truncate(long size) {
            return this;
        }

        @Override
        public void force(boolean metaData) {
        }

        @Override
        public long transferTo(long position, long count, WritableByteChannel target) {
            return 0;
        }

        @Override
        public long transferFrom(ReadableByteChannel src, long position, long count) {
            return 0;
        }

        @Override
        public int read(ByteBuffer dst, long position) {
            return -1;
        }

        @Override
        public int write(ByteBuffer src, long position) {
            return 0;
        }

        @Override
        public MappedByteBuffer map(MapMode mode, long position, long size) throws IOException {
            throw new IOException("not mappable");
        }

        @Override
        public FileLock lock(long position, long size, boolean shared) throws IOException {
            throw new IOException("not lockable");
        }

        @Override
        public FileLock tryLock(long position, long size, boolean shared) throws IOException {
            throw new IOException("not lockable");
        }

        @Override
        protected void implCloseChannel() {
        }
    }
}
