// Compiled only by the macOS cross-builds (x86-64 and arm64), against the
// system headers zig ships: every number and layout the natives report to
// Java or hand to the kernel on macOS, pinned at compile time, so a header
// that disagrees breaks the build instead of the transport. The values are the
// same on both architectures; where macOS differs from FreeBSD the FreeBSD
// value is named beside it.
#if !defined(__APPLE__)
#error "this file pins macOS's values; the Linux and FreeBSD builds never compile it"
#endif
#if !defined(__x86_64__) && !defined(__aarch64__)
#error "macOS is built for x86-64 and arm64 only"
#endif

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <jni.h>

// The seam headers, as the natives include them: what is checked below is
// what the natives are compiled against, the Darwin adapter included.
#include "platform/bsd_socket.h"
#include "platform/clock.h"
#include "platform/descriptors.h"
#include "platform/event.h"

// errno values the natives return negated and Java compares against.
static_assert(EPERM == 1 && ENOENT == 2 && EINTR == 4 && EBADF == 9, "errno");
static_assert(ENOMEM == 12 && EFAULT == 14 && EISDIR == 21, "errno");
static_assert(EINVAL == 22 && EPIPE == 32 && ERANGE == 34, "errno");
static_assert(EAGAIN == 35 && EWOULDBLOCK == 35 && EINPROGRESS == 36 && EALREADY == 37, "errno");
static_assert(ENOTSOCK == 38 && ENOPROTOOPT == 42 && EAFNOSUPPORT == 47 && ENETUNREACH == 51,
              "errno");
static_assert(ECONNRESET == 54 && EISCONN == 56 && ENOTCONN == 57 && ECONNREFUSED == 61, "errno");
static_assert(ENAMETOOLONG == 63, "errno");
// Where macOS parts from FreeBSD (45 and 89).
static_assert(EOPNOTSUPP == 102 && EBADMSG == 94, "errno");

// Wait clocks: no coarse ones; monotonic first, then real time.
static_assert(CLOCK_REALTIME == 0 && CLOCK_MONOTONIC == 6, "clock ids");
static_assert(sizeof(ovrel_wait_clock_candidates) / sizeof(ovrel_wait_clock_candidates[0]) == 2 &&
                  ovrel_wait_clock_candidates[0] == CLOCK_MONOTONIC &&
                  ovrel_wait_clock_candidates[1] == CLOCK_REALTIME,
              "wait clock order");

// Files and pipes; O_NONBLOCK and FD_CLOEXEC come from fcntl here.
static_assert((O_WRONLY | O_CREAT | O_TRUNC) == 0x601, "open flags");
static_assert(O_NONBLOCK == 0x4 && FD_CLOEXEC == 1, "descriptor flags");
static_assert(IOV_MAX == 1024, "IOV_MAX");
static_assert(SSIZE_MAX == 0x7FFFFFFFFFFFFFFF, "SSIZE_MAX");
static_assert(sizeof(struct iovec) == 16 && offsetof(struct iovec, iov_len) == 8, "iovec");
static_assert(sizeof(jlong) == 8 && sizeof(off_t) == 8, "64-bit counts");

// Sockets and addresses. AF_INET6 is 30 (FreeBSD: 28).
static_assert(AF_UNSPEC == 0 && AF_UNIX == 1 && AF_INET == 2 && AF_INET6 == 30, "families");
static_assert(SOCK_STREAM == 1 && SOCK_DGRAM == 2, "types");
static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2, "shutdown");
static_assert(sizeof(struct sockaddr_in) == 16 && sizeof(struct sockaddr_in6) == 28, "sockaddr");
static_assert(sizeof(struct sockaddr_storage) == 128, "sockaddr_storage");
static_assert(sizeof(((struct sockaddr_un*)nullptr)->sun_path) == 104, "sun_path");
static_assert(sizeof(struct sockaddr_un) == 106 && offsetof(struct sockaddr_un, sun_path) == 2,
              "sockaddr_un");
static_assert(offsetof(struct sockaddr_in, sin_family) == 1, "length byte first");

