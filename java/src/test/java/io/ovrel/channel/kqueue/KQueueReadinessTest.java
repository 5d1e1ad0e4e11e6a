package io.ovrel.channel.kqueue;

import static io.ovrel.channel.kqueue.KQueueFixture.flags;
import static io.ovrel.channel.kqueue.KQueueFixture.writeBytes;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.channel.kqueue.KQueueFixture.Pair;
import io.ovrel.channel.kqueue.KQueueFixture.Source;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.test.NativeLibraryExtension;
import java.nio.ByteBuffer;
import java.util.stream.Stream;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.EnumSource;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Pipes and loopback TCP connections as readiness sources of a kqueue, through evSet
 * and keventWait: what an event loop relies on for reads, writes and peer closes.
 */
@ExtendWith(NativeLibraryExtension.class)
class KQueueReadinessTest {
    private static final short READ = KQueueStaticallyReferencedJniMethods.evfiltRead();
    private static final short WRITE = KQueueStaticallyReferencedJniMethods.evfiltWrite();
    private static final short ADD = KQueueStaticallyReferencedJniMethods.evAdd();
    private static final short DELETE = KQueueStaticallyReferencedJniMethods.evDelete();
    private static final short ENABLE = KQueueStaticallyReferencedJniMethods.evEnable();
    private static final short DISABLE = KQueueStaticallyReferencedJniMethods.evDisable();
    private static final short CLEAR = KQueueStaticallyReferencedJniMethods.evClear();
    private static final int EOF = KQueueStaticallyReferencedJniMethods.evEOF() & 0xffff;
    private static final int ERROR = KQueueStaticallyReferencedJniMethods.evError() & 0xffff;

