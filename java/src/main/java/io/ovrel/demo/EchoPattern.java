package io.ovrel.demo;

import java.nio.ByteBuffer;

/**
 * The bytes a client connection sends, as a function of the connection number and the
 * byte's offset in that connection's stream. Nothing is kept to compare against: the
 * client regenerates what it expects, so a byte that comes back lost, duplicated,
 * reordered, shifted or from another connection's stream shows up as a mismatch. The
 * mixing makes shifts by any distance visible, not just ones that are not a multiple
 * of 256.
 */
public final class EchoPattern {
    private EchoPattern() {
    }

    public static byte byteAt(int connection, long offset) {
        long h = offset * 0x9E3779B97F4A7C15L + (connection + 1) * 0xC2B2AE3D27D4EB4FL;
        h ^= h >>> 29;
        h *= 0xBF58476D1CE4E5B9L;
        return (byte) (h >>> 56);
    }

    /** Writes the pattern for {@code [offset, offset + length)} at {@code buffer[at..]}. */
    public static void fill(ByteBuffer buffer, int at, int connection, long offset, int length) {
        for (int i = 0; i < length; i++) {
            buffer.put(at + i, byteAt(connection, offset + i));
        }
    }

    /** Number of bytes in {@code buffer[at, at + length)} that differ from the pattern. */
    public static int mismatches(ByteBuffer buffer, int at, int connection, long offset, int length) {
        int bad = 0;
        for (int i = 0; i < length; i++) {
            if (buffer.get(at + i) != byteAt(connection, offset + i)) {
                bad++;
            }
        }
        return bad;
    }
}
