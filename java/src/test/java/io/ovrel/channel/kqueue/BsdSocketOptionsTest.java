package io.ovrel.channel.kqueue;

import static io.ovrel.channel.kqueue.BsdSockets.close;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.sun.security.auth.module.UnixSystem;
import io.ovrel.channel.ChannelException;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.PeerCredentials;
import io.ovrel.test.NativeLibraryExtension;
import io.ovrel.test.Platform;
import java.io.IOException;
import java.nio.channels.ClosedChannelException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** The option natives of BsdSocket: accept filters, TCP_NOPUSH, SO_SNDLOWAT, peer credentials. */
@ExtendWith(NativeLibraryExtension.class)
class BsdSocketOptionsTest {
    private static final String SET_FAILED = "setsockopt() failed: ";
    private static final String GET_FAILED = "getsockopt() failed: ";

    @TempDir
    Path dir;

    private int[] fds = new int[0];

    @AfterEach
    void closeAll() {
        close(fds);
    }

    private int keep(int fd) {
        fds = Arrays.copyOf(fds, fds.length + 1);
        fds[fds.length - 1] = fd;
        return fd;
    }

    private int listener() {
        return keep(BsdSockets.tcpListener(0));
    }

    private static String text(int errno) {
        return ErrorsStaticallyReferencedJniMethods.strError(errno);
    }

    private static String repeat(char c, int n) {
        return String.valueOf(c).repeat(n);
    }

    // ---- accept filters -----------------------------------------------------

