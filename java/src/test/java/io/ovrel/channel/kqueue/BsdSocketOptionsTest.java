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
import java.util.LinkedHashSet;
import java.util.Set;
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
        return Stream.of(
                Arguments.of("dataready, no argument", "dataready", "", "dataready", ""),
                Arguments.of("httpready with argument", "httpready", "arg", "httpready", "arg"),
                Arguments.of("null argument reads back empty", "dataready", null, "dataready", ""),
                Arguments.of("argument cut at 240 bytes", "dataready", repeat('a', 300), "dataready", repeat('a', 240)),
                Arguments.of("argument of exactly 240 bytes", "dataready", repeat('b', 240), "dataready",
                        repeat('b', 240)),
                // 239 ASCII bytes, then a two-byte character that does not fit whole
                Arguments.of("a cut never splits a character", "dataready", repeat('c', 239) + "\u00e9",
                        "dataready", repeat('c', 239)));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("filters")
    void acceptFilterReadsBackAsInstalled(String name, String filter, String argument, String expectedName,
            String expectedArgument) {
        int fd = listener();
        BsdSocket.setAcceptFilter(fd, filter, argument);
        assertArrayEquals(new String[] {expectedName, expectedArgument}, BsdSocket.getAcceptFilter(fd));
    }

    @Test
    void nameIsCutAtSixteenBytesSoALongerOneIsUnknown() {
        int fd = listener();
        // the first 16 bytes, "datareadydataready", name no filter the system knows
        ChannelException e = assertThrows(ChannelException.class,
                () -> BsdSocket.setAcceptFilter(fd, "datareadydataready12", ""));
        assertEquals(SET_FAILED + text(ErrorsStaticallyReferencedJniMethods.errnoENOENT()), e.getMessage());
    }

    @Test
    void emptyOrNullNameRemovesTheFilter() {
        for (String removal : new String[] {"", null}) {
            int fd = listener();
            BsdSocket.setAcceptFilter(fd, "dataready", "x");
            BsdSocket.setAcceptFilter(fd, removal, "ignored");
            ChannelException e = assertThrows(ChannelException.class, () -> BsdSocket.getAcceptFilter(fd));
            assertEquals(GET_FAILED + text(BsdSockets.KQueueErrno.EINVAL), e.getMessage());
        }
    }

    static Stream<Arguments> acceptFilterFailures() {
        return Stream.of(
                Arguments.of("unknown filter", "listening", (FdCall) fd -> BsdSocket.setAcceptFilter(fd, "nosuch", ""),
                        ChannelException.class, SET_FAILED + text(ErrorsStaticallyReferencedJniMethods.errnoENOENT())),
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
        Set<Integer> groups = new LinkedHashSet<>();
        groups.add(egid);
        for (long g : new UnixSystem().getGroups()) {
            if (groups.size() < 16) {
                groups.add((int) g);
            }
        }
        int[] expectedGroups = groups.stream().mapToInt(Integer::intValue).toArray();

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
                        ClosedChannelException.class, null));
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
