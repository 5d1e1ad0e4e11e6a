package io.ovrel.soak;

import io.ovrel.channel.kqueue.Native;
import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import io.ovrel.demo.EchoPattern;
import io.ovrel.demo.FdMap;
import io.ovrel.demo.Errno;
import io.ovrel.demo.KEvents;
import io.ovrel.demo.KQueue;
import io.ovrel.demo.Loopback;
import io.ovrel.demo.NativeLibrary;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.SplittableRandom;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Stream;

/**
 * Soak and load run of the natives on loopback, in two parts.
 *
 * <p>Echo: a server loop and a client loop, each one thread on its own kqueue. The client
 * keeps {@code --connections} connections busy with messages of random size, one in
 * flight per connection, and checks every byte that comes back against {@link
 * EchoPattern} (per connection stream, so a lost, duplicated, reordered or foreign byte
 * is a mismatch). Each connection ends after a few messages in one of three ways, chosen
 * at random: a plain close; a half-close (shutdown of the write side after the last
 * message, then every echoed byte and the end of stream must still arrive); or a reset
 * (SO_LINGER 0 and close, somewhere in the middle of its last message, whose bytes are
 * then abandoned, not lost). A new connection takes its place until {@code --messages}
 * messages have been started.
 *
 * <p>Wake-up storm: {@code --storm-threads} threads trigger one user event while a loop
 * waits on it, in {@code --storm-rounds} rounds of {@code --storm-triggers} triggers per
 * thread. Each trigger is preceded by incrementing a counter; wake-ups may coalesce, but
 * the loop must see the round's final count without its long wait timing out.
 *
 * <p>Around both: descriptors open (/proc/self/fd) before and after, and resident memory
 * (VmRSS) sampled after warm-up and at the end. Prints {@code key=value} lines and exits
 * 0 when every check holds, 1 otherwise.
 *
 * <pre>{@code java -Xms96m -Xmx96m -XX:+AlwaysPreTouch -cp java/target/classes io.ovrel.soak.EchoSoak
 *     build/libovrel_transport_native_kqueue_x86_64.so --messages 10000000}</pre>
 */
public final class EchoSoak {
    private static final int CHUNK = 16 * 1024;

    private EchoSoak() {
    }

    public static void main(String[] args) throws Exception {
        NativeLibrary.load(Path.of(args[0]));
        Options o = new Options(Arrays.copyOfRange(args, 1, args.length));
        List<String> failures = new ArrayList<>();
        long startNanos = System.nanoTime();

        // Descriptors that live as long as the process are made before counting: on Linux
        // the first kqueue creates the stand-in's process-wide wake-up descriptor, and the
        // JDK's first file read its own socket pair for closing channels.
        FileDescriptor.close(Native.kqueueCreate());
        long rssStart = rssKb();
        openDescriptors();
        java.util.SortedMap<Integer, String> fdsBefore = openDescriptors();
        Echo echo = new Echo(o);
        echo.run();
        Storm storm = new Storm(o);
        storm.run();
        System.gc();
        java.util.SortedMap<Integer, String> fdsAfter = openDescriptors();
        long rssEnd = rssKb();

        echo.report(failures);
        storm.report(failures);
        out("fds.before", fdsBefore.size());
        out("fds.after", fdsAfter.size());
        if (!fdsAfter.equals(fdsBefore)) {
            failures.add("descriptors differ: before " + fdsBefore + ", after " + fdsAfter);
        }
        out("rss.kB.start", rssStart);
        out("rss.kB.warm", echo.rssWarmKb);
        out("rss.kB.end", rssEnd);
        out("rss.kB.max", Math.max(echo.rssMaxKb, rssEnd));
        long growth = rssEnd - echo.rssWarmKb;
        out("rss.kB.growthAfterWarmup", growth);
        if (growth > o.rssSlackKb) {
            failures.add("resident memory grew by " + growth + " kB after warm-up (slack " + o.rssSlackKb + " kB)");
        }
        out("seconds", String.format(Locale.ROOT, "%.1f", (System.nanoTime() - startNanos) / 1e9));
        failures.forEach(f -> System.out.println("FAILED " + f));
        out("result", failures.isEmpty() ? "ok" : "failed");
        System.exit(failures.isEmpty() ? 0 : 1);
    }

