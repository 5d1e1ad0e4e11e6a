package io.ovrel.channel.unix;

import static io.ovrel.channel.unix.SocketTestSupport.EINVAL;
import static io.ovrel.channel.unix.SocketTestSupport.addressOf;
import static io.ovrel.channel.unix.SocketTestSupport.argument;
import static io.ovrel.channel.unix.SocketTestSupport.awaitNonNull;
import static io.ovrel.channel.unix.SocketTestSupport.boundLoopback;
import static io.ovrel.channel.unix.SocketTestSupport.checked;
import static io.ovrel.channel.unix.SocketTestSupport.closeAll;
import static io.ovrel.channel.unix.SocketTestSupport.direct;
import static io.ovrel.channel.unix.SocketTestSupport.ip;
import static io.ovrel.channel.unix.SocketTestSupport.localPort;
import static io.ovrel.channel.unix.SocketTestSupport.text;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.fail;

import io.ovrel.test.NativeLibraryExtension;
import java.net.PortUnreachableException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.ClosedChannelException;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

@ExtendWith(NativeLibraryExtension.class)
class DatagramTest {
    private int receiver = -1;
    private int sender = -1;

    @AfterEach
    void closeSockets() {
        closeAll(receiver, sender);
    }

    private void open(boolean ipv6) {
        receiver = boundLoopback(ipv6, false);
        sender = boundLoopback(ipv6, false);
    }

    private static String loopback(boolean ipv6) {
        return ipv6 ? "::1" : "127.0.0.1";
    }

    private DatagramSocketAddress receive(ByteBuffer into, int pos) {
        return awaitNonNull(() -> Socket.recvFrom(receiver, into, pos, into.capacity()), "datagram");
    }

