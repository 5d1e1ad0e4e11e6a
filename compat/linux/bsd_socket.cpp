// Linux stand-ins for the BSD-only socket interfaces (see bsd_socket.h for the
// mapping of each). Compiled only where Linux provides what they stand on.
#if defined(__linux__)

#include "compat/linux/bsd_socket.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Linux moves at most this much in one sendfile(2) call.
constexpr size_t kMaxSendfileChunk = 0x7ffff000;

// How long TCP_DEFER_ACCEPT holds a connection that sends nothing. The BSD
// filters hold it until data comes; Linux insists on a bound, so it is long.
constexpr int kDeferAcceptSeconds = 60;

// Listening sockets with an accept filter at once. A full table fails the
// install with ENOMEM, as a failed allocation does on FreeBSD.
constexpr int kMaxAcceptFilters = 128;

const char* const kKnownFilters[] = {"dataready", "httpready"};

// ---- sendfile ---------------------------------------------------------------

// Writes every byte of iov, one element at a time so that a partial write
// never needs a modified copy of the caller's array. On failure *sent holds
// what went before it.
int writeAll(int s, const struct iovec* iov, int count, off_t* sent) {
    for (int i = 0; i < count; ++i) {
        const char* base = static_cast<const char*>(iov[i].iov_base);
        size_t left = iov[i].iov_len;
        while (left > 0) {
            ssize_t n = write(s, base, left);
            if (n < 0) {
                return -1;
            }
            base += n;
            left -= static_cast<size_t>(n);
            *sent += n;
        }
    }
    return 0;
}

bool badVector(const struct iovec* iov, int count) {
    return count < 0 || (count > 0 && iov == nullptr);
}

// Linux's tcp answers EPIPE for a stream socket that was never connected;
// FreeBSD tells that case apart as ENOTCONN.
void reportSendFailure(int s) {
    if (errno == EPIPE) {
        struct sockaddr_storage peer;
        socklen_t len = sizeof(peer);
        if (getpeername(s, reinterpret_cast<struct sockaddr*>(&peer), &len) < 0 &&
            errno == ENOTCONN) {
            return;
        }
        errno = EPIPE;
    }
}

int sendFileBody(int fd, int s, off_t offset, size_t nbytes, const struct sf_hdtr* hdtr,
                 off_t* sent) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (hdtr != nullptr &&
        (badVector(hdtr->headers, hdtr->hdr_cnt) || badVector(hdtr->trailers, hdtr->trl_cnt))) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    // Linux would also copy into pipes and files; BSD sends to stream sockets only.
    int type = 0;
    socklen_t typeLen = sizeof(type);
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &typeLen) < 0) {
        return -1;
    }
    if (type != SOCK_STREAM) {
        errno = EINVAL;
        return -1;
    }

    if (hdtr != nullptr && writeAll(s, hdtr->headers, hdtr->hdr_cnt, sent) < 0) {
        return -1;
    }

    // "To the end of the file" is fixed when the call starts, so that a file
    // that keeps growing cannot keep the call going.
    size_t left = nbytes;
    if (nbytes == 0) {
        left = offset < st.st_size ? static_cast<size_t>(st.st_size - offset) : 0;
    }
    off_t position = offset;
    while (left > 0) {
        off_t at = position;
        ssize_t n = ::sendfile(s, fd, &at, left < kMaxSendfileChunk ? left : kMaxSendfileChunk);
        if (n < 0) {
            reportSendFailure(s);
            return -1;
        }
        if (n == 0) {
            break;  // end of file: BSD reports success with what was sent
        }
        position += n;
        left -= static_cast<size_t>(n);
        *sent += n;
    }

    if (hdtr != nullptr && writeAll(s, hdtr->trailers, hdtr->trl_cnt, sent) < 0) {
        return -1;
    }
    return 0;
}

// ---- SO_ACCEPTFILTER --------------------------------------------------------

// The filter belongs to the socket, not to one descriptor of it: entries are
// keyed by the socket's inode. fd is only a hint for finding entries whose
// socket is gone.
struct AcceptFilter {
    bool used;
    dev_t dev;
    ino_t ino;
    int fd;
    struct accept_filter_arg arg;
};

AcceptFilter acceptFilters[kMaxAcceptFilters];
pthread_mutex_t acceptFiltersLock = PTHREAD_MUTEX_INITIALIZER;

struct SocketId {
    dev_t dev;
    ino_t ino;
};

