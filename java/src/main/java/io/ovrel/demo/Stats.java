package io.ovrel.demo;

import java.io.PrintStream;
import java.util.Locale;

/** Formatting shared by the demos' {@code key=value} reports. */
final class Stats {
    private static final double[] PERCENTILES = {50, 90, 99, 99.9};
    private static final String[] NAMES = {"p50", "p90", "p99", "p99.9"};

    private Stats() {
    }

    /** {@code prefix.us.p50=...} through p99.9, then max and mean, in microseconds. */
    static void printLatency(PrintStream out, String prefix, LatencyHistogram h) {
        out.println(prefix + ".samples=" + h.count());
        for (int i = 0; i < PERCENTILES.length; i++) {
            out.println(prefix + ".us." + NAMES[i] + "=" + micros(h.percentile(PERCENTILES[i])));
        }
        out.println(prefix + ".us.max=" + micros(h.max()));
        out.println(prefix + ".us.mean=" + fixed(h.mean() / 1000.0, 1));
    }

    static String micros(long nanos) {
        return fixed(nanos / 1000.0, 1);
    }

    static String fixed(double value, int decimals) {
        return String.format(Locale.ROOT, "%." + decimals + "f", value);
    }
}
