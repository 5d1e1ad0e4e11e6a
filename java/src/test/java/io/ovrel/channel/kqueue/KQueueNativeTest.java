package io.ovrel.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.test.NativeLibraryExtension;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.function.IntSupplier;
import java.util.function.Supplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** The kqueue natives called from a JVM: constants, record layout, evSet, waits and user events. */
@ExtendWith(NativeLibraryExtension.class)
class KQueueNativeTest {
    private static final int USER_ID = 7;
    private static final long NANOS_PER_MILLI = 1_000_000L;

    /** FreeBSD's values on every platform: the Java side writes them into kernel records. */
    static Stream<Arguments> constants() {
        return Stream.of(
                constant("evfiltRead", KQueueStaticallyReferencedJniMethods::evfiltRead, -1),
                constant("evfiltWrite", KQueueStaticallyReferencedJniMethods::evfiltWrite, -2),
                constant("evfiltUser", KQueueStaticallyReferencedJniMethods::evfiltUser, -11),
                constant("evfiltSock", KQueueStaticallyReferencedJniMethods::evfiltSock, 0),
                constant("evAdd", KQueueStaticallyReferencedJniMethods::evAdd, 0x1),
                constant("evEnable", KQueueStaticallyReferencedJniMethods::evEnable, 0x4),
                constant("evDisable", KQueueStaticallyReferencedJniMethods::evDisable, 0x8),
                constant("evDelete", KQueueStaticallyReferencedJniMethods::evDelete, 0x2),
                constant("evClear", KQueueStaticallyReferencedJniMethods::evClear, 0x20),
                constant("evEOF", KQueueStaticallyReferencedJniMethods::evEOF, -32768),
                constant("evError", KQueueStaticallyReferencedJniMethods::evError, 0x4000),
                constant("noteReadClosed", KQueueStaticallyReferencedJniMethods::noteReadClosed, 0),
                constant("noteConnReset", KQueueStaticallyReferencedJniMethods::noteConnReset, 0),
                constant("noteDisconnected", KQueueStaticallyReferencedJniMethods::noteDisconnected, 0));
    }