bool sameSocket(const AcceptFilter& entry, const SocketId& id) {
    return entry.used && entry.dev == id.dev && entry.ino == id.ino;
}

// The socket's identity, after checking that it is a listening socket (BSD
// accepts filters on listening sockets only, for setting and reading alike).
int listeningSocketId(int s, SocketId* id) {
    int listening = 0;
    socklen_t len = sizeof(listening);
    if (getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) < 0) {
        return -1;
    }
    if (!listening) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (fstat(s, &st) < 0) {
        return -1;
    }
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    return 0;
}

// Callers hold acceptFiltersLock.
AcceptFilter* findFilter(const SocketId& id) {
    for (AcceptFilter& entry : acceptFilters) {
        if (sameSocket(entry, id)) {
            return &entry;
        }
    }
    return nullptr;
}

bool entryIsStale(const AcceptFilter& entry) {
    struct stat st;
    return fstat(entry.fd, &st) < 0 || st.st_dev != entry.dev || st.st_ino != entry.ino;
}

// Callers hold acceptFiltersLock. Reuses the entries of closed sockets only
// when the table is full, so that the common case makes no extra system call.
AcceptFilter* freeFilter() {
    for (AcceptFilter& entry : acceptFilters) {
        if (!entry.used) {
            return &entry;
        }
    }
    for (AcceptFilter& entry : acceptFilters) {
        if (entryIsStale(entry)) {
            entry.used = false;
            return &entry;
        }
    }
    return nullptr;
}

bool knownFilter(const char* name) {
    size_t length = strnlen(name, sizeof(((struct accept_filter_arg*)nullptr)->af_name));
    for (const char* known : kKnownFilters) {
        if (length == strlen(known) && memcmp(name, known, length) == 0) {
            return true;
        }
    }
    return false;
}

int setDeferAccept(int s, int seconds) {
    return setsockopt(s, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof(seconds));
}

int removeAcceptFilter(int s, const SocketId& id) {
    pthread_mutex_lock(&acceptFiltersLock);
    int result = 0;
    AcceptFilter* entry = findFilter(id);
    if (entry != nullptr) {
        result = setDeferAccept(s, 0);
        if (result == 0) {
            entry->used = false;
        }
    }
    int saved = errno;
    pthread_mutex_unlock(&acceptFiltersLock);
    errno = saved;
    return result;
}

int setAcceptFilter(int s, const void* optval, socklen_t optlen) {
    SocketId id;
    if (listeningSocketId(s, &id) < 0) {
        return -1;
    }
    const struct accept_filter_arg* requested = static_cast<const struct accept_filter_arg*>(optval);
    if (requested == nullptr || requested->af_name[0] == '\0') {
        return removeAcceptFilter(s, id);
    }
    if (optlen < sizeof(struct accept_filter_arg)) {
        errno = EINVAL;
        return -1;
    }
    if (!knownFilter(requested->af_name)) {
        errno = ENOENT;
        return -1;
    }

    pthread_mutex_lock(&acceptFiltersLock);
    int result = -1;
    AcceptFilter* entry = findFilter(id);
    if (entry == nullptr) {
        entry = freeFilter();
    }
    if (entry == nullptr) {
        errno = ENOMEM;
    } else if (setDeferAccept(s, kDeferAcceptSeconds) == 0) {
        entry->used = true;
        entry->dev = id.dev;
        entry->ino = id.ino;
        entry->fd = s;
        memcpy(&entry->arg, requested, sizeof(entry->arg));
        result = 0;
    }
    int saved = errno;
    pthread_mutex_unlock(&acceptFiltersLock);
    errno = saved;
    return result;
}

int getAcceptFilter(int s, void* optval, socklen_t* optlen) {
    if (optval == nullptr || optlen == nullptr) {
        errno = EFAULT;
        return -1;
    }
    SocketId id;
    if (listeningSocketId(s, &id) < 0) {
        return -1;
    }
    struct accept_filter_arg installed;
    pthread_mutex_lock(&acceptFiltersLock);
    AcceptFilter* entry = findFilter(id);
    if (entry != nullptr) {
        installed = entry->arg;
    }
    pthread_mutex_unlock(&acceptFiltersLock);
    if (entry == nullptr) {
        errno = EINVAL;  // what BSD answers for a listening socket without a filter
        return -1;
    }
    size_t length = *optlen < sizeof(installed) ? *optlen : sizeof(installed);
    memcpy(optval, &installed, length);
    *optlen = static_cast<socklen_t>(length);
    return 0;
}

