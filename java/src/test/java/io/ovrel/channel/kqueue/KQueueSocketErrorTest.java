package io.ovrel.channel.kqueue;

import static io.ovrel.channel.kqueue.KQueueFixture.check;
import static io.ovrel.channel.kqueue.KQueueFixture.flags;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.channel.kqueue.KQueueFixture.Pair;
import io.ovrel.channel.kqueue.KQueueFixture.Source;
import io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.ovrel.channel.unix.FileDescriptor;
import io.ovrel.channel.unix.Socket;
import io.ovrel.test.NativeLibraryExtension;
import java.nio.ByteBuffer;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * A socket error that a kqueue wait reports (EV_EOF) must still be there for the calls
 * the event loop makes next: a refused connect must not finish as a connected one, and
 * a peer that aborted must not read as an orderly end of stream.
 */
@ExtendWith(NativeLibraryExtension.class)
class KQueueSocketErrorTest {
    private static final short READ = KQueueStaticallyReferencedJniMethods.evfiltRead();
    private static final short WRITE = KQueueStaticallyReferencedJniMethods.evfiltWrite();
    private static final short ADD = KQueueStaticallyReferencedJniMethods.evAdd();
    private static final short CLEAR = KQueueStaticallyReferencedJniMethods.evClear();
    private static final int EOF = KQueueStaticallyReferencedJniMethods.evEOF() & 0xffff;

    /** Waits until the event for (fd, filter) carries EV_EOF; returns its index. */
    private static int awaitEof(KQueueFixture q, int fd, short filter) {
        long deadline = System.nanoTime() + KQueueFixture.EVENT_WAIT_SECONDS * 1_000_000_000L;
        while (true) {
            int n = q.wait(0, 50_000_000);
            int i = q.find(n, fd, filter);
            if (i >= 0 && (q.flags(i) & EOF) != 0) {
                return i;
            }
            assertTrue(System.nanoTime() < deadline, "no EV_EOF for " + fd + ": " + q.describe(n));
        }
    }

    /**
     * A non-blocking connect to a port that refuses, awaited through EVFILT_WRITE. Then the
     * loop asks either {@code finishConnect} or {@code getSoError}; each reads the pending
     * error once, so each gets its own connection.
     */
    @ParameterizedTest
    @ValueSource(strings = {"finishConnect", "getSoError"})
    void refusedConnectAwaitedThroughTheQueueStaysRefused(String how) {
        int refusing = check(Socket.newSocketStreamFd(false), "socket");
        int client = -1;
        try (KQueueFixture q = new KQueueFixture()) {
            // Bound but not listening: the port is ours, and it refuses.
            check(Socket.bind(refusing, false, KQueueFixture.LOOPBACK, 0, 0), "bind");
            byte[] local = Socket.localAddress(refusing);
            int port = ByteBuffer.wrap(local, local.length - 4, 4).getInt();
            client = check(Socket.newSocketStreamFd(false), "socket");
            int r = Socket.connect(client, false, KQueueFixture.LOOPBACK, 0, port);
            Assumptions.assumeTrue(r == -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS(),
                    "connect did not wait: " + r);

            q.change(client, WRITE, flags(ADD, CLEAR));
            int i = awaitEof(q, client, WRITE);
            int refused = ErrorsStaticallyReferencedJniMethods.errorECONNREFUSED();
            int fflags = q.fflags(i);
            assertTrue(fflags == refused || fflags == 0, "fflags " + fflags);

            if (how.equals("finishConnect")) {
                assertEquals(-refused, Socket.finishConnect(client));
            } else {
                assertEquals(refused, Socket.getSoError(client));
            }
        } finally {
            FileDescriptor.close(refusing);
            if (client >= 0) {
                FileDescriptor.close(client);
            }
        }
    }

    /** The peer aborts (linger 0, close): the wait reports EV_EOF, the read then ECONNRESET. */
    @Test
    void resetPeerAwaitedThroughTheQueueReadsAsReset() {
        try (KQueueFixture q = new KQueueFixture(); Pair p = Source.TCP_LOOPBACK.open()) {
            q.change(p.reader, READ, ADD);
            assertEquals(0, q.poll());
            Socket.setSoLinger(p.writer, 0);
            p.closeWriter();
            int i = awaitEof(q, p.reader, READ);
            int reset = ErrorsStaticallyReferencedJniMethods.errnoECONNRESET();
            int fflags = q.fflags(i);
            assertTrue(fflags == reset || fflags == 0, "fflags " + fflags);
            // A level filter: the loop may well look twice before it reads.
            int n = q.poll();
            assertNotEquals(-1, q.find(n, p.reader, READ), q.describe(n));

            ByteBuffer buf = ByteBuffer.allocateDirect(16);
            assertEquals(-reset, FileDescriptor.read(p.reader, buf, 0, buf.capacity()));
        }
    }
}
