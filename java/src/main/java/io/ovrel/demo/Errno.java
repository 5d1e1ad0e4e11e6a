package io.ovrel.demo;

import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;

/**
 * The errno values of the platform the library was built for. The natives return
 * failures as -errno, and those numbers differ between FreeBSD and Linux, so the loops
 * compare against what the library reports rather than against literals.
 */
public final class Errno {
    public static final int EAGAIN = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    public static final int EWOULDBLOCK = ErrorsStaticallyReferencedJniMethods.errnoEWOULDBLOCK();
    public static final int EINPROGRESS = ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS();
    public static final int EBADF = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
    public static final int ENOENT = ErrorsStaticallyReferencedJniMethods.errnoENOENT();
    public static final int ECONNRESET = ErrorsStaticallyReferencedJniMethods.errnoECONNRESET();
    public static final int EPIPE = ErrorsStaticallyReferencedJniMethods.errnoEPIPE();

    private Errno() {
    }

    /** True for a native result that only means "not now". */
    public static boolean wouldBlock(long result) {
        return result == -EAGAIN || result == -EWOULDBLOCK;
    }

    /** "name: text (errno N)" for a negative native result, for messages only. */
    public static String describe(long negativeResult) {
        int errno = (int) -negativeResult;
        return ErrorsStaticallyReferencedJniMethods.strError(errno) + " (errno " + errno + ")";
    }
}
