package sample;

import io.ovrel.demo.Demo;
import java.io.PrintStream;

/**
 * An application with the framework shaded in: runs the framework's echo demo, which
 * loads the native library through the framework's loader from inside this jar.
 * Arguments are the demo's; without any, a short echo over 127.0.0.1.
 */
public final class EchoApp {
    static final String[] DEFAULT_ARGS = {"--mode", "echo", "--connections", "8", "--duration", "1"};

    private EchoApp() {
    }

    public static void main(String[] args) throws InterruptedException {
        int status = run(System.out, System.err, args);
        System.out.flush();
        if (status != 0) {
            System.exit(status);
        }
    }

    /** Entry point for a host that runs several copies of this application side by side. */
    public static int run(PrintStream out, PrintStream err, String[] args) throws InterruptedException {
        return Demo.run(out, err, args.length == 0 ? DEFAULT_ARGS : args);
    }
}
