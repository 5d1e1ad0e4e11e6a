#include "unix/socket.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/bsd_socket.h"
#include "platform/descriptors.h"
#include "unix/errors.h"
#include "unix/util.h"

namespace {

jclass datagramSocketAddressClass = nullptr;
jmethodID datagramSocketAddressConstructor = nullptr;
jclass inetSocketAddressClass = nullptr;
jmethodID inetSocketAddressConstructor = nullptr;

// Written by initialize on one thread, read by isIPv6Preferred on others.
std::atomic<int> preferredFamily{AF_INET};

const unsigned char kIPv4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
const unsigned char kIPv4MappedAny[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
const unsigned char kIPv6Any[16] = {0};

const size_t kSunPathSize = sizeof(((struct sockaddr_un*)nullptr)->sun_path);

inline bool isIPv4Mapped(const unsigned char* addr) {
    return memcmp(addr, kIPv4MappedPrefix, sizeof(kIPv4MappedPrefix)) == 0;
}

inline void putPortField(jbyte* out, int port) {
    out[0] = 0;
    out[1] = 0;
    out[2] = static_cast<jbyte>((port >> 8) & 0xff);
    out[3] = static_cast<jbyte>(port & 0xff);
}

void fillInetSocketAddressArray(JNIEnv* env, const struct sockaddr_storage* addr,
                                jbyteArray array, int offset, int len) {
    if (addr->ss_family == AF_INET) {
        const struct sockaddr_in* s = reinterpret_cast<const struct sockaddr_in*>(addr);
        jbyte tail[4];
        putPortField(tail, ntohs(s->sin_port));
        env->SetByteArrayRegion(array, offset, 4, reinterpret_cast<const jbyte*>(&s->sin_addr));
        env->SetByteArrayRegion(array, offset + 4, 4, tail);
        return;
    }
    const struct sockaddr_in6* s = reinterpret_cast<const struct sockaddr_in6*>(addr);
    int port = ntohs(s->sin6_port);
    if (len == 8) {
        jbyte tail[4];
        putPortField(tail, port);
        env->SetByteArrayRegion(array, offset, 4,
                                reinterpret_cast<const jbyte*>(s->sin6_addr.s6_addr + 12));
        env->SetByteArrayRegion(array, offset + 4, 4, tail);
        return;
    }
    uint32_t scope = s->sin6_scope_id;
    jbyte tail[8] = {static_cast<jbyte>(scope >> 24), static_cast<jbyte>(scope >> 16),
                     static_cast<jbyte>(scope >> 8), static_cast<jbyte>(scope)};
    putPortField(tail + 4, port);
    env->SetByteArrayRegion(array, offset, 16, reinterpret_cast<const jbyte*>(s->sin6_addr.s6_addr));
    env->SetByteArrayRegion(array, offset + 16, 8, tail);
}

inline int encodingLength(const struct sockaddr_storage* addr) {
    return ovrel_unix_socket_ipAddressLength(addr) == 4 ? 8 : 24;
}

// The failure report of every option call: a closed descriptor is a closed
// channel, anything else a ChannelException carrying the system's text.
void reportOptionError(JNIEnv* env, int err, const char* prefix) {
    if (err == EBADF) {
        ovrel_unix_errors_throwClosedChannelException(env);
    } else {
        ovrel_unix_errors_throwChannelExceptionErrorNo(env, prefix, err);
    }
}

const char kSetOptionFailed[] = "setsockopt() failed: ";
const char kGetOptionFailed[] = "getsockopt() failed: ";

// ---- Lifecycle -------------------------------------------------------------

jint createSocketFd(JNIEnv* env, int family, int type) {
    int fd = ovrel_socket_nonblocking(family, type);
    if (fd < 0) {
        return -errno;
    }
    if (family == AF_INET6) {
        // Dual-stack, so one IPv6 socket also serves IPv4 peers.
        int zero = 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero)) < 0 &&
            errno != EAFNOSUPPORT) {
            int err = errno;
            reportOptionError(env, err, kSetOptionFailed);
            close(fd);
            return -1;
        }
    }
    return fd;
}

jint newSocketStreamFd(JNIEnv* env, jclass, jboolean ipv6) {
    return createSocketFd(env, ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM);
}

jint newSocketDgramFd(JNIEnv* env, jclass, jboolean ipv6) {
    return createSocketFd(env, ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM);
}

