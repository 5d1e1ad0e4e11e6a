package io.ovrel.demo;

import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.util.concurrent.locks.LockSupport;

/**
 * Wake-up round trips through one event loop: a trigger thread fires the loop's user
 * event; the loop answers each wake-up by writing one byte into a pipe and, when the
 * pipe's read end reports readiness on the same kqueue, reads it back. A round ends when
 * the byte is read; its latency runs from the trigger to that read. The trigger thread
 * starts the next round only then, so every trigger must produce exactly one wake-up,
 * one readiness event and one byte, which the counts printed at the end show.
 */
final class PingPongDemo {
    private static final int USER_EVENT_ID = 42;
    /** Upper bound on the whole run when --duration is not given. */
    static final double DEFAULT_LIMIT_SECONDS = 30;

    private final int rounds;
    private final long deadline;
    private final KQueue kq;
    private final int readFd;
    private final int writeFd;
    private final ByteBuffer out = ByteBuffer.allocateDirect(1);
    private final ByteBuffer in = ByteBuffer.allocateDirect(64);
    private final long outAddress = Buffer.memoryAddress0(out);
    private final long inAddress = Buffer.memoryAddress0(in);
    private final LatencyHistogram latency = new LatencyHistogram();

    private volatile long triggeredAt;
    private volatile int completed;
    private volatile Thread trigger;

    private long wakeups;
    private long pipeReadEvents;
    private long bytesWritten;
    private long bytesRead;
    private long mismatchedBytes;
    private volatile long triggerFailures;
    private String error;
    private long loopHeapBytes = -1;

    private PingPongDemo(int rounds, long limitNanos) {
        this.rounds = rounds;
        this.deadline = System.nanoTime() + limitNanos;
        long pipe = FileDescriptor.newPipe();
        if (pipe < 0) {
            throw new IllegalStateException("pipe: " + Errno.describe(pipe));
        }
        this.readFd = (int) (pipe >>> 32);
        this.writeFd = (int) pipe;
        this.kq = KQueue.open(8, 16, USER_EVENT_ID);
        kq.change(readFd, KEvents.EVFILT_READ, KEvents.EV_ADD);
    }

    static int run(DemoOptions options, PrintStream report) throws InterruptedException {
        double limit = options.durationGiven() ? options.durationSeconds() : DEFAULT_LIMIT_SECONDS;
        PingPongDemo demo = new PingPongDemo(options.rounds(), (long) (limit * 1e9));
        long start = System.nanoTime();
        Thread loop = new Thread(demo::loop, "pingpong-loop");
        Thread trigger = new Thread(demo::triggerRounds, "pingpong-trigger");
        demo.trigger = trigger;
        loop.setDaemon(true);
        trigger.setDaemon(true);
        loop.start();
        trigger.start();
        long joinMillis = (long) (limit * 1000) + 5_000;
        trigger.join(joinMillis);
        loop.join(joinMillis);
        double seconds = (System.nanoTime() - start) / 1e9;
        boolean hung = loop.isAlive() || trigger.isAlive();
        if (!hung) {
            demo.kq.close();
            FileDescriptor.close(demo.readFd);
            FileDescriptor.close(demo.writeFd);
        }
        return demo.report(report, seconds, hung);
    }

    private void triggerRounds() {
        for (int round = 1; round <= rounds; round++) {
            triggeredAt = System.nanoTime();
            int r = kq.wakeup();
            if (r < 0) {
                triggerFailures++;
                error = "keventTriggerUserEvent: " + Errno.describe(r);
                return;
            }
            while (completed < round) {
                if (System.nanoTime() - deadline >= 0) {
                    return;
                }
                // The loop unparks us when the byte is back; the bound only covers a lost round.
                LockSupport.parkNanos(this, 10_000_000L);
            }
        }
    }

    private void loop() {
        long before = ThreadAllocation.current();
        try {
            while (bytesRead < rounds && triggerFailures == 0) {
                long left = deadline - System.nanoTime();
                if (left <= 0) {
                    error = "time limit reached after " + bytesRead + " of " + rounds + " rounds";
                    return;
                }
                int n = kq.await(Math.min(left, 100_000_000L));
                for (int i = 0; i < n; i++) {
                    if (kq.isWakeup(i)) {
                        wakeups++;
                        answer();
                    } else if (kq.filter(i) == KEvents.EVFILT_READ && kq.ident(i) == readFd) {
                        pipeReadEvents++;
                        drain();
                    } else if ((kq.flags(i) & KEvents.EV_ERROR) != 0) {
                        error = "kqueue refused a change: " + Errno.describe(-kq.data(i));
                        return;
                    }
                }
            }
        } catch (RuntimeException e) {
            error = e.toString();
        } finally {
            long after = ThreadAllocation.current();
            loopHeapBytes = before < 0 ? -1 : after - before;
            Thread t = trigger;
            completed = Integer.MAX_VALUE; // releases the trigger thread whatever happened
            LockSupport.unpark(t);
        }
    }

    private void answer() {
        out.put(0, (byte) (wakeups & 0xff));
        int w = FileDescriptor.writeAddress(writeFd, outAddress, 0, 1);
        if (w == 1) {
            bytesWritten++;
        } else {
            throw new IllegalStateException("pipe write returned " + (w < 0 ? Errno.describe(w) : w));
        }
    }

    private void drain() {
        int n = FileDescriptor.readAddress(readFd, inAddress, 0, in.capacity());
        if (n < 0) {
            if (!Errno.wouldBlock(n)) {
                throw new IllegalStateException("pipe read: " + Errno.describe(n));
            }
            return;
        }
        long now = System.nanoTime();
        for (int i = 0; i < n; i++) {
            bytesRead++;
            if (in.get(i) != (byte) (bytesRead & 0xff)) {
                mismatchedBytes++;
            }
        }
        if (n > 0) {
            latency.record(now - triggeredAt);
            completed = (int) Math.min(bytesRead, Integer.MAX_VALUE - 1);
            LockSupport.unpark(trigger);
        }
    }

    private int report(PrintStream o, double seconds, boolean hung) {
        o.println("mode=pingpong");
        o.println("pingpong.rounds=" + rounds);
        o.println("pingpong.wakeups=" + wakeups);
        o.println("pingpong.pipeReadEvents=" + pipeReadEvents);
        o.println("pingpong.bytesWritten=" + bytesWritten);
        o.println("pingpong.bytesRead=" + bytesRead);
        o.println("pingpong.mismatchedBytes=" + mismatchedBytes);
        o.println("pingpong.seconds=" + Stats.fixed(seconds, 3));
        o.println("pingpong.roundsPerSecond=" + Stats.fixed(bytesRead / Math.max(seconds, 1e-9), 0));
        Stats.printLatency(o, "pingpong.latency", latency);
        o.println("pingpong.loopHeapBytes=" + loopHeapBytes);
        boolean ok = !hung && error == null && bytesRead == rounds && wakeups == rounds && mismatchedBytes == 0;
        o.println("pingpong.result=" + (ok ? "ok" : "FAILED"));
        o.flush();
        if (!ok) {
            System.err.println("pingpong: " + (hung ? "a thread did not end in time" : error != null ? error
                    : "counts do not match the rounds"));
            System.err.flush();
            return Demo.EXIT_CHECK_FAILED;
        }
        return 0;
    }
}
