package io.ovrel.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.test.ChildJvm;
import java.time.Duration;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The demos as a user runs them: a fresh JVM under -Xcheck:jni, natives only, short
 * runs. Every byte must come back intact and every descriptor must end cleanly.
 */
class DemoRunIT {
    private static final String ROUNDS = "5000";
    private static final Duration CHILD_TIMEOUT = Duration.ofSeconds(60);
    /**
     * Heap a loop thread may allocate over a whole run: class set-up and the like, a few
     * KiB. Anything per message or per event would pass this within a few thousand.
     */
    private static final long LOOP_HEAP_LIMIT = 32 * 1024;

    static Stream<Arguments> echoRuns() {
        return Stream.of(
                // Many small messages on several connections at once.
                Arguments.of(new String[] {"--duration", "1", "--connections", "8"}, 8, false),
                // Messages far larger than the socket buffers: partial writes on the way out.
                Arguments.of(new String[] {"--mode", "echo", "--duration", "1", "--connections", "2", "--size",
                    "16777216"}, 2, true));
    }

    @ParameterizedTest
    @MethodSource("echoRuns")
    void echoReturnsEveryByteAndClosesEveryConnection(String[] args, int connections, boolean expectPartialWrites) {
        ChildJvm.Result result = ChildJvm.main(Demo.class).args(args).timeout(CHILD_TIMEOUT).run();
        result.assertExitCode(0);
        assertEquals("", result.stderr(), result::describe);
        Map<String, String> r = result.stdoutProperties();
        assertEquals("ok", r.get("echo.result"), result::describe);
        assertEquals("0", r.get("echo.mismatchedBytes"), result::describe);
        assertEquals(Integer.toString(connections), r.get("echo.connected"), result::describe);
        assertEquals(Integer.toString(connections), r.get("echo.server.closedOnEof"), result::describe);
        assertTrue(Long.parseLong(r.get("echo.messages")) >= connections, result::describe);
        assertEquals(r.get("echo.bytesSent"), r.get("echo.bytesReceived"), result::describe);
        assertEquals(r.get("echo.bytesSent"), r.get("echo.server.bytesEchoed"), result::describe);
        assertEquals(r.get("echo.messages"), r.get("echo.latency.samples"), result::describe);
        assertLoopAllocatedLittle(r, "echo.client.loopHeapBytes", result);
        assertLoopAllocatedLittle(r, "echo.server.loopHeapBytes", result);
        if (expectPartialWrites) {
            assertTrue(Long.parseLong(r.get("echo.client.partialWrites")) > 0, result::describe);
        }
    }

    private static void assertLoopAllocatedLittle(Map<String, String> r, String key, ChildJvm.Result result) {
        long bytes = Long.parseLong(r.get(key));
        // -1: this JVM does not count allocations per thread.
        assertTrue(bytes == -1 || bytes < LOOP_HEAP_LIMIT, key + "\n" + result.describe());
    }

    @Test
    void pingPongAnswersEveryWakeUpWithOnePipeRoundTrip() {
        ChildJvm.Result result = ChildJvm.main(Demo.class).args("--mode", "pingpong", "--rounds", ROUNDS,
                "--duration", "20").timeout(CHILD_TIMEOUT).run();
        result.assertExitCode(0);
        assertEquals("", result.stderr(), result::describe);
        Map<String, String> r = result.stdoutProperties();
        assertEquals("ok", r.get("pingpong.result"), result::describe);
        for (String count : new String[] {"wakeups", "pipeReadEvents", "bytesWritten", "bytesRead",
            "latency.samples"}) {
            assertEquals(ROUNDS, r.get("pingpong." + count), count + "\n" + result.describe());
        }
        assertLoopAllocatedLittle(r, "pingpong.loopHeapBytes", result);
        assertEquals("0", r.get("pingpong.mismatchedBytes"), result::describe);
    }

    static Stream<Arguments> badCommandLines() {
        return Stream.of(
                Arguments.of((Object) new String[] {"--mode", "chat"}),
                Arguments.of((Object) new String[] {"--connections", "0"}),
                Arguments.of((Object) new String[] {"--size"}),
                Arguments.of((Object) new String[] {"--duration", "-1"}),
                Arguments.of((Object) new String[] {"--colour", "red"}),
                Arguments.of((Object) new String[] {"--mode", "info", "--connections", "5"}));
    }

    /** A wrong flag is reported before anything is loaded or started. */
    @ParameterizedTest
    @MethodSource("badCommandLines")
    void badCommandLineExitsWithUsage(String[] args) {
        ChildJvm.Result result = ChildJvm.main(Demo.class).args(args).timeout(CHILD_TIMEOUT).run();
        result.assertExitCode(Demo.EXIT_USAGE);
        assertEquals("", result.stdout(), result::describe);
        assertTrue(result.stderr().contains(DemoOptions.USAGE), result::describe);
    }
}
