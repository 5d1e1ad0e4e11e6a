#ifndef OVREL_TESTS_SUPPORT_FD_H_
#define OVREL_TESTS_SUPPORT_FD_H_

// A descriptor a test owns: closed whatever way the test leaves. Only POSIX, so
// the kqueue tests that are also compiled for the BSDs can use it.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace ovrel_test {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) {
            close(fd);
        }
        fd = f;
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    operator int() const { return fd; }
};

inline void set_nonblocking(int fd) {
    ASSERT_EQ(0, fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK));
}

}  // namespace ovrel_test

#endif
