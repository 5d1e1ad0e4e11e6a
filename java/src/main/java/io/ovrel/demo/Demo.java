package io.ovrel.demo;

import io.ovrel.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.ovrel.channel.kqueue.Native;
import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.LimitsStaticallyReferencedJniMethods;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.util.function.IntSupplier;

/**
 * Loads the library and runs one of three demos on its natives.
 *
 * <p>Usage: {@code Demo [path/to/libovrel_transport_native_kqueue_x86_64.so] [--mode
 * echo|pingpong|info] [--connections N] [--size BYTES] [--duration SECONDS] [--rounds
 * N]}; without a path, the {@code ovrel.native.library} system property names the
 * library, and without that the framework's loader takes it from the native jar on the
 * class path.
 * <ul>
 * <li>{@code echo} (default): echo server and client loops over 127.0.0.1
 * ({@link EchoDemo}).
 * <li>{@code pingpong}: user-event wake-ups answered through a pipe ({@link PingPongDemo}).
 * <li>{@code info}: one {@code name=value} line per value the library reports.
 * </ul>
 * Exit status: 0 on success, 1 when a demo's checks fail, 2 when loading fails, 64 for
 * a bad command line.
 */
public final class Demo {
    /** Printed on standard error, followed by the Throwable, when the library does not load. */
    public static final String LOAD_FAILED = "load failed: ";
    static final int EXIT_LOAD_FAILED = 2;
    static final int EXIT_CHECK_FAILED = 1;
    static final int EXIT_USAGE = 64;

    private Demo() {
    }

    public static void main(String[] args) throws InterruptedException {
        int status = run(System.out, System.err, args);
        System.out.flush();
        System.err.flush();
        if (status != 0) {
            System.exit(status);
        }
    }

    /**
     * Runs the demo the command line asks for, printing to {@code out} and {@code err},
     * and returns the exit status instead of exiting (an application that embeds the
     * demo runs it this way).
     */
    public static int run(PrintStream out, PrintStream err, String... args) throws InterruptedException {
        DemoOptions options;
        try {
            options = DemoOptions.parse(args);
        } catch (IllegalArgumentException e) {
            err.println(e.getMessage());
            err.println(DemoOptions.USAGE);
            err.flush();
            return EXIT_USAGE;
        }
        if (options.help()) {
            out.println(DemoOptions.HELP);
            out.flush();
            return 0;
        }
        String library;
        try {
            library = options.library() != null ? NativeLibrary.load(options.library()).toString()
                    : NativeLibrary.loadConfigured();
        } catch (LinkageError | IllegalStateException e) {
            err.println(LOAD_FAILED + e);
            err.flush();
            return EXIT_LOAD_FAILED;
        }
        out.println("library=" + library);
        int status;
        try {
            switch (options.mode()) {
                case INFO:
                    info(out);
                    status = 0;
                    break;
                case PINGPONG:
                    status = PingPongDemo.run(options, out);
                    break;
                case ECHO:
                default:
                    status = EchoDemo.run(options, out);
                    break;
            }
        } catch (UnsatisfiedLinkError | ExceptionInInitializerError e) {
            // A build of the library without some module: say which native is missing.
            out.flush();
            err.println(options.mode().name().toLowerCase(java.util.Locale.ROOT)
                    + ": this build of the library lacks a native the demo needs: "
                    + (e.getCause() != null ? e.getCause() : e));
            status = EXIT_CHECK_FAILED;
        }
        out.flush();
        err.flush();
        return status;
    }

