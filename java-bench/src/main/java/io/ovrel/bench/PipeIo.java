package io.ovrel.bench;

import static io.ovrel.bench.Common.BATCH;

import io.ovrel.channel.unix.FileDescriptor;
import java.io.IOException;
import java.lang.foreign.MemorySegment;
import java.nio.ByteBuffer;
import java.nio.channels.Pipe;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;

/**
 * read and write of one byte on a non-blocking pipe: our natives (address and ByteBuffer
 * forms), a Foreign Function downcall of libc, and NIO's Pipe channels. Every BATCH
 * operations one large call refills (or drains) the pipe, by the same means as the
 * timed call, exactly as in bench/natives_bench.cpp.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class PipeIo {
    private int rfd;
    private int wfd;
    private ByteBuffer one;
    private long oneAddress;
    private MemorySegment oneSegment;
    private ByteBuffer big;
    private long bigAddress;
    private MemorySegment bigSegment;
    private Pipe nio;
    private int left;

    @Setup
    public void setup() throws IOException {
        Lib.load();
        int[] p = Lib.pipe();
        rfd = p[0];
        wfd = p[1];
        one = Lib.direct(1);
        oneAddress = Lib.address(one);
        oneSegment = MemorySegment.ofBuffer(one);
        big = Lib.direct(BATCH);
        bigAddress = Lib.address(big);
        bigSegment = MemorySegment.ofBuffer(big);
        nio = Pipe.open();
        nio.source().configureBlocking(false);
        nio.sink().configureBlocking(false);
        left = 0;
    }

    @TearDown
    public void tearDown() throws IOException {
        FileDescriptor.close(rfd);
        FileDescriptor.close(wfd);
        nio.source().close();
        nio.sink().close();
    }

    // ---- read ----

    @Benchmark
    public int read_ours_readAddress() {
        if (left == 0) {
            Lib.check(FileDescriptor.writeAddress(wfd, bigAddress, 0, BATCH), "refill");
            left = BATCH;
        }
        left--;
        return Lib.expect(FileDescriptor.readAddress(rfd, oneAddress, 0, 1), 1);
    }

    @Benchmark
    public int read_ours_read() {
        if (left == 0) {
            Lib.check(FileDescriptor.write(wfd, big, 0, BATCH), "refill");
            left = BATCH;
        }
        left--;
        return Lib.expect(FileDescriptor.read(rfd, one, 0, 1), 1);
    }

    @Benchmark
    public long read_ffm() throws Throwable {
        if (left == 0) {
            Lib.check((long) Libc.WRITE.invokeExact(wfd, bigSegment, (long) BATCH), "refill");
            left = BATCH;
        }
        left--;
        return Lib.expect((long) Libc.READ.invokeExact(rfd, oneSegment, 1L), 1);
    }

    @Benchmark
    public int read_nio() throws IOException {
        if (left == 0) {
            big.clear();
            Lib.check(nio.sink().write(big), "refill");
            left = BATCH;
        }
        left--;
        one.clear();
        return Lib.expect(nio.source().read(one), 1);
    }

    // ---- write ----

    @Benchmark
    public int write_ours_writeAddress() {
        if (left == BATCH) {
            Lib.check(FileDescriptor.readAddress(rfd, bigAddress, 0, BATCH), "drain");
            left = 0;
        }
        left++;
        return Lib.expect(FileDescriptor.writeAddress(wfd, oneAddress, 0, 1), 1);
    }

    @Benchmark
    public int write_ours_write() {
        if (left == BATCH) {
            Lib.check(FileDescriptor.read(rfd, big, 0, BATCH), "drain");
            left = 0;
        }
        left++;
        return Lib.expect(FileDescriptor.write(wfd, one, 0, 1), 1);
    }

    @Benchmark
    public long write_ffm() throws Throwable {
        if (left == BATCH) {
            Lib.check((long) Libc.READ.invokeExact(rfd, bigSegment, (long) BATCH), "drain");
            left = 0;
        }
        left++;
        return Lib.expect((long) Libc.WRITE.invokeExact(wfd, oneSegment, 1L), 1);
    }

    @Benchmark
    public int write_nio() throws IOException {
        if (left == BATCH) {
            big.clear();
            Lib.check(nio.source().read(big), "drain");
            left = 0;
        }
        left++;
        one.clear();
        return Lib.expect(nio.sink().write(one), 1);
    }
}