    static void out(String key, Object value) {
        System.out.println(key + "=" + value);
    }

    /**
     * Open descriptors and what they are, leaving out the directory listing that reads
     * them (the JDK may hold one or two descriptors on /proc for it).
     */
    static java.util.SortedMap<Integer, String> openDescriptors() throws IOException {
        java.util.SortedMap<Integer, String> open = new java.util.TreeMap<>();
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            fds.forEach(p -> {
                String target;
                try {
                    target = Files.readSymbolicLink(p).toString();
                } catch (IOException e) {
                    return; // closed while we looked: the listing's own
                }
                if (!target.startsWith("/proc/")) {
                    open.put(Integer.parseInt(p.getFileName().toString()), target);
                }
            });
        }
        return open;
    }

    static long rssKb() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }

    static final class Options {
        int connections = 1000;
        long messages = 200_000;
        long seed = 1;
        int stormThreads = 8;
        int stormRounds = 500;
        int stormTriggers = 20;
        long rssSlackKb = 16 * 1024;

        Options(String[] args) {
            for (int i = 0; i + 1 < args.length; i += 2) {
                String v = args[i + 1];
                switch (args[i]) {
                    case "--connections": connections = Integer.parseInt(v); break;
                    case "--messages": messages = Long.parseLong(v); break;
                    case "--seed": seed = Long.parseLong(v); break;
                    case "--storm-threads": stormThreads = Integer.parseInt(v); break;
                    case "--storm-rounds": stormRounds = Integer.parseInt(v); break;
                    case "--storm-triggers": stormTriggers = Integer.parseInt(v); break;
                    case "--rss-slack-kb": rssSlackKb = Long.parseLong(v); break;
                    default: throw new IllegalArgumentException("unknown option " + args[i]);
                }
            }
        }
    }

    /** The echo part: server and client loops, and what they counted. */
    static final class Echo {
        private final Options o;
        long rssWarmKb = -1;
        long rssMaxKb;

        private Server server;
        private Client client;

        Echo(Options o) {
            this.o = o;
        }

        void run() throws Exception {
            int listenFd = Loopback.listen(4096);
            int port = Loopback.localPort(listenFd);
            server = new Server(listenFd, o.connections + o.connections / 4);
            client = new Client(o, port, this);
            Thread serverThread = new Thread(server, "soak-server");
            serverThread.start();
            client.run();
            server.requestStop(10_000_000_000L);
            serverThread.join();
            FileDescriptor.close(listenFd);
        }

        void sample(boolean warm) {
            try {
                long rss = rssKb();
                rssMaxKb = Math.max(rssMaxKb, rss);
                if (warm) {
                    rssWarmKb = rss;
                }
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
        }

        void report(List<String> failures) {
            Client c = client;
            out("echo.connections", o.connections);
            out("echo.messagesTarget", o.messages);
            out("echo.messages", c.messages);
            out("echo.bytesVerified", c.bytesVerified);
            out("echo.mismatchedBytes", c.mismatched);
            out("echo.lostBytes", c.lostBytes);
            out("echo.lostConnections", c.lostConnections);
            out("echo.connectFailures", c.connectFailures);
            out("echo.connectionsOpened", c.opened);
            out("echo.closes", c.closes);
            out("echo.halfCloses", c.halfCloses);
            out("echo.resets", c.resets);
            out("echo.abandonedMessages", c.abandonedMessages);
            out("echo.abandonedBytes", c.abandonedBytes);
            out("echo.changeErrors", c.changeErrors + server.changeErrors);
            out("server.accepted", server.accepted);
            out("server.closedOnEof", server.closedOnEof);
            out("server.closedOnError", server.closedOnError);
            out("server.closedAtStop", server.closedAtStop);
            out("server.bytesEchoed", server.bytesEchoed);
            if (c.failure != null) {
                failures.add("client loop: " + c.failure);
            }
            if (server.failure != null) {
                failures.add("server loop: " + server.failure);
            }
            if (c.messages < o.messages) {
                failures.add("only " + c.messages + " of " + o.messages + " messages completed");
            }
            if (c.mismatched != 0 || c.lostBytes != 0 || c.lostConnections != 0 || c.connectFailures != 0) {
                failures.add("echo lost or garbled data: mismatched " + c.mismatched + ", lost " + c.lostBytes
                        + " bytes on " + c.lostConnections + " connections, " + c.connectFailures
                        + " failed connects; last: " + c.lastError);
            }
            if (c.changeErrors + server.changeErrors != 0) {
                failures.add("kqueue refused changes: " + c.lastError + " / " + server.lastError);
            }
            // A connection reset before the server took it off the accept queue may never
            // reach accept (FreeBSD drops it there); any other shortfall is a lost connection.
            if (server.accepted > c.opened || server.accepted < c.opened - c.resets || server.closedAtStop != 0) {
                failures.add("server accepted " + server.accepted + " of " + c.opened
                        + " connections and had to close " + server.closedAtStop + " itself");
            }
        }
    }

    /**
     * Echo server loop, as the demo's: level-triggered reads into a per-connection slot,
     * written straight back; a partial write pauses reading until EVFILT_WRITE drains it.
     */
    static final class Server implements Runnable {
        private final int listenFd;
        private final KQueue kq;
        private final byte[] acceptResult = new byte[32];
        // One buffer per slot, made when the number of connections open at once first
        // needs it and reused after: the client replaces a connection before the server
        // has seen the old one end, so the peak is above the client's count.
        private final List<ByteBuffer> slotBuffers = new ArrayList<>();
        private long[] slotAddress = new long[0];
        private int[] slotFd = new int[0];
        private int[] pendingFrom = new int[0];
        private int[] pendingTo = new int[0];
        private int[] freeSlots = new int[0];
        private int freeCount;
        private final FdMap fdSlot = new FdMap(4096);
        private volatile long stopDeadline;
        int open;
        long accepted;
        long closedOnEof;
        long closedOnError;
        long closedAtStop;
        long bytesEchoed;
        long changeErrors;
        String lastError;
        Throwable failure;

        Server(int listenFd, int initialSlots) {
            this.listenFd = listenFd;
            this.kq = KQueue.open(256, 256, 1);
            growSlots(initialSlots);
            kq.change(listenFd, KEvents.EVFILT_READ, KEvents.EV_ADD);
        }

        private void growSlots(int more) {
            int old = slotFd.length;
            int total = old + more;
            slotAddress = Arrays.copyOf(slotAddress, total);
            slotFd = Arrays.copyOf(slotFd, total);
            pendingFrom = Arrays.copyOf(pendingFrom, total);
            pendingTo = Arrays.copyOf(pendingTo, total);
            freeSlots = Arrays.copyOf(freeSlots, total);
            for (int s = old; s < total; s++) {
                ByteBuffer b = ByteBuffer.allocateDirect(CHUNK);
                slotBuffers.add(b);
                slotAddress[s] = Buffer.memoryAddress0(b);
                slotFd[s] = -1;
                freeSlots[freeCount++] = s;
            }
        }

        void requestStop(long graceNanos) {
            stopDeadline = System.nanoTime() + graceNanos;
            kq.wakeup();
        }

        @Override
        public void run() {
            try {
                while (true) {
                    long stopAt = stopDeadline;
                    long timeout = KQueue.MAX_WAIT_NANOS;
                    if (stopAt != 0) {
                        long left = stopAt - System.nanoTime();
                        if (open == 0 || left <= 0) {
                            break;
                        }
                        timeout = Math.min(left, 50_000_000L);
                    }
                    int n = kq.await(timeout);
                    for (int i = 0; i < n; i++) {
                        dispatch(i);
                    }
                }
            } catch (Throwable t) {
                failure = t;
            } finally {
                for (int slot = 0; slot < slotFd.length; slot++) {
                    if (slotFd[slot] >= 0) {
                        closedAtStop++;
                        close(slot);
                    }
                }
                kq.close();
            }
        }

        private void dispatch(int i) {
            if ((kq.flags(i) & KEvents.EV_ERROR) != 0) {
                changeErrors++;
                lastError = "change on " + kq.ident(i) + ": " + Errno.describe(-kq.data(i));
                return;
            }
            short filter = kq.filter(i);
            if (filter == KEvents.EVFILT_USER) {
                return;
            }
            int fd = kq.ident(i);
            if (fd == listenFd) {
                acceptAll();
                return;
            }
            int slot = fdSlot.get(fd);
            if (slot < 0) {
                return;
            }
            if (filter == KEvents.EVFILT_READ) {
                onReadable(slot);
            } else if (filter == KEvents.EVFILT_WRITE && pendingTo[slot] != 0) {
                send(slot, pendingFrom[slot], pendingTo[slot], true);
            }
        }

        private void acceptAll() {
            while (true) {
                int fd = Socket.accept(listenFd, acceptResult);
                if (fd < 0) {
                    if (Errno.wouldBlock(fd)) {
                        return;
                    }
                    throw new IllegalStateException("accept: " + Errno.describe(fd));
                }
                if (freeCount == 0) {
                    growSlots(Math.max(64, slotFd.length / 4));
                }
                int slot = freeSlots[--freeCount];
                slotFd[slot] = fd;
                pendingFrom[slot] = 0;
                pendingTo[slot] = 0;
                fdSlot.put(fd, slot);
                open++;
                accepted++;
                kq.change(fd, KEvents.EVFILT_READ, KEvents.EV_ADD);
                kq.change(fd, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR, KEvents.EV_DISABLE));
            }
        }

        private void onReadable(int slot) {
            if (pendingTo[slot] != 0) {
                return;
            }
            int n = FileDescriptor.readAddress(slotFd[slot], slotAddress[slot], 0, CHUNK);
            if (n > 0) {
                send(slot, 0, n, false);
            } else if (n == 0) {
                closedOnEof++;
                close(slot);
            } else if (!Errno.wouldBlock(n)) {
                closedOnError++; // a reset peer: expected here
                close(slot);
            }
        }

        private void send(int slot, int from, int to, boolean paused) {
            int fd = slotFd[slot];
            int w = FileDescriptor.writeAddress(fd, slotAddress[slot], from, to);
            if (w < 0 && !Errno.wouldBlock(w)) {
                closedOnError++;
                close(slot);
                return;
            }
            int written = Math.max(w, 0);
            bytesEchoed += written;
            if (from + written == to) {
                pendingFrom[slot] = 0;
                pendingTo[slot] = 0;
                if (paused) {
                    kq.change(fd, KEvents.EVFILT_WRITE, KEvents.EV_DISABLE);
                    kq.change(fd, KEvents.EVFILT_READ, KEvents.EV_ENABLE);
                }
                return;
            }
            pendingFrom[slot] = from + written;
            pendingTo[slot] = to;
            if (!paused) {
                kq.change(fd, KEvents.EVFILT_READ, KEvents.EV_DISABLE);
                kq.change(fd, KEvents.EVFILT_WRITE, KEvents.EV_ENABLE);
            }
        }

        private void close(int slot) {
            int fd = slotFd[slot];
            kq.forget(fd);
            fdSlot.remove(fd);
            FileDescriptor.close(fd);
            slotFd[slot] = -1;
            pendingFrom[slot] = 0;
            pendingTo[slot] = 0;
            freeSlots[freeCount++] = slot;
            open--;
        }
    }

    /** The client loop: connections with random messages and random endings. */
    static final class Client {
        private static final byte CONNECTING = 1;
        private static final byte ACTIVE = 2;
        private static final byte HALF_CLOSED = 3;
        private static final byte CLOSED = 4;
        private static final byte END_CLOSE = 0;
        private static final byte END_HALF_CLOSE = 1;
        private static final byte END_RESET = 2;

        private final Options o;
        private final int port;
        private final Echo echo;
        private final KQueue kq;
        private final SplittableRandom random;
        private final ByteBuffer sendScratch = ByteBuffer.allocateDirect(CHUNK);
        private final ByteBuffer receiveScratch = ByteBuffer.allocateDirect(CHUNK);
        private final long sendAddress = Buffer.memoryAddress0(sendScratch);
        private final long receiveAddress = Buffer.memoryAddress0(receiveScratch);
        private final byte[] address = Loopback.address();

        private final int[] fd;
        private final int[] stream;
        private final byte[] state;
        private final byte[] ending;
        private final boolean[] writeArmed;
        private final long[] sent;
        private final long[] received;
        private final long[] messageEnd;
        private final long[] resetAt;
        private final int[] messagesLeft;
        private final FdMap fdConnection = new FdMap(4096);
        private int nextStream;
        private int open;

        long started;
        long messages;
        long bytesVerified;
        long mismatched;
        long lostBytes;
        long lostConnections;
        long connectFailures;
        long opened;
        long closes;
        long halfCloses;
        long resets;
        long abandonedBytes;
        long abandonedMessages;
        long changeErrors;
        String lastError;
        Throwable failure;
        private long nextSample;

        Client(Options o, int port, Echo echo) {
            this.o = o;
            this.port = port;
            this.echo = echo;
            this.kq = KQueue.open(256, 256, 2);
            this.random = new SplittableRandom(o.seed);
            int n = o.connections;
            fd = new int[n];
            stream = new int[n];
            state = new byte[n];
            ending = new byte[n];
            writeArmed = new boolean[n];
            sent = new long[n];
            received = new long[n];
            messageEnd = new long[n];
            resetAt = new long[n];
            messagesLeft = new int[n];
        }

        void run() {
            try {
                for (int c = 0; c < o.connections; c++) {
                    connect(c);
                }
                nextSample = o.messages / 5;
                long idleSince = System.nanoTime();
                while (open > 0) {
                    int n = kq.await(100_000_000L);
                    for (int i = 0; i < n; i++) {
                        dispatch(i);
                    }
                    if (n > 0) {
                        idleSince = System.nanoTime();
                    } else if (System.nanoTime() - idleSince > 30_000_000_000L) {
                        throw new IllegalStateException("no progress for 30 s with " + open + " connections open");
                    }
                    if (messages >= nextSample) {
                        echo.sample(echo.rssWarmKb < 0);
                        nextSample += Math.max(1, o.messages / 5);
                    }
                }
            } catch (Throwable t) {
                failure = t;
            } finally {
                for (int c = 0; c < o.connections; c++) {
                    if (state[c] != CLOSED && fd[c] >= 0) {
                        close(c);
                    }
                }
                kq.close();
            }
        }

        /** Messages a reset abandoned do not count: the target is in completed messages. */
        private boolean moreToStart() {
            return started - abandonedMessages < o.messages;
        }

        private int messageSize() {
            int r = random.nextInt(100);
            if (r < 80) {
                return 1 + random.nextInt(256);
            }
            if (r < 99) {
                return 257 + random.nextInt(8 * 1024);
            }
            return 8 * 1024 + random.nextInt(120 * 1024);
        }

        private void connect(int c) {
            if (!moreToStart()) {
                state[c] = CLOSED;
                return;
            }
            int f = Socket.newSocketStreamFd(false);
            if (f < 0) {
                throw new IllegalStateException("socket: " + Errno.describe(f));
            }
            fd[c] = f;
            stream[c] = nextStream++;
            sent[c] = 0;
            received[c] = 0;
            messageEnd[c] = 0;
            writeArmed[c] = false;
            messagesLeft[c] = 1 + random.nextInt(8);
            int pick = random.nextInt(10);
            ending[c] = pick < 6 ? END_CLOSE : pick < 8 ? END_HALF_CLOSE : END_RESET;
            fdConnection.put(f, c);
            open++;
            opened++;
            Socket.setTcpNoDelay(f, 1);
            int r = Socket.connect(f, false, address, 0, port);
            if (r == 0) {
                kq.change(f, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR, KEvents.EV_DISABLE));
                connected(c);
            } else if (r == -Errno.EINPROGRESS) {
                state[c] = CONNECTING;
                kq.change(f, KEvents.EVFILT_WRITE, KEvents.flags(KEvents.EV_ADD, KEvents.EV_CLEAR));
            } else {
                connectFailures++;
                lastError = "connect: " + Errno.describe(r);
                close(c);
            }
        }

        private void connected(int c) {
            state[c] = ACTIVE;
            kq.change(fd[c], KEvents.EVFILT_READ, KEvents.EV_ADD);
            startMessage(c);
        }

        private void startMessage(int c) {
            started++;
            messagesLeft[c]--;
            int size = messageSize();
            messageEnd[c] = sent[c] + size;
            if (messagesLeft[c] == 0 && ending[c] == END_RESET) {
                resetAt[c] = sent[c] + random.nextInt(size + 1);
            } else {
                resetAt[c] = -1;
            }
            trySend(c);
        }

        private void dispatch(int i) {
            if ((kq.flags(i) & KEvents.EV_ERROR) != 0) {
                changeErrors++;
                lastError = "change on " + kq.ident(i) + ": " + Errno.describe(-kq.data(i));
                return;
            }
            short filter = kq.filter(i);
            int f = kq.ident(i);
            int c = filter == KEvents.EVFILT_USER ? -1 : fdConnection.get(f);
            if (c < 0) {
                return;
            }
            if (filter == KEvents.EVFILT_WRITE) {
                if (state[c] == CONNECTING) {
                    int r = Socket.finishConnect(f);
                    if (r != 0) {
                        connectFailures++;
                        lastError = "finishConnect: " + Errno.describe(r);
                        close(c);
                        return;
                    }
                    kq.change(f, KEvents.EVFILT_WRITE, KEvents.EV_DISABLE);
                    connected(c);
                } else if (writeArmed[c] && state[c] == ACTIVE) {
                    trySend(c);
                }
            } else if (filter == KEvents.EVFILT_READ) {
                onReadable(c);
            }
        }

        private void trySend(int c) {
            int f = fd[c];
            while (sent[c] < messageEnd[c]) {
                long until = resetAt[c] >= 0 ? Math.min(messageEnd[c], resetAt[c]) : messageEnd[c];
                if (sent[c] >= until) {
                    reset(c);
                    return;
                }
                int length = (int) Math.min(CHUNK, until - sent[c]);
                EchoPattern.fill(sendScratch, 0, stream[c], sent[c], length);
                int w = FileDescriptor.writeAddress(f, sendAddress, 0, length);
                if (w < 0 && !Errno.wouldBlock(w)) {
                    lose(c, "write: " + Errno.describe(w));
                    return;
                }
                if (w > 0) {
                    sent[c] += w;
                }
                if (w < length) {
                    if (!writeArmed[c]) {
                        writeArmed[c] = true;
                        kq.change(f, KEvents.EVFILT_WRITE, KEvents.EV_ENABLE);
                    }
                    return;
                }
            }
            if (resetAt[c] >= 0) {
                reset(c); // the whole last message went out: reset before its echo is in
                return;
            }
            if (writeArmed[c]) {
                writeArmed[c] = false;
                kq.change(f, KEvents.EVFILT_WRITE, KEvents.EV_DISABLE);
            }
            if (messagesLeft[c] == 0 && ending[c] == END_HALF_CLOSE) {
                int r = Socket.shutdown(f, false, true);
                if (r != 0) {
                    lose(c, "shutdown: " + Errno.describe(r));
                    return;
                }
                state[c] = HALF_CLOSED;
            }
        }

        private void onReadable(int c) {
            int n = FileDescriptor.readAddress(fd[c], receiveAddress, 0, CHUNK);
            if (n < 0) {
                if (!Errno.wouldBlock(n)) {
                    lose(c, "read: " + Errno.describe(n));
                }
                return;
            }
            if (n == 0) {
                if (state[c] == HALF_CLOSED && received[c] == sent[c]) {
                    halfCloses++;
                    replace(c);
                } else {
                    lose(c, "end of stream with " + (sent[c] - received[c]) + " bytes outstanding");
                }
                return;
            }
            long expected = sent[c] - received[c];
            int checked = (int) Math.min(n, expected);
            mismatched += EchoPattern.mismatches(receiveScratch, 0, stream[c], received[c], checked);
            mismatched += n - checked; // more than was sent: duplicated or foreign bytes
            received[c] += n;
            bytesVerified += checked;
            if (received[c] >= messageEnd[c] && sent[c] == messageEnd[c]) {
                messages++;
                if (messagesLeft[c] > 0 && moreToStart()) {
                    startMessage(c);
                } else if (state[c] != HALF_CLOSED) {
                    closes++;
                    replace(c);
                }
            }
        }

        private void reset(int c) {
            Socket.setSoLinger(fd[c], 0);
            resets++;
            abandonedMessages++;
            abandonedBytes += sent[c] - received[c];
            replace(c);
        }

        private void lose(int c, String why) {
            lostConnections++;
            lostBytes += Math.max(0, sent[c] - received[c]);
            lastError = why;
            close(c);
        }

        private void replace(int c) {
            close(c);
            connect(c);
        }

        private void close(int c) {
            int f = fd[c];
            kq.forget(f);
            fdConnection.remove(f);
            FileDescriptor.close(f);
            fd[c] = -1;
            state[c] = CLOSED;
            open--;
        }
    }

    /** The wake-up storm: many triggering threads, one waiting loop, nothing lost. */
    static final class Storm {
        private static final int USER_EVENT = 7;
        private static final int WAIT_SECONDS = 10;
        private final Options o;
        private final AtomicLong triggered = new AtomicLong();
        private final AtomicLong failedTriggers = new AtomicLong();
        private volatile boolean stop;
        long wakeups;
        long timeouts;
        long observed;
        String failure;

        Storm(Options o) {
            this.o = o;
        }

        void run() throws Exception {
            int kq = Native.kqueueCreate();
            ByteBuffer events = ByteBuffer.allocateDirect(4 * KEvents.SIZE).order(ByteOrder.nativeOrder());
            long eventsAddress = Buffer.memoryAddress0(events);
            int added = Native.keventAddUserEvent(kq, USER_EVENT);
            if (added != 0) {
                throw new IllegalStateException("keventAddUserEvent: " + Errno.describe(added));
            }
            // The loop thread opens each round; the triggering threads then fire their burst.
            CyclicBarrier roundStart = new CyclicBarrier(o.stormThreads + 1);
            List<Thread> threads = new ArrayList<>();
            for (int t = 0; t < o.stormThreads; t++) {
                Thread thread = new Thread(() -> {
                    try {
                        for (int round = 0; round < o.stormRounds && !stop; round++) {
                            roundStart.await();
                            for (int k = 0; k < o.stormTriggers; k++) {
                                triggered.incrementAndGet();
                                if (Native.keventTriggerUserEvent(kq, USER_EVENT) != 0) {
                                    failedTriggers.incrementAndGet();
                                }
                            }
                        }
                    } catch (Exception e) {
                        stop = true;
                    }
                }, "soak-trigger-" + t);
                thread.start();
                threads.add(thread);
            }
            long perRound = (long) o.stormThreads * o.stormTriggers;
            try {
                for (int round = 0; round < o.stormRounds && failure == null; round++) {
                    roundStart.await();
                    long target = perRound * (round + 1);
                    while (observed < target) {
                        // A long wait: only a lost wake-up lets it run out.
                        int n = Native.keventWait(kq, eventsAddress, 0, eventsAddress, 4, WAIT_SECONDS, 0);
                        if (n < 0) {
                            failure = "keventWait: " + Errno.describe(n);
                            break;
                        }
                        if (n == 0) {
                            timeouts++;
                            failure = "round " + round + ": waited " + WAIT_SECONDS + " s with " + triggered.get()
                                    + " triggers issued and " + observed + " seen";
                            break;
                        }
                        wakeups += n;
                        observed = triggered.get();
                    }
                }
            } finally {
                stop = true;
                roundStart.reset();
                for (Thread thread : threads) {
                    thread.join(10_000);
                }
                FileDescriptor.close(kq);
            }
        }

        void report(List<String> failures) {
            long total = (long) o.stormThreads * o.stormRounds * o.stormTriggers;
            out("storm.threads", o.stormThreads);
            out("storm.triggers", triggered.get());
            out("storm.triggersExpected", total);
            out("storm.failedTriggers", failedTriggers.get());
            out("storm.wakeups", wakeups);
            out("storm.observed", observed);
            out("storm.timeouts", timeouts);
            if (failure != null) {
                failures.add("wake-up storm: " + failure);
            }
            if (triggered.get() != total || observed != total || failedTriggers.get() != 0) {
                failures.add("wake-up storm: " + observed + " of " + total + " triggers seen, "
                        + failedTriggers.get() + " failed");
            }
            if (wakeups > total || wakeups < o.stormRounds) {
                failures.add("wake-up storm: " + wakeups + " wake-ups for " + total + " triggers in "
                        + o.stormRounds + " rounds");
            }
        }
    }
}
