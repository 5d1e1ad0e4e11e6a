package io.ovrel.channel.unix;

/** The errno values the library was built with, and the system's text for any error number. */
public final class ErrorsStaticallyReferencedJniMethods {
    private ErrorsStaticallyReferencedJniMethods() {
    }

    public static native int errnoENOENT();

    public static native int errnoENOTCONN();

    public static native int errnoEBADF();

    public static native int errnoEPIPE();

    public static native int errnoECONNRESET();

    public static native int errnoEAGAIN();

    public static native int errnoEWOULDBLOCK();

    public static native int errnoEINPROGRESS();

    public static native int errorECONNREFUSED();

    public static native int errorEISCONN();

    public static native int errorEALREADY();

    public static native int errorENETUNREACH();

    public static native String strError(int err);
}
