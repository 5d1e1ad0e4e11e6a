package io.ovrel.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Paths;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class DemoOptionsTest {
    @Test
    void withoutFlagsTheEchoDemoRunsWithItsDefaults() {
        DemoOptions o = DemoOptions.parse();
        assertEquals(DemoOptions.Mode.ECHO, o.mode());
        assertEquals(null, o.library());
        assertEquals(64, o.connections());
        assertEquals(256, o.size());
        assertEquals(3.0, o.durationSeconds());
        assertEquals(false, o.durationGiven());
    }

    @Test
    void aLeadingPathIsTheLibraryAndFlagsFollowIt() {
        DemoOptions o = DemoOptions.parse("build/lib.so", "--mode", "Echo", "--connections=8", "--size", "1",
                "--duration", "0.5");
        assertEquals(Paths.get("build/lib.so"), o.library());
        assertEquals(DemoOptions.Mode.ECHO, o.mode());
        assertEquals(8, o.connections());
        assertEquals(1, o.size());
        assertEquals(500_000_000L, o.durationNanos());
        assertTrue(o.durationGiven());

        DemoOptions p = DemoOptions.parse("--rounds", "10", "--mode=pingpong");
        assertEquals(DemoOptions.Mode.PINGPONG, p.mode());
        assertEquals(10, p.rounds());
    }

    @ParameterizedTest
    @MethodSource("helpRequests")
    void helpWinsOverEverythingElseOnTheLine(String[] args) {
        assertTrue(DemoOptions.parse(args).help());
    }

    static Stream<Arguments> helpRequests() {
        return Stream.of(
                Arguments.of((Object) new String[] {"--help"}),
                Arguments.of((Object) new String[] {"-h"}),
                Arguments.of((Object) new String[] {"--mode", "info", "--help"}),
                Arguments.of((Object) new String[] {"lib.so", "--help"}));
    }

    static Stream<Arguments> rejected() {
        return Stream.of(
                Arguments.of(new String[] {"--mode", "chat"}, "unknown mode chat"),
                Arguments.of(new String[] {"--connections", "0"}, "--connections must lie between 1"),
                Arguments.of(new String[] {"--connections", "" + (DemoOptions.MAX_CONNECTIONS + 1)}, "--connections"),
                Arguments.of(new String[] {"--size", "1k"}, "--size takes a whole number"),
                Arguments.of(new String[] {"--duration", "0"}, "--duration must lie in"),
                Arguments.of(new String[] {"--duration", "NaN"}, "--duration must lie in"),
                Arguments.of(new String[] {"--rounds"}, "--rounds needs a value"),
                Arguments.of(new String[] {"lib.so", "other.so"}, "unknown option other.so"),
                // An unknown flag is named, wherever it stands, even without a value after it.
                Arguments.of(new String[] {"--colour"}, "unknown option --colour"),
                Arguments.of(new String[] {"--mode", "echo", "--verbose"}, "unknown option --verbose"),
                Arguments.of(new String[] {"--colour=red"}, "unknown option --colour"),
                // Options a mode would ignore are refused, naming what the mode takes.
                Arguments.of(new String[] {"--mode", "info", "--connections", "5"},
                        "--connections does not apply to --mode info (it takes no other option)"),
                Arguments.of(new String[] {"--rounds", "5"},
                        "--rounds does not apply to --mode echo (it takes --connections and --duration and --size)"),
                Arguments.of(new String[] {"--size", "8", "--mode", "pingpong"},
                        "--size does not apply to --mode pingpong (it takes --duration and --rounds)"));
    }

    @ParameterizedTest
    @MethodSource("rejected")
    void badValuesAreRejectedWithTheFlagNamed(String[] args, String message) {
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> DemoOptions.parse(args));
        assertTrue(e.getMessage().startsWith(message), e.getMessage());
    }
}