void initialize(JNIEnv*, jclass, jboolean ipv4Preferred) {
    if (ipv4Preferred) {
        preferredFamily.store(AF_INET, std::memory_order_relaxed);
        return;
    }
    int fd = ovrel_socket_nonblocking(AF_INET6, SOCK_STREAM);
    if (fd < 0) {
        // Only a missing address family says anything about IPv6 support.
        preferredFamily.store(errno == EAFNOSUPPORT ? AF_INET : AF_INET6,
                              std::memory_order_relaxed);
        return;
    }
    struct sockaddr_in6 loopback;
    memset(&loopback, 0, sizeof(loopback));
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    int res = bind(fd, reinterpret_cast<struct sockaddr*>(&loopback), sizeof(loopback));
    close(fd);
    preferredFamily.store(res == 0 ? AF_INET6 : AF_INET, std::memory_order_relaxed);
}

jboolean isIPv6Preferred(JNIEnv*, jclass) {
    return preferredFamily.load(std::memory_order_relaxed) == AF_INET6 ? JNI_TRUE : JNI_FALSE;
}

jboolean isIPv6(JNIEnv* env, jclass, jint fd) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) < 0) {
        ovrel_unix_errors_throwChannelExceptionErrorNo(env, "getsockname(...) failed: ", errno);
        return JNI_FALSE;
    }
    return addr.ss_family == AF_INET6 ? JNI_TRUE : JNI_FALSE;
}

jint bind0(JNIEnv* env, jclass, jint fd, jboolean ipv6, jbyteArray address, jint scopeId,
           jint port) {
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(struct sockaddr_in6));
    socklen_t len;
    int res = ovrel_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, &addr, &len);
    if (res != 0) {
        return res;
    }
    return bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) < 0 ? -errno : 0;
}

jint listen0(JNIEnv*, jclass, jint fd, jint backlog) {
    return listen(fd, backlog) < 0 ? -errno : 0;
}

jint connect0(JNIEnv* env, jclass, jint fd, jboolean ipv6, jbyteArray address, jint scopeId,
              jint port) {
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(struct sockaddr_in6));
    socklen_t len;
    int res = ovrel_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, &addr, &len);
    if (res != 0) {
        return res;
    }
    do {
        res = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
    } while (res < 0 && errno == EINTR);
    return res < 0 ? -errno : 0;
}

jint finishConnect(JNIEnv* env, jclass, jint fd) {
    int optval = 0;
    if (ovrel_unix_socket_getOption(env, fd, SOL_SOCKET, SO_ERROR, &optval, sizeof(optval)) < 0) {
        return -1;
    }
    return -optval;
}

jint disconnect(JNIEnv*, jclass, jint fd, jboolean ipv6) {
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(addr));  // AF_UNSPEC dissolves the association
    socklen_t len = ipv6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in);
    int res;
    do {
        res = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
    } while (res < 0 && errno == EINTR);
    if (res < 0 && errno != EAFNOSUPPORT) {
        return -errno;
    }
    return 0;
}

jint accept0(JNIEnv* env, jclass, jint fd, jbyteArray acceptedAddress) {
    if (acceptedAddress == nullptr) {
        return -EINVAL;  // nothing is taken off the queue
    }
    // Zeroed so that a listener of another family hands Java no stack contents.
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(addr));
    socklen_t len;
    int socketFd;
    do {
        len = sizeof(addr);
        socketFd = ovrel_accept_nonblocking(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    } while (socketFd < 0 && errno == EINTR);
    if (socketFd < 0) {
        return -errno;
    }

    const int encoded = encodingLength(&addr);
    if (env->GetArrayLength(acceptedAddress) < 1 + encoded) {
        // The peer could not be reported; do not hand back (or leak) a
        // connection that Java cannot describe.
        close(socketFd);
        return -EINVAL;
    }
    const jbyte lengthByte = static_cast<jbyte>(encoded);
    env->SetByteArrayRegion(acceptedAddress, 0, 1, &lengthByte);
    fillInetSocketAddressArray(env, &addr, acceptedAddress, 1, encoded);
    return socketFd;
}

jint shutdown0(JNIEnv*, jclass, jint fd, jboolean read, jboolean write) {
    int how;
    if (read && write) {
        how = SHUT_RDWR;
    } else if (read) {
        how = SHUT_RD;
    } else if (write) {
        how = SHUT_WR;
    } else {
        return -EINVAL;
    }
    return shutdown(fd, how) < 0 ? -errno : 0;
}

jbyteArray remoteAddress(JNIEnv* env, jclass, jint fd) {
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) < 0) {
        return nullptr;
    }
    return ovrel_unix_socket_createInetSocketAddressArray(env, &addr);
}

jbyteArray localAddress(JNIEnv* env, jclass, jint fd) {
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) < 0) {
        return nullptr;
    }
    return ovrel_unix_socket_createInetSocketAddressArray(env, &addr);
}

// ---- Datagrams -------------------------------------------------------------

