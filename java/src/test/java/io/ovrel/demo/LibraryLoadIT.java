package io.ovrel.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import io.ovrel.test.BuildLayout;
import io.ovrel.test.ChildJvm;
import io.ovrel.test.Platform;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Loading the library in a fresh JVM (the {@link Demo} as main class), under each
 * combination of library file name and Java class layout a user can end up with:
 * the package prefix in the file name must match where the classes are.
 */
class LibraryLoadIT {
    private static final String BASE_NAME = "ovrel_transport_native_kqueue";
    private static final String FATAL = "FATAL: ";

    @TempDir
    Path tempDir;

    /** Library file name and classes that belong together, or deliberately do not. */
    enum Layout {
        /** The library as built, with this module's classes as compiled. */
        PLAIN_LIBRARY_PLAIN_CLASSES(false, false),
        /** A prefixed copy, with the classes relocated by the shade plugin under the same prefix. */
        PREFIXED_LIBRARY_RELOCATED_CLASSES(true, true),
        /** A prefixed copy, with classes that were never relocated. */
        PREFIXED_LIBRARY_PLAIN_CLASSES(true, false),
        /** The library as built, with relocated classes. */
        PLAIN_LIBRARY_RELOCATED_CLASSES(false, true);

        final boolean prefixedLibrary;
        final boolean relocatedClasses;

        Layout(boolean prefixedLibrary, boolean relocatedClasses) {
            this.prefixedLibrary = prefixedLibrary;
            this.relocatedClasses = relocatedClasses;
        }

        boolean matches() {
            return prefixedLibrary == relocatedClasses;
        }
    }

    private ChildJvm.Result runDemo(Layout layout) throws IOException {
        Path library = NativeLibrary.configuredPath();
        if (layout.prefixedLibrary) {
            // lib + app_shaded_ + base name: the library derives app/shaded/ from it
            String prefix = BuildLayout.relocationPrefix().replace('.', '_') + "_";
            library = copyLibrary(library.getFileName().toString().replaceFirst("^lib", "lib" + prefix));
        }
        ChildJvm demo = ChildJvm.main(Demo.class).library(library).args(library.toString(), "--mode", "info");
        if (layout.relocatedClasses) {
            demo.classpath(BuildLayout.relocatedJar());
        }
        return demo.run();
    }

    @ParameterizedTest
    @EnumSource(value = Layout.class, names = {"PLAIN_LIBRARY_PLAIN_CLASSES", "PREFIXED_LIBRARY_RELOCATED_CLASSES"})
    void matchingLayoutLoadsAndItsNativesWork(Layout layout) throws IOException {
        ChildJvm.Result result = runDemo(layout).assertExitCode(0);
        // A library that loads prints nothing at all.
        assertEquals("", result.stderr(), result::describe);

        Map<String, String> reported = result.stdoutProperties();
        assertEquals(Long.toString(Long.MAX_VALUE), reported.get("limits.ssizeMax"), result::describe);
        assertEquals("8", reported.get("limits.sizeOfjlong"), result::describe);
        assertEquals("8", reported.get("buffer.addressSize"), result::describe);
        assertEquals("0", reported.get("buffer.memoryAddress.heap"), result::describe);
        assertNotEquals("0x0", reported.get("buffer.memoryAddress.direct"), result::describe);
        assertEquals(Platform.pick(11, 35) + " Resource temporarily unavailable", reported.get("errno.EAGAIN"),
                result::describe);
        assertEquals("2 No such file or directory", reported.get("errno.ENOENT"), result::describe);
    }

    /**
     * The library looks its classes up under the prefix of its file name; when they are
     * not there it refuses to load, without a FATAL line, and System.load rethrows the
     * lookup's NoClassDefFoundError for the first class it could not find.
     */
    @ParameterizedTest
    @EnumSource(value = Layout.class, names = {"PREFIXED_LIBRARY_PLAIN_CLASSES", "PLAIN_LIBRARY_RELOCATED_CLASSES"})
    void mismatchedLayoutFailsToLoadWithoutFatalLine(Layout layout) throws IOException {
        ChildJvm.Result result = runDemo(layout).assertExitCode(Demo.EXIT_LOAD_FAILED);
        assertEquals(List.of(), fatalLines(result), result::describe);
        assertFalse(result.stdout().contains("limits."), result::describe);

        String missingPackage = layout.prefixedLibrary
                ? BuildLayout.relocationPrefix().replace('.', '/') + "/io/ovrel/channel/"
                : "io/ovrel/channel/";
        List<String> failures = loadFailures(result);
        assertEquals(1, failures.size(), result::describe);
        assertTrue(failures.get(0).startsWith("java.lang.NoClassDefFoundError: " + missingPackage),
                result::describe);
    }

    /** Without the base name, or without a "lib" before it, no prefix can be derived. */
    @ParameterizedTest
    @ValueSource(strings = {"libnative_x86_64.so", BASE_NAME + "_x86_64.so"})
    void nameWithoutPrefixShapeFailsWithFatalLine(String fileName) throws IOException {
        Path copy = copyLibrary(fileName).toRealPath();
        // A "lib" anywhere earlier in the path would count as the start of a prefix.
        assumeFalse(copy.getParent().toString().contains("lib"), "temporary directory path contains 'lib'");

        ChildJvm.Result result = ChildJvm.main(Demo.class).library(copy).args(copy).run()
                .assertExitCode(Demo.EXIT_LOAD_FAILED);

        assertEquals(List.of(FATAL + "transport-native-kqueue JNI encountered unexpected dlinfo.dli_fname: " + copy),
                fatalLines(result), result::describe);
        List<String> failures = loadFailures(result);
        assertEquals(1, failures.size(), result::describe);
        assertTrue(failures.get(0).startsWith("java.lang.UnsatisfiedLinkError"), result::describe);
        assertEquals(2, result.stderrLines().size(), result::describe);
        assertEquals("", result.stdout(), result::describe);
    }

    private Path copyLibrary(String fileName) throws IOException {
        return Files.copy(NativeLibrary.configuredPath(), tempDir.resolve(fileName));
    }

    private static List<String> fatalLines(ChildJvm.Result result) {
        List<String> fatal = result.stderrLines().stream().filter(line -> line.startsWith(FATAL))
                .collect(Collectors.toList());
        assertFalse(result.stdout().contains(FATAL), result::describe);
        return fatal;
    }

    private static List<String> loadFailures(ChildJvm.Result result) {
        return result.stderrLines().stream().filter(line -> line.startsWith(Demo.LOAD_FAILED))
                .map(line -> line.substring(Demo.LOAD_FAILED.length())).collect(Collectors.toList());
    }
}
