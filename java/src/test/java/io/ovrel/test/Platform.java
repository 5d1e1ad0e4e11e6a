package io.ovrel.test;

import org.junit.jupiter.api.Assumptions;

/**
 * The operating system the library was built for. The natives report the values of
 * the platform they were compiled on, so expectations depend on it.
 */
public enum Platform {
    LINUX,
    FREEBSD;

    public static Platform current() {
        String os = System.getProperty("os.name", "");
        if (os.equals("Linux")) {
            return LINUX;
        }
        if (os.equals("FreeBSD")) {
            return FREEBSD;
        }
        Assumptions.abort("no expected values for " + os);
        throw new AssertionError("unreachable");
    }

    /** The value for the current platform. */
    public static <T> T pick(T linux, T freebsd) {
        return current() == LINUX ? linux : freebsd;
    }
}