    static Stream<Arguments> filters() {
        // Neither filter keeps its argument: whatever was given, it reads back empty.
        return Stream.of(
                Arguments.of("dataready, no argument", "tcp", "dataready", ""),
                Arguments.of("httpready with argument", "tcp", "httpready", "arg"),
                Arguments.of("null argument", "tcp", "dataready", null),
                Arguments.of("argument longer than its 240 bytes", "tcp", "dataready", repeat('a', 300)),
                Arguments.of("argument of exactly 240 bytes", "tcp", "httpready", repeat('b', 240)),
                // 239 ASCII bytes, then a two-byte character that does not fit whole
                Arguments.of("argument cut inside a character", "tcp", "dataready", repeat('c', 239) + "\u00e9"),
                Arguments.of("dataready on a Unix-domain listener", "unix", "dataready", "x"),
                Arguments.of("httpready on a Unix-domain listener", "unix", "httpready", ""));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("filters")
    void acceptFilterReadsBackByNameWithAnEmptyArgument(String name, String listenerKind, String filter,
            String argument) throws IOException {
        int fd = "unix".equals(listenerKind) ? unixListener() : listener();
        BsdSocket.setAcceptFilter(fd, filter, argument);
        assertArrayEquals(new String[] {filter, ""}, BsdSocket.getAcceptFilter(fd));
    }

    private int unixListener() throws IOException {
        int fd = keep(BsdSockets.check(io.ovrel.channel.unix.Socket.newSocketDomainFd(), "socket(AF_UNIX)"));
        Path path = Files.createTempDirectory(dir, "listener").resolve("l.sock");
        BsdSockets.check(io.ovrel.channel.unix.Socket.bindDomainSocket(fd,
                path.toString().getBytes(java.nio.charset.StandardCharsets.UTF_8)), "bind(AF_UNIX)");
        BsdSockets.check(io.ovrel.channel.unix.Socket.listen(fd, 1), "listen(AF_UNIX)");
        return fd;
    }

    @Test
    void nameIsCutAtSixteenBytesSoALongerOneIsUnknown() {
        int fd = listener();
        // the first 16 bytes, "datareadydataready", name no filter the system knows
        ChannelException e = assertThrows(ChannelException.class,
                () -> BsdSocket.setAcceptFilter(fd, "datareadydataready12", ""));
        assertEquals(SET_FAILED + text(ErrorsStaticallyReferencedJniMethods.errnoENOENT()), e.getMessage());
    }

    /**
     * The natives always pass a whole record, and a record is looked up by its
     * name: an empty or null name names no filter and removes none. Nothing
     * installs over a filter either, so once set it stays for the socket's life.
     */
    static Stream<Arguments> refusedOverAFilter() {
        int enoent = ErrorsStaticallyReferencedJniMethods.errnoENOENT();
        return Stream.of(
                Arguments.of("empty name", "", enoent),
                Arguments.of("null name", null, enoent),
                Arguments.of("another filter", "httpready", BsdSockets.KQueueErrno.EINVAL),
                Arguments.of("the same filter again", "dataready", BsdSockets.KQueueErrno.EINVAL));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refusedOverAFilter")
    void anInstalledFilterStays(String name, String filter, int errno) {
        int fd = listener();
        BsdSocket.setAcceptFilter(fd, "dataready", "x");
        ChannelException e = assertThrows(ChannelException.class, () -> BsdSocket.setAcceptFilter(fd, filter, ""));
        assertEquals(SET_FAILED + text(errno), e.getMessage());
        assertArrayEquals(new String[] {"dataready", ""}, BsdSocket.getAcceptFilter(fd));
    }

    static Stream<Arguments> acceptFilterFailures() {
        return Stream.of(
                Arguments.of("unknown filter", "listening", (FdCall) fd -> BsdSocket.setAcceptFilter(fd, "nosuch", ""),
                        ChannelException.class, SET_FAILED + text(ErrorsStaticallyReferencedJniMethods.errnoENOENT())),
                Arguments.of("empty name without a filter", "listening",
                        (FdCall) fd -> BsdSocket.setAcceptFilter(fd, "", ""), ChannelException.class,
                        SET_FAILED + text(ErrorsStaticallyReferencedJniMethods.errnoENOENT())),
                Arguments.of("install on a socket that does not listen", "unconnected",
                        (FdCall) fd -> BsdSocket.setAcceptFilter(fd, "dataready", ""), ChannelException.class,
                        SET_FAILED + text(BsdSockets.KQueueErrno.EINVAL)),
                Arguments.of("read back without a filter", "listening", (FdCall) BsdSocket::getAcceptFilter,
                        ChannelException.class, GET_FAILED + text(BsdSockets.KQueueErrno.EINVAL)),
                Arguments.of("install on a closed descriptor", "closed",
                        (FdCall) fd -> BsdSocket.setAcceptFilter(fd, "dataready", ""), ClosedChannelException.class,
                        null),
                Arguments.of("read back on a closed descriptor", "closed", (FdCall) BsdSocket::getAcceptFilter,
                        ClosedChannelException.class, null));
    }

    // ---- int options --------------------------------------------------------

    @Test
    void tcpNoPushRoundTrip() {
        int fd = keep(BsdSockets.tcpUnconnected());
        assertEquals(0, BsdSocket.getTcpNoPush(fd));
        BsdSocket.setTcpNoPush(fd, 1);
        assertNotEquals(0, BsdSocket.getTcpNoPush(fd));
        BsdSocket.setTcpNoPush(fd, 0);
        assertEquals(0, BsdSocket.getTcpNoPush(fd));
    }

    @Test
    void sndLowAtReadsTheSystemValue() {
        int fd = keep(BsdSockets.tcpUnconnected());
        // Linux pins it at 1; FreeBSD starts from its default and takes what is set.
        if (Platform.current() == Platform.LINUX) {
            assertEquals(1, BsdSocket.getSndLowAt(fd));
        } else {
            BsdSocket.setSndLowAt(fd, 4096);
            assertEquals(4096, BsdSocket.getSndLowAt(fd));
        }
    }

    @Test
    void sndLowAtCannotBeSetOnLinux() {
        assumeTrue(Platform.current() == Platform.LINUX, "Linux refuses SO_SNDLOWAT");
        int fd = keep(BsdSockets.tcpUnconnected());
        ChannelException e = assertThrows(ChannelException.class, () -> BsdSocket.setSndLowAt(fd, 4096));
        // ENOPROTOOPT: the system's text, whatever its number
        assertEquals(SET_FAILED + "Protocol not available", e.getMessage());
        assertEquals(1, BsdSocket.getSndLowAt(fd));
    }

    static Stream<Arguments> intOptionFailures() {
        return Stream.of(
                Arguments.of("setTcpNoPush on a closed descriptor", "closed", (FdCall) fd -> BsdSocket.setTcpNoPush(fd, 1),
                        ClosedChannelException.class, null),
                Arguments.of("getTcpNoPush on a closed descriptor", "closed", (FdCall) BsdSocket::getTcpNoPush,
                        ClosedChannelException.class, null),
                Arguments.of("setSndLowAt on a closed descriptor", "closed", (FdCall) fd -> BsdSocket.setSndLowAt(fd, 1),
                        ClosedChannelException.class, null),
                Arguments.of("getSndLowAt on a closed descriptor", "closed", (FdCall) BsdSocket::getSndLowAt,
                        ClosedChannelException.class, null),
                Arguments.of("setTcpNoPush on a file", "file", (FdCall) fd -> BsdSocket.setTcpNoPush(fd, 1),
                        ChannelException.class, SET_FAILED + "Socket operation on non-socket"),
                Arguments.of("getTcpNoPush on a file", "file", (FdCall) BsdSocket::getTcpNoPush, ChannelException.class,
                        GET_FAILED + "Socket operation on non-socket"));
    }

    // ---- peer credentials ---------------------------------------------------

    @Test
    void peerCredentialsAreThisProcesssOwn() throws IOException {
        int[] pair = BsdSockets.unixPair(dir);
        keep(pair[0]);
        keep(pair[1]);
        // A file this process creates carries its effective user and group.
        Path probe = Files.createFile(dir.resolve("probe"));
        int euid = (Integer) Files.getAttribute(probe, "unix:uid", LinkOption.NOFOLLOW_LINKS);
        int egid = (Integer) Files.getAttribute(probe, "unix:gid", LinkOption.NOFOLLOW_LINKS);
        // The effective group, then the supplementary ones unchanged, the
        // effective one again if it is among them; 16 at most.
        long[] supplementary = new UnixSystem().getGroups();
        int[] expectedGroups = new int[Math.min(16, 1 + supplementary.length)];
        expectedGroups[0] = egid;
        for (int i = 1; i < expectedGroups.length; i++) {
            expectedGroups[i] = (int) supplementary[i - 1];
        }

        for (int fd : pair) {
            PeerCredentials credentials = BsdSocket.getPeerCredentials(fd);
            assertEquals(0, credentials.pid(), "the process id is never reported");
            assertEquals(euid, credentials.uid());
            int[] gids = credentials.gids();
            assertEquals(egid, gids[0], "the effective group comes first");
            Arrays.sort(gids, 1, gids.length);
            Arrays.sort(expectedGroups, 1, expectedGroups.length);
            assertArrayEquals(expectedGroups, gids);
        }
    }

    static Stream<Arguments> peerCredentialFailures() {
        return Stream.of(
                Arguments.of("unconnected Unix-domain socket", "unix", (FdCall) BsdSocket::getPeerCredentials,
                        ChannelException.class, GET_FAILED + text(ErrorsStaticallyReferencedJniMethods.errnoENOTCONN())),
                Arguments.of("closed descriptor", "closed", (FdCall) BsdSocket::getPeerCredentials,
                        ClosedChannelException.class, null),
                // No local peer: never a record that would name uid 0, root.
                Arguments.of("connected IPv4 TCP socket", "tcp connected", (FdCall) BsdSocket::getPeerCredentials,
                        ChannelException.class, GET_FAILED + text(BsdSockets.KQueueErrno.EINVAL)),
                Arguments.of("IPv6 TCP socket", "tcp6", (FdCall) BsdSocket::getPeerCredentials,
                        ChannelException.class, GET_FAILED + text(BsdSockets.KQueueErrno.EINVAL)),
                Arguments.of("UDP socket", "udp", (FdCall) BsdSocket::getPeerCredentials, ChannelException.class,
                        GET_FAILED + text(BsdSockets.KQueueErrno.EINVAL)));
    }

    // ---- failures, one table for every native ------------------------------

    static Stream<Arguments> failures() {
        return Stream.of(acceptFilterFailures(), intOptionFailures(), peerCredentialFailures()).flatMap(s -> s);
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("failures")
    void failuresRaiseTheOptionFunctionsException(String name, String socketKind, FdCall call,
            Class<? extends Exception> type, String message) throws IOException {
        int fd = descriptor(socketKind);
        Exception e = assertThrows(type, execute(call, fd));
        assertEquals(type, e.getClass());
        assertEquals(message, e.getMessage());
    }

    private int descriptor(String kind) throws IOException {
        switch (kind) {
            case "listening":
                return listener();
            case "unconnected":
                return keep(BsdSockets.tcpUnconnected());
            case "tcp connected":
                int[] pair = BsdSockets.tcpPair(0);
                keep(pair[1]);
                return keep(pair[0]);
            case "tcp6":
                return keep(BsdSockets.check(io.ovrel.channel.unix.Socket.newSocketStreamFd(true), "socket(AF_INET6)"));
            case "udp":
                return keep(BsdSockets.check(io.ovrel.channel.unix.Socket.newSocketDgramFd(false), "socket(UDP)"));
            case "unix":
                return keep(BsdSockets.check(io.ovrel.channel.unix.Socket.newSocketDomainFd(), "socket(AF_UNIX)"));
            case "file":
                return keep(BsdSockets.check(io.ovrel.channel.unix.FileDescriptor.open(
                        BsdSockets.file(dir, new byte[1]).toString()), "open"));
            case "closed":
                int fd = BsdSockets.tcpUnconnected();
                close(fd);
                return fd;
            default:
                throw new IllegalArgumentException(kind);
        }
    }

    private static Executable execute(FdCall call, int fd) {
        return () -> call.call(fd);
    }

    /** A native called with a descriptor; its result does not matter where it throws. */
    @FunctionalInterface
    interface FdCall {
        void call(int fd) throws Exception;
    }
}
