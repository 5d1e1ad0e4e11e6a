#ifndef OVREL_COMPAT_LINUX_BSD_SOCKET_H_
#define OVREL_COMPAT_LINUX_BSD_SOCKET_H_

// Linux stand-ins for the BSD-only socket interfaces, behaving as FreeBSD
// documents them as far as Linux allows. Only platform/bsd_socket.h includes
// this. Every function here stays inside the library (hidden).
//
// How each one maps onto Linux:
// - sendfile (BSD signature): Linux's zero-copy sendfile(2), called until the
//   request is done, EOF, or an error; EAGAIN and EINTR report in *sbytes what
//   went before them. nbytes 0 means "to the end of the file" (its size when
//   the call starts); an offset at or past the end sends nothing and succeeds.
//   EPIPE once the connection is gone, ENOTCONN for a socket that never had one.
// - TCP_NOPUSH is Linux's TCP_CORK.
// - SO_SNDLOWAT is Linux's own: readable (always 1), not settable (ENOPROTOOPT).
// - SO_ACCEPTFILTER ("dataready", "httpready") is TCP_DEFER_ACCEPT on a TCP
//   listener, and only recorded on any other listening socket. The name is kept
//   per socket (not per descriptor) so it reads back, the argument reads back
//   empty; installing over a filter fails (EINVAL), a null record removes it.
// - LOCAL_PEERCRED fills struct xucred from SO_PEERCRED and SO_PEERGROUPS; its
//   level is a number of our own (see SOL_LOCAL). An IPv4 socket answers as
//   BSD's IP level does for these numbers (success, 0 bytes); other sockets
//   that are not Unix-domain fail with EINVAL.

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#define OVREL_BSD_HIDDEN __attribute__((visibility("hidden")))

// Headers and trailers written around the file data.
struct sf_hdtr {
    struct iovec* headers;
    int hdr_cnt;
    struct iovec* trailers;
    int trl_cnt;
};

// Linux has no value of its own at this level; FreeBSD's number is far above
// every Linux SOL_SOCKET option, so the translation below cannot shadow one.
#define SO_ACCEPTFILTER 0x1000

struct accept_filter_arg {
    char af_name[16];
    char af_arg[256 - 16];
};
static_assert(sizeof(struct accept_filter_arg) == 256, "accept filter record is 256 bytes");

#define TCP_NOPUSH TCP_CORK

// FreeBSD's level 0 is IPPROTO_IP on Linux, where option 1 is IP_TOS, which
// the portable option natives read through the same functions. A level no
// Linux protocol uses keeps the two apart without looking at the socket.
#define SOL_LOCAL 0x10000
#define LOCAL_PEERCRED 1

#define XU_NGROUPS 16
#define XUCRED_VERSION 0

struct xucred {
    unsigned int cr_version;
    uid_t cr_uid;
    short cr_ngroups;
    gid_t cr_groups[XU_NGROUPS];
    union {
        void* _cr_unused1;
        pid_t cr_pid;
    };
};
static_assert(sizeof(struct xucred) == 88, "xucred has FreeBSD's x86-64 size");

extern "C" {

OVREL_BSD_HIDDEN int ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes,
                                        struct sf_hdtr* hdtr, off_t* sbytes, int flags);

// getsockopt/setsockopt that understand SO_ACCEPTFILTER and LOCAL_PEERCRED and
// pass every other option through untouched.
OVREL_BSD_HIDDEN int ovrel_bsd_getsockopt(int s, int level, int optname, void* optval,
                                          socklen_t* optlen);
OVREL_BSD_HIDDEN int ovrel_bsd_setsockopt(int s, int level, int optname, const void* optval,
                                          socklen_t optlen);

// How many sockets the accept-filter state describes right now, closed ones
// not yet forgotten included: lets tests see that the state does not grow with
// sockets that are gone.
OVREL_BSD_HIDDEN size_t ovrel_bsd_accept_filter_entries(void);
}

// The natives call sendfile with the BSD signature. glibc's sendfile(2) takes
// four arguments and C linkage; this overload takes seven, so both can be in
// scope together.
inline int sendfile(int fd, int s, off_t offset, size_t nbytes, struct sf_hdtr* hdtr,
                    off_t* sbytes, int flags) {
    return ovrel_bsd_sendfile(fd, s, offset, nbytes, hdtr, sbytes, flags);
}

#endif
