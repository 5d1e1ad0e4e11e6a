package io.ovrel.bench;

import static io.ovrel.bench.Common.DATAGRAM;

import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import io.ovrel.demo.Loopback;
import java.io.IOException;
import java.lang.foreign.Arena;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.ValueLayout;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.DatagramChannel;
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
 * 64 bytes over UDP to a bound 127.0.0.1 socket that nobody reads (once its buffer is
 * full the kernel drops what arrives, alike for every variant): sendToAddress and sendTo,
 * a Foreign Function sendto, and DatagramChannel.send.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class SendTo {
    private static final short AF_INET = 2;

    private int receiver;
    private int port;
    private int sender;
    private byte[] loopback;
    private ByteBuffer payload;
    private long payloadAddress;
    private MemorySegment payloadSegment;
    private Arena arena;
    private MemorySegment sockaddr;
    private DatagramChannel nio;
    private InetSocketAddress target;

    @Setup
    public void setup() throws IOException {
        Lib.load();
        loopback = Loopback.address();
        receiver = Lib.check(Socket.newSocketDgramFd(false), "socket");
        Lib.check(Socket.bind(receiver, false, loopback, 0, 0), "bind");
        port = Loopback.localPort(receiver);
        sender = Lib.check(Socket.newSocketDgramFd(false), "socket");
        payload = Lib.direct(DATAGRAM);
        payloadAddress = Lib.address(payload);
        payloadSegment = MemorySegment.ofBuffer(payload);
        arena = Arena.ofShared();
        sockaddr = arena.allocate(16);
        sockaddr.set(ValueLayout.JAVA_SHORT_UNALIGNED, 0, AF_INET);
        sockaddr.set(ValueLayout.JAVA_BYTE, 2, (byte) (port >>> 8));
        sockaddr.set(ValueLayout.JAVA_BYTE, 3, (byte) port);
        sockaddr.set(ValueLayout.JAVA_BYTE, 4, (byte) 127);
        sockaddr.set(ValueLayout.JAVA_BYTE, 7, (byte) 1);
        nio = DatagramChannel.open(java.net.StandardProtocolFamily.INET);
        nio.configureBlocking(false);
        target = new InetSocketAddress(InetAddress.getLoopbackAddress(), port);
    }

    @TearDown
    public void tearDown() throws IOException {
        FileDescriptor.close(sender);
        FileDescriptor.close(receiver);
        arena.close();
        nio.close();
    }

    @Benchmark
    public int sendTo_ours_sendToAddress() {
        return Lib.expect(Socket.sendToAddress(sender, false, payloadAddress, 0, DATAGRAM, loopback, 0, port), DATAGRAM);
    }

    @Benchmark
    public int sendTo_ours_sendTo() {
        return Lib.expect(Socket.sendTo(sender, false, payload, 0, DATAGRAM, loopback, 0, port), DATAGRAM);
    }

    @Benchmark
    public long sendTo_ffm() throws Throwable {
        return Lib.expect((long) Libc.SENDTO.invokeExact(sender, payloadSegment, (long) DATAGRAM, 0, sockaddr, 16),
                DATAGRAM);
    }

    @Benchmark
    public int sendTo_nio() throws IOException {
        payload.clear();
        return Lib.expect(nio.send(payload, target), DATAGRAM);
    }
}