    @ParameterizedTest
    @EnumSource(Source.class)
    void readFilterFiresOnlyOnceBytesArriveAndCountsThem(Source source) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            q.change(p.reader, READ, ADD);
            assertEquals(0, q.poll(), "readable before anything was written");
            writeBytes(p.writer, 3);
            int n = q.awaitEvents();
            int i = q.find(n, p.reader, READ);
            assertTrue(i >= 0, q.describe(n));
            assertEquals(3, q.data(i), "bytes waiting");
            assertEquals(0, q.flags(i) & EOF, q.describe(n));
        }
    }

    /** A loop hands the kernel all of a turn's changes in the wait that follows them. */
    @ParameterizedTest
    @EnumSource(Source.class)
    void everyChangeOfOneCallTakesEffect(Source source) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open(); Pair other = source.open()) {
            writeBytes(p.writer, 1);
            writeBytes(other.writer, 2);
            q.change(p.reader, READ, ADD);
            q.change(p.writer, WRITE, ADD);
            q.change(other.reader, READ, ADD);
            int n = q.awaitEvents();
            if (n < 3) {
                n = q.poll(); // readiness may show up over two waits; none may be missing from the second
            }
            assertEquals(3, n, q.describe(n));
            assertTrue(q.find(n, p.reader, READ) >= 0, q.describe(n));
            assertTrue(q.find(n, p.writer, WRITE) >= 0, q.describe(n));
            int i = q.find(n, other.reader, READ);
            assertTrue(i >= 0, q.describe(n));
            assertEquals(2, q.data(i), q.describe(n));
        }
    }

    /** Level-triggered reports again while bytes wait; EV_CLEAR only after new bytes arrive. */
    static Stream<Arguments> triggerModes() {
        return Stream.of(Source.values()).flatMap(source -> Stream.of(
                Arguments.of(source, "level", ADD, true),
                Arguments.of(source, "EV_CLEAR", flags(ADD, CLEAR), false)));
    }

    @ParameterizedTest(name = "{0} {1}")
    @MethodSource("triggerModes")
    void unreadBytesAreReportedAgainOnlyWhenLevelTriggered(Source source, String mode, short addFlags,
            boolean reportedAgain) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            q.change(p.reader, READ, addFlags);
            writeBytes(p.writer, 1);
            int n = q.awaitEvents();
            assertTrue(q.find(n, p.reader, READ) >= 0, q.describe(n));

            n = q.poll();
            assertEquals(reportedAgain, q.find(n, p.reader, READ) >= 0, "second report of unread bytes: "
                    + q.describe(n));

            writeBytes(p.writer, 1);
            n = q.awaitEvents();
            int i = q.find(n, p.reader, READ);
            assertTrue(i >= 0, "new bytes not reported: " + q.describe(n));
            assertEquals(2, q.data(i), "bytes waiting");
        }
    }

    @ParameterizedTest
    @EnumSource(Source.class)
    void writeFilterReportsRoomOnAnEmptyBuffer(Source source) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            q.change(p.writer, WRITE, ADD);
            int n = q.awaitEvents();
            int i = q.find(n, p.writer, WRITE);
            assertTrue(i >= 0, q.describe(n));
            assertTrue(q.data(i) > 0, "room to write: " + q.describe(n));
        }
    }

    /**
     * A full pipe or socket stops reporting EVFILT_WRITE (EV_CLEAR, as a loop waiting
     * out a partial write uses it) and reports it again once the reader made room.
     */
    @ParameterizedTest
    @EnumSource(Source.class)
    void writeFilterFiresAgainWhenAFullBufferDrains(Source source) {
        ByteBuffer chunk = ByteBuffer.allocateDirect(64 * 1024);
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            int eagain = -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
            long filled = 0;
            int w;
            while ((w = FileDescriptor.write(p.writer, chunk, 0, chunk.capacity())) > 0) {
                filled += w;
                assertTrue(filled < (1L << 30), "the buffer never filled");
            }
            assertEquals(eagain, w, "a full non-blocking descriptor");
            q.change(p.writer, WRITE, flags(ADD, CLEAR));
            int n = q.poll();
            assertEquals(-1, q.find(n, p.writer, WRITE), "writable while full: " + q.describe(n));

            long drained = 0;
            long deadline = System.nanoTime() + KQueueFixture.EVENT_WAIT_SECONDS * 1_000_000_000L;
            while (drained < filled) {
                int r = FileDescriptor.read(p.reader, chunk, 0, chunk.capacity());
                if (r > 0) {
                    drained += r;
                } else {
                    assertEquals(eagain, r, "read after " + drained + " of " + filled + " bytes");
                    assertTrue(System.nanoTime() < deadline, "only " + drained + " of " + filled + " bytes arrived");
                    Thread.onSpinWait();
                }
            }
            n = q.awaitEvents();
            int i = q.find(n, p.writer, WRITE);
            assertTrue(i >= 0, q.describe(n));
            assertTrue(q.data(i) > 0, q.describe(n));
        }
    }

    /** Bytes still waiting when the peer goes away stay readable; EV_EOF tells the loop no more follow. */
    static Stream<Arguments> peerCloses() {
        return Stream.of(Source.values()).flatMap(source -> Stream.of(
                Arguments.of(source, 0), Arguments.of(source, 2)));
    }

    @ParameterizedTest(name = "{0} with {1} unread bytes")
    @MethodSource("peerCloses")
    void peerCloseSetsEofOnTheReadFilter(Source source, int unread) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            q.change(p.reader, READ, ADD);
            assertEquals(0, q.poll());
            if (unread > 0) {
                writeBytes(p.writer, unread);
            }
            p.closeWriter();
            int n = q.awaitEvents();
            int i = q.find(n, p.reader, READ);
            assertTrue(i >= 0, q.describe(n));
            assertNotEquals(0, q.flags(i) & EOF, "EV_EOF: " + q.describe(n));
            assertEquals(unread, q.data(i), "bytes still to read: " + q.describe(n));
        }
    }

    /** Filters that must stay silent although their descriptor is ready, and the change that revives them. */
    static Stream<Arguments> silencedFilters() {
        return Stream.of(Source.values()).flatMap(source -> Stream.of(
                Arguments.of(source, "EV_DELETE", DELETE, ADD),
                Arguments.of(source, "EV_DISABLE", DISABLE, ENABLE)));
    }

    @ParameterizedTest(name = "{0} {1}")
    @MethodSource("silencedFilters")
    void silencedReadFilterIgnoresReadyDescriptorUntilRevived(Source source, String how, short silence,
            short revive) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            q.change(p.reader, READ, ADD);
            writeBytes(p.writer, 1);
            int n = q.awaitEvents();
            assertTrue(q.find(n, p.reader, READ) >= 0, q.describe(n));

            q.change(p.reader, READ, silence);
            n = q.wait(0, 200_000_000);
            assertEquals(0, n, how + " left the filter reporting: " + q.describe(n));

            q.change(p.reader, READ, revive);
            n = q.awaitEvents();
            int i = q.find(n, p.reader, READ);
            assertTrue(i >= 0, q.describe(n));
            assertEquals(1, q.data(i));
        }
    }

    /** A refused change comes back in the event array, so a loop learns which one failed. */
    @ParameterizedTest
    @EnumSource(Source.class)
    void deletingAFilterNeverAddedReportsEnoentInTheEventArray(Source source) {
        try (KQueueFixture q = new KQueueFixture(); Pair p = source.open()) {
            q.change(p.reader, READ, DELETE);
            int n = q.poll();
            assertEquals(1, n, q.describe(n));
            assertEquals(p.reader, q.ident(0));
            assertNotEquals(0, q.flags(0) & ERROR, q.describe(n));
            assertEquals(ErrorsStaticallyReferencedJniMethods.errnoENOENT(), q.data(0), q.describe(n));
        }
    }
}
