package io.ovrel.channel.unix;

import static io.ovrel.channel.unix.SocketTestSupport.EINVAL;
import static io.ovrel.channel.unix.SocketTestSupport.argument;
import static io.ovrel.channel.unix.SocketTestSupport.awaitNot;
import static io.ovrel.channel.unix.SocketTestSupport.boundLoopback;
import static io.ovrel.channel.unix.SocketTestSupport.checked;
import static io.ovrel.channel.unix.SocketTestSupport.closeAll;
import static io.ovrel.channel.unix.SocketTestSupport.connectedPair;
import static io.ovrel.channel.unix.SocketTestSupport.decode;
import static io.ovrel.channel.unix.SocketTestSupport.direct;
import static io.ovrel.channel.unix.SocketTestSupport.eagain;
import static io.ovrel.channel.unix.SocketTestSupport.ip;
import static io.ovrel.channel.unix.SocketTestSupport.localPort;
import static io.ovrel.channel.unix.SocketTestSupport.readAvailable;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.channel.ChannelException;
import io.ovrel.test.ChildJvm;
import io.ovrel.test.NativeLibraryExtension;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ClosedChannelException;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

@ExtendWith(NativeLibraryExtension.class)
class SocketLifecycleTest {

    /**
     * Listener family and bound address, client family and target, and the encoding
     * length the accept result must carry for the client.
     */
    static Stream<Arguments> acceptedPeers() {
        return Stream.of(
                Arguments.of("IPv4", false, "127.0.0.1", false, "127.0.0.1", 8),
                Arguments.of("IPv6", true, "::1", true, "::1", 24),
                Arguments.of("IPv4 client of a dual-stack listener", true, "::", false, "127.0.0.1", 8));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("acceptedPeers")
    void acceptReportsThePeerAfterALengthByte(String name, boolean listenerV6, String bindTo, boolean clientV6,
            String target, int encodedLength) {
        int listener = checked(Socket.newSocketStreamFd(listenerV6), "socket");
        int client = -1;
        int server = -1;
        try {
            checked(Socket.bind(listener, listenerV6, argument(bindTo), 0, 0), "bind");
            checked(Socket.listen(listener, 4), "listen");
            byte[] result = new byte[25];
            assertEquals(-eagain(), Socket.accept(listener, result), "nothing pending");

            client = checked(Socket.newSocketStreamFd(clientV6), "socket");
            int r = Socket.connect(client, clientV6, argument(target), 0, localPort(listener));
            assertTrue(r == 0 || r == -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS(), "connect " + r);
            final int c = client;
            SocketTestSupport.awaitNonNull(() -> Socket.remoteAddress(c), "established connection");
            assertEquals(0, Socket.finishConnect(client));

            server = awaitNot(-eagain(), () -> Socket.accept(listener, result), "accept");
            checked(server, "accept");
            assertEquals(encodedLength, result[0]);
            InetSocketAddress peer = decode(result, 1, encodedLength);
            InetSocketAddress clientLocal = decode(Socket.localAddress(client));
            assertEquals(ip(target), peer.getAddress());
            assertEquals(clientLocal.getPort(), peer.getPort());
            assertEquals(clientLocal, decode(Socket.remoteAddress(server)));
            assertEquals(decode(Socket.localAddress(server)).getPort(), localPort(listener));

            // The accepted socket is non-blocking and carries data.
            assertEquals("", readAvailable(server));
            assertEquals(4, FileDescriptor.write(client, direct("ping"), 0, 4));
            assertEquals("ping", SocketTestSupport.awaitNonNullText(server));
        } finally {
            closeAll(listener, client, server);
        }
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void refusedConnectIsReportedNegated(boolean ipv6) {
        // Bound but not listening: the port is ours and refuses connections.
        int closedPort = checked(Socket.newSocketStreamFd(ipv6), "socket");
        int client = checked(Socket.newSocketStreamFd(ipv6), "socket");
        try {
            checked(Socket.bind(closedPort, ipv6, argument(ipv6 ? "::1" : "127.0.0.1"), 0, 0), "bind");
            int refused = -ErrorsStaticallyReferencedJniMethods.errorECONNREFUSED();
            int r = Socket.connect(client, ipv6, argument(ipv6 ? "::1" : "127.0.0.1"), 0, localPort(closedPort));
            if (r != refused) {
                assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS(), r);
                r = awaitNot(0, () -> Socket.finishConnect(client), "finishConnect");
            }
            assertEquals(refused, r);
        } finally {
            closeAll(closedPort, client);
        }
    }

    /** shutdown's direction for each flag pair: whether our side reads EOF, whether the peer does. */
    static Stream<Arguments> shutdownFlags() {
        return Stream.of(
                Arguments.of(true, false, true, false),
                Arguments.of(false, true, false, true),
                Arguments.of(true, true, true, true));
    }

    @ParameterizedTest(name = "read={0} write={1}")
    @MethodSource("shutdownFlags")
    void shutdownClosesTheChosenDirections(boolean read, boolean write, boolean weSeeEof, boolean peerSeesEof) {
        int listener = boundLoopback(false, true);
        int[] pair = connectedPair(false, listener, "127.0.0.1");
        try {
            assertEquals(0, Socket.shutdown(pair[0], read, write));
            ByteBuffer in = ByteBuffer.allocateDirect(8);
            assertEquals(weSeeEof ? 0 : -eagain(), FileDescriptor.read(pair[0], in, 0, 8));
            int peer = awaitPeerRead(pair[1], peerSeesEof);
            assertEquals(peerSeesEof ? 0 : -eagain(), peer);
        } finally {
            closeAll(listener, pair[0], pair[1]);
        }
    }

    private static int awaitPeerRead(int fd, boolean expectEof) {
        ByteBuffer in = ByteBuffer.allocateDirect(8);
        if (!expectEof) {
            return FileDescriptor.read(fd, in, 0, 8);
        }
        return awaitNot(-eagain(), () -> FileDescriptor.read(fd, in, 0, 8), "EOF");
    }

    @Test
    void shutdownWithNeitherDirectionIsRefusedAndChangesNothing() {
        int listener = boundLoopback(false, true);
        int[] pair = connectedPair(false, listener, "127.0.0.1");
        try {
            assertEquals(-EINVAL, Socket.shutdown(pair[0], false, false));
            assertEquals(2, FileDescriptor.write(pair[0], direct("ok"), 0, 2));
            assertEquals("ok", SocketTestSupport.awaitNonNullText(pair[1]));
        } finally {
            closeAll(listener, pair[0], pair[1]);
        }
    }

    @Test
    void addressArgumentsFollowTheSocketFamily() {
        int v4 = checked(Socket.newSocketStreamFd(false), "socket");
        int v6 = checked(Socket.newSocketStreamFd(true), "socket");
        int tooLong = checked(Socket.newSocketStreamFd(false), "socket");
        try {
            assertEquals(0, Socket.bind(v4, false, argument("127.0.0.1"), 0, 0));
            InetSocketAddress local = decode(Socket.localAddress(v4));
            assertEquals(ip("127.0.0.1"), local.getAddress());
            assertEquals(8, Socket.localAddress(v4).length);

            byte[] mappedAny = argument("::ffff:0.0.0.0");
            assertEquals(0, Socket.bind(v6, true, mappedAny, 0, 0));
            byte[] wildcard = Socket.localAddress(v6);
            assertEquals(24, wildcard.length, "bound to ::, not to a mapped address");
            assertArrayEquals(new byte[16], java.util.Arrays.copyOf(wildcard, 16));

            assertEquals(-1, Socket.bind(tooLong, false, new byte[17], 0, 0));
            assertEquals(-1, Socket.connect(tooLong, false, new byte[17], 0, 80));
            assertEquals(0, decode(Socket.localAddress(tooLong)).getPort(), "the 17-byte bind did not bind");
        } finally {
            closeAll(v4, v6, tooLong);
        }
    }

    @Test
    void addressesOfClosedOrUnconnectedSocketsAreNull() {
        int fd = checked(Socket.newSocketStreamFd(false), "socket");
        assertNull(Socket.remoteAddress(fd), "not connected");
        FileDescriptor.close(fd);
        assertNull(Socket.localAddress(fd));
        assertNull(Socket.remoteAddress(fd));
    }

    @Test
    void finishConnectOnAClosedDescriptorRaisesClosedChannel() {
        int fd = checked(Socket.newSocketStreamFd(false), "socket");
        FileDescriptor.close(fd);
        assertThrows(ClosedChannelException.class, () -> Socket.finishConnect(fd));
    }

    @Test
    void disconnectDissolvesAUdpAssociation() {
        int peer = boundLoopback(false, false);
        int fd = checked(Socket.newSocketDgramFd(false), "socket");
        try {
            assertEquals(0, Socket.connect(fd, false, argument("127.0.0.1"), 0, localPort(peer)));
            assertEquals(localPort(peer), decode(Socket.remoteAddress(fd)).getPort());
            assertEquals(0, Socket.disconnect(fd, false));
            assertNull(Socket.remoteAddress(fd));
        } finally {
            closeAll(peer, fd);
        }
    }

    @Test
    void isIPv6FollowsTheSocketAndRaisesChannelExceptionWhenClosed() {
        int v4 = checked(Socket.newSocketDgramFd(false), "socket");
        int v6 = checked(Socket.newSocketStreamFd(true), "socket");
        assertFalse(Socket.isIPv6(v4));
        assertTrue(Socket.isIPv6(v6));
        closeAll(v4, v6);
        ChannelException e = assertThrows(ChannelException.class, () -> Socket.isIPv6(v4));
        assertTrue(e.getMessage().startsWith("getsockname(...) failed: "), e.getMessage());
    }

    @ParameterizedTest(name = "ipv6={0}")
    @ValueSource(booleans = {false, true})
    void newSocketsAreNonBlocking(boolean ipv6) {
        int listener = boundLoopback(ipv6, true);
        int dgram = boundLoopback(ipv6, false);
        try {
            assertEquals(-eagain(), Socket.accept(listener, new byte[25]));
            assertNull(Socket.recvFrom(dgram, ByteBuffer.allocateDirect(4), 0, 4));
        } finally {
            closeAll(listener, dgram);
        }
    }

    /** Child main: prints the preference before and after each initialize. */
    public static final class Preference {
        public static void main(String[] args) {
            io.ovrel.demo.NativeLibrary.loadConfigured();
            System.out.println("before=" + Socket.isIPv6Preferred());
            Socket.initialize(true);
            System.out.println("ipv4Preferred=" + Socket.isIPv6Preferred());
            Socket.initialize(false);
            System.out.println("probed=" + Socket.isIPv6Preferred());
        }
    }

    @Test
    void ipv6IsPreferredOnlyAfterAProbeFindsIt() {
        ChildJvm.Result r = ChildJvm.main(Preference.class).run().assertExitCode(0);
        assertEquals("false", r.stdoutProperties().get("before"));
        assertEquals("false", r.stdoutProperties().get("ipv4Preferred"));
        assertEquals("true", r.stdoutProperties().get("probed"), "this host binds ::1");
    }
}
