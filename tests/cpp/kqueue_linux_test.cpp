// What only the Linux stand-in promises: FreeBSD differs here (it ignores unknown
// flag bits, has no epoll) or the check needs Linux calls.

#include "platform/event.h"

#if defined(__linux__)

#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>


#include <gtest/gtest.h>

// Counts this thread's epoll_ctl calls. The test binary's own definition takes
// the place of libc's for everything linked into it, and forwards unchanged.
thread_local int t_epoll_ctl_calls = 0;
extern "C" int epoll_ctl(int epfd, int op, int fd, struct epoll_event* event) noexcept {
    t_epoll_ctl_calls++;
    return static_cast<int>(syscall(SYS_epoll_ctl, epfd, op, fd, event));
}

namespace {

struct Queue {
    int fd = kqueue();
    ~Queue() { close(fd); }
};

int change(int kq, uintptr_t ident, short filter, unsigned short flags, unsigned fflags = 0) {
    struct kevent e;
    EV_SET(&e, ident, filter, flags, fflags, 0, nullptr);
    return kevent(kq, &e, 1, nullptr, 0, nullptr) == 0 ? 0 : errno;
}

struct kevent poll_one(int kq, int fd, short filter) {
    struct kevent out[4];
    timespec zero{0, 0};
    int n = kevent(kq, nullptr, 0, out, 4, &zero);
    for (int i = 0; i < n; i++) {
        if (out[i].ident == uintptr_t(fd) && out[i].filter == filter) return out[i];
    }
    ADD_FAILURE() << "no event for " << fd << "/" << filter;
    return {};
}

struct Rejected {
    const char* what;
    short filter;
    unsigned short flags;
    unsigned fflags;
};

// A descriptor with a level read filter next to an EV_CLEAR write filter is
// edge-triggered underneath, and its read filter is re-checked ("carried")
// on every wait while it stays readable. With more such descriptors ready than
// the event list holds, every one of them, and a descriptor that becomes
// readable meanwhile, must still be reported within a few waits.
TEST(KqueueLinux, ReadyDescriptorsShareASmallEventListFairly) {
    Queue q;
    const int kPairs = 24;
    const int kRoom = 4;
    int pairs[kPairs][2];
    for (auto& p : pairs) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, p), 0);
        ASSERT_EQ(change(q.fd, p[0], EVFILT_READ, EV_ADD), 0);
        ASSERT_EQ(change(q.fd, p[0], EVFILT_WRITE, EV_ADD | EV_CLEAR), 0);
        ASSERT_EQ(write(p[1], "x", 1), 1);  // stays readable: nobody reads
    }
    int fresh[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fresh), 0);
    ASSERT_EQ(change(q.fd, fresh[0], EVFILT_READ, EV_ADD), 0);

    std::map<uintptr_t, int> firstSeen;
    timespec zero{0, 0};
    const int kWaits = 4 * kPairs / kRoom;
    for (int wait = 0; wait < kWaits; ++wait) {
        if (wait == 2) {
            ASSERT_EQ(write(fresh[1], "y", 1), 1);
        }
        struct kevent out[kRoom];
        int n = kevent(q.fd, nullptr, 0, out, kRoom, &zero);
        ASSERT_GT(n, 0);
        for (int i = 0; i < n; ++i) {
            if (out[i].filter == EVFILT_READ) {
                firstSeen.emplace(out[i].ident, wait);
            }
        }
    }
    for (auto& p : pairs) {
        EXPECT_EQ(firstSeen.count(uintptr_t(p[0])), 1u) << "descriptor " << p[0] << " starved";
    }
    ASSERT_EQ(firstSeen.count(uintptr_t(fresh[0])), 1u) << "a newly readable descriptor starved";
    EXPECT_LE(firstSeen[uintptr_t(fresh[0])], 2 + 2 * kPairs / kRoom);
    for (auto& p : pairs) {
        close(p[0]);
        close(p[1]);
    }
    close(fresh[0]);
    close(fresh[1]);
}

// A wait without changes is the epoll_wait and the FIONREAD of each read event,
// nothing else: no identity probe, no wake-marker traffic in a loop of one
// thread. A call with changes proves once that the number is still the queue.
TEST(KqueueLinux, APureWaitMakesNoEpollCtlAndAChangeCallOne) {
    Queue q;
    int s[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s));
    ASSERT_EQ(1, write(s[1], "x", 1));
    ASSERT_EQ(0, change(q.fd, uintptr_t(s[0]), EVFILT_READ, EV_ADD));
    ASSERT_EQ(0, change(q.fd, 9, EVFILT_USER, EV_ADD | EV_CLEAR));
    struct kevent out[4];
    timespec zero{0, 0}, brief{0, 1000000};
    struct Step {
        const char* what;
        bool trigger_first;
        const timespec* timeout;
        int events;
    };
    for (Step step : {Step{"poll, one read ready", false, &zero, 1},
                      Step{"timed wait, one read ready", false, &brief, 1},
                      Step{"poll after a trigger", true, &zero, 2},
                      Step{"timed wait after a trigger", true, &brief, 2}}) {
        SCOPED_TRACE(step.what);
        if (step.trigger_first) {
            t_epoll_ctl_calls = 0;
            ASSERT_EQ(0, change(q.fd, 9, EVFILT_USER, 0, NOTE_TRIGGER));
            EXPECT_EQ(1, t_epoll_ctl_calls) << "a change call checks the queue once";
        }
        t_epoll_ctl_calls = 0;
        EXPECT_EQ(step.events, kevent(q.fd, nullptr, 0, out, 4, step.timeout));
        EXPECT_EQ(0, t_epoll_ctl_calls);
    }
    Queue idle;
    t_epoll_ctl_calls = 0;
    EXPECT_EQ(0, kevent(idle.fd, nullptr, 0, out, 4, &brief));
    EXPECT_EQ(0, t_epoll_ctl_calls) << "a wait that times out";
    close(s[0]);
    close(s[1]);
}

