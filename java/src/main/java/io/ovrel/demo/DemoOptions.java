package io.ovrel.demo;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.LinkedHashSet;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;

/**
 * Command line of {@link Demo}: {@code [library] [--mode info|pingpong|echo]
 * [--connections N] [--size BYTES] [--duration SECONDS] [--rounds N] [--help]}. The
 * leading library path is for callers that pass it themselves (scripts/demo.sh hands
 * it over as a system property), so the usage line does not show it.
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

    public static final String USAGE = "usage: demo [--mode echo|pingpong|info] [--connections N] [--size BYTES]"
            + " [--duration SECONDS] [--rounds N] [--help]";

    /** What --help prints: the usage line and which option belongs to which mode. */
    public static final String HELP = USAGE + "\n"
            + "  --mode echo        echo server and client loops over 127.0.0.1 (default); takes\n"
            + "                     --connections N (1-" + MAX_CONNECTIONS + ", default 64), --size BYTES (default 256),\n"
            + "                     --duration SECONDS (default 3)\n"
            + "  --mode pingpong    user-event wake-ups answered through a pipe; takes --rounds N\n"
            + "                     (default 20000) and --duration SECONDS (time limit, default 30)\n"
            + "  --mode info        prints what the library reports (limits, errno values, kqueue\n"
            + "                     layout); takes no other option\n"
            + "  --help             prints this text\n"
            + "Flags take their value as the next argument or after '=' (--size=4096).";

    /** The options each mode reads; any other is refused rather than silently ignored. */
    private static final Map<Mode, Set<String>> APPLICABLE = Map.of(
            Mode.ECHO, Set.of("--connections", "--size", "--duration"),
            Mode.PINGPONG, Set.of("--rounds", "--duration"),
            Mode.INFO, Set.of());

    private static final Set<String> FLAGS = Set.of("--mode", "--connections", "--size", "--duration", "--rounds");

    Path library;
    Mode mode = Mode.ECHO;
    int connections = 64;
    int size = 256;
    double durationSeconds = 3;
    boolean durationGiven;
    int rounds = 20_000;
    boolean help;

    public static DemoOptions parse(String... args) {
        DemoOptions o = new DemoOptions();
        int i = 0;
        if (args.length > 0 && !args[0].startsWith("-")) {
            o.library = Paths.get(args[0]);
            i = 1;
        }
        Set<String> given = new LinkedHashSet<>();
        for (; i < args.length; i++) {
            String flag = args[i];
            if (flag.equals("--help") || flag.equals("-h")) {
                o.help = true;
                return o;
            }
            if (!flag.startsWith("--")) {
                throw new IllegalArgumentException("unknown option " + flag);
            }
            String value;
            int eq = flag.indexOf('=');
            if (eq > 0) {
                flag = flag.substring(0, eq);
            }
            // An unknown flag is named as such, not blamed for a missing value.
            if (!FLAGS.contains(flag)) {
                throw new IllegalArgumentException("unknown option " + flag + " (try --help)");
            }
            given.add(flag);
            if (eq > 0) {
                value = args[i].substring(eq + 1);
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
                    throw new IllegalArgumentException("unknown option " + flag + " (try --help)");
            }
        }
        for (String flag : given) {
            if (!flag.equals("--mode") && !APPLICABLE.get(o.mode).contains(flag)) {
                String mode = o.mode.name().toLowerCase(Locale.ROOT);
                Set<String> takes = APPLICABLE.get(o.mode);
                throw new IllegalArgumentException(flag + " does not apply to --mode " + mode + " (it takes "
                        + (takes.isEmpty() ? "no other option" : String.join(" and ", new TreeSet<>(takes))) + ")");
            }
        }
        return o;
    }

    /** Whether --help was asked for: print {@link #HELP} and do nothing else. */
    public boolean help() {
        return help;
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
