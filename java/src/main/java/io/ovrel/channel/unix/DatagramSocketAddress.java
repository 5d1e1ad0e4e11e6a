package io.ovrel.channel.unix;

/**
 * Sender (or, as {@link #localAddress()}, destination) of a received datagram.
 * The library builds it with the constructor below, looked up by signature.
 */
public final class DatagramSocketAddress {
    private final byte[] address;
    private final int scopeId;
    private final int port;
    private final int receivedAmount;
    private final DatagramSocketAddress localAddress;

    public DatagramSocketAddress(byte[] addr, int scopeId, int port, int receivedAmount,
            DatagramSocketAddress localAddress) {
        this.address = addr;
        this.scopeId = scopeId;
        this.port = port;
        this.receivedAmount = receivedAmount;
        this.localAddress = localAddress;
    }

    /** 4 bytes for IPv4 (also for an IPv4-mapped sender), 16 for IPv6, network order. */
    public byte[] address() {
        return address.clone();
    }

    public int scopeId() {
        return scopeId;
    }

    public int port() {
        return port;
    }

    public int receivedAmount() {
        return receivedAmount;
    }

    /** Where the datagram was sent to, when the socket reports it; otherwise null. */
    public DatagramSocketAddress localAddress() {
        return localAddress;
    }
}
