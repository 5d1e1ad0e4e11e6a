package io.ovrel.channel;

import java.nio.channels.FileChannel;

/**
 * A region of a file to be sent with {@code BsdSocket.sendFile}. The native side
 * reads {@code file} and writes {@code transferred} directly by field id, so both
 * keep exactly these names and types.
 */
public class DefaultFileRegion {
    private final FileChannel file;
    private final long position;
    private final long count;
    private long transferred;

    public DefaultFileRegion(FileChannel file, long position, long count) {
        this.file = file;
        this.position = position;
        this.count = count;
    }

    public FileChannel file() {
        return file;
    }

    public long position() {
        return position;
    }

    public long count() {
        return count;
    }

    public long transferred() {
        return transferred;
    }
}
