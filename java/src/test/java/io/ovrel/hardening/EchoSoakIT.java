package io.ovrel.hardening;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.demo.NativeLibrary;
import io.ovrel.test.ChildJvm;
import java.time.Duration;
import java.util.Map;
import org.junit.jupiter.api.Test;

/**
 * The short soak CI runs: {@link io.ovrel.soak.EchoSoak} in a child JVM with 1000 echo
 * connections and 300 000 messages, then the wake-up storm. scripts/soak.sh runs the
 * long one.
 */
class EchoSoakIT {
    @Test
    void echoAndWakeupStormLoseNothingLeakNothingAndStayFlat() {
        ChildJvm.Result run = ChildJvm.main("io.ovrel.soak.EchoSoak")
                .jvmArgs("-Xms96m", "-Xmx96m", "-XX:+AlwaysPreTouch")
                .args(NativeLibrary.configuredPath().toString(), "--connections", "1000", "--messages", "300000",
                        "--storm-threads", "8", "--storm-rounds", "500", "--storm-triggers", "20")
                .timeout(Duration.ofSeconds(240))
                .run();
        Map<String, String> out = run.stdoutProperties();
        String describe = run.describe();
        assertEquals("0", out.get("echo.mismatchedBytes"), describe);
        assertEquals("0", out.get("echo.lostBytes"), describe);
        assertEquals("0", out.get("echo.lostConnections"), describe);
        assertTrue(Long.parseLong(out.get("echo.messages")) >= 300_000, describe);
        // Every ending was taken, so the half-close and reset paths were really run.
        assertTrue(Long.parseLong(out.get("echo.halfCloses")) > 0, describe);
        assertTrue(Long.parseLong(out.get("echo.resets")) > 0, describe);
        assertEquals(out.get("storm.triggersExpected"), out.get("storm.observed"), describe);
        assertEquals("0", out.get("storm.timeouts"), describe);
        assertEquals(out.get("fds.before"), out.get("fds.after"), describe);
        assertEquals("ok", out.get("result"), describe);
        run.assertExitCode(0);
    }
}