    private static Arguments constant(String name, Supplier<Short> value, int expected) {
        return Arguments.of(name, value, (short) expected);
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("constants")
    void constantHasFreeBsdValue(String name, Supplier<Short> value, short expected) {
        assertEquals(expected, value.get(), name);
    }

    static Stream<Arguments> layout() {
        return Stream.of(
                Arguments.of("sizeofKEvent", (IntSupplier) Native::sizeofKEvent, 64),
                Arguments.of("offsetofKEventIdent", (IntSupplier) Native::offsetofKEventIdent, 0),
                Arguments.of("offsetofKEventFilter", (IntSupplier) Native::offsetofKEventFilter, 8),
                Arguments.of("offsetofKEventFlags", (IntSupplier) Native::offsetofKEventFlags, 10),
                Arguments.of("offsetofKEventFFlags", (IntSupplier) Native::offsetofKEventFFlags, 12),
                Arguments.of("offsetofKeventData", (IntSupplier) Native::offsetofKeventData, 16));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("layout")
    void layoutIsTheKernelRecord(String name, IntSupplier value, int expected) {
        assertEquals(expected, value.getAsInt(), name);
    }

    /** ident as given, and the 64-bit value the kernel must see (an int sign-extended). */
    static Stream<Arguments> evSetRecords() {
        return Stream.of(
                Arguments.of(-1, -1L, (short) -11, (short) 0x25, 0x01000000),
                Arguments.of(Integer.MIN_VALUE, (long) Integer.MIN_VALUE, (short) -1, (short) 0x8001, -1),
                Arguments.of(Integer.MAX_VALUE, 0x7fffffffL, (short) -2, (short) 0x4000, 0),
                Arguments.of(3, 3L, (short) 0, (short) 0, 12345));
    }

    /**
     * evSet fills exactly one 64-byte record: the given fields at the reported offsets,
     * zeroes in data, udata and ext even over old contents, and nothing outside it.
     */
    @ParameterizedTest(name = "ident {0}")
    @MethodSource("evSetRecords")
    void evSetWritesOneWholeRecord(int ident, long storedIdent, short filter, short flags, int fflags) {
        ByteBuffer records = ByteBuffer.allocateDirect(3 * 64).order(ByteOrder.nativeOrder());
        for (int i = 0; i < records.capacity(); i++) {
            records.put(i, (byte) 0x5a);
        }
        KQueueEventArray.evSet(Buffer.memoryAddress0(records) + 64, ident, filter, flags, fflags);

        assertEquals(storedIdent, records.getLong(64));
        assertEquals(filter, records.getShort(64 + 8));
        assertEquals(flags, records.getShort(64 + 10));
        assertEquals(fflags, records.getInt(64 + 12));
        for (int at = 16; at < 64; at++) {
            assertEquals(0, records.get(64 + at), "byte " + at + " of the record (data, udata, ext)");
        }
        for (int at : new int[] {0, 63, 128, 191}) {
            assertEquals(0x5a, records.get(at), "byte " + at + " outside the record");
        }
    }

    @Test
    void zeroTimeoutReturnsAtOnce() {
        try (KQueueFixture q = new KQueueFixture()) {
            long start = System.nanoTime();
            assertEquals(0, q.wait(0, 0));
            assertTrue(System.nanoTime() - start < 1_000 * NANOS_PER_MILLI, "a 0/0 wait blocked");
        }
    }

    /** Both halves of the timeout count: nanoseconds alone, and seconds alone. */
    static Stream<Arguments> timeouts() {
        return Stream.of(Arguments.of(0, 300_000_000), Arguments.of(1, 0));
    }

    @ParameterizedTest(name = "{0} s {1} ns")
    @MethodSource("timeouts")
    void boundedTimeoutReturnsZeroAfterRoughlyThatTime(int seconds, int nanos) {
        long timeout = seconds * 1_000 * NANOS_PER_MILLI + nanos;
        try (KQueueFixture q = new KQueueFixture()) {
            long start = System.nanoTime();
            assertEquals(0, q.wait(seconds, nanos));
            long elapsed = System.nanoTime() - start;
            assertTrue(elapsed >= timeout - 50 * NANOS_PER_MILLI, "returned after " + elapsed / NANOS_PER_MILLI
                    + " ms of a " + timeout / NANOS_PER_MILLI + " ms timeout");
            assertTrue(elapsed < timeout + 4_000 * NANOS_PER_MILLI, "returned after " + elapsed / NANOS_PER_MILLI
                    + " ms of a " + timeout / NANOS_PER_MILLI + " ms timeout");
        }
    }

    static Stream<Arguments> descriptorsNotOpen() {
        return Stream.of(
                Arguments.of("a closed kqueue", (IntSupplier) () -> {
                    int kq = Native.kqueueCreate();
                    FileDescriptor.close(kq);
                    return kq;
                }),
                Arguments.of("-1", (IntSupplier) () -> -1));
    }

    /** A wait on a dead descriptor is an ordinary failure for the loop to handle, not an exception. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("descriptorsNotOpen")
    void waitOnDescriptorNotOpenReturnsMinusEbadf(String what, IntSupplier descriptor) {
        ByteBuffer events = ByteBuffer.allocateDirect(4 * 64);
        int n = Native.keventWait(descriptor.getAsInt(), 0, 0, Buffer.memoryAddress0(events), 4, 0, 0);
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(), n);
    }

    @Test
    void triggeringAUserEventNeverAddedReturnsMinusEnoent() {
        try (KQueueFixture q = new KQueueFixture()) {
            assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(), Native.keventTriggerUserEvent(q.kq, 99));
        }
    }

    /**
     * A trigger made before anyone waits is kept, reported once, and consumed by that
     * report: the user event is added with EV_CLEAR.
     */
    @Test
    void pendingTriggerIsReportedOnceByTheNextWait() {
        try (KQueueFixture q = new KQueueFixture()) {
            assertEquals(0, Native.keventAddUserEvent(q.kq, USER_ID));
            assertEquals(0, q.poll(), "an added but untriggered user event must not fire");
            assertEquals(0, Native.keventTriggerUserEvent(q.kq, USER_ID));
            int n = q.poll();
            assertEquals(1, n, q.describe(n));
            assertEquals(USER_ID, q.ident(0));
            assertEquals(KQueueStaticallyReferencedJniMethods.evfiltUser(), q.filter(0));
            assertEquals(0, q.poll(), "the trigger was not consumed by its report");
            // Several triggers before a wait collapse into one report.
            assertEquals(0, Native.keventTriggerUserEvent(q.kq, USER_ID));
            assertEquals(0, Native.keventTriggerUserEvent(q.kq, USER_ID));
            n = q.poll();
            assertEquals(1, n, q.describe(n));
            assertEquals(0, q.poll());
        }
    }

    /** The event loop's wake-up: another thread ends a wait whose own timeout is far away. */
    @Test
    void triggerFromAnotherThreadEndsALongWait() throws Exception {
        ExecutorService waiter = Executors.newSingleThreadExecutor();
        try (KQueueFixture q = new KQueueFixture()) {
            assertEquals(0, Native.keventAddUserEvent(q.kq, USER_ID));
            Future<long[]> woken = waiter.submit(() -> {
                int n = q.wait(30, 0);
                return new long[] {n, System.nanoTime(), n > 0 ? q.ident(0) : 0, n > 0 ? q.filter(0) : 0};
            });
            Thread.sleep(200);
            assertTrue(!woken.isDone(), "the wait returned before it was woken");
            long triggeredAt = System.nanoTime();
            assertEquals(0, Native.keventTriggerUserEvent(q.kq, USER_ID));
            long[] result = woken.get(10, TimeUnit.SECONDS);
            assertEquals(1, result[0]);
            assertEquals(USER_ID, result[2]);
            assertEquals(KQueueStaticallyReferencedJniMethods.evfiltUser(), (short) result[3]);
            assertTrue(result[1] - triggeredAt < 5_000 * NANOS_PER_MILLI, "woke "
                    + (result[1] - triggeredAt) / NANOS_PER_MILLI + " ms after the trigger");
        } finally {
            waiter.shutdownNow();
            assertTrue(waiter.awaitTermination(35, TimeUnit.SECONDS));
        }
    }

    @Test
    void kqueueCreateGivesDistinctOpenDescriptors() {
        int a = Native.kqueueCreate();
        int b = Native.kqueueCreate();
        try {
            assertTrue(a >= 0 && b >= 0 && a != b, a + ", " + b);
        } finally {
            assertEquals(0, FileDescriptor.close(a));
            assertEquals(0, FileDescriptor.close(b));
        }
    }
}
