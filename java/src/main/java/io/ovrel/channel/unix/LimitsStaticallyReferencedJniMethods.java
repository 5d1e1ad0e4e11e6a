package io.ovrel.channel.unix;

/** The platform limits the library was built with. */
public final class LimitsStaticallyReferencedJniMethods {
    private LimitsStaticallyReferencedJniMethods() {
    }

    public static native long ssizeMax();

    public static native int iovMax();

    public static native int uioMaxIov();

    public static native int sizeOfjlong();

    public static native int udsSunPathSize();
}