// Socket options. SO_LINGER counts ticks; the adapter passes SO_LINGER_SEC.
static_assert(SOL_SOCKET == 0xffff && SO_ERROR == 0x1007 && SO_TYPE == 0x1008, "SO_ERROR");
static_assert(SO_REUSEADDR == 0x4 && SO_KEEPALIVE == 0x8 && SO_BROADCAST == 0x20, "options");
static_assert(SO_LINGER == 0x80 && SO_LINGER_SEC == 0x1080 && SO_REUSEPORT == 0x200, "options");
static_assert(SO_SNDBUF == 0x1001 && SO_RCVBUF == 0x1002 && SO_SNDLOWAT == 0x1003, "buffers");
static_assert(IPPROTO_IP == 0 && IPPROTO_TCP == 6 && IPPROTO_IPV6 == 41, "levels");
static_assert(TCP_NODELAY == 1 && TCP_NOPUSH == 4, "tcp");
// IPV6_TCLASS is 36 (FreeBSD: 61).
static_assert(IP_TOS == 3 && IPV6_TCLASS == 36 && IPV6_V6ONLY == 27, "ip");
static_assert(sizeof(struct linger) == 8, "linger");
static_assert(SOL_LOCAL == 0 && LOCAL_PEERCRED == 1, "peer credentials");

// The options macOS lacks are numbers of the adapter's own, which must never
// equal an option the natives pass to the system at the same level.
static_assert(SO_ACCEPTFILTER > 0xffff && IP_RECVORIGDSTADDR > 0xffff, "private option numbers");
static_assert(IP_ORIGDSTADDR == IP_RECVORIGDSTADDR, "destination address");

// Descriptor passing: control messages are aligned to 4 bytes (FreeBSD: 8,
// giving 20 and 24).
static_assert(SCM_RIGHTS == 1, "SCM_RIGHTS");
static_assert(sizeof(struct cmsghdr) == 12, "cmsghdr");
static_assert(CMSG_LEN(sizeof(int)) == 16 && CMSG_SPACE(sizeof(int)) == 16, "cmsg sizes");

// The event record Java reads and writes in place: 32 bytes, no ext[]
// (FreeBSD: 64 bytes with ext[4]).
static_assert(sizeof(struct kevent) == 32, "kevent size");
static_assert(offsetof(struct kevent, ident) == 0 && offsetof(struct kevent, filter) == 8, "kevent");
static_assert(offsetof(struct kevent, flags) == 10 && offsetof(struct kevent, fflags) == 12,
              "kevent");
static_assert(offsetof(struct kevent, data) == 16 && offsetof(struct kevent, udata) == 24, "kevent");
static_assert(sizeof(((struct kevent*)nullptr)->data) == 8, "kevent data");
// EVFILT_USER is -10 (FreeBSD: -11).
static_assert(EVFILT_READ == -1 && EVFILT_WRITE == -2 && EVFILT_USER == -10, "filters");
static_assert(EV_ADD == 0x1 && EV_DELETE == 0x2 && EV_ENABLE == 0x4 && EV_DISABLE == 0x8, "flags");
static_assert(EV_CLEAR == 0x20 && EV_ERROR == 0x4000 && EV_EOF == 0x8000, "flags");
static_assert(NOTE_TRIGGER == 0x01000000, "NOTE_TRIGGER");
#if defined(EVFILT_SOCK) || defined(NOTE_READCLOSED) || defined(NOTE_CONNRESET) || \
    defined(NOTE_DISCONNECTED)
#error "the Java side expects no socket filter and no socket notes on this platform"
#endif

// BSD records exchanged through socket options and sendfile.
static_assert(sizeof(struct xucred) == 76, "xucred (FreeBSD: 88, with the peer's pid)");
static_assert(offsetof(struct xucred, cr_uid) == 4 && offsetof(struct xucred, cr_ngroups) == 8 &&
                  offsetof(struct xucred, cr_groups) == 12,
              "xucred fields");
static_assert(sizeof(((struct xucred*)nullptr)->cr_ngroups) == 2, "cr_ngroups");
static_assert(sizeof(((struct xucred*)nullptr)->cr_groups) == 16 * sizeof(gid_t), "cr_groups");
static_assert(XUCRED_VERSION == 0, "xucred version");
static_assert(sizeof(struct accept_filter_arg) == 256, "accept_filter_arg");
static_assert(sizeof(((struct accept_filter_arg*)nullptr)->af_name) == 16, "af_name");
static_assert(sizeof(((struct accept_filter_arg*)nullptr)->af_arg) == 240, "af_arg");
static_assert(sizeof(struct sf_hdtr) == 32, "sf_hdtr");
