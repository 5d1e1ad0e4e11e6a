package io.ovrel.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import io.ovrel.test.BuildLayout;
import io.ovrel.test.ChildJvm;
import io.ovrel.test.Platform;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.jar.JarEntry;
import java.util.jar.JarOutputStream;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/**
 * The framework's loader in fresh JVMs without an explicit library path (the
 * {@link Demo} in info mode as main class): the library comes from a native jar on the
 * class path, is extracted into a private directory under the work directory, loaded
 * and removed; failures end in one message that lists what was tried.
 */
class NativeLibraryLoaderIT {
    private static final String BASE = "ovrel_transport_native_kqueue";
    private static final String WORKDIR = "io.ovrel.native.workdir";
    private static final Pattern EXTRACTED = Pattern.compile(
            "^library=resource META-INF/native/(\\S+) \\(extracted to (\\S+), then removed\\)$", Pattern.MULTILINE);

    @TempDir
    Path tempDir;

    /** The resource name for this platform, with the given file-name prefix ("" or "app_shaded_"). */
    private static String resourceName(String prefix) {
        return "lib" + prefix + BASE + "_" + Platform.pick("linux_x86_64.so", "x86_64.so");
    }

    /** A native jar as scripts/package.sh builds it, holding the built library under {@code name}. */
    private Path nativeJar(String name) throws IOException {
        Path jar = tempDir.resolve("native-" + name + ".jar");
        try (OutputStream file = Files.newOutputStream(jar); JarOutputStream out = new JarOutputStream(file)) {
            out.putNextEntry(new JarEntry("META-INF/native/" + name));
            Files.copy(NativeLibrary.configuredPath(), out);
            out.closeEntry();
        }
        return jar;
    }

    private static Path[] classpath(boolean relocated, Path... extra) {
        List<Path> entries = new ArrayList<>();
        if (relocated) {
            entries.add(BuildLayout.relocatedJar());
        } else {
            BuildLayout.unrelocatedClasspath().forEach(entry -> entries.add(Paths.get(entry)));
        }
        entries.addAll(List.of(extra));
        return entries.toArray(new Path[0]);
    }

    private ChildJvm info(Path workdir, Path... classpath) {
        ChildJvm child = ChildJvm.main(Demo.class).withoutLibraryProperty().classpath(classpath)
                .args("--mode", "info");
        return workdir == null ? child : child.jvmArgs("-D" + WORKDIR + "=" + workdir);
    }

    private static List<Path> contents(Path dir) throws IOException {
        try (Stream<Path> files = Files.list(dir)) {
            return files.toList();
        }
    }

    enum Jar {
        /** The unrelocated classes with the jar as built. */
        PLAIN(false, "", ""),
        /** Relocated classes with the resource renamed to match, as the shade plugin leaves it. */
        RELOCATED_RENAMED(true, "app_shaded_", "app_shaded_"),
        /** Relocated classes with the resource under its original name: extracted under the prefixed one. */
        RELOCATED_NOT_RENAMED(true, "", "app_shaded_");

        final boolean relocated;
        final String resourcePrefix;
        final String filePrefix;

        Jar(boolean relocated, String resourcePrefix, String filePrefix) {
            this.relocated = relocated;
            this.resourcePrefix = resourcePrefix;
            this.filePrefix = filePrefix;
        }
    }

    @ParameterizedTest
    @EnumSource(Jar.class)
    void extractsIntoAPrivateDirectoryUnderTheWorkdirLoadsAndRemovesIt(Jar jar) throws IOException {
        Path workdir = tempDir.resolve("work");
        Path nativeJar = nativeJar(resourceName(jar.resourcePrefix));
        ChildJvm.Result result = info(workdir, classpath(jar.relocated, nativeJar)).run().assertExitCode(0);
        assertEquals("", result.stderr(), result::describe);

        Matcher m = EXTRACTED.matcher(result.stdout());
        assertTrue(m.find(), result::describe);
        assertEquals(resourceName(jar.resourcePrefix), m.group(1), result::describe);
        Path extracted = Paths.get(m.group(2));
        // The file name is what makes the library register on the classes of this copy.
        assertEquals(resourceName(jar.filePrefix), extracted.getFileName().toString(), result::describe);
        assertEquals(workdir, extracted.getParent().getParent(), result::describe);
        assertTrue(extracted.getParent().getFileName().toString().startsWith("ovrel-native-"), result::describe);
        // The natives answer, so they were registered on the classes this JVM uses.
        assertEquals(Long.toString(Long.MAX_VALUE), result.stdoutProperties().get("limits.ssizeMax"),
                result::describe);
        assertEquals(List.of(), contents(workdir), "left behind in the work directory");
    }

    /** Each JVM extracts into a directory of its own: none sees, replaces or removes another's file. */
    @Test
    void concurrentJvmsSharingAWorkdirNeverCollide() throws Exception {
        Path workdir = tempDir.resolve("shared");
        Path nativeJar = nativeJar(resourceName(""));
        int jvms = 3;
        ExecutorService pool = Executors.newFixedThreadPool(jvms);
        try {
            List<Future<ChildJvm.Result>> runs = new ArrayList<>();
            for (int i = 0; i < jvms; i++) {
                runs.add(pool.submit(() -> info(workdir, classpath(false, nativeJar)).run()));
            }
            Set<Path> directories = new HashSet<>();
            for (Future<ChildJvm.Result> run : runs) {
                ChildJvm.Result result = run.get().assertExitCode(0);
                Matcher m = EXTRACTED.matcher(result.stdout());
                assertTrue(m.find(), result::describe);
                directories.add(Paths.get(m.group(2)).getParent());
            }
            assertEquals(jvms, directories.size(), "private directories: " + directories);
        } finally {
            pool.shutdownNow();
        }
        assertEquals(List.of(), contents(workdir), "left behind in the work directory");
    }

