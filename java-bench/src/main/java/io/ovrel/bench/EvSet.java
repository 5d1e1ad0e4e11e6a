package io.ovrel.bench;

import io.ovrel.channel.kqueue.KQueueEventArray;
import io.ovrel.demo.KEvents;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.ValueLayout;
import java.lang.reflect.Field;
import java.nio.ByteBuffer;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;

/**
 * Filling one 64-byte change record in native memory: the evSet native against the same
 * stores made from Java (Unsafe, a MemorySegment, a direct ByteBuffer), at the offsets the
 * library reports. Cycles through 16 records, as bench/natives_bench.cpp does.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class EvSet {
    private static final sun.misc.Unsafe UNSAFE = unsafe();
    private static final ValueLayout.OfLong LONG = ValueLayout.JAVA_LONG_UNALIGNED;
    private static final ValueLayout.OfShort SHORT = ValueLayout.JAVA_SHORT_UNALIGNED;
    private static final ValueLayout.OfInt INT = ValueLayout.JAVA_INT_UNALIGNED;

    private ByteBuffer records;
    private long address;
    private MemorySegment segment;
    private int size;
    private int ident;
    private short filter;
    private short flags;
    private int i;

    @Setup
    public void setup() {
        Lib.load();
        size = KEvents.SIZE;
        records = Lib.direct(16 * size);
        address = Lib.address(records);
        segment = MemorySegment.ofBuffer(records);
        filter = KEvents.EVFILT_READ;
        flags = KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR);
        ident = 7;
    }

    private static sun.misc.Unsafe unsafe() {
        try {
            Field f = sun.misc.Unsafe.class.getDeclaredField("theUnsafe");
            f.setAccessible(true);
            return (sun.misc.Unsafe) f.get(null);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    @Benchmark
    public void evSet_ours() {
        KQueueEventArray.evSet(address + (long) (i++ & 15) * size, ident, filter, flags, 0);
    }

    @Benchmark
    public void evSet_java_unsafe() {
        long at = address + (long) (i++ & 15) * size;
        UNSAFE.putLong(at + KEvents.IDENT, ident);
        UNSAFE.putShort(at + KEvents.FILTER, filter);
        UNSAFE.putShort(at + KEvents.FLAGS, flags);
        UNSAFE.putInt(at + KEvents.FFLAGS, 0);
        UNSAFE.putLong(at + KEvents.DATA, 0L);
        UNSAFE.putLong(at + 24, 0L); // udata
        UNSAFE.putLong(at + 32, 0L); // ext[4]
        UNSAFE.putLong(at + 40, 0L);
        UNSAFE.putLong(at + 48, 0L);
        UNSAFE.putLong(at + 56, 0L);
    }

    @Benchmark
    public void evSet_java_memorySegment() {
        long at = (long) (i++ & 15) * size;
        MemorySegment s = segment;
        s.set(LONG, at + KEvents.IDENT, ident);
        s.set(SHORT, at + KEvents.FILTER, filter);
        s.set(SHORT, at + KEvents.FLAGS, flags);
        s.set(INT, at + KEvents.FFLAGS, 0);
        s.set(LONG, at + KEvents.DATA, 0L);
        s.set(LONG, at + 24, 0L);
        s.set(LONG, at + 32, 0L);
        s.set(LONG, at + 40, 0L);
        s.set(LONG, at + 48, 0L);
        s.set(LONG, at + 56, 0L);
    }

    @Benchmark
    public void evSet_java_byteBuffer() {
        int at = (i++ & 15) * size;
        ByteBuffer b = records;
        b.putLong(at + KEvents.IDENT, ident);
        b.putShort(at + KEvents.FILTER, filter);
        b.putShort(at + KEvents.FLAGS, flags);
        b.putInt(at + KEvents.FFLAGS, 0);
        b.putLong(at + KEvents.DATA, 0L);
        b.putLong(at + 24, 0L);
        b.putLong(at + 32, 0L);
        b.putLong(at + 40, 0L);
        b.putLong(at + 48, 0L);
        b.putLong(at + 56, 0L);
    }
}
