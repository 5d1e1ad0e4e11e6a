// Link-time wrappers (-Wl,--wrap=<call>) for the system calls whose failures
// the tests script. Each call listed in OVREL_FAULT_WRAPS (tests/fault/CMakeLists.txt)
// has its wrapper here; a wrapper fails when the registry says so and
// otherwise makes the real call untouched.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#if __has_include("platform/event.h")
#include "platform/event.h"
#define OVREL_HAVE_KQUEUE 1
#endif
#include "tests/fault/fault.h"

#define OVREL_FAULT_WRAP(ret, call, params, args)          \
    extern "C" ret __real_##call params;                   \
    extern "C" ret __wrap_##call params {                  \
        if (int err = ovrel_fault_take(#call)) {           \
            errno = err;                                   \
            return -1;                                     \
        }                                                  \
        return __real_##call args;                         \
    }

OVREL_FAULT_WRAP(ssize_t, read, (int fd, void* buf, size_t n), (fd, buf, n))
OVREL_FAULT_WRAP(ssize_t, write, (int fd, const void* buf, size_t n), (fd, buf, n))
OVREL_FAULT_WRAP(ssize_t, writev, (int fd, const struct iovec* iov, int n), (fd, iov, n))
OVREL_FAULT_WRAP(int, connect, (int fd, const struct sockaddr* a, socklen_t l), (fd, a, l))
OVREL_FAULT_WRAP(int, accept, (int fd, struct sockaddr* a, socklen_t* l), (fd, a, l))
OVREL_FAULT_WRAP(int, accept4, (int fd, struct sockaddr* a, socklen_t* l, int f), (fd, a, l, f))
OVREL_FAULT_WRAP(ssize_t, sendto,
                 (int fd, const void* b, size_t n, int f, const struct sockaddr* a, socklen_t l),
                 (fd, b, n, f, a, l))
OVREL_FAULT_WRAP(ssize_t, sendmsg, (int fd, const struct msghdr* m, int f), (fd, m, f))
OVREL_FAULT_WRAP(ssize_t, recvfrom,
                 (int fd, void* b, size_t n, int f, struct sockaddr* a, socklen_t* l),
                 (fd, b, n, f, a, l))
OVREL_FAULT_WRAP(ssize_t, recvmsg, (int fd, struct msghdr* m, int f), (fd, m, f))
#ifdef OVREL_HAVE_KQUEUE
OVREL_FAULT_WRAP(int, kqueue, (void), ())

// kevent also records its arguments: the retry rules of the wait are about
// what the second call is asked, not only about how often it is made.
extern "C" int __real_kevent(int kq, const struct kevent* c, int nc, struct kevent* e, int ne,
                             const struct timespec* t);
extern "C" int __wrap_kevent(int kq, const struct kevent* c, int nc, struct kevent* e, int ne,
                             const struct timespec* t) {
    struct ovrel_fault_kevent_call call = {nc, ne, t != nullptr, {0, 0}};
    if (t != nullptr) {
        call.timeout = *t;
    }
    ovrel_fault_kevent_record(&call);
    if (int err = ovrel_fault_take("kevent")) {
        // A real interruption comes while waiting, after the changes were applied.
        if (err == EINTR && nc > 0) {
            struct timespec poll = {0, 0};
            __real_kevent(kq, c, nc, nullptr, 0, &poll);
        }
        errno = err;
        return -1;
    }
    return __real_kevent(kq, c, nc, e, ne, t);
}
#endif

extern "C" int __real_clock_gettime(clockid_t id, struct timespec* tp);
extern "C" int __wrap_clock_gettime(clockid_t id, struct timespec* tp) {
    if (int err = ovrel_fault_take("clock_gettime")) {
        errno = err;
        return -1;
    }
    if (ovrel_fault_clock_take(tp)) {
        return 0;
    }
    return __real_clock_gettime(id, tp);
}

// dladdr reports failure as 0, not -1.
extern "C" int __real_dladdr(const void* addr, Dl_info* info);
extern "C" int __wrap_dladdr(const void* addr, Dl_info* info) {
    if (ovrel_fault_take("dladdr")) {
        return 0;
    }
    int found = __real_dladdr(addr, info);
    if (found && ovrel_fault_dladdr_fname_get() != nullptr) {
        info->dli_fname = ovrel_fault_dladdr_fname_get();
    }
    return found;
}

#if defined(__linux__)
#include <sys/stat.h>

#include "platform/bsd_socket.h"

// The BSD-signature sendfile the natives call; on Linux that is our stand-in,
// so the wrapped symbol is its name. "sendfile" fails before anything is sent
// (*sbytes 0). "sendfile_partial" sends half of what was asked (of the rest of
// the file for nbytes 0; at least one byte) and then fails with its errno,
// reporting that part in *sbytes: a BSD sendfile interrupted mid-way.
extern "C" int __real_ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes,
                                         struct sf_hdtr* hdtr, off_t* sbytes, int flags);
extern "C" int __wrap_ovrel_bsd_sendfile(int fd, int s, off_t offset, size_t nbytes,
                                         struct sf_hdtr* hdtr, off_t* sbytes, int flags) {
    if (int err = ovrel_fault_take("sendfile")) {
        if (sbytes != nullptr) {
            *sbytes = 0;
        }
        errno = err;
        return -1;
    }
    if (int err = ovrel_fault_take("sendfile_partial")) {
        size_t asked = nbytes;
        struct stat st;
        if (asked == 0 && fstat(fd, &st) == 0 && st.st_size > offset) {
            asked = static_cast<size_t>(st.st_size - offset);
        }
        size_t part = asked / 2 > 0 ? asked / 2 : 1;
        off_t sent = 0;
        int result = __real_ovrel_bsd_sendfile(fd, s, offset, part, hdtr, &sent, flags);
        int realErr = errno;
        if (sbytes != nullptr) {
            *sbytes = sent;
        }
        errno = result == 0 ? err : realErr;
        return -1;
    }
    return __real_ovrel_bsd_sendfile(fd, s, offset, nbytes, hdtr, sbytes, flags);
}
#endif

OVREL_FAULT_WRAP(int, getsockopt, (int fd, int level, int name, void* value, socklen_t* len),
                 (fd, level, name, value, len))
OVREL_FAULT_WRAP(int, setsockopt, (int fd, int level, int name, const void* value, socklen_t len),
                 (fd, level, name, value, len))
OVREL_FAULT_WRAP(int, unlink, (const char* path), (path))
OVREL_FAULT_WRAP(int, close, (int fd), (fd))

// fcntl is variadic; every command the library uses takes one int (or none),
// which travels in the same register as a pointer would.
extern "C" int __real_fcntl(int fd, int cmd, ...);
extern "C" int __wrap_fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (int err = ovrel_fault_take("fcntl")) {
        errno = err;
        return -1;
    }
    return __real_fcntl(fd, cmd, arg);
}