jint sendToCommon(JNIEnv* env, jint fd, jboolean ipv6, const char* base, jint pos, jint limit,
                  jbyteArray address, jint scopeId, jint port) {
    if (!ovrel_region_valid(base, pos, limit)) {
        return -EINVAL;
    }
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(struct sockaddr_in6));
    socklen_t len;
    int res = ovrel_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, &addr, &len);
    if (res != 0) {
        return res;
    }
    ssize_t sent;
    do {
        sent = sendto(fd, base + pos, static_cast<size_t>(limit - pos), 0,
                      reinterpret_cast<struct sockaddr*>(&addr), len);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -errno : static_cast<jint>(sent);
}

jint sendTo(JNIEnv* env, jclass, jint fd, jboolean ipv6, jobject buffer, jint pos, jint limit,
            jbyteArray address, jint scopeId, jint port) {
    if (!ovrel_region_within_capacity(env, buffer, limit)) {
        return -EINVAL;
    }
    return sendToCommon(env, fd, ipv6, static_cast<const char*>(env->GetDirectBufferAddress(buffer)),
                        pos, limit, address, scopeId, port);
}

jint sendToAddress(JNIEnv* env, jclass, jint fd, jboolean ipv6, jlong memoryAddress, jint pos,
                   jint limit, jbyteArray address, jint scopeId, jint port) {
    return sendToCommon(env, fd, ipv6,
                        reinterpret_cast<const char*>(static_cast<intptr_t>(memoryAddress)), pos,
                        limit, address, scopeId, port);
}

jint sendToAddresses(JNIEnv* env, jclass, jint fd, jboolean ipv6, jlong memoryAddress,
                     jint length, jbyteArray address, jint scopeId, jint port) {
    if (length < 0 || length > IOV_MAX) {
        return -EINVAL;
    }
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(struct sockaddr_in6));
    socklen_t len;
    int res = ovrel_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, &addr, &len);
    if (res != 0) {
        return res;
    }
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_name = &addr;
    msg.msg_namelen = len;
    msg.msg_iov = reinterpret_cast<struct iovec*>(static_cast<intptr_t>(memoryAddress));
    msg.msg_iovlen = length;
    ssize_t sent;
    do {
        sent = sendmsg(fd, &msg, 0);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -errno : static_cast<jint>(sent);
}

jobject newDatagramSocketAddress(JNIEnv* env, const struct sockaddr_storage* addr, int count,
                                 jobject local) {
    const int addressLength = ovrel_unix_socket_ipAddressLength(addr);
    jbyteArray bytes = env->NewByteArray(addressLength);
    if (bytes == nullptr) {
        return nullptr;
    }
    int port;
    int scopeId;
    if (addr->ss_family == AF_INET) {
        const struct sockaddr_in* s = reinterpret_cast<const struct sockaddr_in*>(addr);
        port = ntohs(s->sin_port);
        scopeId = 0;
        env->SetByteArrayRegion(bytes, 0, 4, reinterpret_cast<const jbyte*>(&s->sin_addr));
    } else {
        const struct sockaddr_in6* s = reinterpret_cast<const struct sockaddr_in6*>(addr);
        port = ntohs(s->sin6_port);
        scopeId = static_cast<int>(s->sin6_scope_id);
        const unsigned char* ip = s->sin6_addr.s6_addr;
        env->SetByteArrayRegion(bytes, 0, addressLength,
                                reinterpret_cast<const jbyte*>(addressLength == 4 ? ip + 12 : ip));
    }
    jobject result = env->NewObject(datagramSocketAddressClass, datagramSocketAddressConstructor,
                                    bytes, scopeId, port, count, local);
    // A constructor that threw may still have handed back its object.
    if (env->ExceptionCheck()) {
        return nullptr;
    }
    return result;
}

// The datagram's destination from an IP_ORIGDSTADDR control message, when the
// message holds a whole IPv4 socket address. A message cut short by a full
// control buffer is ignored rather than read as an address.
bool findDestination(struct msghdr* msg, struct sockaddr_storage* dst) {
    const char* end = static_cast<const char*>(msg->msg_control) + msg->msg_controllen;
    for (struct cmsghdr* cmsg = CMSG_FIRSTHDR(msg); cmsg != nullptr; cmsg = CMSG_NXTHDR(msg, cmsg)) {
        // A header claiming less than itself would make some CMSG_NXTHDR loop forever.
        if (cmsg->cmsg_len < CMSG_LEN(0) ||
            cmsg->cmsg_len > static_cast<size_t>(end - reinterpret_cast<const char*>(cmsg))) {
            return false;
        }
        if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_ORIGDSTADDR) {
            if (cmsg->cmsg_len < CMSG_LEN(sizeof(struct sockaddr_in))) {
                return false;
            }
            memset(dst, 0, sizeof(*dst));
            memcpy(dst, CMSG_DATA(cmsg), sizeof(struct sockaddr_in));
            return dst->ss_family == AF_INET;
        }
    }
    return false;
}

