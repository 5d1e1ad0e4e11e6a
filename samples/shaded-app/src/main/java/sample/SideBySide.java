package sample;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;

/**
 * Runs several copies of the framework in one JVM at the same time, each in a class
 * loader of its own: the unshaded classes and differently relocated ones. Each copy
 * loads its own library file through its own loader, registers on its own classes and
 * runs the echo on its own kqueue loops, all at once. Fails unless every copy echoed
 * every byte, the runs overlapped in time, and one library file per copy is mapped.
 *
 * <pre>
 * java -Xcheck:jni -cp target/classes sample.SideBySide \
 *     --copy NAME LIBRARY_FILE_PREFIX ENTRY_CLASS CLASSPATH ... [-- demo args]
 * </pre>
 * ENTRY_CLASS has {@code static int run(PrintStream, PrintStream, String[])}.
 */
public final class SideBySide {
    private static final String[] DEMO_ARGS = {"--mode", "echo", "--connections", "16", "--duration", "2"};

    private SideBySide() {
    }

    private static final class Copy {
        final String name;
        final String filePrefix;
        final String entryClass;
        final URL[] classpath;
        final ByteArrayOutputStream out = new ByteArrayOutputStream();
        final ByteArrayOutputStream err = new ByteArrayOutputStream();
        volatile int status = -1;
        volatile long startNanos;
        volatile long endNanos;
        volatile Throwable failure;

        Copy(String name, String filePrefix, String entryClass, String classpath) throws IOException {
            this.name = name;
            this.filePrefix = filePrefix;
            this.entryClass = entryClass;
            List<URL> urls = new ArrayList<>();
            for (String entry : classpath.split(File.pathSeparator)) {
                urls.add(Paths.get(entry).toUri().toURL());
            }
            this.classpath = urls.toArray(new URL[0]);
        }

        String output() {
            return out.toString(StandardCharsets.UTF_8);
        }
    }

    public static void main(String[] args) throws Exception {
        List<Copy> copies = new ArrayList<>();
        String[] demoArgs = DEMO_ARGS;
        for (int i = 0; i < args.length; i++) {
            if (args[i].equals("--copy") && i + 4 < args.length) {
                copies.add(new Copy(args[i + 1], args[i + 2], args[i + 3], args[i + 4]));
                i += 4;
            } else if (args[i].equals("--")) {
                demoArgs = java.util.Arrays.copyOfRange(args, i + 1, args.length);
                break;
            } else {
                System.err.println("usage: SideBySide --copy NAME LIBRARY_FILE_PREFIX ENTRY_CLASS CLASSPATH ..."
                        + " [-- demo args]");
                System.exit(64);
            }
        }
        final String[] runArgs = demoArgs;
        CyclicBarrier start = new CyclicBarrier(copies.size());
        List<Thread> threads = new ArrayList<>();
        for (Copy copy : copies) {
            Thread thread = new Thread(() -> {
                // The platform loader as parent: no copy can see another's classes or resources.
                try (URLClassLoader loader = new URLClassLoader(copy.name, copy.classpath,
                        ClassLoader.getPlatformClassLoader())) {
                    Method run = Class.forName(copy.entryClass, true, loader)
                            .getMethod("run", PrintStream.class, PrintStream.class, String[].class);
                    start.await();
                    copy.startNanos = System.nanoTime();
                    try (PrintStream out = new PrintStream(copy.out, true, StandardCharsets.UTF_8);
                            PrintStream err = new PrintStream(copy.err, true, StandardCharsets.UTF_8)) {
                        copy.status = (Integer) run.invoke(null, out, err, (Object) runArgs.clone());
                    }
                    copy.endNanos = System.nanoTime();
                } catch (Throwable t) {
                    copy.failure = t;
                }
            }, "copy-" + copy.name);
            thread.start();
            threads.add(thread);
        }
        for (Thread thread : threads) {
            thread.join(120_000);
        }

        List<String> problems = new ArrayList<>();
        String maps = new String(Files.readAllBytes(Paths.get("/proc/self/maps")), StandardCharsets.UTF_8);
        long latestStart = Long.MIN_VALUE;
        long earliestEnd = Long.MAX_VALUE;
        for (Copy copy : copies) {
            String output = copy.output();
            String library = line(output, "library=");
            System.out.println(copy.name + ": " + library);
            System.out.println(copy.name + ": " + line(output, "echo.messages=") + " " + line(output, "echo.result="));
            if (copy.failure != null) {
                problems.add(copy.name + " failed: " + copy.failure);
                continue;
            }
            if (copy.status != 0 || !output.contains("echo.result=ok\n") || !output.contains("echo.mismatchedBytes=0\n")) {
                problems.add(copy.name + " exited with " + copy.status + ":\n" + output + copy.err.toString(StandardCharsets.UTF_8));
            }
            // Its own file, by the name that makes the library register on its own classes.
            String file = copy.filePrefix + "ovrel_transport_native_kqueue_";
            if (!library.contains("/" + file)) {
                problems.add(copy.name + " did not load a file named " + file + "*: " + library);
            }
            if (!maps.contains("/" + file)) {
                problems.add(copy.name + ": no " + file + "* mapped in this process");
            }
            latestStart = Math.max(latestStart, copy.startNanos);
            earliestEnd = Math.min(earliestEnd, copy.endNanos);
        }
        if (problems.isEmpty() && latestStart >= earliestEnd) {
            problems.add("the copies did not run at the same time");
        }
        if (!problems.isEmpty()) {
            problems.forEach(System.err::println);
            System.exit(1);
        }
        System.out.println("side-by-side: " + copies.size() + " copies echoed at the same time, each on its own"
                + " library file (overlap " + (earliestEnd - latestStart) / 1_000_000 + " ms)");
    }

    private static String line(String output, String key) {
        return output.lines().filter(l -> l.startsWith(key)).findFirst().orElse(key + "(missing)");
    }
}
