package io.ovrel.demo;

import io.ovrel.channel.kqueue.KQueueEventArray;
import io.ovrel.channel.kqueue.Native;
import io.ovrel.channel.unix.Buffer;
import io.ovrel.channel.unix.FileDescriptor;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/**
 * One kqueue with its change and event arrays in native memory.
 *
 * <p>Changes are queued with {@link #change} and handed to the kernel by the next
 * {@link #await}, together with the wait, so a loop turn costs one system call. Events
 * are read in place from the event array with the accessors, at the offsets the library
 * reports. Nothing here allocates after construction, so a loop built on it has no
 * per-event garbage.
 *
 * <p>Only the owning loop thread may call anything but {@link #wakeup()}.
 */
public final class KQueue implements AutoCloseable {
    /** kqueue waits are always bounded; callers re-check their own state at least this often. */
    public static final long MAX_WAIT_NANOS = 1_000_000_000L;

    private final int fd;
    private final int wakeupId;
    private final ByteBuffer changes;
    private final long changesAddress;
    private final int changeCapacity;
    private int changeCount;
    private final ByteBuffer events;
    private final long eventsAddress;
    private final int eventCapacity;
    private boolean closed;

    private KQueue(int fd, int wakeupId, int changeCapacity, int eventCapacity) {
        this.fd = fd;
        this.wakeupId = wakeupId;
        this.changeCapacity = changeCapacity;
        this.eventCapacity = eventCapacity;
        // Native order: the kernel reads and writes these records, not Java.
        this.changes = ByteBuffer.allocateDirect(changeCapacity * KEvents.SIZE).order(ByteOrder.nativeOrder());
        this.events = ByteBuffer.allocateDirect(eventCapacity * KEvents.SIZE).order(ByteOrder.nativeOrder());
        this.changesAddress = Buffer.memoryAddress0(changes);
        this.eventsAddress = Buffer.memoryAddress0(events);
    }

    /**
     * A new kqueue whose wake-up user event {@code wakeupId} is already registered, so
     * {@link #wakeup()} works from the first moment another thread can see this object.
     */
    public static KQueue open(int changeCapacity, int eventCapacity, int wakeupId) {
        if (changeCapacity < 1 || eventCapacity < 1) {
            throw new IllegalArgumentException("capacities must be positive");
        }
        int fd = Native.kqueueCreate(); // raises on failure
        KQueue queue = new KQueue(fd, wakeupId, changeCapacity, eventCapacity);
        int added = Native.keventAddUserEvent(fd, wakeupId);
        if (added < 0) {
            FileDescriptor.close(fd);
            throw new IllegalStateException("cannot add the wake-up event: " + Errno.describe(added));
        }
        return queue;
    }

    public int fd() {
        return fd;
    }

    public int wakeupId() {
        return wakeupId;
    }

    /**
     * Queues one change. When the array is full the queued changes are applied first,
     * without collecting events, so a burst of registrations never needs a bigger array.
     */
    public void change(int ident, short filter, short flags) {
        if (changeCount == changeCapacity) {
            flushChanges();
        }
        KQueueEventArray.evSet(changesAddress + (long) changeCount * KEvents.SIZE, ident, filter, flags, 0);
        changeCount++;
    }

    /**
     * Drops queued changes for a descriptor that is about to be closed. Closing it
     * removes its filters in the kernel; a change applied afterwards would fail (or
     * worse, hit a new descriptor that reused the number).
     */
    public void forget(int ident) {
        int kept = 0;
        for (int i = 0; i < changeCount; i++) {
            int at = i * KEvents.SIZE;
            if (changes.getLong(at + KEvents.IDENT) == ident) {
                continue;
            }
            if (kept != i) {
                int to = kept * KEvents.SIZE;
                for (int b = 0; b < KEvents.SIZE; b += Long.BYTES) {
                    changes.putLong(to + b, changes.getLong(at + b));
                }
            }
            kept++;
        }
        changeCount = kept;
    }

    public int pendingChanges() {
        return changeCount;
    }

    /**
     * Applies the queued changes and waits up to {@code timeoutNanos} (capped at
     * {@link #MAX_WAIT_NANOS}; 0 polls) for events. Returns the number of records in the
     * event array. Failed changes come back as records with EV_ERROR set and the errno in
     * data.
     */
    public int await(long timeoutNanos) {
        long t = Math.max(0, Math.min(timeoutNanos, MAX_WAIT_NANOS));
        int n = Native.keventWait(fd, changesAddress, changeCount, eventsAddress, eventCapacity,
                (int) (t / 1_000_000_000L), (int) (t % 1_000_000_000L));
        if (n < 0) {
            throw new IllegalStateException("keventWait on kqueue " + fd + " failed: " + Errno.describe(n));
        }
        changeCount = 0;
        return n;
    }

    private void flushChanges() {
        // An event list of 0 records: the kernel applies the changes and returns at once.
        // It has no room to report a failed change, so such a failure fails the call.
        int n = Native.keventWait(fd, changesAddress, changeCount, eventsAddress, 0, 0, 0);
        if (n < 0) {
            throw new IllegalStateException("applying " + changeCount + " changes failed: " + Errno.describe(n));
        }
        changeCount = 0;
    }

    /** Wakes the loop waiting on this kqueue; safe from any thread. */
    public int wakeup() {
        return Native.keventTriggerUserEvent(fd, wakeupId);
    }

    public int ident(int i) {
        return (int) events.getLong(i * KEvents.SIZE + KEvents.IDENT);
    }

    public short filter(int i) {
        return events.getShort(i * KEvents.SIZE + KEvents.FILTER);
    }

    /** The flags as an unsigned 16-bit value, so EV_EOF tests work with a plain mask. */
    public int flags(int i) {
        return events.getShort(i * KEvents.SIZE + KEvents.FLAGS) & 0xffff;
    }

    public int fflags(int i) {
        return events.getInt(i * KEvents.SIZE + KEvents.FFLAGS);
    }

    public long data(int i) {
        return events.getLong(i * KEvents.SIZE + KEvents.DATA);
    }

    public boolean isWakeup(int i) {
        return filter(i) == KEvents.EVFILT_USER && ident(i) == wakeupId;
    }

    @Override
    public void close() {
        if (!closed) {
            closed = true;
            FileDescriptor.close(fd);
        }
    }
}
