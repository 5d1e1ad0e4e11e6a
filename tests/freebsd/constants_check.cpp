// Compiled only by the FreeBSD cross-builds (x86-64 and arm64), against the
// real system headers: every number and layout the Java side relies on, pinned
// at compile time, so a header that disagrees breaks the build instead of the
// transport. Both architectures are LP64 and share every value below; the
// checks marked "per architecture" are the ones whose headers compute them
// from the machine's types or alignment, so each build proves them anew.
#if !defined(__FreeBSD__)
#error "this file pins FreeBSD's values; the Linux build never compiles it"
#endif
#if !defined(__x86_64__) && !defined(__aarch64__)
#error "FreeBSD is built for x86-64 and arm64 only"
#endif

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/ucred.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>

// errno values the natives return negated and Java compares against.
static_assert(EPERM == 1 && ENOENT == 2 && EINTR == 4 && EBADF == 9, "errno");
static_assert(EINVAL == 22 && EPIPE == 32 && ERANGE == 34, "errno");
static_assert(EAGAIN == 35 && EWOULDBLOCK == 35 && EINPROGRESS == 36 && EALREADY == 37, "errno");
static_assert(ENOPROTOOPT == 42 && EAFNOSUPPORT == 47 && ENETUNREACH == 51, "errno");
static_assert(ECONNRESET == 54 && EISCONN == 56 && ENOTCONN == 57 && ECONNREFUSED == 61, "errno");

// Wait clocks, in the order the loader tries them.
static_assert(CLOCK_MONOTONIC_FAST == 12 && CLOCK_MONOTONIC_COARSE == 12, "clock");
static_assert(CLOCK_MONOTONIC == 4 && CLOCK_REALTIME_FAST == 10 && CLOCK_REALTIME_COARSE == 10,
              "clock");
static_assert(CLOCK_REALTIME == 0, "clock");

// Files and pipes.
static_assert((O_WRONLY | O_CREAT | O_TRUNC) == 0x601, "open flags");
static_assert(IOV_MAX == 1024, "IOV_MAX");
// Per architecture: ssize_t and pointers.
static_assert(SSIZE_MAX == 0x7FFFFFFFFFFFFFFF, "SSIZE_MAX");
static_assert(sizeof(struct iovec) == 16 && offsetof(struct iovec, iov_len) == 8, "iovec");

// Sockets and addresses.
static_assert(AF_UNSPEC == 0 && AF_UNIX == 1 && AF_INET == 2 && AF_INET6 == 28, "families");
static_assert(SOCK_STREAM == 1 && SOCK_DGRAM == 2, "types");
static_assert(SOCK_NONBLOCK == 0x20000000 && SOCK_CLOEXEC == 0x10000000, "socket flags");
static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2, "shutdown");
static_assert(sizeof(struct sockaddr_in) == 16 && sizeof(struct sockaddr_in6) == 28, "sockaddr");
static_assert(sizeof(struct sockaddr_storage) == 128, "sockaddr_storage");
static_assert(sizeof(((struct sockaddr_un*)nullptr)->sun_path) == 104, "sun_path");
static_assert(sizeof(struct sockaddr_un) == 106 && offsetof(struct sockaddr_un, sun_path) == 2,
              "sockaddr_un");
static_assert(offsetof(struct sockaddr_in, sin_family) == 1, "length byte first");

// Socket options.
static_assert(SOL_SOCKET == 0xffff && SO_ERROR == 0x1007, "SO_ERROR");
static_assert(SO_REUSEADDR == 0x4 && SO_KEEPALIVE == 0x8 && SO_BROADCAST == 0x20, "options");
static_assert(SO_LINGER == 0x80 && SO_REUSEPORT == 0x200, "options");
static_assert(SO_SNDBUF == 0x1001 && SO_RCVBUF == 0x1002 && SO_SNDLOWAT == 0x1003, "buffers");
static_assert(SO_ACCEPTFILTER == 0x1000, "SO_ACCEPTFILTER");
static_assert(IPPROTO_IP == 0 && IPPROTO_TCP == 6 && IPPROTO_IPV6 == 41, "levels");
static_assert(TCP_NODELAY == 1 && TCP_NOPUSH == 4, "tcp");
static_assert(IP_TOS == 3 && IPV6_TCLASS == 61 && IPV6_V6ONLY == 27, "ip");
static_assert(IP_ORIGDSTADDR == 27 && IP_RECVORIGDSTADDR == 27, "destination address");
static_assert(sizeof(struct linger) == 8, "linger");
static_assert(SOL_LOCAL == 0 && LOCAL_PEERCRED == 1, "peer credentials");

// Descriptor passing and control messages. Per architecture: the alignment of
// control data (8 bytes on both, from long on x86-64 and long long on arm64).
static_assert(SCM_RIGHTS == 1, "SCM_RIGHTS");
static_assert(sizeof(struct cmsghdr) == 12, "cmsghdr");
static_assert(CMSG_LEN(sizeof(int)) == 20 && CMSG_SPACE(sizeof(int)) == 24, "cmsg sizes");

// The event record Java reads and writes in place. Per architecture: ident,
// data and udata are pointer-sized.
static_assert(sizeof(struct kevent) == 64, "kevent size");
static_assert(offsetof(struct kevent, ident) == 0 && offsetof(struct kevent, filter) == 8, "kevent");
static_assert(offsetof(struct kevent, flags) == 10 && offsetof(struct kevent, fflags) == 12,
              "kevent");
static_assert(offsetof(struct kevent, data) == 16 && offsetof(struct kevent, udata) == 24, "kevent");
static_assert(offsetof(struct kevent, ext) == 32 && sizeof(((struct kevent*)nullptr)->ext) == 32,
              "kevent");
static_assert(EVFILT_READ == -1 && EVFILT_WRITE == -2 && EVFILT_USER == -11, "filters");
static_assert(EV_ADD == 0x1 && EV_DELETE == 0x2 && EV_ENABLE == 0x4 && EV_DISABLE == 0x8, "flags");
static_assert(EV_CLEAR == 0x20 && EV_ERROR == 0x4000 && EV_EOF == 0x8000, "flags");
static_assert(NOTE_TRIGGER == 0x01000000, "NOTE_TRIGGER");
#if defined(EVFILT_SOCK) || defined(NOTE_READCLOSED) || defined(NOTE_CONNRESET) || \
    defined(NOTE_DISCONNECTED)
#error "the Java side expects no socket filter and no socket notes on this platform"
#endif

// BSD records exchanged through socket options.
static_assert(sizeof(struct xucred) == 88, "xucred");
static_assert(sizeof(((struct xucred*)nullptr)->cr_ngroups) == 2, "cr_ngroups");
static_assert(sizeof(((struct xucred*)nullptr)->cr_groups) == 16 * sizeof(gid_t), "cr_groups");
// getPeerCredentials takes a record only at this version; the Linux stand-in writes it.
static_assert(XUCRED_VERSION == 0 && offsetof(struct xucred, cr_version) == 0, "cr_version");
static_assert(sizeof(struct accept_filter_arg) == 256, "accept_filter_arg");
static_assert(sizeof(((struct accept_filter_arg*)nullptr)->af_name) == 16, "af_name");
static_assert(sizeof(((struct accept_filter_arg*)nullptr)->af_arg) == 240, "af_arg");
