package io.ovrel.util.internal;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Finds, extracts and loads a JNI library shipped in a native jar under
 * {@code META-INF/native/}.
 *
 * <p>The library registers its natives on the classes under the package prefix it reads
 * from its own file name ({@code lib} + prefix with '/' as '_' + base name). When an
 * application relocates this package (and the channel classes with it) under, say,
 * {@code app.shaded}, the loader sees that in its own package name and looks for, and
 * extracts to, {@code libapp_shaded_<base name>_<arch>.so}, so the native side binds to
 * the relocated classes and to nothing else.
 *
 * <p>Each load extracts into a fresh directory of its own (owner-only permissions) below
 * the directory named by {@code io.ovrel.native.workdir} or {@code java.io.tmpdir}, loads the file and removes
 * it again, so concurrent JVMs and threads never share a file. When no resource fits,
 * {@link System#loadLibrary} is tried with the prefixed name. If nothing works, one
 * {@link UnsatisfiedLinkError} lists every attempt and why it failed.
 */
public final class NativeLibraryLoader {
    /** Kept out of constant form in the class file: shading would rewrite it otherwise. */
    private static final String UNRELOCATED_PACKAGE = String.join(".", "io", "ovrel", "util", "internal");

    /**
     * {@code io.ovrel.native.workdir}: the directory to extract into instead of
     * {@code java.io.tmpdir}, for systems whose temporary directory is mounted
     * {@code noexec}. Built at run time so that a shaded copy still honours the plain name
     * (it honours its relocated name, e.g. {@code app.shaded.io.ovrel.native.workdir}, first).
     */
    public static final String WORKDIR_PROPERTY = String.join(".", "io", "ovrel", "native", "workdir");

    static final String RESOURCE_DIRECTORY = "META-INF/native/";

    /** The platforms native jars are built for, by Maven classifier. */
    static final List<String> SHIPPED = List.of("linux-x86_64", "freebsd-x86_64", "freebsd-aarch_64",
            "osx-x86_64", "osx-aarch_64");

    private static final Map<String, String> LOADED = new HashMap<>();

    private NativeLibraryLoader() {
    }

    /**
     * Loads the library {@code baseName} once per copy of this class; later calls return
     * the description of the first successful load.
     *
     * @param baseName the library's base name, e.g. {@code ovrel_transport_native_kqueue}
     * @param loader   the class loader whose jars hold the resource (that of the classes
     *                 the natives are registered on)
     * @return how the library was found, e.g. the resource and the file it was extracted to
     * @throws UnsatisfiedLinkError listing every attempt when none succeeded
     */
    public static synchronized String load(String baseName, ClassLoader loader) {
        String done = LOADED.get(baseName);
        if (done != null) {
            return done;
        }
        String how = loadOnce(baseName, loader, NativeLibraryLoader.class.getPackageName(),
                Platform.of(System.getProperty("os.name", ""), System.getProperty("os.arch", "")));
        LOADED.put(baseName, how);
        return how;
    }

    /** One attempt, for this class's package as it would be after relocation and the given platform. */
    static String loadOnce(String baseName, ClassLoader loader, String packageName, Platform platform) {
        String prefix = packagePrefix(packageName);
        List<String> tried = new ArrayList<>();
        List<Throwable> causes = new ArrayList<>();

        if (prefix.indexOf('_') >= 0) {
            throw failure(baseName, prefix, platform, List.of("nothing: the package prefix " + prefix.replace('/', '.')
                    + " (from " + packageName + ") contains '_', which the library's file name cannot carry: it"
                    + " reads every '_' as a package separator. Relocate under a package name without '_'."),
                    causes);
        }

        if (!platform.supported()) {
            tried.add("no native jar: " + platform.describe() + " is not among the platforms built ("
                    + String.join(", ", SHIPPED) + ")");
        } else {
            String fileName = platform.fileName(prefix, baseName);
            List<String> resources = new ArrayList<>();
            resources.add(RESOURCE_DIRECTORY + fileName);
            if (!prefix.isEmpty()) {
                // A shaded jar whose resource kept its original name still works: it is
                // extracted under the prefixed name, which is what the natives go by.
                resources.add(RESOURCE_DIRECTORY + platform.fileName("", baseName));
            }
            for (String resource : resources) {
                if (loader.getResource(resource) == null) {
                    tried.add("resource " + resource + ": not on the class path");
                    continue;
                }
                try {
                    return extractAndLoad(loader, resource, prefix, fileName, tried, causes);
                } catch (Attempted attempted) {
                    break;
                }
            }
        }

        String libraryName = prefix.replace('/', '_') + baseName + "_" + platform.arch;
        try {
            System.loadLibrary(libraryName);
            return "System.loadLibrary(\"" + libraryName + "\")";
        } catch (LinkageError e) {
            tried.add("System.loadLibrary(\"" + libraryName + "\"): " + e.getMessage());
            causes.add(e);
        }
        throw failure(baseName, prefix, platform, tried, causes);
    }

    /** Thrown once an attempt was recorded in {@code tried}: another resource would fail alike. */
    private static final class Attempted extends Exception {
        private static final long serialVersionUID = 1L;

        Attempted() {
            super(null, null, false, false);
        }
    }

    private static String extractAndLoad(ClassLoader loader, String resource, String prefix, String fileName,
            List<String> tried, List<Throwable> causes) throws Attempted {
        Path base = workDirectory(prefix);
        Path directory;
        try {
            Files.createDirectories(base);
            directory = Files.createTempDirectory(base, "ovrel-native-",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        } catch (IOException | UnsupportedOperationException | SecurityException e) {
            tried.add("resource " + resource + ": cannot create a private directory in " + base + " ("
                    + e + "); set -D" + WORKDIR_PROPERTY + " to a writable directory");
            causes.add(e);
            throw new Attempted();
        }
        Path file = directory.resolve(fileName);
        try {
            try (InputStream in = loader.getResourceAsStream(resource)) {
                if (in == null) {
                    tried.add("resource " + resource + ": vanished while being read");
                    throw new Attempted();
                }
                Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                tried.add("resource " + resource + ": cannot write " + file + " (" + e + ")");
                causes.add(e);
                throw new Attempted();
            }
            try {
                System.load(file.toString());
            } catch (LinkageError e) {
                String noexec = NoexecMounts.describe(base);
                // The system's message repeats the path it was given; once is enough.
                String why = String.valueOf(e.getMessage()).replace(file + ": ", "");
                tried.add("resource " + resource + ": extracted to " + file + " but loading it failed: " + why
                        + (noexec != null ? "; " + noexec + ": set -D" + WORKDIR_PROPERTY
                                + " to a directory on a file system that allows executing" : ""));
                causes.add(e);
                throw new Attempted();
            }
            return "resource " + resource + " (extracted to " + file + ", then removed)";
        } finally {
            // Once loaded the mapping lives on without the file; nothing is left behind.
            try {
                Files.deleteIfExists(file);
                Files.deleteIfExists(directory);
            } catch (IOException ignored) {
                // A leftover private directory is harmless and holds nobody else's file.
            }
        }
    }

    /** The relocated name of the property first, so two shaded copies can be told apart. */
    private static Path workDirectory(String prefix) {
        String dir = null;
        if (!prefix.isEmpty()) {
            dir = System.getProperty(prefix.replace('/', '.') + WORKDIR_PROPERTY);
        }
        if (dir == null || dir.isEmpty()) {
            dir = System.getProperty(WORKDIR_PROPERTY);
        }
        if (dir == null || dir.isEmpty()) {
            dir = System.getProperty("java.io.tmpdir");
        }
        return Paths.get(dir).toAbsolutePath();
    }

    private static UnsatisfiedLinkError failure(String baseName, String prefix, Platform platform,
            List<String> tried, List<Throwable> causes) {
        StringBuilder message = new StringBuilder("cannot load the native library ").append(baseName)
                .append(" for ").append(platform.describe())
                .append(prefix.isEmpty() ? "" : " under the package prefix " + prefix).append("; tried:");
        for (String attempt : tried) {
            message.append("\n  - ").append(attempt);
        }
        if (platform.supported()) {
            message.append("\nPut the native jar for ").append(platform.classifier())
                    .append(" on the class path, or the library file on java.library.path.");
        }
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(message.toString());
        causes.forEach(error::addSuppressed);
        return error;
    }

    /**
     * The prefix the library must carry in its file name, in '/' form ({@code app/shaded/}),
     * or "" when this class was not relocated.
     *
     * @throws UnsatisfiedLinkError when the package was renamed rather than moved under a prefix
     */
    static String packagePrefix(String packageName) {
        if (packageName.equals(UNRELOCATED_PACKAGE)) {
            return "";
        }
        if (!packageName.endsWith("." + UNRELOCATED_PACKAGE)) {
            throw new UnsatisfiedLinkError("cannot load native libraries: " + packageName
                    + " is not " + UNRELOCATED_PACKAGE + " under a prefix; relocate the framework by putting a"
                    + " package prefix in front of its package names, not by renaming them");
        }
        return packageName.substring(0, packageName.length() - UNRELOCATED_PACKAGE.length()).replace('.', '/');
    }

    /** Operating system and architecture as the Maven classifiers name them. */
    static final class Platform {
        final String os;
        final String arch;
        private final String osName;
        private final String archName;

        private Platform(String os, String arch, String osName, String archName) {
            this.os = os;
            this.arch = arch;
            this.osName = osName;
            this.archName = archName;
        }

        static Platform of(String osName, String archName) {
            String name = osName.toLowerCase(Locale.ROOT).replaceAll("[^a-z0-9]", "");
            String os;
            if (name.startsWith("linux")) {
                os = "linux";
            } else if (name.startsWith("freebsd")) {
                os = "freebsd";
            } else if (name.startsWith("macosx") || name.startsWith("osx") || name.startsWith("darwin")) {
                os = "osx";
            } else {
                os = null;
            }
            String arch;
            switch (archName.toLowerCase(Locale.ROOT)) {
                case "amd64":
                case "x86_64":
                case "x86-64":
                    arch = "x86_64";
                    break;
                case "aarch64":
                case "arm64":
                    arch = "aarch_64";
                    break;
                default:
                    arch = archName.toLowerCase(Locale.ROOT).replaceAll("[^a-z0-9_]", "_");
                    break;
            }
            return new Platform(os, arch, osName, archName);
        }

        String classifier() {
            return os + "-" + arch;
        }

        boolean supported() {
            return os != null && SHIPPED.contains(classifier());
        }

        String describe() {
            return os != null && SHIPPED.contains(classifier()) ? classifier()
                    : "os.name=" + osName + ", os.arch=" + archName;
        }

        /**
         * The file name inside the native jar. The Linux build carries "linux" in it, so
         * that its jar and the FreeBSD one can share a class path without shadowing each
         * other's library.
         */
        String fileName(String prefix, String baseName) {
            String name = "lib" + prefix.replace('/', '_') + baseName + "_" + ("linux".equals(os) ? "linux_" : "") + arch;
            return name + ("osx".equals(os) ? ".dylib" : ".so");
        }
    }
}