    private void assertFromSender(DatagramSocketAddress got, boolean ipv6, int count) {
        assertEquals(ip(loopback(ipv6)), addressOf(got));
        assertEquals(ipv6 ? 16 : 4, got.address().length);
        assertEquals(localPort(sender), got.port());
        assertEquals(0, got.scopeId());
        assertEquals(count, got.receivedAmount());
        assertNull(got.localAddress(), "no destination reporting switched on");
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void sendToAndRecvFromWithBuffers(boolean ipv6) {
        open(ipv6);
        ByteBuffer out = direct("xxhelloyy");
        assertEquals(5, Socket.sendTo(sender, ipv6, out, 2, 7, argument(loopback(ipv6)), 0, localPort(receiver)));
        ByteBuffer in = ByteBuffer.allocateDirect(16);
        DatagramSocketAddress got = receive(in, 4);
        assertFromSender(got, ipv6, 5);
        assertEquals("hello", text(in, 4, 5));
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void sendToAddressAndRecvFromAddress(boolean ipv6) {
        open(ipv6);
        ByteBuffer out = direct("-memory-");
        assertEquals(6, Socket.sendToAddress(sender, ipv6, Buffer.memoryAddress0(out), 1, 7,
                argument(loopback(ipv6)), 0, localPort(receiver)));
        ByteBuffer in = ByteBuffer.allocateDirect(16);
        long address = Buffer.memoryAddress0(in);
        DatagramSocketAddress got = awaitNonNull(() -> Socket.recvFromAddress(receiver, address, 2, 16), "datagram");
        assertFromSender(got, ipv6, 6);
        assertEquals("memory", text(in, 2, 6));
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void sendToAddressesGathersOneDatagram(boolean ipv6) {
        open(ipv6);
        ByteBuffer a = direct("abc");
        ByteBuffer b = direct("defg");
        ByteBuffer iov = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
        iov.putLong(0, Buffer.memoryAddress0(a)).putLong(8, 3);
        iov.putLong(16, Buffer.memoryAddress0(b)).putLong(24, 4);
        assertEquals(7, Socket.sendToAddresses(sender, ipv6, Buffer.memoryAddress0(iov), 2,
                argument(loopback(ipv6)), 0, localPort(receiver)));
        ByteBuffer in = ByteBuffer.allocateDirect(16);
        assertFromSender(receive(in, 0), ipv6, 7);
        assertEquals("abcdefg", text(in, 0, 7));
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void emptyDatagramIsNotNoDatagram(boolean ipv6) {
        open(ipv6);
        ByteBuffer in = ByteBuffer.allocateDirect(4);
        assertNull(Socket.recvFrom(receiver, in, 0, 4), "nothing waiting");
        assertEquals(0, Socket.sendTo(sender, ipv6, direct("x"), 0, 0, argument(loopback(ipv6)), 0,
                localPort(receiver)));
        assertFromSender(receive(in, 0), ipv6, 0);
        assertNull(Socket.recvFrom(receiver, in, 0, 4), "and the socket is empty again");
    }

    @Test
    void ipv4SocketSendsToTheMappedAddress() {
        open(false);
        assertEquals(2, Socket.sendTo(sender, false, direct("v4"), 0, 2, argument("::ffff:127.0.0.1"), 0,
                localPort(receiver)));
        assertFromSender(receive(ByteBuffer.allocateDirect(4), 0), false, 2);
    }

    @Test
    void ipv4SenderOfADualStackReceiverIsReportedInFourBytes() {
        receiver = checked(Socket.newSocketDgramFd(true), "socket");
        checked(Socket.bind(receiver, true, argument("::"), 0, 0), "bind");
        sender = boundLoopback(false, false);
        assertEquals(1, Socket.sendTo(sender, false, direct("m"), 0, 1, argument("127.0.0.1"), 0, localPort(receiver)));
        DatagramSocketAddress got = receive(ByteBuffer.allocateDirect(4), 0);
        assertEquals(4, got.address().length, "IPv4-mapped sender comes out as IPv4");
        assertEquals(ip("127.0.0.1"), addressOf(got));
        assertEquals(localPort(sender), got.port());
    }

    @Test
    void refusedArgumentsSendNothing() {
        open(false);
        byte[] to = argument("127.0.0.1");
        int port = localPort(receiver);
        ByteBuffer out = direct("data");
        assertEquals(-1, Socket.sendTo(sender, false, out, 0, 4, new byte[17], 0, port), "17-byte address");
        assertEquals(-EINVAL, Socket.sendTo(sender, false, out, 3, 2, to, 0, port), "limit before pos");
        assertEquals(-EINVAL, Socket.sendTo(sender, false, ByteBuffer.allocate(4), 0, 4, to, 0, port), "heap");
        assertEquals(-EINVAL, Socket.sendTo(sender, false, null, 0, 4, to, 0, port), "no buffer");
        assertEquals(-EINVAL, Socket.sendTo(sender, false, out, 0, 4, null, 0, port), "no address");
        assertEquals(-EINVAL, Socket.sendToAddresses(sender, false, Buffer.memoryAddress0(out), -1, to, 0, port));
        assertNull(Socket.recvFrom(receiver, ByteBuffer.allocateDirect(8), 0, 8));
    }

    @Test
    void closedDescriptorRaisesClosedChannelException() {
        int fd = checked(Socket.newSocketDgramFd(false), "socket");
        FileDescriptor.close(fd);
        ByteBuffer in = ByteBuffer.allocateDirect(4);
        assertThrows(ClosedChannelException.class, () -> Socket.recvFrom(fd, in, 0, 4));
        assertThrows(ClosedChannelException.class, () -> Socket.recvFromAddress(fd, Buffer.memoryAddress0(in), 0, 4));
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void icmpPortUnreachableSurfacesOnTheNextReceive(boolean ipv6) {
        // A port that was ours a moment ago and now has no socket behind it.
        int gone = boundLoopback(ipv6, false);
        int port = localPort(gone);
        FileDescriptor.close(gone);
        sender = boundLoopback(ipv6, false);
        assertEquals(0, Socket.connect(sender, ipv6, argument(loopback(ipv6)), 0, port));
        assertEquals(4, Socket.sendTo(sender, ipv6, direct("void"), 0, 4, argument(loopback(ipv6)), 0, port));
        ByteBuffer in = ByteBuffer.allocateDirect(4);
        long deadline = System.currentTimeMillis() + SocketTestSupport.WAIT_MILLIS;
        while (System.currentTimeMillis() < deadline) {
            try {
                assertNull(Socket.recvFrom(sender, in, 0, 4), "no datagram can arrive");
            } catch (Exception e) {  // the natives declare no checked exceptions, yet raise them
                assertEquals(PortUnreachableException.class, e.getClass(), e.toString());
                assertEquals("recvfrom() failed", e.getMessage());
                return;
            }
            SocketTestSupport.sleepBriefly();
        }
        fail("no PortUnreachableException within " + SocketTestSupport.WAIT_MILLIS + " ms");
    }

    @Test
    void receiveIntoARegionThatCannotBeRealRaisesAndKeepsTheDatagram() {
        open(false);
        assertEquals(1, Socket.sendTo(sender, false, direct("k"), 0, 1, argument("127.0.0.1"), 0, localPort(receiver)));
        ByteBuffer in = ByteBuffer.allocateDirect(4);
        java.io.IOException e = assertThrows(java.io.IOException.class, () -> Socket.recvFrom(receiver, in, 3, 2));
        assertEquals("recvfrom() failed: " + ErrorsStaticallyReferencedJniMethods.strError(EINVAL), e.getMessage());
        assertThrows(java.io.IOException.class, () -> Socket.recvFrom(receiver, ByteBuffer.allocate(4), 0, 4));
        assertFromSender(receive(in, 0), false, 1);
    }
}
