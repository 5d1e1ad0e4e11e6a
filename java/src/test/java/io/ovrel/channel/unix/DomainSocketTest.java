package io.ovrel.channel.unix;

import static io.ovrel.channel.unix.SocketTestSupport.awaitNonNullText;
import static io.ovrel.channel.unix.SocketTestSupport.awaitNot;
import static io.ovrel.channel.unix.SocketTestSupport.checked;
import static io.ovrel.channel.unix.SocketTestSupport.closeAll;
import static io.ovrel.channel.unix.SocketTestSupport.direct;
import static io.ovrel.channel.unix.SocketTestSupport.eagain;
import static io.ovrel.channel.unix.SocketTestSupport.ebadmsg;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.demo.NativeLibrary;
import io.ovrel.test.ChildJvm;
import io.ovrel.test.NativeLibraryExtension;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

@ExtendWith(NativeLibraryExtension.class)
class DomainSocketTest {
    @TempDir
    Path dir;

    private final List<Integer> open = new ArrayList<>();

    @AfterEach
    void closeEverything() {
        open.forEach(FileDescriptor::close);
    }

    private int keep(int fd) {
        open.add(checked(fd, "descriptor"));
        return fd;
    }

    private static byte[] bytes(String path) {
        return path.getBytes(StandardCharsets.UTF_8);
    }

    private int listening(byte[] path) {
        int fd = keep(Socket.newSocketDomainFd());
        assertEquals(0, Socket.bindDomainSocket(fd, path));
        assertEquals(0, Socket.listen(fd, 4));
        return fd;
    }

    /** Connected client and accepted server ends over the path. */
    private int[] connected(byte[] path) {
        int listener = listening(path);
        int client = keep(Socket.newSocketDomainFd());
        assertEquals(0, Socket.connectDomainSocket(client, path));
        int server = keep(awaitNot(-eagain(), () -> Socket.accept(listener, new byte[25]), "accept"));
        return new int[] {client, server};
    }

    /** Linux tells a descriptor's status flags in /proc; elsewhere this check is skipped. */
    private static boolean isNonBlocking(int fd) throws IOException {
        Path info = Path.of("/proc/self/fdinfo/" + fd);
        Assumptions.assumeTrue(Files.exists(info), "no /proc/self/fdinfo on this system");
        for (String line : Files.readAllLines(info)) {
            if (line.startsWith("flags:")) {
                return (Integer.parseInt(line.substring(6).trim(), 8) & 04000) != 0;  // Linux O_NONBLOCK
            }
        }
        throw new AssertionError("no flags in " + info);
    }

    @Test
    void bindReplacesAStaleSocketFile() {
        byte[] path = bytes(dir.resolve("stale").toString());
        int first = Socket.newSocketDomainFd();
        assertEquals(0, Socket.bindDomainSocket(first, path), "nothing there yet");
        FileDescriptor.close(first);
        assertTrue(Files.exists(dir.resolve("stale")), "closing leaves the file behind");

        int[] pair = connected(path);
        assertEquals(2, FileDescriptor.write(pair[0], direct("hi"), 0, 2));
        assertEquals("hi", awaitNonNullText(pair[1]));
    }

