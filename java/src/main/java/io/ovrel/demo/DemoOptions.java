package io.ovrel.demo;

import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Command line of {@link Demo}: {@code [library] [--mode info|pingpong|echo]
 * [--connections N] [--size BYTES] [--duration SECONDS] [--rounds N]}.
 */
public final class DemoOptions {
    public enum Mode {
        INFO, PINGPONG, ECHO
    }

    /** Bounds that keep a run inside one process's descriptor table and a sane memory budget. */
    static final int MAX_CONNECTIONS = 2000;
    static final int MAX_SIZE = 1 << 24;
    static final double MAX_DURATION = 600;
    static final int MAX_ROUNDS = 10_000_000;

    public static final String USAGE = "usage: Demo [library.so] [--mode info|pingpong|echo] [--connections N]"
            + " [--size BYTES] [--duration SECONDS] [--rounds N]";

    Path library;
    Mode mode = Mode.ECHO;
    int connections = 64;
    int size = 256;
    double durationSeconds = 3;
    boolean durationGiven;
    int rounds = 20_000;

    public static DemoOptions parse(String... args) {
        DemoOptions o = new DemoOptions();
        int i = 0;
        if (args.length > 0 && !args[0].startsWith("--")) {
            o.library = Paths.get(args[0]);
            i = 1;
        }
        for (; i < args.length; i++) {
            String flag = args[i];
            if (!flag.startsWith("--")) {
                throw new IllegalArgumentException("unknown option " + flag);
            }
            String value;
            int eq = flag.indexOf('=');
            if (eq > 0) {
                value = flag.substring(eq + 1);
                flag = flag.substring(0, eq);
            } else {
                if (i + 1 >= args.length) {
                    throw new IllegalArgumentException(flag + " needs a value");
                }
                value = args[++i];
            }
            switch (flag) {
                case "--mode":
                    o.mode = mode(value);
                    break;
                case "--connections":
                    o.connections = integer(flag, value, 1, MAX_CONNECTIONS);
                    break;
                case "--size":
                    o.size = integer(flag, value, 1, MAX_SIZE);
                    break;
                case "--duration":
                    o.durationSeconds = seconds(flag, value);
                    o.durationGiven = true;
                    break;
                case "--rounds":
                    o.rounds = integer(flag, value, 1, MAX_ROUNDS);
                    break;
                default:
                    throw new IllegalArgumentException("unknown option " + flag);
            }
        }
        return o;
    }

    public Path library() {
        return library;
    }

    public Mode mode() {
        return mode;
    }

    public int connections() {
        return connections;
    }

    public int size() {
        return size;
    }

    public double durationSeconds() {
        return durationSeconds;
    }

    /** Whether --duration was on the command line (ping-pong then uses it as its time limit). */
    public boolean durationGiven() {
        return durationGiven;
    }

    public long durationNanos() {
        return (long) (durationSeconds * 1e9);
    }

    public int rounds() {
        return rounds;
    }

    private static Mode mode(String value) {
        for (Mode m : Mode.values()) {
            if (m.name().equalsIgnoreCase(value)) {
                return m;
            }
        }
        throw new IllegalArgumentException("unknown mode " + value + " (info, pingpong or echo)");
    }

    private static int integer(String flag, String value, int min, int max) {
        int v;
        try {
            v = Integer.parseInt(value);
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException(flag + " takes a whole number, not " + value);
        }
        if (v < min || v > max) {
            throw new IllegalArgumentException(flag + " must lie between " + min + " and " + max + ", not " + v);
        }
        return v;
    }

    private static double seconds(String flag, String value) {
        double v;
        try {
            v = Double.parseDouble(value);
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException(flag + " takes seconds, not " + value);
        }
        if (!(v > 0 && v <= MAX_DURATION)) {
            throw new IllegalArgumentException(flag + " must lie in (0, " + MAX_DURATION + "] seconds, not " + value);
        }
        return v;
    }
}
