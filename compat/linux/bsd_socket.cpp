// Linux stand-ins for the BSD-only socket interfaces (see bsd_socket.h for the
// mapping of each). Compiled only where Linux provides what they stand on.
#if defined(__linux__)

#include "compat/linux/bsd_socket.h"

#include <dirent.h>
#include <errno.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <stdint.h>
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

// Whether a TCP socket ever had a connection. Linux keeps the connection's
// round-trip estimate after a reset or close; a socket that never connected
// has none.
bool everConnected(int s) {
    struct tcp_info info;
    memset(&info, 0, sizeof(info));
    socklen_t len = sizeof(info);
    return getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
           len >= offsetof(struct tcp_info, tcpi_rtt) + sizeof(info.tcpi_rtt) && info.tcpi_rtt != 0;
}

// Linux's tcp answers EPIPE for a stream socket that was never connected as
// for one whose connection is gone; BSD keeps EPIPE for the second ("the peer
// has closed the connection") and says ENOTCONN for the first.
void reportSendFailure(int s) {
    if (errno != EPIPE) {
        return;
    }
    struct sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    if (getpeername(s, reinterpret_cast<struct sockaddr*>(&peer), &len) == 0 ||
        errno != ENOTCONN) {
        errno = EPIPE;
        return;
    }
    int protocol = 0;
    len = sizeof(protocol);
    bool tcp = getsockopt(s, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 &&
               protocol == IPPROTO_TCP;
    errno = tcp && everConnected(s) ? EPIPE : ENOTCONN;
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
    // An offset at or past the end sends nothing and succeeds, as on BSD;
    // Linux would refuse offsets beyond its largest file size or near the
    // top of off_t.
    size_t rest = offset < st.st_size ? static_cast<size_t>(st.st_size - offset) : 0;
    size_t left = nbytes == 0 || rest == 0 ? rest : nbytes;
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

// The filter belongs to the socket, not to one descriptor of it, as on BSD:
// a dup sees it, and a new socket that gets a closed one's number does not.
// Entries are keyed by the socket's cookie, which Linux never hands out twice
// while it runs, together with its inode; kernels without cookies have the
// inode alone, which is unique while the socket lives. Only the name is kept:
// neither filter keeps its argument, so BSD reads it back empty.
struct SocketId {
    uint64_t cookie;  // 0 where the kernel has no SO_COOKIE
    dev_t dev;
    ino_t ino;
};

struct AcceptFilter {
    SocketId id;
    int fd;  // where the socket was last seen; a hint only, the number may be reused
    char name[sizeof(((struct accept_filter_arg*)nullptr)->af_name)];
};

// A growing array under one lock: filters are installed and read rarely, and
// a lookup is a scan. Entries of closed sockets are dropped by a sweep once the
// array has doubled since the last one, so it never holds more than about twice
// the filtered sockets alive (plus a few) and each install costs O(1) checks
// on average.
struct AcceptFilters {
    AcceptFilter* entries;
    size_t count;
    size_t capacity;
    size_t sweepAt;
};

constexpr size_t kFirstSweep = 16;

AcceptFilters acceptFilters = {nullptr, 0, 0, kFirstSweep};
pthread_mutex_t acceptFiltersLock = PTHREAD_MUTEX_INITIALIZER;

// The table dies with the library: dlclose must not leave it behind.
__attribute__((destructor)) void releaseAcceptFilters() {
    free(acceptFilters.entries);
    acceptFilters.entries = nullptr;
    acceptFilters.count = acceptFilters.capacity = 0;
}

bool sameSocket(const SocketId& a, const SocketId& b) {
    return a.cookie == b.cookie && a.dev == b.dev && a.ino == b.ino;
}

// The identity of the socket behind fd; -1 with errno for anything else.
int socketId(int fd, SocketId* id) {
    struct stat st;
    if (fstat(fd, &st) < 0) {
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) {
        errno = ENOTSOCK;
        return -1;
    }
    uint64_t cookie = 0;
    socklen_t len = sizeof(cookie);
    if (getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &len) < 0) {
        cookie = 0;
    }
    id->cookie = cookie;
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    return 0;
}

// The socket's identity, after checking that it listens (BSD accepts filters on
// listening sockets only, for setting and reading alike). Any listening socket
// qualifies, whatever its family.
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
    return socketId(s, id);
}

bool seenAt(const AcceptFilter& entry, int fd) {
    SocketId id;
    return socketId(fd, &id) == 0 && sameSocket(id, entry.id);
}