    @Test
    void connectWithNobodyListeningReturnsTheSystemsErrno() {
        int fd = keep(Socket.newSocketDomainFd());
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(),
                Socket.connectDomainSocket(fd, bytes(dir.resolve("missing").toString())));
        byte[] stale = bytes(dir.resolve("stale").toString());
        int bound = keep(Socket.newSocketDomainFd());
        assertEquals(0, Socket.bindDomainSocket(bound, stale));
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errorECONNREFUSED(), Socket.connectDomainSocket(fd, stale));
    }

    /** Path lengths around the size of sun_path: the address holds at most that many bytes. */
    static Stream<Arguments> pathLengths() {
        int size = LimitsStaticallyReferencedJniMethods.udsSunPathSize();
        return Stream.of(Arguments.of(size - 1, size - 1), Arguments.of(size, size), Arguments.of(size + 5, size));
    }

    @ParameterizedTest(name = "{0} bytes given, {1} used")
    @MethodSource("pathLengths")
    void pathsFillSunPathAndAreCutBeyondIt(int given, int used) {
        StringBuilder name = new StringBuilder(dir.toString()).append('/');
        while (name.length() < given) {
            name.append('p');
        }
        String full = name.toString();
        int[] pair = connected(bytes(full));
        assertTrue(Files.exists(Path.of(full.substring(0, used))), "socket file named by the first " + used + " bytes");
        assertEquals(1, FileDescriptor.write(pair[1], direct("!"), 0, 1));
        assertEquals("!", awaitNonNullText(pair[0]));
        // The cut name is the name: connecting with just those bytes reaches the same listener.
        int other = keep(Socket.newSocketDomainFd());
        assertEquals(0, Socket.connectDomainSocket(other, bytes(full.substring(0, used))));
    }

    @Test
    void descriptorsTravelBothWaysAndArriveNonBlocking() throws IOException {
        int[] pair = connected(bytes(dir.resolve("pass").toString()));
        long pipe = FileDescriptor.newPipe();
        int readEnd = keep((int) (pipe >>> 32));
        int writeEnd = keep((int) pipe);

        // Client to server: the pipe's read end.
        assertEquals(1, Socket.sendFd(pair[0], readEnd));
        int receivedRead = keep(awaitNot(-eagain(), () -> Socket.recvFd(pair[1]), "recvFd"));
        assertNotEquals(readEnd, receivedRead);
        assertEquals(4, FileDescriptor.write(writeEnd, direct("pipe"), 0, 4));
        assertEquals("pipe", awaitNonNullText(receivedRead));

        // Server to client: a file opened blocking, which must arrive non-blocking.
        Path file = dir.resolve("file");
        int blocking = keep(FileDescriptor.open(file.toString()));
        assertFalse(isNonBlocking(blocking));
        assertEquals(1, Socket.sendFd(pair[1], blocking));
        int receivedFile = keep(awaitNot(-eagain(), () -> Socket.recvFd(pair[0]), "recvFd"));
        assertTrue(isNonBlocking(receivedFile));
        assertEquals(5, FileDescriptor.write(receivedFile, direct("file!"), 0, 5));
        assertEquals("file!", Files.readString(file));
    }

    @Test
    void recvFdReportsEmptyMalformedAndClosed() {
        int[] pair = connected(bytes(dir.resolve("r").toString()));
        assertEquals(-eagain(), Socket.recvFd(pair[1]), "nothing waiting");
        assertEquals(1, FileDescriptor.write(pair[0], direct("d"), 0, 1));
        assertEquals(-ebadmsg(), awaitNot(-eagain(), () -> Socket.recvFd(pair[1]), "recvFd"), "data without a descriptor");
        FileDescriptor.close(pair[0]);
        open.remove(Integer.valueOf(pair[0]));
        assertEquals(0, awaitNot(-eagain(), () -> Socket.recvFd(pair[1]), "recvFd"), "end of stream");
        int epipe = ErrorsStaticallyReferencedJniMethods.errnoEPIPE();
        int econnreset = ErrorsStaticallyReferencedJniMethods.errnoECONNRESET();
        int sent = Socket.sendFd(pair[1], pair[1]);
        assertTrue(sent == -epipe || sent == -econnreset, "peer gone: " + sent);
    }

    @Test
    void bindAndConnectWithoutAPathAreRefused() {
        int fd = keep(Socket.newSocketDomainFd());
        assertEquals(-SocketTestSupport.EINVAL, Socket.bindDomainSocket(fd, null));
        assertEquals(-SocketTestSupport.EINVAL, Socket.connectDomainSocket(fd, null));
    }

    @Test
    void newDomainSocketIsNonBlocking() {
        int listener = listening(bytes(dir.resolve("nb").toString()));
        assertEquals(-eagain(), Socket.accept(listener, new byte[25]));
    }

    /**
     * Child main: a listener and a client on the 3-byte relative path "s.k" (address
     * length 5), resolved against the working directory the test gave the child. Needs
     * nothing of JUnit, which the child's classpath lacks.
     */
    public static final class RelativePathScenario {
        public static void main(String[] args) throws InterruptedException {
            NativeLibrary.loadConfigured();
            byte[] path = "s.k".getBytes(StandardCharsets.US_ASCII);
            int eagain = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
            int listener = Socket.newSocketDomainFd();
            System.out.println("bind=" + Socket.bindDomainSocket(listener, path));
            System.out.println("listen=" + Socket.listen(listener, 4));
            System.out.println("fileInWorkingDirectory=" + Files.exists(Path.of("s.k").toAbsolutePath()));
            int client = Socket.newSocketDomainFd();
            System.out.println("connect=" + Socket.connectDomainSocket(client, path));
            int server = -eagain;
            for (int i = 0; i < 500 && server == -eagain; i++) {
                server = Socket.accept(listener, new byte[25]);
                if (server == -eagain) {
                    Thread.sleep(10);
                }
            }
            System.out.println("accepted=" + (server >= 0));
            java.nio.ByteBuffer buffer = java.nio.ByteBuffer.allocateDirect(8);
            buffer.put(0, (byte) 'h').put(1, (byte) 'i');
            System.out.println("write=" + FileDescriptor.write(client, buffer, 0, 2));
            int n = -eagain;
            for (int i = 0; i < 500 && n == -eagain; i++) {
                n = FileDescriptor.read(server, buffer, 2, 8);
                if (n == -eagain) {
                    Thread.sleep(10);
                }
            }
            byte[] got = new byte[Math.max(n, 0)];
            buffer.get(2, got);
            System.out.println("read=" + new String(got, StandardCharsets.US_ASCII));
            FileDescriptor.close(server);
            FileDescriptor.close(client);
            FileDescriptor.close(listener);
        }
    }

    @Test
    void aThreeByteRelativePathNamesAFileInTheWorkingDirectory() {
        Map<String, String> out = ChildJvm.main(RelativePathScenario.class).directory(dir).run()
                .assertExitCode(0).stdoutProperties();
        assertEquals("0", out.get("bind"), out.toString());
        assertEquals("0", out.get("listen"), out.toString());
        assertEquals("true", out.get("fileInWorkingDirectory"), out.toString());
        assertEquals("0", out.get("connect"), out.toString());
        assertEquals("true", out.get("accepted"), out.toString());
        assertEquals("2", out.get("write"), out.toString());
        assertEquals("hi", out.get("read"), out.toString());
        // Bound relative to the child's directory, not to wherever the suite runs.
        assertTrue(Files.exists(dir.resolve("s.k")), "socket file s.k in " + dir);
    }
}
