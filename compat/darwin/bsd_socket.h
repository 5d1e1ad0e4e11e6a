#ifndef OVREL_COMPAT_DARWIN_BSD_SOCKET_H_
#define OVREL_COMPAT_DARWIN_BSD_SOCKET_H_

// macOS differences from FreeBSD in the socket interfaces the natives use.
// Only platform/bsd_socket.h includes this; the FreeBSD and Linux builds never
// see it. Every function here stays inside the library (hidden).
//
// - sendfile has Darwin's signature (the length passed in and out through one
//   off_t); ovrel_bsd_sendfile gives it FreeBSD's.
// - There are no accept filters: SO_ACCEPTFILTER is a number of our own that
//   never reaches the kernel. Setting or reading it fails with ENOPROTOOPT,
//   the answer macOS gives for an option it does not know, once the
//   descriptor has proven to be a socket (a closed descriptor still gives
//   EBADF, a pipe ENOTSOCK, as for every other option).
// - There is no IP_RECVORIGDSTADDR: reading it gives 0 on any socket, so
//   datagrams never carry a destination address; setting it fails with
//   ENOPROTOOPT.
// - SO_LINGER counts clock ticks on macOS; SO_LINGER_SEC is the option that
//   counts seconds, as the natives and FreeBSD do. The one is passed as the
//   other.
// - TCP_NOPUSH, SO_SNDLOWAT, SOL_LOCAL/LOCAL_PEERCRED and struct xucred are
//   the system's own (its xucred is 76 bytes, without FreeBSD's pid).

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/ucred.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#define OVREL_DARWIN_HIDDEN __attribute__((visibility("hidden")))

// Numbers far above every option macOS defines at these levels, so the
// translation can never shadow a real option.
#define SO_ACCEPTFILTER 0x10000
#define IP_RECVORIGDSTADDR 0x10001
// Only compared against received control messages, which never carry it.
#define IP_ORIGDSTADDR IP_RECVORIGDSTADDR

struct accept_filter_arg {
    char af_name[16];
    char af_arg[256 - 16];
};

extern "C" {

// FreeBSD's sendfile: nbytes 0 sends to the end of the file; *sbytes receives
// the count sent, also when the call fails with EAGAIN or EINTR after a part.
OVREL_DARWIN_HIDDEN int ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes,
                                           struct sf_hdtr* hdtr, off_t* sbytes, int flags);

OVREL_DARWIN_HIDDEN int ovrel_bsd_getsockopt(int s, int level, int optname, void* optval,
                                             socklen_t* optlen);
OVREL_DARWIN_HIDDEN int ovrel_bsd_setsockopt(int s, int level, int optname, const void* optval,
                                             socklen_t optlen);
}

#endif
