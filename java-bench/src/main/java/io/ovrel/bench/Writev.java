package io.ovrel.bench;

import static io.ovrel.bench.Common.IOV_BYTES;
import static io.ovrel.bench.Common.IOV_COUNT;
import static io.ovrel.bench.Common.WRITEV_BATCH;

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
 * A gathering write of 8 buffers of 8 bytes to a pipe, drained every WRITEV_BATCH calls:
 * writevAddresses (iovecs already in native memory), writev (a ByteBuffer[] the native
 * walks through JNI), a Foreign Function writev, and NIO's GatheringByteChannel.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class Writev {
    private static final int TOTAL = IOV_COUNT * IOV_BYTES;
    private static final int DRAIN = WRITEV_BATCH * TOTAL;

    private int rfd;
    private int wfd;
    private ByteBuffer[] buffers;
    private ByteBuffer iov;
    private long iovAddress;
    private MemorySegment iovSegment;
    private ByteBuffer drain;
    private long drainAddress;
    private MemorySegment drainSegment;
    private Pipe nio;
    private int done;

    @Setup
    public void setup() throws IOException {
        Lib.load();
        int[] p = Lib.pipe();
        rfd = p[0];
        wfd = p[1];
        buffers = new ByteBuffer[IOV_COUNT];
        iov = Lib.direct(IOV_COUNT * 16);
        for (int i = 0; i < IOV_COUNT; i++) {
            buffers[i] = Lib.direct(IOV_BYTES);
            iov.putLong(i * 16, Lib.address(buffers[i]));
            iov.putLong(i * 16 + 8, IOV_BYTES);
        }
        iovAddress = Lib.address(iov);
        iovSegment = MemorySegment.ofBuffer(iov);
        drain = Lib.direct(DRAIN);
        drainAddress = Lib.address(drain);
        drainSegment = MemorySegment.ofBuffer(drain);
        nio = Pipe.open();
        nio.source().configureBlocking(false);
        nio.sink().configureBlocking(false);
        done = 0;
    }

    @TearDown
    public void tearDown() throws IOException {
        FileDescriptor.close(rfd);
        FileDescriptor.close(wfd);
        nio.source().close();
        nio.sink().close();
    }

    @Benchmark
    public long writev_ours_writevAddresses() {
        if (done == WRITEV_BATCH) {
            Lib.expect(FileDescriptor.readAddress(rfd, drainAddress, 0, DRAIN), DRAIN);
            done = 0;
        }
        done++;
        return Lib.expect(FileDescriptor.writevAddresses(wfd, iovAddress, IOV_COUNT), TOTAL);
    }

    @Benchmark
    public long writev_ours_writev() {
        if (done == WRITEV_BATCH) {
            Lib.expect(FileDescriptor.readAddress(rfd, drainAddress, 0, DRAIN), DRAIN);
            done = 0;
        }
        done++;
        return Lib.expect(FileDescriptor.writev(wfd, buffers, 0, IOV_COUNT, Long.MAX_VALUE), TOTAL);
    }

    @Benchmark
    public long writev_ffm() throws Throwable {
        if (done == WRITEV_BATCH) {
            Lib.expect((long) Libc.READ.invokeExact(rfd, drainSegment, (long) DRAIN), DRAIN);
            done = 0;
        }
        done++;
        return Lib.expect((long) Libc.WRITEV.invokeExact(wfd, iovSegment, IOV_COUNT), TOTAL);
    }

    @Benchmark
    public long writev_nio() throws IOException {
        if (done == WRITEV_BATCH) {
            drain.clear();
            Lib.expect(nio.source().read(drain), DRAIN);
            done = 0;
        }
        done++;
        for (ByteBuffer b : buffers) {
            b.clear();
        }
        return Lib.expect(nio.sink().write(buffers), TOTAL);
    }
}
