package io.ovrel.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.Random;
import java.util.stream.LongStream;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class LatencyHistogramTest {
    /** Relative error a bucket may add: 64 sub-buckets per power of two. */
    private static final double PRECISION = 1.0 / 64;

    /** Around every power of two and in between: where bucket arithmetic goes wrong. */
    @Test
    void everyValueLiesInABucketWhoseUpperBoundIsWithinPrecision() {
        LongStream edges = LongStream.range(0, 62).flatMap(e -> LongStream.of((1L << e) - 1, 1L << e, (1L << e) + 1,
                (1L << e) + (1L << e) / 3));
        LongStream.concat(LongStream.range(0, 5000), edges).forEach(v -> {
            int index = LatencyHistogram.index(v);
            long upper = LatencyHistogram.upperBound(index);
            assertTrue(upper >= v, "value " + v + " above its bucket's bound " + upper);
            assertTrue(upper - v <= v * PRECISION, "value " + v + " in a bucket reaching " + upper);
            if (index > 0) {
                assertTrue(LatencyHistogram.upperBound(index - 1) < v, "value " + v + " belongs to an earlier bucket");
            }
        });
    }

    static Stream<Arguments> samples() {
        Random random = new Random(1);
        long[] uniform = LongStream.rangeClosed(1, 100_000).toArray();
        long[] spread = random.longs(50_000, 1_000, 50_000_000).toArray();
        long[] constant = new long[1000];
        Arrays.fill(constant, 1_234_567);
        long[] withOutlier = LongStream.concat(LongStream.generate(() -> 20_000).limit(9_999), LongStream.of(
                9_000_000_000L)).toArray();
        return Stream.of(Arguments.of("uniform", uniform), Arguments.of("spread", spread),
                Arguments.of("constant", constant), Arguments.of("one outlier", withOutlier));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("samples")
    void percentilesMatchTheSortedSamples(String name, long[] values) {
        LatencyHistogram h = new LatencyHistogram();
        for (long v : values) {
            h.record(v);
        }
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        for (double p : new double[] {50, 90, 99, 99.9, 100}) {
            long exact = sorted[(int) Math.max(0, Math.ceil(p / 100 * sorted.length) - 1)];
            long got = h.percentile(p);
            assertTrue(got >= exact && got <= exact + exact * PRECISION, name + " p" + p + ": " + got + " for "
                    + exact);
        }
        assertEquals(sorted[sorted.length - 1], h.max());
        assertEquals(sorted[0], h.min());
        assertEquals(values.length, h.count());
        assertEquals(Arrays.stream(values).average().orElse(0), h.mean(), 1e-6 * h.mean());
    }

    @Test
    void mergingTwoHistogramsEqualsRecordingIntoOne() {
        LatencyHistogram a = new LatencyHistogram();
        LatencyHistogram b = new LatencyHistogram();
        LatencyHistogram all = new LatencyHistogram();
        for (long v = 1; v < 100_000; v += 7) {
            (v % 3 == 0 ? a : b).record(v * 13);
            all.record(v * 13);
        }
        a.add(b);
        for (double p : new double[] {1, 50, 99, 99.9}) {
            assertEquals(all.percentile(p), a.percentile(p), "p" + p);
        }
        assertEquals(all.count(), a.count());
        assertEquals(all.max(), a.max());
        assertEquals(all.min(), a.min());
    }

    @Test
    void emptyHistogramReportsZero() {
        LatencyHistogram h = new LatencyHistogram();
        assertEquals(0, h.percentile(50));
        assertEquals(0, h.max());
        assertEquals(0, h.min());
        assertEquals(0, h.mean());
    }
}
