package io.ovrel.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.management.ManagementFactory;
import java.time.Duration;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.opentest4j.AssertionFailedError;

/** The harness every child-JVM scenario relies on: it must not let a failure pass unseen. */
class ChildJvmTest {

    /** Child main: behaves as its first argument says. */
    public static final class Child {
        public static void main(String[] args) throws InterruptedException {
            switch (args[0]) {
                case "outputs":
                    System.out.println("to stdout");
                    System.err.println("to stderr");
                    System.exit(7);
                    break;
                case "warn-stdout":
                    System.out.println(ChildJvm.JNI_WARNING + ": made up by the test");
                    break;
                case "warn-stderr":
                    System.err.println(ChildJvm.JNI_WARNING + ": made up by the test");
                    break;
                case "jvm-args":
                    ManagementFactory.getRuntimeMXBean().getInputArguments().forEach(System.out::println);
                    break;
                case "hang":
                    Thread.sleep(120_000);
                    break;
                default:
                    throw new IllegalArgumentException(args[0]);
            }
        }
    }

    @Test
    void capturesExitCodeAndBothStreams() {
        ChildJvm.Result result = ChildJvm.main(Child.class).args("outputs").run();
        assertEquals(7, result.exitCode());
        assertEquals(List.of("to stdout"), result.stdoutLines());
        assertEquals(List.of("to stderr"), result.stderrLines());
    }

    @ParameterizedTest
    @ValueSource(strings = {"warn-stdout", "warn-stderr"})
    void failsOnAJniWarningInEitherStream(String mode) {
        AssertionFailedError error = assertThrows(AssertionFailedError.class,
                () -> ChildJvm.main(Child.class).args(mode).run());
        assertTrue(error.getMessage().contains("made up by the test"), error.getMessage());
    }

    @Test
    void killsAChildThatOutlivesItsTimeout() {
        AssertionFailedError error = assertTimeoutPreemptively(Duration.ofSeconds(60),
                () -> assertThrows(AssertionFailedError.class,
                        () -> ChildJvm.main(Child.class).args("hang").timeout(Duration.ofSeconds(2)).run()));
        assertTrue(error.getMessage().contains("did not finish"), error.getMessage());
    }

    @Test
    void childRunsWithCheckedJni() {
        ChildJvm.Result result = ChildJvm.main(Child.class).args("jvm-args").run();
        assertTrue(result.stdoutLines().contains("-Xcheck:jni"), result::describe);
    }
}
