#ifndef OVREL_COMPAT_DARWIN_DESCRIPTORS_H_
#define OVREL_COMPAT_DARWIN_DESCRIPTORS_H_

// macOS has no SOCK_NONBLOCK or SOCK_CLOEXEC and no accept4; pipe2 only from
// macOS 27 on, later than the oldest release we build for. So every
// descriptor gets its flags from fcntl right after the creating call. Only
// platform/descriptors.h includes this, after the fcntl helpers.

inline int ovrel_socket_nonblocking(int family, int type) {
    return ovrel_descriptor_flags_or_close(socket(family, type, 0), false);
}

inline int ovrel_accept_nonblocking(int fd, struct sockaddr* addr, socklen_t* len) {
    return ovrel_descriptor_flags_or_close(accept(fd, addr, len), true);
}

inline int ovrel_pipe_nonblocking(int fds[2]) {
    return pipe(fds) != 0 ? -1 : ovrel_pipe_flags_or_close(fds);
}

#endif
