package io.ovrel.util.internal;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Paths;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The loader's decisions that need no library: names, platforms, refusals. */
class NativeLibraryLoaderTest {
    private static final String BASE = "ovrel_transport_native_kqueue";
    private static final String PACKAGE = "io.ovrel.util.internal";

    /** A class loader that finds no resource at all. */
    private static ClassLoader empty() {
        return new URLClassLoader(new URL[0], null);
    }

    @ParameterizedTest
    @CsvSource({
        // os.name, os.arch, classifier, file name without prefix, file name under app/shaded/
        "Linux, amd64, linux-x86_64, libovrel_transport_native_kqueue_linux_x86_64.so, libapp_shaded_ovrel_transport_native_kqueue_linux_x86_64.so",
        "FreeBSD, amd64, freebsd-x86_64, libovrel_transport_native_kqueue_x86_64.so, libapp_shaded_ovrel_transport_native_kqueue_x86_64.so",
        "FreeBSD, aarch64, freebsd-aarch_64, libovrel_transport_native_kqueue_aarch_64.so, libapp_shaded_ovrel_transport_native_kqueue_aarch_64.so",
        "Mac OS X, x86_64, osx-x86_64, libovrel_transport_native_kqueue_x86_64.dylib, libapp_shaded_ovrel_transport_native_kqueue_x86_64.dylib",
        "Mac OS X, aarch64, osx-aarch_64, libovrel_transport_native_kqueue_aarch_64.dylib, libapp_shaded_ovrel_transport_native_kqueue_aarch_64.dylib",
    })
    void eachShippedPlatformHasItsOwnResourceName(String osName, String osArch, String classifier, String plain,
            String prefixed) {
        NativeLibraryLoader.Platform platform = NativeLibraryLoader.Platform.of(osName, osArch);
        assertTrue(platform.supported());
        assertEquals(classifier, platform.classifier());
        assertEquals(plain, platform.fileName("", BASE));
        assertEquals(prefixed, platform.fileName("app/shaded/", BASE));
    }

    @ParameterizedTest
    @CsvSource({"Windows 11, amd64", "Linux, aarch64", "Linux, riscv64", "SunOS, sparcv9", "FreeBSD, i386"})
    void platformsWithoutANativeJarAreUnsupported(String osName, String osArch) {
        assertFalse(NativeLibraryLoader.Platform.of(osName, osArch).supported());
    }

    @ParameterizedTest
    @CsvSource({
        "io.ovrel.util.internal, ''",
        "app.shaded.io.ovrel.util.internal, app/shaded/",
        "x.io.ovrel.util.internal, x/",
        "io.ovrel.io.ovrel.util.internal, io/ovrel/",
    })
    void thePrefixIsWhatRelocationPutInFrontOfThePackage(String packageName, String prefix) {
        assertEquals(prefix, NativeLibraryLoader.packagePrefix(packageName));
    }

    @Test
    void aRenamedRatherThanPrefixedPackageIsRefused() {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLibraryLoader.packagePrefix("com.example.internal"));
        assertTrue(e.getMessage().contains("com.example.internal is not io.ovrel.util.internal under a prefix"),
                e.getMessage());
    }

    /** The library's file name turns every '_' into '/': such a prefix cannot be expressed. */
    @Test
    void aPrefixWithAnUnderscoreIsRefusedBeforeAnythingIsTried() {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.loadOnce(BASE,
                empty(), "my_app.shaded." + PACKAGE, NativeLibraryLoader.Platform.of("Linux", "amd64")));
        String message = e.getMessage();
        assertTrue(message.startsWith("cannot load the native library " + BASE + " for linux-x86_64 under the"
                + " package prefix my_app/shaded/; tried:\n  - nothing: the package prefix my_app.shaded."),
                message);
        assertTrue(message.contains("contains '_'"), message);
        assertFalse(message.contains("System.loadLibrary"), message);
    }

    @Test
    void anUnsupportedPlatformSaysWhichAndStillTriesTheLibraryPath() {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.loadOnce(BASE,
                empty(), PACKAGE, NativeLibraryLoader.Platform.of("Windows 11", "amd64")));
        List<String> lines = e.getMessage().lines().toList();
        assertEquals(List.of(
                "cannot load the native library " + BASE + " for os.name=Windows 11, os.arch=amd64; tried:",
                "  - no native jar: os.name=Windows 11, os.arch=amd64 is not among the platforms built"
                        + " (linux-x86_64, freebsd-x86_64, freebsd-aarch_64, osx-x86_64, osx-aarch_64)"),
                lines.subList(0, 2));
        assertTrue(lines.get(2).startsWith("  - System.loadLibrary(\"" + BASE + "_x86_64\"): "), e.getMessage());
        assertEquals(3, lines.size(), e.getMessage());
    }

    @Test
    void aMissingResourceListsEveryNameLookedForThenTheLibraryPath() {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.loadOnce(BASE,
                empty(), "app.shaded." + PACKAGE, NativeLibraryLoader.Platform.of("FreeBSD", "amd64")));
        List<String> lines = e.getMessage().lines().toList();
        assertEquals("cannot load the native library " + BASE + " for freebsd-x86_64 under the package prefix"
                + " app/shaded/; tried:", lines.get(0));
        assertEquals("  - resource META-INF/native/libapp_shaded_" + BASE + "_x86_64.so: not on the class path",
                lines.get(1));
        assertEquals("  - resource META-INF/native/lib" + BASE + "_x86_64.so: not on the class path", lines.get(2));
        assertTrue(lines.get(3).startsWith("  - System.loadLibrary(\"app_shaded_" + BASE + "_x86_64\"): "),
                e.getMessage());
        assertEquals("Put the native jar for freebsd-x86_64 on the class path, or the library file on"
                + " java.library.path.", lines.get(4));
    }

    @Test
    void theLongestMountPointDecidesWhetherADirectoryIsNoexec() {
        List<String> table = List.of(
                "/dev/root / ext4 rw,relatime 0 0",
                "tmpfs /tmp tmpfs rw,nosuid,nodev,noexec 0 0",
                "tmpfs /tmp/exec\\040ok tmpfs rw,nosuid,nodev 0 0");
        assertEquals("/tmp/x is on a noexec mount (/tmp)", NoexecMounts.describe(Paths.get("/tmp/x"), table));
        assertNull(NoexecMounts.describe(Paths.get("/tmp/exec ok/x"), table));
        assertNull(NoexecMounts.describe(Paths.get("/var/tmp"), table));
        // /tmpfoo is not below /tmp.
        assertNull(NoexecMounts.describe(Paths.get("/tmpfoo"), table));
    }
}
