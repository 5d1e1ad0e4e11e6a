#ifndef OVREL_PLATFORM_DESCRIPTORS_H_
#define OVREL_PLATFORM_DESCRIPTORS_H_

// Descriptors the natives create: sockets and pipe ends are non-blocking,
// accepted sockets non-blocking and close-on-exec. Where the system can set
// the flags in the creating call it does; elsewhere fcntl follows at once, and
// a descriptor whose flags cannot be set is closed, never handed out.
// Each function returns the descriptor (0 for the pipe), or -1 with errno set.

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

// fd with O_NONBLOCK (and FD_CLOEXEC when asked), or -1 with errno set and fd
// closed. Only for descriptors created a moment ago: other status flags are
// not kept.
inline int ovrel_descriptor_flags_or_close(int fd, bool closeOnExec) {
    if (fd < 0) {
        return fd;
    }
    if ((closeOnExec && fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) || fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

inline int ovrel_pipe_flags_or_close(int fds[2]) {
    if (ovrel_descriptor_flags_or_close(fds[0], false) < 0) {
        int err = errno;
        close(fds[1]);
        errno = err;
        return -1;
    }
    if (ovrel_descriptor_flags_or_close(fds[1], false) < 0) {
        int err = errno;
        close(fds[0]);
        errno = err;
        return -1;
    }
    return 0;
}

#if defined(__APPLE__)

#include "compat/darwin/descriptors.h"

#else

// accept4 and pipe2 are not in every libc we run on; weak references let the
// library load without them and fall back to the plain call + fcntl.
#pragma weak accept4
#pragma weak pipe2

inline int ovrel_socket_nonblocking(int family, int type) {
    return socket(family, type | SOCK_NONBLOCK, 0);
}

inline int ovrel_accept_nonblocking(int fd, struct sockaddr* addr, socklen_t* len) {
    if (accept4 != nullptr) {
        return accept4(fd, addr, len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
    return ovrel_descriptor_flags_or_close(accept(fd, addr, len), true);
}

inline int ovrel_pipe_nonblocking(int fds[2]) {
    if (pipe2 != nullptr) {
        return pipe2(fds, O_NONBLOCK);
    }
    return pipe(fds) != 0 ? -1 : ovrel_pipe_flags_or_close(fds);
}

#endif

#endif
