package io.ovrel.channel.unix;

import static io.ovrel.channel.unix.SocketTestSupport.argument;
import static io.ovrel.channel.unix.SocketTestSupport.awaitNot;
import static io.ovrel.channel.unix.SocketTestSupport.checked;
import static io.ovrel.channel.unix.SocketTestSupport.closeAll;
import static io.ovrel.channel.unix.SocketTestSupport.localPort;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.channel.ChannelException;
import io.ovrel.test.NativeLibraryExtension;
import java.nio.channels.ClosedChannelException;
import java.util.function.IntUnaryOperator;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

@ExtendWith(NativeLibraryExtension.class)
class SocketOptionsTest {

    interface Setter {
        void set(int fd, int value);
    }

    /** Option, setter, getter, whether it needs a datagram socket, values to set and read back. */
    static Stream<Arguments> options() {
        return Stream.of(
                option("TCP_NODELAY", Socket::setTcpNoDelay, Socket::isTcpNoDelay, false, 1, 0),
                option("SO_REUSEPORT", Socket::setReusePort, Socket::isReusePort, false, 1, 0),
                option("SO_BROADCAST", Socket::setBroadcast, Socket::isBroadcast, true, 1, 0),
                option("SO_REUSEADDR", Socket::setReuseAddress, Socket::isReuseAddress, false, 1, 0),
                option("SO_KEEPALIVE", Socket::setKeepAlive, Socket::isKeepAlive, false, 1, 0),
                option("SO_LINGER", Socket::setSoLinger, Socket::getSoLinger, false, -1, 0, 5, -1),
                option("IP_TOS", (fd, v) -> Socket.setTrafficClass(fd, false, v),
                        fd -> Socket.getTrafficClass(fd, false), false, 0x10, 0x08, 0));
    }

    private static Arguments option(String name, Setter set, IntUnaryOperator get, boolean datagram, int... values) {
        return Arguments.of(name, set, get, datagram, values);
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("options")
    void optionReadsBackWhatWasSet(String name, Setter set, IntUnaryOperator get, boolean datagram, int[] values) {
        int fd = checked(datagram ? Socket.newSocketDgramFd(false) : Socket.newSocketStreamFd(false), "socket");
        try {
            for (int value : values) {
                set.set(fd, value);
                assertEquals(value, get.applyAsInt(fd), name + " set to " + value);
            }
        } finally {
            closeAll(fd);
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("options")
    void closedDescriptorRaisesClosedChannelException(String name, Setter set, IntUnaryOperator get,
            boolean datagram, int[] values) {
        int fd = checked(Socket.newSocketStreamFd(false), "socket");
        FileDescriptor.close(fd);
        assertThrows(ClosedChannelException.class, () -> set.set(fd, values[0]));
        assertThrows(ClosedChannelException.class, () -> get.applyAsInt(fd));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("options")
    void nonSocketRaisesChannelExceptionWithTheCallInItsMessage(String name, Setter set, IntUnaryOperator get,
            boolean datagram, int[] values) {
        long pipe = FileDescriptor.newPipe();
        int fd = (int) pipe;
        try {
            ChannelException e = assertThrows(ChannelException.class, () -> set.set(fd, values[0]));
            assertTrue(e.getMessage().startsWith("setsockopt() failed: "), e.getMessage());
            e = assertThrows(ChannelException.class, () -> get.applyAsInt(fd));
            assertTrue(e.getMessage().startsWith("getsockopt() failed: "), e.getMessage());
        } finally {
            closeAll((int) (pipe >>> 32), fd);
        }
    }

    @Test
    void bufferSizesAreAtLeastWhatWasAsked() {
        int fd = checked(Socket.newSocketStreamFd(false), "socket");
        try {
            Socket.setReceiveBufferSize(fd, 64 * 1024);
            Socket.setSendBufferSize(fd, 96 * 1024);
            // The kernel may round or double the request; it never grants less here.
            assertTrue(Socket.getReceiveBufferSize(fd) >= 64 * 1024, "rcvbuf " + Socket.getReceiveBufferSize(fd));
            assertTrue(Socket.getSendBufferSize(fd) >= 96 * 1024, "sndbuf " + Socket.getSendBufferSize(fd));
            int before = Socket.getReceiveBufferSize(fd);
            Socket.setReceiveBufferSize(fd, 256 * 1024);
            assertTrue(Socket.getReceiveBufferSize(fd) > before);
        } finally {
            closeAll(fd);
        }
    }

    @Test
    void trafficClassTouchesOnlyTheFamilyAsked() {
        int v6 = checked(Socket.newSocketStreamFd(true), "socket");
        int v4 = checked(Socket.newSocketStreamFd(false), "socket");
        try {
            Socket.setTrafficClass(v6, true, 0x20);
            assertEquals(0x20, Socket.getTrafficClass(v6, true));
            assertEquals(0, Socket.getTrafficClass(v6, false), "IP_TOS untouched");
            Socket.setTrafficClass(v4, false, 0x28);
            assertEquals(0x28, Socket.getTrafficClass(v4, false));
            assertEquals(0x20, Socket.getTrafficClass(v6, true), "the other socket's value stays");
        } finally {
            closeAll(v6, v4);
        }
    }

    @Test
    void soErrorReportsARefusedConnectPositive() {
        int closedPort = checked(Socket.newSocketStreamFd(false), "socket");
        int fd = checked(Socket.newSocketStreamFd(false), "socket");
        try {
            assertEquals(0, Socket.getSoError(fd), "healthy socket");
            checked(Socket.bind(closedPort, false, argument("127.0.0.1"), 0, 0), "bind");
            int r = Socket.connect(fd, false, argument("127.0.0.1"), 0, localPort(closedPort));
            int refused = ErrorsStaticallyReferencedJniMethods.errorECONNREFUSED();
            if (r != -refused) {
                assertEquals(refused, awaitNot(0, () -> Socket.getSoError(fd), "SO_ERROR"));
            }
        } finally {
            closeAll(closedPort, fd);
        }
    }
}