jobject recvFromCommon(JNIEnv* env, jint fd, char* base, jint pos, jint limit) {
    if (!ovrel_region_valid(base, pos, limit)) {
        ovrel_unix_errors_throwIOExceptionErrorNo(env, "recvfrom() failed: ", EINVAL);
        return nullptr;
    }
    int reportsDestination = 0;
    if (ovrel_unix_socket_getOption(env, fd, IPPROTO_IP, IP_RECVORIGDSTADDR, &reportsDestination,
                                    sizeof(reportsDestination)) < 0) {
        // Raised already; the datagram stays queued for the next call instead
        // of being read and dropped.
        return nullptr;
    }

    struct sockaddr_storage sender;
    memset(&sender, 0, sizeof(struct sockaddr_in6));
    union {
        struct cmsghdr align;
        char buf[64];
    } control;
    struct msghdr msg;
    struct iovec iov;
    ssize_t res;
    if (reportsDestination) {
        do {
            iov.iov_base = base + pos;
            iov.iov_len = static_cast<size_t>(limit - pos);
            memset(&msg, 0, sizeof(msg));
            msg.msg_name = &sender;
            msg.msg_namelen = sizeof(sender);
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control.buf;
            msg.msg_controllen = sizeof(control.buf);
            res = recvmsg(fd, &msg, 0);
        } while (res < 0 && errno == EINTR);
    } else {
        do {
            socklen_t senderLen = sizeof(sender);
            res = recvfrom(fd, base + pos, static_cast<size_t>(limit - pos), 0,
                           reinterpret_cast<struct sockaddr*>(&sender), &senderLen);
        } while (res < 0 && errno == EINTR);
    }

    if (res < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            return nullptr;
        }
        if (err == EBADF) {
            ovrel_unix_errors_throwClosedChannelException(env);
        } else if (err == ECONNREFUSED) {
            ovrel_unix_errors_throwPortUnreachableException(env, "recvfrom() failed");
        } else {
            ovrel_unix_errors_throwIOExceptionErrorNo(env, "recvfrom() failed: ", err);
        }
        return nullptr;
    }

    const int count = static_cast<int>(res);
    struct sockaddr_storage destination;
    if (reportsDestination && msg.msg_controllen >= sizeof(struct cmsghdr) &&
        findDestination(&msg, &destination)) {
        jobject local = newDatagramSocketAddress(env, &destination, count, nullptr);
        if (local == nullptr) {
            return nullptr;
        }
        return newDatagramSocketAddress(env, &sender, count, local);
    }
    return newDatagramSocketAddress(env, &sender, count, nullptr);
}

jobject recvFrom(JNIEnv* env, jclass, jint fd, jobject buffer, jint pos, jint limit) {
    char* base = !ovrel_region_within_capacity(env, buffer, limit)
                     ? nullptr
                     : static_cast<char*>(env->GetDirectBufferAddress(buffer));
    return recvFromCommon(env, fd, base, pos, limit);
}

jobject recvFromAddress(JNIEnv* env, jclass, jint fd, jlong address, jint pos, jint limit) {
    return recvFromCommon(env, fd, reinterpret_cast<char*>(static_cast<intptr_t>(address)), pos,
                          limit);
}

// ---- Unix-domain sockets ---------------------------------------------------

jint newSocketDomainFd(JNIEnv*, jclass) {
    int fd = ovrel_socket_nonblocking(AF_UNIX, SOCK_STREAM);
    return fd < 0 ? -errno : fd;
}

// Fills addr from the path bytes (cut to sun_path) and returns the number of
// path bytes used, or a negative errno. The bytes are copied straight into the
// address, so there is nothing to release afterwards.
int domainSocketAddress(JNIEnv* env, jbyteArray path, struct sockaddr_un* addr) {
    if (path == nullptr) {
        return -EINVAL;
    }
    jsize length = env->GetArrayLength(path);
    size_t n = static_cast<size_t>(length) < kSunPathSize ? static_cast<size_t>(length)
                                                            : kSunPathSize;
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    env->GetByteArrayRegion(path, 0, static_cast<jsize>(n), reinterpret_cast<jbyte*>(addr->sun_path));
    return static_cast<int>(n);
}

inline socklen_t domainSocketAddressLength(int pathLength) {
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + pathLength);
}

