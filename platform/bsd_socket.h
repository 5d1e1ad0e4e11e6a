#ifndef OVREL_PLATFORM_BSD_SOCKET_H_
#define OVREL_PLATFORM_BSD_SOCKET_H_

// The BSD-only socket interfaces the natives use: sendfile with its BSD
// signature, SO_ACCEPTFILTER and struct accept_filter_arg, TCP_NOPUSH,
// SO_SNDLOWAT, SOL_LOCAL/LOCAL_PEERCRED and struct xucred. On FreeBSD these are
// the system's own; elsewhere they come from our stand-ins, so the natives are
// written once against the BSD names.
//
// Option calls that may carry one of the BSD-only options go through
// ovrel_bsd_getsockopt/ovrel_bsd_setsockopt: the system calls themselves on
// FreeBSD, a translating layer where the option has to be emulated (Linux) or
// refused (macOS). sendfile goes through ovrel_bsd_sendfile, which has
// FreeBSD's signature and meaning everywhere.

#if defined(__FreeBSD__)

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/ucred.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

inline int ovrel_bsd_getsockopt(int s, int level, int optname, void* optval, socklen_t* optlen) {
    return getsockopt(s, level, optname, optval, optlen);
}

inline int ovrel_bsd_setsockopt(int s, int level, int optname, const void* optval,
                                socklen_t optlen) {
    return setsockopt(s, level, optname, optval, optlen);
}

inline int ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes, struct sf_hdtr* hdtr,
                              off_t* sbytes, int flags) {
    return sendfile(fd, s, offset, nbytes, hdtr, sbytes, flags);
}

#elif defined(__APPLE__)

#include "compat/darwin/bsd_socket.h"

#else

#include "compat/linux/bsd_socket.h"

#endif

#endif