// Whether some descriptor of this process still holds the entry's socket; the
// hint is tried first, then every open descriptor. Without /proc nothing can
// be proven gone, so the entry stays.
bool stillOpen(AcceptFilter* entry) {
    if (seenAt(*entry, entry->fd)) {
        return true;
    }
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return true;
    }
    int own = dirfd(dir);
    bool found = false;
    while (struct dirent* d = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(d->d_name, &end, 10);
        if (end == d->d_name || *end != '\0' || fd == own) {
            continue;
        }
        if (seenAt(*entry, static_cast<int>(fd))) {
            entry->fd = static_cast<int>(fd);
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Callers hold acceptFiltersLock.
void sweepClosedSockets() {
    size_t kept = 0;
    for (size_t i = 0; i < acceptFilters.count; ++i) {
        if (stillOpen(&acceptFilters.entries[i])) {
            acceptFilters.entries[kept++] = acceptFilters.entries[i];
        }
    }
    acceptFilters.count = kept;
    acceptFilters.sweepAt = kept * 2 > kFirstSweep ? kept * 2 : kFirstSweep;
}

// Callers hold acceptFiltersLock.
AcceptFilter* findFilter(const SocketId& id) {
    for (size_t i = 0; i < acceptFilters.count; ++i) {
        if (sameSocket(acceptFilters.entries[i].id, id)) {
            return &acceptFilters.entries[i];
        }
    }
    return nullptr;
}

// Callers hold acceptFiltersLock. ENOMEM only when memory runs out, as a failed
// allocation does on BSD.
AcceptFilter* addFilter() {
    if (acceptFilters.count >= acceptFilters.sweepAt) {
        sweepClosedSockets();
    }
    if (acceptFilters.count == acceptFilters.capacity) {
        size_t capacity = acceptFilters.capacity == 0 ? kFirstSweep : acceptFilters.capacity * 2;
        void* grown = realloc(acceptFilters.entries, capacity * sizeof(AcceptFilter));
        if (grown == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
        acceptFilters.entries = static_cast<AcceptFilter*>(grown);
        acceptFilters.capacity = capacity;
    }
    return &acceptFilters.entries[acceptFilters.count++];
}

// Callers hold acceptFiltersLock.
void dropFilter(AcceptFilter* entry) {
    *entry = acceptFilters.entries[--acceptFilters.count];
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

// TCP_DEFER_ACCEPT is the only deferral Linux has, and only TCP has it. Other
// listeners (Unix-domain ones) keep the filter as a record that reads back,
// and hand over connections at once.
int setDeferAccept(int s, int seconds) {
    int protocol = 0;
    socklen_t len = sizeof(protocol);
    if (getsockopt(s, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) < 0) {
        return -1;
    }
    if (protocol != IPPROTO_TCP) {
        return 0;
    }
    return setsockopt(s, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof(seconds));
}

int unlocked(int result) {
    int saved = errno;
    pthread_mutex_unlock(&acceptFiltersLock);
    errno = saved;
    return result;
}

// A null record removes the filter; removing none is no failure.
int removeAcceptFilter(int s, const SocketId& id) {
    pthread_mutex_lock(&acceptFiltersLock);
    AcceptFilter* entry = findFilter(id);
    if (entry == nullptr) {
        return unlocked(0);
    }
    if (setDeferAccept(s, 0) < 0) {
        return unlocked(-1);
    }
    dropFilter(entry);
    return unlocked(0);
}

int setAcceptFilter(int s, const void* optval, socklen_t optlen) {
    SocketId id;
    if (listeningSocketId(s, &id) < 0) {
        return -1;
    }
    if (optval == nullptr) {
        return removeAcceptFilter(s, id);
    }
    if (optlen < sizeof(struct accept_filter_arg)) {
        errno = EINVAL;
        return -1;
    }
    // A record is looked up by its name, an empty one included.
    const struct accept_filter_arg* requested = static_cast<const struct accept_filter_arg*>(optval);
    if (!knownFilter(requested->af_name)) {
        errno = ENOENT;
        return -1;
    }

    pthread_mutex_lock(&acceptFiltersLock);
    if (findFilter(id) != nullptr) {
        errno = EINVAL;  // BSD installs over no filter: it must be removed first
        return unlocked(-1);
    }
    AcceptFilter* entry = addFilter();
    if (entry == nullptr) {
        return unlocked(-1);
    }
    if (setDeferAccept(s, kDeferAcceptSeconds) < 0) {
        --acceptFilters.count;  // the slot addFilter just handed out
        return unlocked(-1);
    }
    entry->id = id;
    entry->fd = s;
    memcpy(entry->name, requested->af_name, sizeof(entry->name));
    return unlocked(0);
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
    memset(&installed, 0, sizeof(installed));
    pthread_mutex_lock(&acceptFiltersLock);
    AcceptFilter* entry = findFilter(id);
    if (entry != nullptr) {
        memcpy(installed.af_name, entry->name, sizeof(installed.af_name));
        entry->fd = s;
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

// The socket's family; -1 with errno when it has none.
int socketDomain(int s) {
    int domain = 0;
    socklen_t len = sizeof(domain);
    if (getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &len) < 0) {
        return -1;
    }
    return domain;
}

// Appends the peer's supplementary groups after the effective group as Linux
// lists them, one the same as the effective group included (BSD copies the
// list unchanged), up to the record's 16 entries. A kernel without SO_PEERGROUPS
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
            cred->cr_groups[cred->cr_ngroups++] = groups[i];
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
    // Only Unix-domain sockets have a local peer. BSD's level 0 is the IP
    // level of an IPv4 socket, where option 1 (IP_OPTIONS) succeeds with the
    // socket's IP options: none, 0 bytes. Answering the same here lets callers
    // meet that answer on Linux too; other families refuse the option.
    int domain = socketDomain(s);
    if (domain < 0) {
        return -1;
    }
    if (domain == AF_INET) {
        *optlen = 0;
        return 0;
    }
    if (domain != AF_UNIX) {
        errno = EINVAL;
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

extern "C" size_t ovrel_bsd_accept_filter_entries(void) {
    pthread_mutex_lock(&acceptFiltersLock);
    size_t count = acceptFilters.count;
    pthread_mutex_unlock(&acceptFiltersLock);
    return count;
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