TEST(KqueueLinux, ChangesAskingForWhatIsNotImplementedFailWithEinval) {
    Queue q;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    for (Rejected r : {Rejected{"unknown flag bit", EVFILT_READ, EV_ADD | 0x0100, 0},
                       Rejected{"another unknown flag bit", EVFILT_USER, EV_ADD | 0x2000, 0},
                       Rejected{"read notes other than NOTE_LOWAT", EVFILT_READ, EV_ADD, 0x2},
                       Rejected{"write notes other than NOTE_LOWAT", EVFILT_WRITE, EV_ADD, 0x4},
                       Rejected{"unknown user note bits", EVFILT_USER, EV_ADD, 0x02000000},
                       Rejected{"enable and disable at once", EVFILT_READ, EV_ADD | EV_ENABLE | EV_DISABLE, 0},
                       Rejected{"timer filter", -7, EV_ADD, 0},
                       Rejected{"filter zero", 0, EV_ADD, 0}}) {
        EXPECT_EQ(EINVAL, change(q.fd, uintptr_t(fds[0]), r.filter, r.flags, r.fflags)) << r.what;
    }
    // None of them left anything behind.
    EXPECT_EQ(ENOENT, change(q.fd, uintptr_t(fds[0]), EVFILT_READ, EV_DELETE));
    EXPECT_EQ(ENOENT, change(q.fd, uintptr_t(fds[0]), EVFILT_USER, EV_DELETE));
    close(fds[0]);
    close(fds[1]);
}

// An epoll set of someone else's that got a closed queue's number, holding one
// pending edge-triggered item: whatever kevent() does must leave that edge there.
struct ForeignSet {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    int item = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
    ForeignSet() {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = 0x5eed;
        EXPECT_EQ(0, epoll_ctl(ep, EPOLL_CTL_ADD, item, &ev));
    }
    ~ForeignSet() {
        close(item);
        close(ep);
    }
    bool edge_still_pending() {
        epoll_event evs[2];
        return epoll_wait(ep, evs, 2, 0) == 1 && evs[0].data.u64 == 0x5eed;
    }
};

int pure_wait(int kq) {
    struct kevent out[2];
    timespec zero{0, 0};
    return kevent(kq, nullptr, 0, out, 2, &zero) == -1 ? errno : 0;
}

// A queue closed through the library's close path is known to be gone: neither a
// wait nor a change reaches the epoll set that takes its number next.
TEST(KqueueLinux, QueueClosedThroughTheLibraryIsNeverMistakenForTheNextSetOnItsNumber) {
    int kq = kqueue();
    ASSERT_GE(kq, 0);
    ASSERT_EQ(0, change(kq, 7, EVFILT_USER, EV_ADD, NOTE_TRIGGER));
    ovrel_event_closing(kq);
    close(kq);
    ForeignSet foreign;
    if (foreign.ep != kq) GTEST_SKIP() << "the number was not handed out again";
    EXPECT_EQ(EBADF, pure_wait(kq));
    EXPECT_EQ(EBADF, change(kq, 7, EVFILT_USER, 0, NOTE_TRIGGER));
    EXPECT_EQ(EBADF, change(kq, uintptr_t(foreign.item), EVFILT_READ, EV_ADD));
    EXPECT_TRUE(foreign.edge_still_pending());
}

// Closed with a plain close(2), which the layer never hears of: a change must
// still find out and fail, and from then on a wait fails too.
TEST(KqueueLinux, PlainlyClosedQueueNumberTakenByAnotherEpollSetTakesNoChanges) {
    int kq = kqueue();
    ASSERT_GE(kq, 0);
    ASSERT_EQ(0, change(kq, 7, EVFILT_USER, EV_ADD));
    close(kq);
    ForeignSet foreign;
    if (foreign.ep != kq) GTEST_SKIP() << "the number was not handed out again";
    EXPECT_EQ(EBADF, change(kq, uintptr_t(foreign.item), EVFILT_READ, EV_ADD));
    EXPECT_EQ(EBADF, change(kq, 7, EVFILT_USER, 0, NOTE_TRIGGER));
    EXPECT_EQ(EBADF, pure_wait(kq));
    EXPECT_TRUE(foreign.edge_still_pending());
}

