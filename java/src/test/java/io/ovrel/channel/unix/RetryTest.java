package io.ovrel.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.demo.NativeLibrary;
import io.ovrel.test.ChildJvm;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;
import org.junit.jupiter.api.Test;

/**
 * Interrupted system calls, scripted through the fault-injecting copy of the library:
 * every transfer must be retried inside the native and come back complete.
 */
class RetryTest {

    /**
     * Child main: one call of each native whose system call is scripted to be interrupted
     * twice. Runs without JUnit on its classpath, so it uses nothing of the test helpers.
     */
    public static final class Scenario {
        private static final byte[] LOOPBACK = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};

        private static ByteBuffer direct(String text) {
            byte[] bytes = text.getBytes(StandardCharsets.ISO_8859_1);
            return ByteBuffer.allocateDirect(bytes.length).put(bytes).flip();
        }

        private static int port(int fd) {
            byte[] local = Socket.localAddress(fd);
            return ((local[6] & 0xff) << 8) | (local[7] & 0xff);
        }

        private static int bound(boolean stream) {
            int fd = stream ? Socket.newSocketStreamFd(false) : Socket.newSocketDgramFd(false);
            Socket.bind(fd, false, LOOPBACK, 0, 0);
            if (stream) {
                Socket.listen(fd, 4);
            }
            return fd;
        }

        public static void main(String[] args) throws InterruptedException {
            NativeLibrary.loadConfigured();
            long pipe = FileDescriptor.newPipe();
            int readEnd = (int) (pipe >>> 32);
            int writeEnd = (int) pipe;

            ByteBuffer[] buffers = {direct("gather"), direct("ed")};
            System.out.println("writev=" + FileDescriptor.writev(writeEnd, buffers, 0, 2, 100));
            System.out.println("write=" + FileDescriptor.write(writeEnd, direct("!"), 0, 1));
            ByteBuffer in = ByteBuffer.allocateDirect(16);
            int n = FileDescriptor.read(readEnd, in, 0, 16);
            byte[] read = new byte[Math.max(n, 0)];
            in.get(0, read);
            System.out.println("read=" + n + ":" + new String(read, StandardCharsets.ISO_8859_1));

            int listener = bound(true);
            int client = Socket.newSocketStreamFd(false);
            int r = Socket.connect(client, false, LOOPBACK, 0, port(listener));
            System.out.println("connect=" + (r == 0 || r == -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS()));
            byte[] peer = new byte[25];
            int accepted = -1;
            for (int i = 0; i < 500 && accepted < 0; i++) {
                accepted = Socket.accept(listener, peer);
                if (accepted == -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN()) {
                    Thread.sleep(10);
                }
            }
            System.out.println("accept=" + (accepted >= 0) + ":" + peer[0]);

            int udp = bound(false);
            System.out.println("sendTo=" + Socket.sendTo(udp, false, direct("dgram"), 0, 5, LOOPBACK, 0, port(udp)));
            DatagramSocketAddress got = null;
            for (int i = 0; i < 500 && got == null; i++) {
                got = Socket.recvFrom(udp, in, 0, 16);
                if (got == null) {
                    Thread.sleep(10);
                }
            }
            System.out.println("recvFrom=" + (got == null ? "null" : got.receivedAmount()));
        }
    }

    private static final String FAULTS =
            "writev:4:2,write:4:2,read:4:2,connect:4:2,accept4:4:2,sendto:4:2,recvfrom:4:2";

    /** The fault-injecting library built beside the configured one. */
    private static Path faultsLibrary() {
        Path library = NativeLibrary.configuredPath();
        String name = library.getFileName().toString().replace(".so", "_faults.so");
        Path faults = library.resolveSibling(name);
        assertTrue(Files.isRegularFile(faults), "build the fault-injecting library: " + faults);
        return faults;
    }

    @Test
    void everyTransferSurvivesTwoInterruptions() {
        ChildJvm.Result run = ChildJvm.main(Scenario.class)
                .library(faultsLibrary())
                .environment("OVREL_FAULTS", FAULTS)
                .run()
                .assertExitCode(0);
        String describe = run.describe();
        Map<String, String> results = run.stdoutProperties();
        assertEquals("8", results.get("writev"), describe);
        assertEquals("1", results.get("write"), describe);
        assertEquals("9:gathered!", results.get("read"), describe);
        assertEquals("true", results.get("connect"), describe);
        assertEquals("true:8", results.get("accept"), describe);
        assertEquals("5", results.get("sendTo"), describe);
        assertEquals("5", results.get("recvFrom"), describe);
    }
}
