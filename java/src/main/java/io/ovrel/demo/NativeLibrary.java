package io.ovrel.demo;

import io.ovrel.channel.kqueue.KQueueLibrary;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Loads the transport's JNI library: from an explicit path when one is given, otherwise
 * through the framework's loader, which takes it from the native jar on the class path.
 */
public final class NativeLibrary {
    /** System property holding the absolute path of the built library. */
    public static final String PATH_PROPERTY = "ovrel.native.library";

    private NativeLibrary() {
    }

    /** The path named by {@value #PATH_PROPERTY}; fails when the property is not set. */
    public static Path configuredPath() {
        String path = System.getProperty(PATH_PROPERTY);
        if (path == null || path.isEmpty()) {
            throw new IllegalStateException("system property " + PATH_PROPERTY
                    + " is not set: pass the absolute path of libovrel_transport_native_kqueue_x86_64.so");
        }
        return Paths.get(path).toAbsolutePath().normalize();
    }

    /** Whether {@value #PATH_PROPERTY} names a library file to load. */
    public static boolean isConfigured() {
        String path = System.getProperty(PATH_PROPERTY);
        return path != null && !path.isEmpty();
    }

    /**
     * Loads the library at {@link #configuredPath()} when the property is set, otherwise
     * through {@link KQueueLibrary#ensureLoaded()}; returns what was loaded.
     */
    public static String loadConfigured() {
        return isConfigured() ? load(configuredPath()).toString() : KQueueLibrary.ensureLoaded();
    }

    /**
     * System.load of the file itself: its name carries the package prefix the library
     * registers its natives under, so it must not be resolved through java.library.path.
     */
    public static Path load(Path library) {
        Path absolute = library.toAbsolutePath().normalize();
        if (!Files.isRegularFile(absolute)) {
            throw new UnsatisfiedLinkError("no native library at " + absolute
                    + " (build it first, or point -D" + PATH_PROPERTY + " at it)");
        }
        System.load(absolute.toString());
        return absolute;
    }
}