// ---- LOCAL_PEERCRED ---------------------------------------------------------

// Only Unix-domain sockets have a local peer; at this level anything else
// knows no such option.
int requireUnixSocket(int s) {
    int domain = 0;
    socklen_t len = sizeof(domain);
    if (getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &len) < 0) {
        return -1;
    }
    if (domain != AF_UNIX) {
        errno = ENOPROTOOPT;
        return -1;
    }
    return 0;
}

// Appends the peer's supplementary groups after the effective group, skipping
// that one, up to the record's 16 entries. A kernel without SO_PEERGROUPS
// leaves the effective group alone.
int addPeerGroups(int s, struct xucred* cred) {
    gid_t onStack[64];
    gid_t* groups = onStack;
    socklen_t len = sizeof(onStack);
    int rc = getsockopt(s, SOL_SOCKET, SO_PEERGROUPS, groups, &len);
    if (rc < 0 && errno == ERANGE) {
        // len now holds the size the kernel needs; the peer's groups were fixed
        // when it connected, so one retry is enough.
        groups = static_cast<gid_t*>(malloc(len));
        if (groups == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        rc = getsockopt(s, SOL_SOCKET, SO_PEERGROUPS, groups, &len);
    }
    int saved = errno;
    if (rc == 0) {
        size_t count = len / sizeof(gid_t);
        for (size_t i = 0; i < count && cred->cr_ngroups < XU_NGROUPS; ++i) {
            if (groups[i] != cred->cr_groups[0]) {
                cred->cr_groups[cred->cr_ngroups++] = groups[i];
            }
        }
    }
    if (groups != onStack) {
        free(groups);
    }
    if (rc < 0 && saved != ENOPROTOOPT) {
        errno = saved;
        return -1;
    }
    return 0;
}

int getPeerCredentials(int s, void* optval, socklen_t* optlen) {
    if (optval == nullptr || optlen == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (requireUnixSocket(s) < 0) {
        return -1;
    }
    struct ucred peer;
    socklen_t len = sizeof(peer);
    if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &len) < 0) {
        return -1;
    }
    // Linux answers an unconnected socket with "nobody" credentials; BSD
    // refuses, as it has no peer to describe.
    struct sockaddr_un address;
    socklen_t addressLen = sizeof(address);
    if (getpeername(s, reinterpret_cast<struct sockaddr*>(&address), &addressLen) < 0) {
        return -1;
    }

    struct xucred cred;
    memset(&cred, 0, sizeof(cred));
    cred.cr_version = XUCRED_VERSION;
    cred.cr_uid = peer.uid;
    cred.cr_pid = peer.pid;
    cred.cr_groups[0] = peer.gid;
    cred.cr_ngroups = 1;
    if (addPeerGroups(s, &cred) < 0) {
        return -1;
    }
    size_t length = *optlen < sizeof(cred) ? *optlen : sizeof(cred);
    memcpy(optval, &cred, length);
    *optlen = static_cast<socklen_t>(length);
    return 0;
}

}  // namespace

extern "C" int ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes,
                                  struct sf_hdtr* hdtr, off_t* sbytes, int flags) {
    // flags (SF_NODISKIO, readahead) only tune FreeBSD's VM; Linux has nothing
    // to apply them to.
    off_t sent = 0;
    int result = sendFileBody(fd, s, offset, nbytes, hdtr, &sent);
    int saved = errno;
    if (sbytes != nullptr) {
        *sbytes = sent;
    }
    errno = saved;
    return result;
}

extern "C" int ovrel_bsd_getsockopt(int s, int level, int optname, void* optval,
                                    socklen_t* optlen) {
    if (level == SOL_SOCKET && optname == SO_ACCEPTFILTER) {
        return getAcceptFilter(s, optval, optlen);
    }
    if (level == SOL_LOCAL && optname == LOCAL_PEERCRED) {
        return getPeerCredentials(s, optval, optlen);
    }
    return getsockopt(s, level, optname, optval, optlen);
}

extern "C" int ovrel_bsd_setsockopt(int s, int level, int optname, const void* optval,
                                    socklen_t optlen) {
    if (level == SOL_SOCKET && optname == SO_ACCEPTFILTER) {
        return setAcceptFilter(s, optval, optlen);
    }
    return setsockopt(s, level, optname, optval, optlen);
}

#endif
