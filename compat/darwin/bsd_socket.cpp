#include "compat/darwin/bsd_socket.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

namespace {

// 0 when s is a socket; otherwise -1 with the errno any option call on it
// would give (EBADF, ENOTSOCK).
int requireSocket(int s) {
    int type = 0;
    socklen_t length = sizeof(type);
    return getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &length);
}

int refuse(int s) {
    if (requireSocket(s) < 0) {
        return -1;
    }
    errno = ENOPROTOOPT;
    return -1;
}

int systemOption(int level, int optname) {
    return level == SOL_SOCKET && optname == SO_LINGER ? SO_LINGER_SEC : optname;
}

}  // namespace

extern "C" int ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes,
                                  struct sf_hdtr* hdtr, off_t* sbytes, int flags) {
    if (sbytes != nullptr) {
        *sbytes = 0;
    }
    if (nbytes > static_cast<size_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    off_t length = static_cast<off_t>(nbytes);
    int result = sendfile(fd, s, offset, &length, hdtr, flags);
    // The count is trusted where FreeBSD and macOS both document it: success,
    // and the partial transfers cut short by EAGAIN or EINTR. After any other
    // failure nothing is counted, rather than a length macOS may have left
    // as it was passed in.
    if (sbytes != nullptr && (result == 0 || errno == EAGAIN || errno == EINTR)) {
        *sbytes = length;
    }
    return result;
}

extern "C" int ovrel_bsd_getsockopt(int s, int level, int optname, void* optval,
                                    socklen_t* optlen) {
    if (level == SOL_SOCKET && optname == SO_ACCEPTFILTER) {
        return refuse(s);
    }
    if (level == IPPROTO_IP && optname == IP_RECVORIGDSTADDR) {
        if (requireSocket(s) < 0) {
            return -1;
        }
        if (*optlen < sizeof(int)) {
            errno = EINVAL;
            return -1;
        }
        memset(optval, 0, sizeof(int));
        *optlen = sizeof(int);
        return 0;
    }
    return getsockopt(s, level, systemOption(level, optname), optval, optlen);
}

extern "C" int ovrel_bsd_setsockopt(int s, int level, int optname, const void* optval,
                                    socklen_t optlen) {
    if ((level == SOL_SOCKET && optname == SO_ACCEPTFILTER) ||
        (level == IPPROTO_IP && optname == IP_RECVORIGDSTADDR)) {
        return refuse(s);
    }
    return setsockopt(s, level, systemOption(level, optname), optval, optlen);
}