// The same, but the first call on the stale number is a pure wait and the other
// set holds a level-triggered item, which the wait gets back: an event that names
// nothing of ours makes the layer check, and fail.
TEST(KqueueLinux, PureWaitOnAPlainlyClosedQueueNumberFailsOnceWhatItGetsIsNotOurs) {
    int kq = kqueue();
    ASSERT_GE(kq, 0);
    close(kq);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    int item = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ep != kq) {
        close(item);
        close(ep);
        GTEST_SKIP() << "the number was not handed out again";
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0x5eed;
    ASSERT_EQ(0, epoll_ctl(ep, EPOLL_CTL_ADD, item, &ev));
    EXPECT_EQ(EBADF, pure_wait(kq));
    EXPECT_EQ(EBADF, pure_wait(kq)) << "and from then on without looking";
    epoll_event evs[2];
    EXPECT_EQ(1, epoll_wait(ep, evs, 2, 0));
    close(item);
    close(ep);
}

// Closing a queue through the library wakes a thread asleep in it at once; it
// fails with EBADF rather than sleeping out its timeout or serving a new queue.
TEST(KqueueLinux, LibraryCloseWakesTheQueuesSleepers) {
    int kq = kqueue();
    ASSERT_GE(kq, 0);
    int result = 0, err = 0;
    std::atomic<bool> started{false};
    auto t0 = std::chrono::steady_clock::now();
    std::thread sleeper([&] {
        struct kevent out[2];
        timespec ts{5, 0};
        started = true;
        result = kevent(kq, nullptr, 0, out, 2, &ts);
        err = errno;
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ovrel_event_closing(kq);
    close(kq);
    sleeper.join();
    EXPECT_EQ(-1, result);
    EXPECT_EQ(EBADF, err);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

// Linux has no FIONREAD for a listener; TCP tells its accept queue through
// TCP_INFO, a Unix-domain listener only through the socket diagnostics.
TEST(KqueueLinux, UnixDomainListenerReportsHowManyConnectionsWait) {
    Queue q;
    int l = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(l, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // Abstract name: nothing to clean up in the file system.
    snprintf(addr.sun_path + 1, sizeof(addr.sun_path) - 1, "ovrel-kq-%d", int(getpid()));
    socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + strlen(addr.sun_path + 1));
    ASSERT_EQ(0, bind(l, reinterpret_cast<sockaddr*>(&addr), len));
    ASSERT_EQ(0, listen(l, 8));
    ASSERT_EQ(0, change(q.fd, uintptr_t(l), EVFILT_READ, EV_ADD));
    int clients[3];
    for (int& c : clients) {
        c = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(c, 0);
        ASSERT_EQ(0, connect(c, reinterpret_cast<sockaddr*>(&addr), len));
    }
    EXPECT_EQ(3, poll_one(q.fd, l, EVFILT_READ).data);
    int a = accept(l, nullptr, nullptr);
    ASSERT_GE(a, 0);
    EXPECT_EQ(2, poll_one(q.fd, l, EVFILT_READ).data);
    for (int fd : {a, l, clients[0], clients[1], clients[2]}) close(fd);
}

TEST(KqueueLinux, WriteDataIsTheFreeSpaceTheKernelReports) {
    Queue q;
    int p[2];
    ASSERT_EQ(0, pipe2(p, O_NONBLOCK));
    char buf[1000] = {};
    ASSERT_EQ(1000, write(p[1], buf, sizeof(buf)));
    ASSERT_EQ(0, change(q.fd, uintptr_t(p[1]), EVFILT_WRITE, EV_ADD));
    EXPECT_EQ(fcntl(p[1], F_GETPIPE_SZ) - 1000, poll_one(q.fd, p[1], EVFILT_WRITE).data);

    int s[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s));
    ASSERT_EQ(1000, write(s[0], buf, sizeof(buf)));
    ASSERT_EQ(0, change(q.fd, uintptr_t(s[0]), EVFILT_WRITE, EV_ADD));
    int sndbuf = 0, queued = 0;
    socklen_t len = sizeof(sndbuf);
    ASSERT_EQ(0, getsockopt(s[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, &len));
    ASSERT_EQ(0, ioctl(s[0], SIOCOUTQ, &queued));
    EXPECT_GT(queued, 0);
    EXPECT_EQ(sndbuf - queued, poll_one(q.fd, s[0], EVFILT_WRITE).data);
    for (int fd : {p[0], p[1], s[0], s[1]}) close(fd);
}

TEST(KqueueLinux, EventfdIsPollableLikeAnyDescriptor) {
    Queue q;
    int e = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(e, 0);
    ASSERT_EQ(0, change(q.fd, uintptr_t(e), EVFILT_READ, EV_ADD | EV_CLEAR));
    uint64_t one = 1;
    ASSERT_EQ(8, write(e, &one, sizeof(one)));
    EXPECT_GE(poll_one(q.fd, e, EVFILT_READ).data, 1);
    close(e);
}

}  // namespace

#endif