    /** What the library reports about the platform it was built for. */
    private static void info(PrintStream out) {
        out.println("limits.ssizeMax=" + LimitsStaticallyReferencedJniMethods.ssizeMax());
        out.println("limits.iovMax=" + LimitsStaticallyReferencedJniMethods.iovMax());
        out.println("limits.uioMaxIov=" + LimitsStaticallyReferencedJniMethods.uioMaxIov());
        out.println("limits.sizeOfjlong=" + LimitsStaticallyReferencedJniMethods.sizeOfjlong());
        out.println("limits.udsSunPathSize=" + LimitsStaticallyReferencedJniMethods.udsSunPathSize());

        out.println("buffer.addressSize=" + Buffer.addressSize0());
        out.println("buffer.memoryAddress.heap=" + Buffer.memoryAddress0(ByteBuffer.allocate(16)));
        out.println("buffer.memoryAddress.direct=0x"
                + Long.toHexString(Buffer.memoryAddress0(ByteBuffer.allocateDirect(16))));

        errno(out, "ENOENT", ErrorsStaticallyReferencedJniMethods::errnoENOENT);
        errno(out, "ENOTCONN", ErrorsStaticallyReferencedJniMethods::errnoENOTCONN);
        errno(out, "EBADF", ErrorsStaticallyReferencedJniMethods::errnoEBADF);
        errno(out, "EPIPE", ErrorsStaticallyReferencedJniMethods::errnoEPIPE);
        errno(out, "ECONNRESET", ErrorsStaticallyReferencedJniMethods::errnoECONNRESET);
        errno(out, "EAGAIN", ErrorsStaticallyReferencedJniMethods::errnoEAGAIN);
        errno(out, "EWOULDBLOCK", ErrorsStaticallyReferencedJniMethods::errnoEWOULDBLOCK);
        errno(out, "EINPROGRESS", ErrorsStaticallyReferencedJniMethods::errnoEINPROGRESS);
        errno(out, "ECONNREFUSED", ErrorsStaticallyReferencedJniMethods::errorECONNREFUSED);
        errno(out, "EISCONN", ErrorsStaticallyReferencedJniMethods::errorEISCONN);
        errno(out, "EALREADY", ErrorsStaticallyReferencedJniMethods::errorEALREADY);
        errno(out, "ENETUNREACH", ErrorsStaticallyReferencedJniMethods::errorENETUNREACH);

        // The kqueue tables arrive later than the unix modules; report their absence
        // instead of failing, so the demo runs against any build of the library.
        optional(out, "kqueue.constants", () -> {
            out.println("kqueue.evfiltRead=" + KQueueStaticallyReferencedJniMethods.evfiltRead());
            out.println("kqueue.evfiltWrite=" + KQueueStaticallyReferencedJniMethods.evfiltWrite());
            out.println("kqueue.evfiltUser=" + KQueueStaticallyReferencedJniMethods.evfiltUser());
            out.println("kqueue.evfiltSock=" + KQueueStaticallyReferencedJniMethods.evfiltSock());
            out.println("kqueue.evAdd=" + KQueueStaticallyReferencedJniMethods.evAdd());
            out.println("kqueue.evEnable=" + KQueueStaticallyReferencedJniMethods.evEnable());
            out.println("kqueue.evDisable=" + KQueueStaticallyReferencedJniMethods.evDisable());
            out.println("kqueue.evDelete=" + KQueueStaticallyReferencedJniMethods.evDelete());
            out.println("kqueue.evClear=" + KQueueStaticallyReferencedJniMethods.evClear());
            out.println("kqueue.evEOF=" + KQueueStaticallyReferencedJniMethods.evEOF());
            out.println("kqueue.evError=" + KQueueStaticallyReferencedJniMethods.evError());
            out.println("kqueue.noteReadClosed=" + KQueueStaticallyReferencedJniMethods.noteReadClosed());
            out.println("kqueue.noteConnReset=" + KQueueStaticallyReferencedJniMethods.noteConnReset());
            out.println("kqueue.noteDisconnected=" + KQueueStaticallyReferencedJniMethods.noteDisconnected());
        });
        optional(out, "kqueue.layout", () -> {
            out.println("kqueue.sizeofKEvent=" + Native.sizeofKEvent());
            out.println("kqueue.offsetofKEventIdent=" + Native.offsetofKEventIdent());
            out.println("kqueue.offsetofKEventFilter=" + Native.offsetofKEventFilter());
            out.println("kqueue.offsetofKEventFlags=" + Native.offsetofKEventFlags());
            out.println("kqueue.offsetofKEventFFlags=" + Native.offsetofKEventFFlags());
            out.println("kqueue.offsetofKeventData=" + Native.offsetofKeventData());
        });
        out.flush();
    }

    private static void errno(PrintStream out, String name, IntSupplier value) {
        int errno = value.getAsInt();
        out.println("errno." + name + "=" + errno + " " + ErrorsStaticallyReferencedJniMethods.strError(errno));
    }

    private static void optional(PrintStream out, String group, Runnable body) {
        try {
            body.run();
        } catch (UnsatisfiedLinkError e) {
            out.println(group + "=unavailable (" + e.getMessage() + ")");
        }
    }
}
