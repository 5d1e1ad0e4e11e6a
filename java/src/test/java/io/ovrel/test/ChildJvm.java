package io.ovrel.test;

import static org.junit.jupiter.api.Assertions.fail;

import io.ovrel.demo.NativeLibrary;
import java.io.File;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * Runs a main class in a child JVM under {@code -Xcheck:jni}, so that a crash or a
 * failed load in the native library fails one test instead of the whole fork.
 *
 * <pre>{@code
 * ChildJvm.Result r = ChildJvm.main(MyScenario.class).args("x").run();
 * r.assertExitCode(0);
 * }</pre>
 *
 * {@link #run()} bounds the child by a timeout (killing it when exceeded) and fails
 * when its standard output or error contains a JNI check warning.
 */
public final class ChildJvm {
    /** What {@code -Xcheck:jni} prints, on the JVM's standard output, for every misuse it spots. */
    public static final String JNI_WARNING = "WARNING in native method";

    /** Launcher variables that would add lines of their own to the child's output. */
    private static final List<String> LAUNCHER_ENV = List.of("JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS");

    private final String mainClass;
    private final List<String> classpath = new ArrayList<>();
    private final List<String> jvmArgs = new ArrayList<>();
    private final List<String> args = new ArrayList<>();
    private final Map<String, String> environment = new java.util.LinkedHashMap<>();
    private Path directory;
    private Path library;
    private boolean libraryProperty = true;
    private Duration timeout = Duration.ofSeconds(60);
    private boolean failOnJniWarning = true;

    private ChildJvm(String mainClass) {
        this.mainClass = mainClass;
        classpath.addAll(BuildLayout.unrelocatedClasspath());
    }

    public static ChildJvm main(Class<?> mainClass) {
        return new ChildJvm(mainClass.getName());
    }

    public static ChildJvm main(String mainClass) {
        return new ChildJvm(mainClass);
    }

    /** Replaces the default classpath (this module's classes and test classes). */
    public ChildJvm classpath(Path... entries) {
        classpath.clear();
        for (Path entry : entries) {
            classpath.add(entry.toString());
        }
        return this;
    }

    /** The library the child finds in {@code ovrel.native.library}; default: the configured one. */
    public ChildJvm library(Path library) {
        this.library = library;
        return this;
    }

    /** Leaves {@code ovrel.native.library} unset in the child. */
    public ChildJvm withoutLibraryProperty() {
        this.libraryProperty = false;
        return this;
    }

    public ChildJvm jvmArgs(String... jvmArgs) {
        this.jvmArgs.addAll(Arrays.asList(jvmArgs));
        return this;
    }

    public ChildJvm args(String... args) {
        this.args.addAll(Arrays.asList(args));
        return this;
    }

    public ChildJvm args(Path... args) {
        for (Path arg : args) {
            this.args.add(arg.toString());
        }
        return this;
    }

    /** Sets an environment variable of the child, e.g. OVREL_FAULTS for the fault-injecting library. */
    public ChildJvm environment(String name, String value) {
        environment.put(name, value);
        return this;
    }

    /** Runs the child in the given working directory. */
    public ChildJvm directory(Path directory) {
        this.directory = directory;
        return this;
    }

    /**
     * Lets {@link #run()} return although the child printed a JNI check warning: for a
     * caller that reads the output itself and blames the warning on what caused it
     * (one row of a table, say). Such a caller must fail on the warnings it finds.
     */
    public ChildJvm tolerateJniWarnings() {
        this.failOnJniWarning = false;
        return this;
    }

    public ChildJvm timeout(Duration timeout) {
        this.timeout = timeout;
        return this;
    }

    List<String> command() {
        List<String> command = new ArrayList<>();
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        // Newer JDKs warn on stderr about System.load otherwise, which scenarios read.
        command.add("--enable-native-access=ALL-UNNAMED");
        BuildLayout.buildDirectory().ifPresent(
                dir -> command.add("-XX:ErrorFile=" + dir.resolve("hs_err_child_pid%p.log")));
        if (libraryProperty) {
            Path path = library != null ? library : NativeLibrary.configuredPath();
            command.add("-D" + NativeLibrary.PATH_PROPERTY + "=" + path.toAbsolutePath());
        }
        command.addAll(jvmArgs);
        command.add("-cp");
        command.add(String.join(File.pathSeparator, classpath));
        command.add(mainClass);
        command.addAll(args);
        return command;
    }

    /** Runs the child to completion; fails on timeout and on any JNI check warning. */
    public Result run() {
        List<String> command = command();
        Path outputs = null;
        try {
            outputs = Files.createTempDirectory("ovrel-child-jvm");
            Path stdout = outputs.resolve("stdout");
            Path stderr = outputs.resolve("stderr");
            ProcessBuilder builder = new ProcessBuilder(command)
                    .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                    .redirectOutput(stdout.toFile())
                    .redirectError(stderr.toFile());
            Map<String, String> env = builder.environment();
            LAUNCHER_ENV.forEach(env::remove);
            env.putAll(environment);
            if (directory != null) {
                builder.directory(directory.toFile());
            }
            Process process = builder.start();
            boolean finished = process.waitFor(timeout.toMillis(), TimeUnit.MILLISECONDS);
            if (!finished) {
                process.destroyForcibly();
                process.waitFor(30, TimeUnit.SECONDS);
            }
            Result result = new Result(command, finished ? process.exitValue() : -1,
                    Files.readString(stdout, StandardCharsets.ISO_8859_1),
                    Files.readString(stderr, StandardCharsets.ISO_8859_1));
            if (!finished) {
                fail("child JVM (pid " + process.pid() + ") did not finish within " + timeout + " and was killed\n"
                        + result.describe());
            }
            if (failOnJniWarning
                    && (result.stdout().contains(JNI_WARNING) || result.stderr().contains(JNI_WARNING))) {
                fail("child JVM reported a JNI check warning\n" + result.describe());
            }
            return result;
        } catch (IOException e) {
            throw new UncheckedIOException("cannot run " + command, e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException("interrupted while waiting for " + command, e);
        } finally {
            deleteRecursively(outputs);
        }
    }

    private static void deleteRecursively(Path dir) {
        if (dir == null) {
            return;
        }
        try (Stream<Path> paths = Files.walk(dir)) {
            for (Path path : paths.sorted(Comparator.reverseOrder()).collect(Collectors.toList())) {
                Files.deleteIfExists(path);
            }
        } catch (IOException ignored) {
            // Only temporary files of a finished child are left behind.
        }
    }

    /** Exit code and complete output of a finished child JVM. */
    public static final class Result {
        private final List<String> command;
        private final int exitCode;
        private final String stdout;
        private final String stderr;

        Result(List<String> command, int exitCode, String stdout, String stderr) {
            this.command = List.copyOf(command);
            this.exitCode = exitCode;
            this.stdout = stdout;
            this.stderr = stderr;
        }

        public int exitCode() {
            return exitCode;
        }

        public String stdout() {
            return stdout;
        }

        public String stderr() {
            return stderr;
        }

        public List<String> stdoutLines() {
            return stdout.lines().collect(Collectors.toList());
        }

        public List<String> stderrLines() {
            return stderr.lines().collect(Collectors.toList());
        }

        /** Lines of the form {@code key=value} on standard output, by key. */
        public Map<String, String> stdoutProperties() {
            return stdout.lines()
                    .filter(line -> line.indexOf('=') > 0)
                    .collect(Collectors.toMap(line -> line.substring(0, line.indexOf('=')),
                            line -> line.substring(line.indexOf('=') + 1), (first, later) -> later));
        }

        public Result assertExitCode(int expected) {
            if (exitCode != expected) {
                fail("child JVM exited with " + exitCode + ", expected " + expected + "\n" + describe());
            }
            return this;
        }

        /** Command, exit code and both outputs, for failure messages. */
        public String describe() {
            return "command: " + String.join(" ", command) + "\nexit code: " + exitCode
                    + "\n--- stdout ---\n" + stdout + "--- stderr ---\n" + stderr + "---";
        }
    }
}
