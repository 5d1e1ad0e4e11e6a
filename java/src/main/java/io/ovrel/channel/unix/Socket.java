package io.ovrel.channel.unix;

import java.nio.ByteBuffer;

/**
 * Socket system calls. Addresses go in as a 16-byte array (IPv6, or IPv4 in
 * IPv4-mapped form) plus scope id and port; they come out as the 8- or 24-byte
 * encoding the library documents.
 */
public final class Socket {
    private Socket() {
    }

    public static native int shutdown(int fd, boolean read, boolean write);

    public static native int bind(int fd, boolean ipv6, byte[] address, int scopeId, int port);

    public static native int listen(int fd, int backlog);

    public static native int connect(int fd, boolean ipv6, byte[] address, int scopeId, int port);

    public static native int finishConnect(int fd);

    public static native int disconnect(int fd, boolean ipv6);

    public static native int accept(int fd, byte[] addr);

    public static native byte[] remoteAddress(int fd);

    public static native byte[] localAddress(int fd);

    public static native int newSocketDgramFd(boolean ipv6);

    public static native int newSocketStreamFd(boolean ipv6);

    public static native int newSocketDomainFd();

    public static native int sendTo(int fd, boolean ipv6, ByteBuffer buf, int pos, int limit, byte[] address,
            int scopeId, int port);

    public static native int sendToAddress(int fd, boolean ipv6, long memoryAddress, int pos, int limit,
            byte[] address, int scopeId, int port);

    public static native int sendToAddresses(int fd, boolean ipv6, long memoryAddress, int length,
            byte[] address, int scopeId, int port);

    public static native int recvFd(int fd);

    public static native int sendFd(int socketFd, int fd);

    public static native int bindDomainSocket(int fd, byte[] path);

    public static native int connectDomainSocket(int fd, byte[] path);

    public static native void setTcpNoDelay(int fd, int tcpNoDelay);

    public static native void setReusePort(int fd, int reusePort);

    public static native void setBroadcast(int fd, int broadcast);

    public static native void setReuseAddress(int fd, int reuseAddress);

    public static native void setReceiveBufferSize(int fd, int receiveBufferSize);

    public static native void setSendBufferSize(int fd, int sendBufferSize);

    public static native void setKeepAlive(int fd, int keepAlive);

    public static native void setSoLinger(int fd, int soLinger);

    public static native void setTrafficClass(int fd, boolean ipv6, int trafficClass);

    public static native int isKeepAlive(int fd);

    public static native int isTcpNoDelay(int fd);

    public static native int isBroadcast(int fd);

    public static native int isReuseAddress(int fd);

    public static native int isReusePort(int fd);

    public static native int getReceiveBufferSize(int fd);

    public static native int getSendBufferSize(int fd);

    public static native int getSoLinger(int fd);

    public static native int getTrafficClass(int fd, boolean ipv6);

    public static native int getSoError(int fd);

    public static native void initialize(boolean ipv4Preferred);

    public static native boolean isIPv6Preferred();

    public static native boolean isIPv6(int fd);

    public static native DatagramSocketAddress recvFrom(int fd, ByteBuffer buf, int pos, int limit);

    public static native DatagramSocketAddress recvFromAddress(int fd, long memoryAddress, int pos, int limit);
}
