package io.ovrel.demo;

import io.ovrel.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.ovrel.channel.kqueue.Native;

/**
 * Filter and flag values and the event-record layout, as the loaded library reports
 * them. Java never hard-codes these: the record is the kernel's, and only the library
 * knows what it was compiled against. Touching this class before the library is loaded
 * fails with UnsatisfiedLinkError.
 */
public final class KEvents {
    public static final short EVFILT_READ = KQueueStaticallyReferencedJniMethods.evfiltRead();
    public static final short EVFILT_WRITE = KQueueStaticallyReferencedJniMethods.evfiltWrite();
    public static final short EVFILT_USER = KQueueStaticallyReferencedJniMethods.evfiltUser();

    public static final short EV_ADD = KQueueStaticallyReferencedJniMethods.evAdd();
    public static final short EV_DELETE = KQueueStaticallyReferencedJniMethods.evDelete();
    public static final short EV_ENABLE = KQueueStaticallyReferencedJniMethods.evEnable();
    public static final short EV_DISABLE = KQueueStaticallyReferencedJniMethods.evDisable();
    public static final short EV_CLEAR = KQueueStaticallyReferencedJniMethods.evClear();
    /** Short values with the top bit set arrive negative; compare after masking with 0xffff. */
    public static final int EV_EOF = KQueueStaticallyReferencedJniMethods.evEOF() & 0xffff;
    public static final int EV_ERROR = KQueueStaticallyReferencedJniMethods.evError() & 0xffff;

    public static final int SIZE = Native.sizeofKEvent();
    public static final int IDENT = Native.offsetofKEventIdent();
    public static final int FILTER = Native.offsetofKEventFilter();
    public static final int FLAGS = Native.offsetofKEventFlags();
    public static final int FFLAGS = Native.offsetofKEventFFlags();
    public static final int DATA = Native.offsetofKeventData();

    private KEvents() {
    }

    /** Combines flags given as shorts (EV_ADD | EV_CLEAR ...) without sign surprises. */
    public static short flags(int... parts) {
        int all = 0;
        for (int part : parts) {
            all |= part & 0xffff;
        }
        return (short) all;
    }
}