jint bindDomainSocket(JNIEnv* env, jclass, jint fd, jbyteArray path) {
    struct sockaddr_un addr;
    int n = domainSocketAddress(env, path, &addr);
    if (n < 0) {
        return n;
    }
    // sun_path may be full with no terminator; unlink gets a terminated copy
    // of exactly the bytes that bind will use.
    char name[sizeof(addr.sun_path) + 1];
    memcpy(name, addr.sun_path, n);
    name[n] = '\0';
    if (unlink(name) < 0 && errno != ENOENT) {
        return -errno;
    }
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), domainSocketAddressLength(n)) < 0) {
        return -errno;
    }
    return 0;
}

jint connectDomainSocket(JNIEnv* env, jclass, jint fd, jbyteArray path) {
    struct sockaddr_un addr;
    int n = domainSocketAddress(env, path, &addr);
    if (n < 0) {
        return n;
    }
    int res;
    do {
        res = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), domainSocketAddressLength(n));
    } while (res < 0 && errno == EINTR);
    return res < 0 ? -errno : 0;
}

union FdControl {
    struct cmsghdr align;
    char buf[CMSG_SPACE(sizeof(int))];
};

jint sendFd(JNIEnv*, jclass, jint socketFd, jint fd) {
    char data = 0;
    struct iovec iov;
    iov.iov_base = &data;
    iov.iov_len = 1;
    FdControl control;
    memset(&control, 0, sizeof(control));
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof(control.buf);
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    memcpy(CMSG_DATA(cmsg), &fd, sizeof(fd));
    ssize_t res;
    do {
        res = sendmsg(socketFd, &msg, 0);
    } while (res < 0 && errno == EINTR);
    return res < 0 ? -errno : static_cast<jint>(res);
}

// Closes every descriptor that arrived in the message's SCM_RIGHTS headers,
// from `first` on: a received descriptor not handed to Java must not stay open.
void closeReceivedFds(struct msghdr* msg, struct cmsghdr* first) {
    const char* end = static_cast<const char*>(msg->msg_control) + msg->msg_controllen;
    for (struct cmsghdr* cmsg = first; cmsg != nullptr; cmsg = CMSG_NXTHDR(msg, cmsg)) {
        const char* start = reinterpret_cast<const char*>(cmsg);
        if (cmsg->cmsg_len < CMSG_LEN(0) || start + CMSG_LEN(0) > end) {
            return;
        }
        // A header cut short by a full buffer claims more than arrived: only
        // what arrived is read, and the claimed length never enters pointer
        // arithmetic (a wild one would wrap around the address space).
        const size_t room = static_cast<size_t>(end - start);
        if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS) {
            const char* dataEnd = start + (cmsg->cmsg_len < room ? cmsg->cmsg_len : room);
            for (const char* data = reinterpret_cast<const char*>(CMSG_DATA(cmsg));
                 data + sizeof(int) <= dataEnd; data += sizeof(int)) {
                int received;
                memcpy(&received, data, sizeof(received));
                close(received);
            }
        }
        if (cmsg->cmsg_len >= room) {
            return;  // it reaches the end: no header follows
        }
    }
}

jint recvFd(JNIEnv*, jclass, jint socketFd) {
    for (;;) {
        char data;
        struct iovec iov;
        iov.iov_base = &data;
        iov.iov_len = 1;
        FdControl control;
        memset(&control, 0, sizeof(control));
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof(control.buf);

        ssize_t res;
        do {
            res = recvmsg(socketFd, &msg, 0);
        } while (res < 0 && errno == EINTR);
        if (res < 0) {
            return -errno;
        }
        if (res == 0) {
            return 0;
        }
        if (msg.msg_control == nullptr || msg.msg_controllen < sizeof(struct cmsghdr)) {
            // No system call failed, so no errno names this: a message without
            // a descriptor is reported as malformed.
            return -EBADMSG;
        }
        struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        if (cmsg->cmsg_len == CMSG_LEN(sizeof(int)) && msg.msg_controllen >= CMSG_LEN(sizeof(int)) &&
            cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS) {
            int fd;
            memcpy(&fd, CMSG_DATA(cmsg), sizeof(fd));
            closeReceivedFds(&msg, CMSG_NXTHDR(&msg, cmsg));
            // Keep the flags the sender set (O_APPEND...): the open file is shared.
            int flags = fcntl(fd, F_GETFL);
            if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
                int err = errno;
                close(fd);
                return -err;
            }
            return fd;
        }
        closeReceivedFds(&msg, cmsg);
    }
}

// ---- Options ---------------------------------------------------------------

void setIntOption(JNIEnv* env, jint fd, int level, int optname, jint value) {
    int optval = value;
    ovrel_unix_socket_setOption(env, fd, level, optname, &optval, sizeof(optval));
}

jint getIntOption(JNIEnv* env, jint fd, int level, int optname) {
    int optval = 0;
    if (ovrel_unix_socket_getOption(env, fd, level, optname, &optval, sizeof(optval)) < 0) {
        return -1;
    }
    return optval;
}

