package io.ovrel.bench;

import static io.ovrel.bench.Common.EVENTS;

import io.ovrel.channel.kqueue.KQueueEventArray;
import io.ovrel.channel.kqueue.Native;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.demo.KEvents;
import java.io.IOException;
import java.lang.foreign.Arena;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.ValueLayout;
import java.nio.ByteBuffer;
import java.nio.channels.Pipe;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
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
 * A wait with a zero timeout on a queue holding one registered, empty pipe: keventWait,
 * a Foreign Function epoll_wait (our kevent is private to the library, so epoll is what
 * FFM can reach here) and NIO's Selector.selectNow.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class Poll {
    private static final int EPOLLIN = 0x001;
    private static final int EPOLLRDHUP = 0x2000;
    private static final int EPOLL_CTL_ADD = 1;
    private static final int EPOLL_CLOEXEC = 0x80000;

    private int[] pipe;
    private int kq;
    private ByteBuffer events;
    private long eventsAddress;
    private Arena arena;
    private int ep;
    private MemorySegment epollEvents;
    private Pipe nio;
    private Selector selector;

    @Setup
    public void setup() throws Throwable {
        Lib.load();
        pipe = Lib.pipe();
        kq = Native.kqueueCreate();
        events = Lib.direct(EVENTS * KEvents.SIZE);
        eventsAddress = Lib.address(events);
        ByteBuffer change = Lib.direct(KEvents.SIZE);
        KQueueEventArray.evSet(Lib.address(change), pipe[0], KEvents.EVFILT_READ, KEvents.EV_ADD, 0);
        Lib.expect(Native.keventWait(kq, Lib.address(change), 1, eventsAddress, 0, 0, 0), 0);

        arena = Arena.ofShared();
        ep = (int) Libc.EPOLL_CREATE1.invokeExact(EPOLL_CLOEXEC);
        Lib.check(ep, "epoll_create1");
        MemorySegment ev = arena.allocate(12);
        ev.set(ValueLayout.JAVA_INT_UNALIGNED, 0, EPOLLIN | EPOLLRDHUP);
        ev.set(ValueLayout.JAVA_LONG_UNALIGNED, 4, pipe[0]);
        Lib.expect((int) Libc.EPOLL_CTL.invokeExact(ep, EPOLL_CTL_ADD, pipe[0], ev), 0);
        epollEvents = arena.allocate(12L * EVENTS, 8);

        nio = Pipe.open();
        nio.source().configureBlocking(false);
        selector = Selector.open();
        nio.source().register(selector, SelectionKey.OP_READ);
    }

    @TearDown
    public void tearDown() throws Throwable {
        FileDescriptor.close(kq);
        FileDescriptor.close(pipe[0]);
        FileDescriptor.close(pipe[1]);
        int ignored = (int) Libc.CLOSE.invokeExact(ep);
        arena.close();
        selector.close();
        nio.source().close();
        nio.sink().close();
    }

    @Benchmark
    public int poll_ours_keventWait() {
        return Lib.expect(Native.keventWait(kq, 0L, 0, eventsAddress, EVENTS, 0, 0), 0);
    }

    @Benchmark
    public int poll_ffm_epollWait() throws Throwable {
        return Lib.expect((int) Libc.EPOLL_WAIT.invokeExact(ep, epollEvents, EVENTS, 0), 0);
    }

    @Benchmark
    public int poll_nio_selectNow() throws IOException {
        return Lib.expect(selector.selectNow(), 0);
    }
}
