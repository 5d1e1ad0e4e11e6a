package io.ovrel.channel.unix;

/** Credentials of a Unix-domain peer, built by the library with {@code (II[I)V}. */
public final class PeerCredentials {
    private final int pid;
    private final int uid;
    private final int[] gids;

    public PeerCredentials(int pid, int uid, int[] gids) {
        this.pid = pid;
        this.uid = uid;
        this.gids = gids;
    }

    public int pid() {
        return pid;
    }

    public int uid() {
        return uid;
    }

    public int[] gids() {
        return gids.clone();
    }
}