void setTcpNoDelay(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, IPPROTO_TCP, TCP_NODELAY, v);
}
void setReusePort(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, SOL_SOCKET, SO_REUSEPORT, v);
}
void setBroadcast(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, SOL_SOCKET, SO_BROADCAST, v);
}
void setReuseAddress(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, SOL_SOCKET, SO_REUSEADDR, v);
}
void setReceiveBufferSize(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, SOL_SOCKET, SO_RCVBUF, v);
}
void setSendBufferSize(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, SOL_SOCKET, SO_SNDBUF, v);
}
void setKeepAlive(JNIEnv* env, jclass, jint fd, jint v) {
    setIntOption(env, fd, SOL_SOCKET, SO_KEEPALIVE, v);
}

void setSoLinger(JNIEnv* env, jclass, jint fd, jint v) {
    struct linger l;
    l.l_onoff = v >= 0 ? 1 : 0;
    l.l_linger = v >= 0 ? v : 0;
    ovrel_unix_socket_setOption(env, fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

void setTrafficClass(JNIEnv* env, jclass, jint fd, jboolean ipv6, jint v) {
    if (ipv6) {
        setIntOption(env, fd, IPPROTO_IPV6, IPV6_TCLASS, v);
    } else {
        setIntOption(env, fd, IPPROTO_IP, IP_TOS, v);
    }
}

jint isKeepAlive(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_KEEPALIVE);
}
jint isTcpNoDelay(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, IPPROTO_TCP, TCP_NODELAY);
}
jint isBroadcast(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_BROADCAST);
}
jint isReuseAddress(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_REUSEADDR);
}
jint isReusePort(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_REUSEPORT);
}
jint getReceiveBufferSize(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_RCVBUF);
}
jint getSendBufferSize(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_SNDBUF);
}
jint getSoError(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_ERROR);
}

jint getSoLinger(JNIEnv* env, jclass, jint fd) {
    struct linger l;
    memset(&l, 0, sizeof(l));
    if (ovrel_unix_socket_getOption(env, fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l)) < 0) {
        return -1;
    }
    return l.l_onoff == 0 ? -1 : l.l_linger;
}

jint getTrafficClass(JNIEnv* env, jclass, jint fd, jboolean ipv6) {
    if (ipv6) {
        int optval = 0;
        if (ovrel_unix_socket_getOption0(fd, IPPROTO_IPV6, IPV6_TCLASS, &optval, sizeof(optval)) ==
            0) {
            return optval;
        }
        // An IPv4 socket has no IPv6 traffic class; its IP_TOS is the answer.
        if (errno != ENOPROTOOPT) {
            ovrel_unix_socket_getOptionHandleError(env, errno);
            return -1;
        }
    }
    return getIntOption(env, fd, IPPROTO_IP, IP_TOS);
}

// ---- Registration ----------------------------------------------------------

