package io.ovrel.channel.kqueue;

import io.ovrel.util.internal.NativeLibraryLoader;

/**
 * Loads the kqueue transport's JNI library for the classes of this package and of
 * {@code io.ovrel.channel.unix}, from the native jar of the running platform.
 */
public final class KQueueLibrary {
    /** The library's base name; its file name adds the package prefix and the architecture. */
    public static final String BASE_NAME = "ovrel_transport_native_kqueue";

    private KQueueLibrary() {
    }

    /**
     * Loads the library once (later calls do nothing) and says how it was found.
     *
     * @throws UnsatisfiedLinkError listing everything that was tried, when it cannot be loaded
     */
    public static String ensureLoaded() {
        return NativeLibraryLoader.load(BASE_NAME, KQueueLibrary.class.getClassLoader());
    }
}