    @Test
    void withoutANativeJarTheLibraryPathIsTried() throws IOException {
        Path libraryPath = Files.createDirectories(tempDir.resolve("lib"));
        Files.copy(NativeLibrary.configuredPath(), libraryPath.resolve("lib" + BASE + "_x86_64.so"));
        ChildJvm.Result result = info(null, classpath(false)).jvmArgs("-Djava.library.path=" + libraryPath).run()
                .assertExitCode(0);
        assertEquals("library=System.loadLibrary(\"" + BASE + "_x86_64\")", result.stdoutLines().get(0),
                result::describe);
    }

    @Test
    void withNothingToLoadOneMessageListsEveryAttempt() throws IOException {
        Path empty = Files.createDirectories(tempDir.resolve("empty"));
        ChildJvm.Result result = info(null, classpath(false)).jvmArgs("-Djava.library.path=" + empty).run()
                .assertExitCode(Demo.EXIT_LOAD_FAILED);
        assertEquals(List.of(
                Demo.LOAD_FAILED + "java.lang.UnsatisfiedLinkError: cannot load the native library " + BASE + " for "
                        + Platform.pick("linux", "freebsd") + "-x86_64; tried:",
                "  - resource META-INF/native/" + resourceName("") + ": not on the class path",
                "  - System.loadLibrary(\"" + BASE + "_x86_64\"): no " + BASE + "_x86_64 in java.library.path: "
                        + empty,
                "Put the native jar for " + Platform.pick("linux", "freebsd") + "-x86_64 on the class path, or the"
                        + " library file on java.library.path."),
                result.stderrLines(), result::describe);
        assertEquals("", result.stdout(), result::describe);
    }

    enum Unwritable {
        /** A path below a regular file: nothing can be created there, not even by root. */
        BELOW_A_FILE,
        /** A read-only file system. */
        READ_ONLY_MOUNT
    }

    @ParameterizedTest
    @EnumSource(Unwritable.class)
    void anUnwritableWorkdirIsNamedWithThePropertyThatMovesIt(Unwritable kind) throws IOException {
        Path workdir;
        if (kind == Unwritable.BELOW_A_FILE) {
            workdir = Files.writeString(tempDir.resolve("a-file"), "x").resolve("work");
        } else {
            workdir = mountTmpfs("ro");
        }
        try {
            ChildJvm.Result result = info(workdir, classpath(false, nativeJar(resourceName("")))).run()
                    .assertExitCode(Demo.EXIT_LOAD_FAILED);
            List<String> lines = result.stderrLines();
            assertTrue(lines.get(0).startsWith(Demo.LOAD_FAILED + "java.lang.UnsatisfiedLinkError: cannot load"),
                    result::describe);
            assertTrue(lines.get(1).startsWith("  - resource META-INF/native/" + resourceName("")
                    + ": cannot create a private directory in " + workdir + " ("), result::describe);
            assertTrue(lines.get(1).endsWith("); set -D" + WORKDIR + " to a writable directory"), result::describe);
            assertTrue(lines.get(2).startsWith("  - System.loadLibrary("), result::describe);
        } finally {
            unmount(kind == Unwritable.READ_ONLY_MOUNT ? workdir : null);
        }
    }

    /** The file is written, but the system refuses to map it: the message says why and what to do. */
    @Test
    void aNoexecWorkdirIsRecognisedAsSuch() throws IOException {
        Path workdir = mountTmpfs("noexec");
        try {
            ChildJvm.Result result = info(workdir, classpath(false, nativeJar(resourceName("")))).run()
                    .assertExitCode(Demo.EXIT_LOAD_FAILED);
            List<String> lines = result.stderrLines();
            String attempt = lines.get(1);
            assertTrue(attempt.startsWith("  - resource META-INF/native/" + resourceName("") + ": extracted to "
                    + workdir + "/ovrel-native-"), result::describe);
            assertTrue(attempt.contains(" but loading it failed: "), result::describe);
            assertTrue(attempt.contains(" is on a noexec mount (" + workdir + "): set -D" + WORKDIR
                    + " to a directory on a file system that allows executing"), result::describe);
            assertEquals(List.of(), contents(workdir), "left behind in the work directory");
        } finally {
            unmount(workdir);
        }
    }

    /** A small tmpfs with the given option; skips the test where mounting is not permitted. */
    private Path mountTmpfs(String option) throws IOException {
        Path point = Files.createDirectories(tempDir.resolve("mnt-" + option));
        int status = run("mount", "-t", "tmpfs", "-o", option + ",size=4m", "tmpfs", point.toString());
        assumeTrue(status == 0, "mounting a tmpfs is not permitted here");
        return point;
    }

    private static void unmount(Path point) {
        if (point != null) {
            run("umount", point.toString());
        }
    }

    private static int run(String... command) {
        try {
            Process p = new ProcessBuilder(command).redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            return p.waitFor();
        } catch (IOException e) {
            return -1;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return -1;
        }
    }
}