const JNINativeMethod fixed_method_table[] = {
    OVREL_NATIVE("shutdown", "(IZZ)I", shutdown0),
    OVREL_NATIVE("bind", "(IZ[BII)I", bind0),
    OVREL_NATIVE("listen", "(II)I", listen0),
    OVREL_NATIVE("connect", "(IZ[BII)I", connect0),
    OVREL_NATIVE("finishConnect", "(I)I", finishConnect),
    OVREL_NATIVE("disconnect", "(IZ)I", disconnect),
    OVREL_NATIVE("accept", "(I[B)I", accept0),
    OVREL_NATIVE("remoteAddress", "(I)[B", remoteAddress),
    OVREL_NATIVE("localAddress", "(I)[B", localAddress),
    OVREL_NATIVE("newSocketDgramFd", "(Z)I", newSocketDgramFd),
    OVREL_NATIVE("newSocketStreamFd", "(Z)I", newSocketStreamFd),
    OVREL_NATIVE("newSocketDomainFd", "()I", newSocketDomainFd),
    OVREL_NATIVE("sendTo", "(IZLjava/nio/ByteBuffer;II[BII)I", sendTo),
    OVREL_NATIVE("sendToAddress", "(IZJII[BII)I", sendToAddress),
    OVREL_NATIVE("sendToAddresses", "(IZJI[BII)I", sendToAddresses),
    OVREL_NATIVE("recvFd", "(I)I", recvFd),
    OVREL_NATIVE("sendFd", "(II)I", sendFd),
    OVREL_NATIVE("bindDomainSocket", "(I[B)I", bindDomainSocket),
    OVREL_NATIVE("connectDomainSocket", "(I[B)I", connectDomainSocket),
    OVREL_NATIVE("setTcpNoDelay", "(II)V", setTcpNoDelay),
    OVREL_NATIVE("setReusePort", "(II)V", setReusePort),
    OVREL_NATIVE("setBroadcast", "(II)V", setBroadcast),
    OVREL_NATIVE("setReuseAddress", "(II)V", setReuseAddress),
    OVREL_NATIVE("setReceiveBufferSize", "(II)V", setReceiveBufferSize),
    OVREL_NATIVE("setSendBufferSize", "(II)V", setSendBufferSize),
    OVREL_NATIVE("setKeepAlive", "(II)V", setKeepAlive),
    OVREL_NATIVE("setSoLinger", "(II)V", setSoLinger),
    OVREL_NATIVE("setTrafficClass", "(IZI)V", setTrafficClass),
    OVREL_NATIVE("isKeepAlive", "(I)I", isKeepAlive),
    OVREL_NATIVE("isTcpNoDelay", "(I)I", isTcpNoDelay),
    OVREL_NATIVE("isBroadcast", "(I)I", isBroadcast),
    OVREL_NATIVE("isReuseAddress", "(I)I", isReuseAddress),
    OVREL_NATIVE("isReusePort", "(I)I", isReusePort),
    OVREL_NATIVE("getReceiveBufferSize", "(I)I", getReceiveBufferSize),
    OVREL_NATIVE("getSendBufferSize", "(I)I", getSendBufferSize),
    OVREL_NATIVE("getSoLinger", "(I)I", getSoLinger),
    OVREL_NATIVE("getTrafficClass", "(IZ)I", getTrafficClass),
    OVREL_NATIVE("getSoError", "(I)I", getSoError),
    OVREL_NATIVE("initialize", "(Z)V", initialize),
    OVREL_NATIVE("isIPv6Preferred", "()Z", isIPv6Preferred),
    OVREL_NATIVE("isIPv6", "(I)Z", isIPv6),
};
const jint kFixedMethods = OVREL_ARRAY_SIZE(fixed_method_table);
const jint kAllMethods = kFixedMethods + 2;
static_assert(sizeof(fixed_method_table) / sizeof(fixed_method_table[0]) == 41,
              "Socket's fixed natives");

const char kDatagramSocketAddress[] = "io/ovrel/channel/unix/DatagramSocketAddress";
const char kDatagramSocketAddressClassPart[] = "io/ovrel/channel/unix/DatagramSocketAddress;";

// The two trailing entries whose return type carries the package prefix.
const ovrel_util_dynamic_method dynamic_methods[] = {
    {"recvFrom", "(ILjava/nio/ByteBuffer;II)L", kDatagramSocketAddressClassPart,
     reinterpret_cast<void*>(recvFrom)},
    {"recvFromAddress", "(IJII)L", kDatagramSocketAddressClassPart,
     reinterpret_cast<void*>(recvFromAddress)},
};

void releaseClasses(JNIEnv* env) {
    ovrel_util_delete_global_class(env, &datagramSocketAddressClass);
    ovrel_util_delete_global_class(env, &inetSocketAddressClass);
}

// Everything the natives look up once: classes, constructors, and proof that
// the JVM gives native access to direct buffers.
bool cacheLookups(JNIEnv* env, const char* packagePrefix) {
    char* className = ovrel_unix_util_prepend(packagePrefix, kDatagramSocketAddress);
    if (className == nullptr) {
        return false;
    }
    datagramSocketAddressClass = ovrel_util_new_global_class(env, className);
    if (datagramSocketAddressClass == nullptr) {
        ovrel_unix_util_free_dynamic_name(&className);
        return false;
    }
    char constructorSignature[1024];
    memset(constructorSignature, 0, sizeof(constructorSignature));
    int written = snprintf(constructorSignature, sizeof(constructorSignature), "([BIIIL%s;)V",
                           className);
    ovrel_unix_util_free_dynamic_name(&className);
    if (written < 0 || static_cast<size_t>(written) >= sizeof(constructorSignature)) {
        return false;
    }
    datagramSocketAddressConstructor =
        env->GetMethodID(datagramSocketAddressClass, "<init>", constructorSignature);
    if (datagramSocketAddressConstructor == nullptr) {
        return false;
    }

    inetSocketAddressClass = ovrel_util_new_global_class(env, "java/net/InetSocketAddress");
    if (inetSocketAddressClass == nullptr) {
        return false;
    }
    inetSocketAddressConstructor =
        env->GetMethodID(inetSocketAddressClass, "<init>", "(Ljava/lang/String;I)V");
    if (inetSocketAddressConstructor == nullptr) {
        return false;
    }

    void* mem = malloc(1);
    if (mem == nullptr) {
        return false;
    }
    bool direct = false;
    jobject probe = env->NewDirectByteBuffer(mem, 1);
    if (probe != nullptr) {
        direct = env->GetDirectBufferAddress(probe) != nullptr;
        env->DeleteLocalRef(probe);
    }
    free(mem);
    return direct;
}

}  // namespace

