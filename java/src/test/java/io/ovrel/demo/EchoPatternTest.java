package io.ovrel.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** The echo check is only as good as the pattern's power to tell streams and offsets apart. */
class EchoPatternTest {
    private static final int LENGTH = 4096;
    private static final int CONNECTION = 5;
    private static final long OFFSET = 1_000_000L;

    @Test
    void theStreamAsSentHasNoMismatch() {
        ByteBuffer b = ByteBuffer.allocateDirect(LENGTH);
        EchoPattern.fill(b, 0, CONNECTION, OFFSET, LENGTH);
        assertEquals(0, EchoPattern.mismatches(b, 0, CONNECTION, OFFSET, LENGTH));
    }

    @Test
    void eachCorruptedByteCountsOnce() {
        ByteBuffer b = ByteBuffer.allocateDirect(LENGTH);
        EchoPattern.fill(b, 0, CONNECTION, OFFSET, LENGTH);
        for (int at : new int[] {0, 77, LENGTH - 1}) {
            b.put(at, (byte) ~b.get(at));
        }
        assertEquals(3, EchoPattern.mismatches(b, 0, CONNECTION, OFFSET, LENGTH));
    }

    /** What a broken transport might hand back instead: nearly every byte must differ. */
    static Stream<Arguments> wrongStreams() {
        return Stream.of(
                Arguments.of("another connection's bytes", CONNECTION + 1, OFFSET),
                Arguments.of("shifted by one byte", CONNECTION, OFFSET + 1),
                Arguments.of("shifted by 256 bytes", CONNECTION, OFFSET + 256),
                Arguments.of("shifted by 64 KiB", CONNECTION, OFFSET + 65_536),
                Arguments.of("replayed from the start", CONNECTION, 0L));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("wrongStreams")
    void aWrongStreamMismatchesAlmostEverywhere(String what, int connection, long offset) {
        ByteBuffer b = ByteBuffer.allocateDirect(LENGTH);
        EchoPattern.fill(b, 0, connection, offset, LENGTH);
        int bad = EchoPattern.mismatches(b, 0, CONNECTION, OFFSET, LENGTH);
        assertTrue(bad > LENGTH * 0.95, what + ": only " + bad + " of " + LENGTH + " bytes differ");
    }

    @Test
    void fillWritesOnlyItsRange() {
        ByteBuffer b = ByteBuffer.allocateDirect(16);
        for (int i = 0; i < 16; i++) {
            b.put(i, (byte) 0x5a);
        }
        EchoPattern.fill(b, 4, CONNECTION, OFFSET, 8);
        assertEquals(0, EchoPattern.mismatches(b, 4, CONNECTION, OFFSET, 8));
        for (int i : new int[] {0, 3, 12, 15}) {
            assertEquals(0x5a, b.get(i), "byte " + i);
        }
    }
}
