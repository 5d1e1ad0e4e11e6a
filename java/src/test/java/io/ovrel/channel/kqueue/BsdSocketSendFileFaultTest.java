package io.ovrel.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import io.ovrel.channel.DefaultFileRegion;
import io.ovrel.demo.NativeLibrary;
import io.ovrel.test.ChildJvm;
import io.ovrel.test.Platform;
import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * sendFile when sendfile is interrupted or stops early, scripted through the
 * fault-injecting copy of the library in a child JVM (OVREL_FAULTS). Whatever the
 * script, the bytes that arrive must be exactly the asked range, in order.
 */
class BsdSocketSendFileFaultTest {
    private static final int FILE_SIZE = 6000;
    private static final int EINTR = 4;

    @TempDir
    Path dir;

    static Stream<Arguments> scripts() {
        // faults, base, offset, length -> result, transferred
        int eagain = Platform.pick(11, 35);
        return Stream.of(
                Arguments.of("EINTR after half: resumes at the first unsent byte", "sendfile_partial:" + EINTR + ":1",
                        1000, 24, 2000, 2000, 2024),
                Arguments.of("EINTR after half, twice", "sendfile_partial:" + EINTR + ":2", 0, 0, 4000, 4000, 4000),
                Arguments.of("EINTR before anything: retried", "sendfile:" + EINTR + ":3", 100, 0, 50, 50, 50),
                Arguments.of("EINTR after half of length 0: the rest of the file", "sendfile_partial:" + EINTR + ":1",
                        2000, 1000, 0, FILE_SIZE - 3000, 1000 + FILE_SIZE - 3000),
                Arguments.of("EINTR after everything asked: not repeated as 'to the end'",
                        "sendfile_partial:" + EINTR + ":1", 0, 0, 1, 1, 1),
                Arguments.of("EAGAIN after half: the half is the result", "sendfile_partial:" + eagain + ":1", 0, 10,
                        3000, 1500, 1510),
                Arguments.of("EAGAIN before anything: -EAGAIN, transferred untouched", "sendfile:" + eagain + ":1", 0, 10,
                        3000, -eagain, 0));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("scripts")
    void sendFileUnderFaults(String name, String faults, int base, int offset, int length, long result,
            long transferred) throws IOException {
        Path library = NativeLibrary.configuredPath()
                .resolveSibling("libovrel_transport_native_kqueue_x86_64_faults.so");
        assumeTrue(Files.isRegularFile(library), "no fault-injecting library at " + library);
        Path file = BsdSockets.file(dir, BsdSockets.pattern(FILE_SIZE));

        Map<String, String> out = runChild(library, faults, file.toString(), Integer.toString(base),
                Integer.toString(offset), Integer.toString(length));

        assertEquals(Long.toString(result), out.get("result"), out.toString());
        assertEquals(Long.toString(transferred), out.get("transferred"), out.toString());
        assertEquals("true", out.get("rangeMatches"), out.toString());
    }

    /**
     * The child: one sendFile of the file's [base + offset, + length) over loopback,
     * then what the peer received, compared with the file.
     */
    public static final class Scenario {
        public static void main(String[] args) throws IOException {
            NativeLibrary.loadConfigured();
            Path path = Paths.get(args[0]);
            int base = Integer.parseInt(args[1]);
            int offset = Integer.parseInt(args[2]);
            int length = Integer.parseInt(args[3]);
            byte[] content = Files.readAllBytes(path);
            int[] pair = BsdSockets.tcpPair(0);
            try (FileChannel channel = FileChannel.open(path, StandardOpenOption.READ)) {
                DefaultFileRegion region = new DefaultFileRegion(channel, base, length);
                long result = BsdSocket.sendFile(pair[0], region, base, offset, length);
                byte[] received = BsdSockets.readAll(pair[1]);
                int start = base + offset;
                boolean matches = result <= 0 ? received.length == 0
                        : received.length == result
                                && Arrays.equals(received, Arrays.copyOfRange(content, start, start + (int) result));
                System.out.println("result=" + result);
                System.out.println("transferred=" + region.transferred());
                System.out.println("received=" + received.length);
                System.out.println("rangeMatches=" + matches);
            } finally {
                BsdSockets.close(pair);
            }
        }
    }

    private static Map<String, String> runChild(Path library, String faults, String... args) {
        return ChildJvm.main(Scenario.class)
                .library(library)
                .environment("OVREL_FAULTS", faults)
                .args(args)
                .run()
                .assertExitCode(0)
                .stdoutProperties();
    }
}