// ---- Exported --------------------------------------------------------------

int ovrel_unix_socket_ipAddressLength(const struct sockaddr_storage* addr) {
    if (addr->ss_family == AF_INET) {
        return 4;
    }
    const struct sockaddr_in6* s = reinterpret_cast<const struct sockaddr_in6*>(addr);
    return isIPv4Mapped(s->sin6_addr.s6_addr) ? 4 : 16;
}

jbyteArray ovrel_unix_socket_createInetSocketAddressArray(JNIEnv* env,
                                                          const struct sockaddr_storage* addr) {
    const int len = encodingLength(addr);
    jbyteArray array = env->NewByteArray(len);
    if (array == nullptr) {
        return nullptr;
    }
    fillInetSocketAddressArray(env, addr, array, 0, len);
    return array;
}

int ovrel_unix_socket_initSockaddr(JNIEnv* env, jboolean ipv6, jbyteArray address, jint scopeId,
                                   jint jport, struct sockaddr_storage* addr,
                                   socklen_t* addrSize) {
    if (address == nullptr) {
        return -EINVAL;
    }
    const jsize length = env->GetArrayLength(address);
    if (length > 16) {
        return -1;
    }
    // A shorter array leaves the rest zero rather than stack leftovers.
    unsigned char copy[16] = {0};
    env->GetByteArrayRegion(address, 0, length, reinterpret_cast<jbyte*>(copy));
    const uint16_t port = htons(static_cast<uint16_t>(jport & 0xffff));

    if (ipv6 == JNI_TRUE) {
        struct sockaddr_in6* s = reinterpret_cast<struct sockaddr_in6*>(addr);
        *addrSize = sizeof(struct sockaddr_in6);
        s->sin6_family = AF_INET6;
        s->sin6_port = port;
        s->sin6_flowinfo = 0;
        s->sin6_scope_id = static_cast<uint32_t>(scopeId);
        if (memcmp(copy, kIPv6Any, sizeof(copy)) == 0 ||
            memcmp(copy, kIPv4MappedAny, sizeof(copy)) == 0) {
            s->sin6_addr = in6addr_any;
        } else {
            memcpy(s->sin6_addr.s6_addr, copy, sizeof(copy));
        }
    } else {
        struct sockaddr_in* s = reinterpret_cast<struct sockaddr_in*>(addr);
        *addrSize = sizeof(struct sockaddr_in);
        s->sin_family = AF_INET;
        s->sin_port = port;
        memcpy(&s->sin_addr, copy + 12, 4);
    }
    return 0;
}

int ovrel_unix_socket_setOption(JNIEnv* env, jint fd, int level, int optname, const void* optval,
                                socklen_t len) {
    int res = ovrel_bsd_setsockopt(fd, level, optname, optval, len);
    if (res < 0) {
        reportOptionError(env, errno, kSetOptionFailed);
    }
    return res;
}

int ovrel_unix_socket_getOption(JNIEnv* env, jint fd, int level, int optname, void* optval,
                                socklen_t optlen) {
    socklen_t len = optlen;
    int res = ovrel_bsd_getsockopt(fd, level, optname, optval, &len);
    if (res < 0) {
        reportOptionError(env, errno, kGetOptionFailed);
    }
    return res;
}

int ovrel_unix_socket_getOption0(jint fd, int level, int optname, void* optval, socklen_t optlen) {
    socklen_t len = optlen;
    return ovrel_bsd_getsockopt(fd, level, optname, optval, &len);
}

void ovrel_unix_socket_getOptionHandleError(JNIEnv* env, int err) {
    reportOptionError(env, err, kGetOptionFailed);
}

jint ovrel_unix_socket_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    JNINativeMethod* table = ovrel_util_new_dynamic_methods_table(
        fixed_method_table, kFixedMethods, dynamic_methods, OVREL_ARRAY_SIZE(dynamic_methods),
        packagePrefix);
    if (table == nullptr) {
        return JNI_ERR;
    }
    jint result = JNI_ERR;
    if (ovrel_unix_util_register_natives(env, packagePrefix, "io/ovrel/channel/unix/Socket", table,
                                         kAllMethods) == 0) {
        if (cacheLookups(env, packagePrefix)) {
            result = JNI_VERSION_1_6;
        } else {
            // The library's rollback skips the unload of a module whose own
            // load failed, so nothing else would delete these references.
            releaseClasses(env);
        }
    }
    ovrel_unix_util_free_dynamic_methods_table(table, kFixedMethods, kAllMethods);
    return result;
}

void ovrel_unix_socket_JNI_OnUnLoad(JNIEnv* env) { releaseClasses(env); }
