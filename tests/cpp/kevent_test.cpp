// Behaviour of kqueue()/kevent() that the natives rely on. Written against the
// kqueue interface and POSIX only, so the same file runs on FreeBSD against the
// real thing and on Linux against our stand-in, and both must agree.

#include "platform/event.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cpp/support/fd.h"

namespace {

using Clock = std::chrono::steady_clock;

using ovrel_test::Fd;
using ovrel_test::set_nonblocking;


// Two connected descriptors: [0] is watched, [1] is the peer (for a pipe, [0]
// is the read end and [1] the write end).
struct Pair {
    Fd a, b;
};

enum class Kind { kSocketPair, kTcp, kPipe };

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::kSocketPair: return "socketpair";
        case Kind::kTcp: return "tcp";
        case Kind::kPipe: return "pipe";
    }
    return "?";
}

int tcp_listener(sockaddr_in* addr) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    if (l < 0) return -1;
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(*addr);
    if (bind(l, reinterpret_cast<sockaddr*>(addr), sizeof(*addr)) != 0 || listen(l, 8) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(addr), &len) != 0) {
        close(l);
        return -1;
    }
    return l;
}

void make_pair(Kind kind, Pair* p) {
    int fds[2];
    if (kind == Kind::kSocketPair) {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    } else if (kind == Kind::kPipe) {
        ASSERT_EQ(0, pipe(fds));
    } else {
        sockaddr_in addr;
        Fd l(tcp_listener(&addr));
        ASSERT_GE(l.fd, 0);
        fds[1] = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fds[1], 0);
        ASSERT_EQ(0, connect(fds[1], reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        fds[0] = accept(l, nullptr, nullptr);
        ASSERT_GE(fds[0], 0);
    }
    p->a.fd = fds[0];
    p->b.fd = fds[1];
    set_nonblocking(p->a);
    set_nonblocking(p->b);
}

struct kevent ev(uintptr_t ident, short filter, unsigned short flags, unsigned fflags = 0,
                 int64_t data = 0, void* udata = nullptr) {
    struct kevent e;
    EV_SET(&e, ident, filter, flags, fflags, data, udata);
    return e;
}

// Applies one change without room for events: 0, or the errno it failed with.
int change(int kq, uintptr_t ident, short filter, unsigned short flags, unsigned fflags = 0,
           void* udata = nullptr) {
    struct kevent e = ev(ident, filter, flags, fflags, 0, udata);
    return kevent(kq, &e, 1, nullptr, 0, nullptr) == 0 ? 0 : errno;
}

std::vector<struct kevent> wait_for(int kq, int timeout_ms = 0, int max = 16) {
    std::vector<struct kevent> out(static_cast<size_t>(max));
    timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    int n = kevent(kq, nullptr, 0, out.data(), max, &ts);
    EXPECT_GE(n, 0) << strerror(errno);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

const struct kevent* find(const std::vector<struct kevent>& evs, uintptr_t ident, short filter) {
    for (const auto& e : evs) {
        if (e.ident == ident && e.filter == filter) return &e;
    }
    return nullptr;
}

int count(const std::vector<struct kevent>& evs, uintptr_t ident, short filter) {
    int n = 0;
    for (const auto& e : evs) n += e.ident == ident && e.filter == filter;
    return n;
}

void put(int fd, size_t n) {
    std::string s(n, 'x');
    ASSERT_EQ(static_cast<ssize_t>(n), write(fd, s.data(), n));
}

void drain(int fd) {
    char buf[65536];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

// Fills the send side until the kernel refuses more.
void fill(int fd) {
    std::string s(65536, 'y');
    for (int i = 0; i < 10000; i++) {
        if (write(fd, s.data(), s.size()) < 0) {
            ASSERT_EQ(EAGAIN, errno);
            return;
        }
    }
    FAIL() << "send side never filled";
}

class KeventTest : public ::testing::Test {
protected:
    void SetUp() override {
        kq.fd = kqueue();
        ASSERT_GE(kq.fd, 0) << strerror(errno);
    }
    Fd kq;
};

// ---- adding, modifying, deleting, enabling and disabling ----

struct Step {
    short filter;
    unsigned short flags;
    int expect;  // errno, 0 for success
    void* udata;
};

struct ChangeCase {
    const char* name;
    std::vector<Step> steps;
    bool read_reported;
    bool write_reported;
    void* read_udata;
};

void* const kU1 = reinterpret_cast<void*>(0x11);
void* const kU2 = reinterpret_cast<void*>(0x22);

class ChangeTable : public KeventTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangeTable, AppliesChangesToTheReadAndWriteFilters) {
    // Data is waiting and there is room to write, so every enabled filter fires.
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    put(p.b, 10);
    const ChangeCase& c = GetParam();
    for (const Step& s : c.steps) {
        EXPECT_EQ(s.expect, change(kq, p.a.fd, s.filter, s.flags, 0, s.udata))
            << "filter " << s.filter << " flags " << s.flags;
    }
    auto evs = wait_for(kq);
    EXPECT_EQ(c.read_reported ? 1 : 0, count(evs, p.a.fd, EVFILT_READ));
    EXPECT_EQ(c.write_reported ? 1 : 0, count(evs, p.a.fd, EVFILT_WRITE));
    if (const struct kevent* r = find(evs, p.a.fd, EVFILT_READ)) {
        EXPECT_EQ(c.read_udata, r->udata);
        EXPECT_EQ(10, r->data);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangeTable,
    ::testing::Values(
        ChangeCase{"AddRead", {{EVFILT_READ, EV_ADD, 0, kU1}}, true, false, kU1},
        ChangeCase{"AddWrite", {{EVFILT_WRITE, EV_ADD, 0, kU1}}, false, true, nullptr},
        ChangeCase{"AddBoth",
                   {{EVFILT_READ, EV_ADD, 0, kU1}, {EVFILT_WRITE, EV_ADD, 0, kU2}},
                   true,
                   true,
                   kU1},
        ChangeCase{"AddDisabled", {{EVFILT_READ, EV_ADD | EV_DISABLE, 0, kU1}}, false, false, nullptr},
        ChangeCase{"AddThenDisable",
                   {{EVFILT_READ, EV_ADD, 0, kU1}, {EVFILT_READ, EV_DISABLE, 0, kU1}},
                   false,
                   false,
                   nullptr},
        ChangeCase{"DisabledThenEnabled",
                   {{EVFILT_READ, EV_ADD | EV_DISABLE, 0, kU1}, {EVFILT_READ, EV_ENABLE, 0, kU1}},
                   true,
                   false,
                   kU1},
        ChangeCase{"ReAddModifiesUdata",
                   {{EVFILT_READ, EV_ADD, 0, kU1}, {EVFILT_READ, EV_ADD, 0, kU2}},
                   true,
                   false,
                   kU2},
        ChangeCase{"DeleteWriteKeepsRead",
                   {{EVFILT_READ, EV_ADD, 0, kU1},
                    {EVFILT_WRITE, EV_ADD, 0, kU2},
                    {EVFILT_WRITE, EV_DELETE, 0, nullptr}},
                   true,
                   false,
                   kU1},
        ChangeCase{"DisableReadKeepsWrite",
                   {{EVFILT_READ, EV_ADD, 0, kU1},
                    {EVFILT_WRITE, EV_ADD, 0, kU2},
                    {EVFILT_READ, EV_DISABLE, 0, kU1}},
                   false,
                   true,
                   nullptr},
        ChangeCase{"DeleteBoth",
                   {{EVFILT_READ, EV_ADD, 0, kU1},
                    {EVFILT_WRITE, EV_ADD, 0, kU2},
                    {EVFILT_READ, EV_DELETE, 0, nullptr},
                    {EVFILT_WRITE, EV_DELETE, 0, nullptr}},
                   false,
                   false,
                   nullptr},
        ChangeCase{"DeleteAbsent", {{EVFILT_READ, EV_DELETE, ENOENT, nullptr}}, false, false, nullptr},
        ChangeCase{"DeleteTwice",
                   {{EVFILT_WRITE, EV_ADD, 0, kU1},
                    {EVFILT_WRITE, EV_DELETE, 0, nullptr},
                    {EVFILT_WRITE, EV_DELETE, ENOENT, nullptr}},
                   false,
                   false,
                   nullptr},
        ChangeCase{"DeleteOtherFilterOfRegisteredFd",
                   {{EVFILT_READ, EV_ADD, 0, kU1}, {EVFILT_WRITE, EV_DELETE, ENOENT, nullptr}},
                   true,
                   false,
                   kU1},
        ChangeCase{"EnableAbsent", {{EVFILT_READ, EV_ENABLE, ENOENT, nullptr}}, false, false, nullptr},
        ChangeCase{"DisableAbsent", {{EVFILT_WRITE, EV_DISABLE, ENOENT, nullptr}}, false, false, nullptr},
        ChangeCase{"UnknownFilter", {{-100, EV_ADD, EINVAL, nullptr}}, false, false, nullptr}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

TEST_F(KeventTest, AddOnAClosedDescriptorFailsWithEbadf) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(EBADF, change(kq, fds[0], EVFILT_READ, EV_ADD));
}

// ---- reporting failed changes ----

TEST_F(KeventTest, FailedChangesComeBackAsEvErrorEntriesThatCountInTheResult) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    put(p.b, 5);
    struct kevent changes[3] = {ev(p.a.fd, EVFILT_READ, EV_DELETE, 0, 0, kU1),
                                ev(p.a.fd, EVFILT_WRITE, EV_ADD, 0, 0, kU2),
                                ev(p.a.fd, EVFILT_READ, EV_DELETE)};
    struct kevent out[8];
    timespec zero{0, 0};
    int n = kevent(kq, changes, 3, out, 8, &zero);
    ASSERT_EQ(2, n);
    for (int i = 0; i < n; i++) {
        EXPECT_TRUE(out[i].flags & EV_ERROR);
        EXPECT_EQ(ENOENT, out[i].data);
        EXPECT_EQ(uintptr_t(p.a.fd), out[i].ident);
        EXPECT_EQ(EVFILT_READ, out[i].filter);
    }
    EXPECT_EQ(kU1, out[0].udata);
    // The good change in between was applied all the same.
    auto evs = wait_for(kq);
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE));
}

TEST_F(KeventTest, FailedChangeWithoutRoomFailsTheCall) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    struct kevent c = ev(p.a.fd, EVFILT_READ, EV_DELETE);
    errno = 0;
    EXPECT_EQ(-1, kevent(kq, &c, 1, nullptr, 0, nullptr));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(KeventTest, ReceiptReportsSuccessAsEvErrorWithZeroData) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    put(p.b, 1);
    struct kevent c = ev(p.a.fd, EVFILT_READ, EV_ADD | EV_RECEIPT, 0, 0, kU1);
    struct kevent out[4];
    timespec zero{0, 0};
    ASSERT_EQ(1, kevent(kq, &c, 1, out, 4, &zero));
    EXPECT_TRUE(out[0].flags & EV_ERROR);
    EXPECT_EQ(0, out[0].data);
    EXPECT_EQ(1, count(wait_for(kq), p.a.fd, EVFILT_READ));
}

TEST_F(KeventTest, ChangesAreAppliedBeforeEventsAreCollected) {
    Pair p;
    make_pair(Kind::kPipe, &p);
    put(p.b, 7);
    // Same array for changes and events, as the interface allows.
    struct kevent buf[4] = {ev(p.a.fd, EVFILT_READ, EV_ADD, 0, 0, kU1)};
    timespec zero{0, 0};
    ASSERT_EQ(1, kevent(kq, buf, 1, buf, 4, &zero));
    EXPECT_EQ(uintptr_t(p.a.fd), buf[0].ident);
    EXPECT_EQ(EVFILT_READ, buf[0].filter);
    EXPECT_EQ(7, buf[0].data);
    EXPECT_EQ(kU1, buf[0].udata);
}

TEST_F(KeventTest, NoRoomForEventsReturnsAtOnceEvenWithoutTimeout) {
    Pair p;
    make_pair(Kind::kPipe, &p);
    std::atomic<int> result{-2};
    std::thread t([&] {
        struct kevent c[2] = {ev(p.a.fd, EVFILT_READ, EV_ADD),
                              ev(42, EVFILT_USER, EV_ADD | EV_CLEAR, NOTE_TRIGGER)};
        result = kevent(kq, c, 2, nullptr, 0, nullptr);
    });
    auto until = Clock::now() + std::chrono::seconds(2);
    while (result == -2 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (result == -2) {
        // Unblock it so the test ends instead of hanging.
        struct kevent wake = ev(43, EVFILT_USER, EV_ADD, NOTE_TRIGGER);
        kevent(kq, &wake, 1, nullptr, 0, nullptr);
        put(p.b, 1);
    }
    t.join();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(1, count(wait_for(kq), 42, EVFILT_USER));
}

// ---- EV_CLEAR ----

TEST_F(KeventTest, ClearReadReportsOncePerArrivalLevelReadEveryTime) {
    for (bool clear : {true, false}) {
        SCOPED_TRACE(clear ? "EV_CLEAR" : "level");
        Fd q(kqueue());
        Pair p;
        make_pair(Kind::kSocketPair, &p);
        ASSERT_EQ(0, change(q, p.a.fd, EVFILT_READ, EV_ADD | (clear ? EV_CLEAR : 0)));
        put(p.b, 3);
        const struct kevent* e;
        auto evs = wait_for(q);
        ASSERT_NE(nullptr, e = find(evs, p.a.fd, EVFILT_READ));
        EXPECT_EQ(3, e->data);
        EXPECT_EQ(clear ? 0 : 1, count(wait_for(q), p.a.fd, EVFILT_READ));
        EXPECT_EQ(clear ? 0 : 1, count(wait_for(q), p.a.fd, EVFILT_READ));
        put(p.b, 4);
        evs = wait_for(q);
        ASSERT_NE(nullptr, e = find(evs, p.a.fd, EVFILT_READ));
        EXPECT_EQ(7, e->data);  // everything pending, not just what arrived last
        EXPECT_EQ(clear ? 0 : 1, count(wait_for(q), p.a.fd, EVFILT_READ));
    }
}

TEST_F(KeventTest, ClearWriteReportsAgainOnlyWhenSpaceComesBack) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_ADD | EV_CLEAR));
    EXPECT_EQ(1, count(wait_for(kq), p.a.fd, EVFILT_WRITE));
    EXPECT_EQ(0, count(wait_for(kq), p.a.fd, EVFILT_WRITE));
    fill(p.a);
    EXPECT_EQ(0, count(wait_for(kq), p.a.fd, EVFILT_WRITE));
    drain(p.b);
    auto evs = wait_for(kq, 2000);
    const struct kevent* e = find(evs, p.a.fd, EVFILT_WRITE);
    ASSERT_NE(nullptr, e);
    EXPECT_GT(e->data, 0);
    EXPECT_EQ(0, count(wait_for(kq), p.a.fd, EVFILT_WRITE));
}

TEST_F(KeventTest, ClearReadNextToLevelWriteOnOneDescriptor) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_ADD));
    put(p.b, 2);
    auto evs = wait_for(kq);
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ));
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE));
    for (int i = 0; i < 3; i++) {
        evs = wait_for(kq);
        EXPECT_EQ(0, count(evs, p.a.fd, EVFILT_READ)) << "round " << i;
        EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE)) << "round " << i;
    }
    put(p.b, 2);
    evs = wait_for(kq);
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ));
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE));
}

TEST_F(KeventTest, LevelReadNextToClearWriteOnOneDescriptor) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    put(p.b, 2);
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD));
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_ADD | EV_CLEAR));
    auto evs = wait_for(kq);
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ));
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE));
    for (int i = 0; i < 3; i++) {
        evs = wait_for(kq);
        EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ)) << "round " << i;
        EXPECT_EQ(0, count(evs, p.a.fd, EVFILT_WRITE)) << "round " << i;
    }
    drain(p.a);
    EXPECT_EQ(0u, wait_for(kq).size());
}

// Removing or disabling one filter must leave the other's clear state alone.
TEST_F(KeventTest, DeletingOrDisablingOneFilterKeepsTheOthersClearState) {
    for (unsigned short op : {EV_DELETE, EV_DISABLE}) {
        SCOPED_TRACE(op == EV_DELETE ? "delete" : "disable");
        Fd q(kqueue());
        Pair p;
        make_pair(Kind::kSocketPair, &p);
        ASSERT_EQ(0, change(q, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
        ASSERT_EQ(0, change(q, p.a.fd, EVFILT_WRITE, EV_ADD | EV_CLEAR));
        put(p.b, 2);
        auto evs = wait_for(q);
        EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ));
        EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE));
        EXPECT_EQ(0u, wait_for(q).size());
        ASSERT_EQ(0, change(q, p.a.fd, EVFILT_WRITE, op));
        EXPECT_EQ(0u, wait_for(q).size()) << "the read filter must not fire again by itself";
        put(p.b, 2);
        evs = wait_for(q);
        EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ));
        EXPECT_EQ(0, count(evs, p.a.fd, EVFILT_WRITE));
        EXPECT_EQ(0u, wait_for(q).size());
    }
}

TEST_F(KeventTest, TogglingWriteDoesNotReportAClearReadAgain) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_ADD | EV_CLEAR | EV_DISABLE));
    put(p.b, 2);
    EXPECT_EQ(1, count(wait_for(kq), p.a.fd, EVFILT_READ));
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_ENABLE));
        auto evs = wait_for(kq);
        EXPECT_EQ(0, count(evs, p.a.fd, EVFILT_READ)) << "round " << i;
        EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_WRITE)) << "round " << i;
        ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_DISABLE));
        EXPECT_EQ(0u, wait_for(kq).size());
    }
}

// ---- EOF ----

struct EofCase {
    Kind kind;
    bool shutdown_only;  // the peer shuts its sending side instead of closing
};

class EofTable : public KeventTest, public ::testing::WithParamInterface<EofCase> {};

TEST_P(EofTable, ReportsEofWithTheDataStillReadable) {
    Pair p;
    make_pair(GetParam().kind, &p);
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
    put(p.b, 5);
    if (GetParam().shutdown_only) {
        ASSERT_EQ(0, shutdown(p.b, SHUT_WR));
    } else {
        p.b.reset();
    }
    const struct kevent* e = nullptr;
    std::vector<struct kevent> evs;
    // TCP delivers the FIN asynchronously; give it a moment.
    for (int i = 0; i < 200; i++) {
        evs = wait_for(kq, 10);
        e = find(evs, p.a.fd, EVFILT_READ);
        if (e && (e->flags & EV_EOF)) break;
    }
    ASSERT_NE(nullptr, e);
    EXPECT_TRUE(e->flags & EV_EOF);
    EXPECT_EQ(5, e->data);
    if (GetParam().shutdown_only) {
        // Only the peer's direction ended: we can still write, without EOF.
        ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_WRITE, EV_ADD));
        const struct kevent* w = find(evs = wait_for(kq), p.a.fd, EVFILT_WRITE);
        ASSERT_NE(nullptr, w);
        EXPECT_FALSE(w->flags & EV_EOF);
    }
    drain(p.a);
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD));
    e = find(evs = wait_for(kq), p.a.fd, EVFILT_READ);
    ASSERT_NE(nullptr, e);
    EXPECT_TRUE(e->flags & EV_EOF);
    EXPECT_EQ(0, e->data);
}

INSTANTIATE_TEST_SUITE_P(Eof, EofTable,
                         ::testing::Values(EofCase{Kind::kSocketPair, false},
                                           EofCase{Kind::kSocketPair, true},
                                           EofCase{Kind::kTcp, false}, EofCase{Kind::kTcp, true},
                                           EofCase{Kind::kPipe, false}),
                         [](const ::testing::TestParamInfo<EofCase>& info) {
                             return std::string(kind_name(info.param.kind)) +
                                    (info.param.shutdown_only ? "Shutdown" : "Close");
                         });

TEST_F(KeventTest, WriteFilterSeesTheReaderGoAway) {
    Pair p;
    make_pair(Kind::kPipe, &p);
    ASSERT_EQ(0, change(kq, p.b.fd, EVFILT_WRITE, EV_ADD | EV_CLEAR));
    EXPECT_EQ(1, count(wait_for(kq), p.b.fd, EVFILT_WRITE));
    p.a.reset();
    const struct kevent* e;
    auto evs = wait_for(kq, 1000);
    ASSERT_NE(nullptr, e = find(evs, p.b.fd, EVFILT_WRITE));
    EXPECT_TRUE(e->flags & EV_EOF);
}

// A bound socket that does not listen: its port stays ours and refuses.
struct RefusingPort {
    Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in addr{};
    RefusingPort() {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len));
    }
};

int so_error(int fd) {
    int err = -1;
    socklen_t len = sizeof(err);
    EXPECT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len)) << strerror(errno);
    return err;
}

// The event carries the error in fflags (or 0 where the layer cannot read it
// without consuming it), but the error itself stays pending on the socket:
// whoever finishes the connect after the wait must still see the refusal.
TEST_F(KeventTest, RefusedConnectReportsEofAndLeavesTheErrorPending) {
    for (unsigned short flags : {EV_ONESHOT, EV_CLEAR, 0}) {
        SCOPED_TRACE(flags);
        Fd q(kqueue());
        RefusingPort port;
        Fd s(socket(AF_INET, SOCK_STREAM, 0));
        set_nonblocking(s);
        if (connect(s, reinterpret_cast<sockaddr*>(&port.addr), sizeof(port.addr)) == 0 ||
            errno != EINPROGRESS) {
            GTEST_SKIP() << "connect finished at once (" << strerror(errno) << ")";
        }
        ASSERT_EQ(0, change(q, s.fd, EVFILT_WRITE, EV_ADD | flags));
        auto evs = wait_for(q, 2000);
        const struct kevent* e = find(evs, s.fd, EVFILT_WRITE);
        ASSERT_NE(nullptr, e);
        EXPECT_TRUE(e->flags & EV_EOF);
        EXPECT_TRUE(e->fflags == unsigned(ECONNREFUSED) || e->fflags == 0) << e->fflags;
        if (flags == 0) {
            // A level filter reports it again; the second look must not use it up either.
            EXPECT_EQ(1, count(wait_for(q), s.fd, EVFILT_WRITE));
        }
        EXPECT_EQ(ECONNREFUSED, so_error(s));
        EXPECT_EQ(0, so_error(s)) << "reading SO_ERROR clears it, as it always does";
    }
}

// A peer that aborts (linger 0, then close) resets the connection. The wait
// reports EOF; the error behind it must still be there for the read, or an
// aborted peer would look like an orderly end of stream.
struct ResetCase {
    const char* name;
    short filter;
    unsigned short flags;
    int waits;  // how many times the event is collected before the read
};

class ResetTable : public KeventTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetTable, ReadAfterTheWaitStillFailsWithEconnreset) {
    const ResetCase& c = GetParam();
    Pair p;
    make_pair(Kind::kTcp, &p);
    ASSERT_EQ(0, change(kq, p.a.fd, c.filter, EV_ADD | c.flags));
    if (c.filter == EVFILT_WRITE) {
        // Writable from the start: take that report first, so what follows is the reset.
        EXPECT_EQ(1, count(wait_for(kq, 1000), p.a.fd, EVFILT_WRITE));
        if (!(c.flags & EV_CLEAR)) {
            ASSERT_EQ(0, change(kq, p.a.fd, c.filter, EV_DISABLE));
        }
    }
    struct linger lg{1, 0};
    ASSERT_EQ(0, setsockopt(p.b, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)));
    p.b.reset();
    if (c.filter == EVFILT_WRITE && !(c.flags & EV_CLEAR)) {
        ASSERT_EQ(0, change(kq, p.a.fd, c.filter, EV_ENABLE));
    }
    const struct kevent* e = nullptr;
    std::vector<struct kevent> evs;
    for (int i = 0; i < 200 && !(e && (e->flags & EV_EOF)); i++) {
        e = find(evs = wait_for(kq, 10), p.a.fd, c.filter);
    }
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(e->flags & EV_EOF);
    EXPECT_TRUE(e->fflags == unsigned(ECONNRESET) || e->fflags == 0) << e->fflags;
    for (int i = 1; i < c.waits; i++) {
        EXPECT_EQ(1, count(wait_for(kq), p.a.fd, c.filter)) << "wait " << i;
    }
    char buf[16];
    errno = 0;
    EXPECT_EQ(-1, read(p.a, buf, sizeof(buf)));
    EXPECT_EQ(ECONNRESET, errno) << strerror(errno);
}

INSTANTIATE_TEST_SUITE_P(
    Reset, ResetTable,
    ::testing::Values(ResetCase{"ReadLevel", EVFILT_READ, 0, 1},
                      ResetCase{"ReadLevelSeenThreeTimes", EVFILT_READ, 0, 3},
                      ResetCase{"ReadClear", EVFILT_READ, EV_CLEAR, 1},
                      ResetCase{"ReadOneshot", EVFILT_READ, EV_ONESHOT, 1},
                      ResetCase{"WriteLevelSeenTwice", EVFILT_WRITE, 0, 2},
                      ResetCase{"WriteClear", EVFILT_WRITE, EV_CLEAR, 1}),
    [](const ::testing::TestParamInfo<ResetCase>& info) { return std::string(info.param.name); });

// ---- data ----

TEST_F(KeventTest, ReadDataIsBytesReadableWriteDataIsFreeSpace) {
    for (Kind kind : {Kind::kSocketPair, Kind::kTcp, Kind::kPipe}) {
        SCOPED_TRACE(kind_name(kind));
        Fd q(kqueue());
        Pair p;
        make_pair(kind, &p);
        int writer = kind == Kind::kPipe ? p.b.fd : p.a.fd;
        ASSERT_EQ(0, change(q, p.a.fd, EVFILT_READ, EV_ADD));
        ASSERT_EQ(0, change(q, writer, EVFILT_WRITE, EV_ADD));
        put(p.b, 123);
        const struct kevent* r = nullptr;
        std::vector<struct kevent> evs;
        for (int i = 0; i < 100 && !r; i++) r = find(evs = wait_for(q, 10), p.a.fd, EVFILT_READ);
        ASSERT_NE(nullptr, r);
        EXPECT_EQ(123, r->data);
        const struct kevent* w = find(evs, writer, EVFILT_WRITE);
        ASSERT_NE(nullptr, w);
        EXPECT_GT(w->data, 0);
        EXPECT_LT(w->data, int64_t(1) << 30);
        // A full send side is not writable at all.
        if (kind != Kind::kTcp) {
            fill(writer);
            EXPECT_EQ(0, count(wait_for(q), writer, EVFILT_WRITE));
        }
    }
}

// Waits until the listener's read event reports `want` pending connections:
// the handshake completes on the listener's side a moment after connect().
const struct kevent* wait_for_backlog(int kq, int listener, int64_t want,
                                      std::vector<struct kevent>* evs) {
    const struct kevent* e = nullptr;
    for (int i = 0; i < 200; i++) {
        e = find(*evs = wait_for(kq, 10), listener, EVFILT_READ);
        if (e && e->data == want) return e;
        if (!e) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return e;
}

TEST_F(KeventTest, ListeningSocketReportsHowManyConnectionsWait) {
    sockaddr_in addr;
    Fd l(tcp_listener(&addr));
    ASSERT_GE(l.fd, 0);
    ASSERT_EQ(0, change(kq, l.fd, EVFILT_READ, EV_ADD));
    EXPECT_EQ(0u, wait_for(kq).size());
    Fd clients[3];
    std::vector<struct kevent> evs;
    for (int n = 1; n <= 3; n++) {
        clients[n - 1].fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(0, connect(clients[n - 1], reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        const struct kevent* e = wait_for_backlog(kq, l.fd, n, &evs);
        ASSERT_NE(nullptr, e) << n << " waiting";
        EXPECT_EQ(n, e->data);
        EXPECT_FALSE(e->flags & EV_EOF);
    }
    for (int left = 2; left >= 0; left--) {
        Fd accepted(accept(l, nullptr, nullptr));
        ASSERT_GE(accepted.fd, 0);
        evs = wait_for(kq);
        const struct kevent* e = find(evs, l.fd, EVFILT_READ);
        if (left == 0) {
            EXPECT_EQ(nullptr, e) << "nothing left to accept";
        } else {
            ASSERT_NE(nullptr, e);
            EXPECT_EQ(left, e->data);
        }
    }
}

// EV_RECEIPT only changes how the change itself is acknowledged; the filter
// keeps it, like the other flags it was added with, on what it delivers.
struct ReceiptCase {
    const char* name;
    Kind kind;      // what is watched, for the descriptor cases
    bool user;      // a user event triggered with a bare NOTE_TRIGGER instead
    bool eof;       // the peer goes away instead of writing
};

class ReceiptTable : public KeventTest, public ::testing::WithParamInterface<ReceiptCase> {};

TEST_P(ReceiptTable, DeliveredEventsKeepEvReceipt) {
    const ReceiptCase& c = GetParam();
    Pair p;
    uintptr_t ident = 7;
    short filter = EVFILT_USER;
    unsigned short flags = EV_ADD | EV_CLEAR | EV_RECEIPT;
    if (!c.user) {
        make_pair(c.kind, &p);
        ident = uintptr_t(p.a.fd);
        filter = EVFILT_READ;
        flags = EV_ADD | EV_RECEIPT;
    }
    struct kevent add = ev(ident, filter, flags, 0, 0, kU1);
    struct kevent out[4];
    timespec zero{0, 0};
    ASSERT_EQ(1, kevent(kq, &add, 1, out, 4, &zero));
    ASSERT_TRUE(out[0].flags & EV_ERROR);
    ASSERT_EQ(0, out[0].data);
    if (c.user) {
        // udata again: every change of a filter sets it.
        ASSERT_EQ(0, change(kq, ident, EVFILT_USER, 0, NOTE_TRIGGER, kU1));
    } else if (c.eof) {
        p.b.reset();
    } else {
        put(p.b, 3);
    }
    const struct kevent* e = nullptr;
    std::vector<struct kevent> evs;
    for (int i = 0; i < 200 && !e; i++) e = find(evs = wait_for(kq, 10), ident, filter);
    ASSERT_NE(nullptr, e);
    EXPECT_TRUE(e->flags & EV_RECEIPT) << std::hex << e->flags;
    EXPECT_FALSE(e->flags & EV_ERROR) << std::hex << e->flags;
    EXPECT_EQ(kU1, e->udata);
    if (c.eof) {
        EXPECT_TRUE(e->flags & EV_EOF);
    }
    if (c.user) {
        EXPECT_TRUE(e->flags & EV_CLEAR) << std::hex << e->flags;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Receipt, ReceiptTable,
    ::testing::Values(ReceiptCase{"SocketData", Kind::kSocketPair, false, false},
                      ReceiptCase{"SocketEof", Kind::kSocketPair, false, true},
                      ReceiptCase{"TcpEof", Kind::kTcp, false, true},
                      ReceiptCase{"PipeEof", Kind::kPipe, false, true},
                      ReceiptCase{"UserTrigger", Kind::kPipe, true, false}),
    [](const ::testing::TestParamInfo<ReceiptCase>& info) { return std::string(info.param.name); });

// ---- regular files ----

// A regular file, opened twice: `reader` is watched, `writer` appends.
struct TempFile {
    Fd reader, writer;
    TempFile() {
        char path[] = "/tmp/ovrel_kevent_XXXXXX";
        writer.fd = mkstemp(path);
        EXPECT_GE(writer.fd, 0) << strerror(errno);
        reader.fd = open(path, O_RDONLY);
        EXPECT_GE(reader.fd, 0) << strerror(errno);
        unlink(path);
    }
};

TEST_F(KeventTest, ReadFilterOnARegularFileReportsTheBytesLeftFromTheOffset) {
    TempFile f;
    put(f.writer, 100);
    ASSERT_EQ(0, change(kq, f.reader.fd, EVFILT_READ, EV_ADD, 0, kU1));
    auto expect_left = [&](int64_t left, const char* when) {
        auto evs = wait_for(kq);
        const struct kevent* e = find(evs, f.reader.fd, EVFILT_READ);
        if (left == 0) {
            EXPECT_EQ(nullptr, e) << when << ": at the end of the file";
            return;
        }
        ASSERT_NE(nullptr, e) << when;
        EXPECT_EQ(left, e->data) << when;
        EXPECT_EQ(kU1, e->udata) << when;
        EXPECT_FALSE(e->flags & EV_EOF) << when;
    };
    expect_left(100, "fresh");
    expect_left(100, "level: again");
    char buf[100];
    ASSERT_EQ(40, read(f.reader, buf, 40));
    expect_left(60, "after reading 40");
    ASSERT_EQ(60, read(f.reader, buf, 60));
    expect_left(0, "after reading all");
    put(f.writer, 10);
    expect_left(10, "after the file grew");
    ASSERT_EQ(0, lseek(f.reader, 0, SEEK_SET));
    expect_left(110, "after seeking back");
}

TEST_F(KeventTest, WriteFilterOnARegularFileIsAlwaysReady) {
    TempFile f;
    ASSERT_EQ(0, change(kq, f.writer.fd, EVFILT_WRITE, EV_ADD, 0, kU2));
    for (int round = 0; round < 2; round++) {
        put(f.writer, 4096);
        auto evs = wait_for(kq);
        ASSERT_EQ(1, count(evs, f.writer.fd, EVFILT_WRITE)) << "round " << round;
        EXPECT_EQ(kU2, find(evs, f.writer.fd, EVFILT_WRITE)->udata);
    }
    ASSERT_EQ(0, change(kq, f.writer.fd, EVFILT_WRITE, EV_DELETE));
    EXPECT_EQ(0u, wait_for(kq).size());
}

// ---- the low-water mark ----

#ifndef NOTE_LOWAT
#define NOTE_LOWAT 0x0001  // the read filter's per-filter low-water mark, FreeBSD's value
#endif

class LowatTable : public KeventTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(LowatTable, ReadFilterWaitsForTheMarkButNotPastEof) {
    Pair p;
    make_pair(GetParam(), &p);
    struct kevent add = ev(p.a.fd, EVFILT_READ, EV_ADD, NOTE_LOWAT, 10, kU1);
    ASSERT_EQ(0, kevent(kq, &add, 1, nullptr, 0, nullptr)) << strerror(errno);
    put(p.b, 4);
    EXPECT_EQ(0u, wait_for(kq, 50).size()) << "4 bytes are below the mark of 10";
    put(p.b, 5);
    EXPECT_EQ(0u, wait_for(kq, 50).size()) << "9 bytes are below the mark of 10";
    put(p.b, 1);
    const struct kevent* e = nullptr;
    std::vector<struct kevent> evs;
    for (int i = 0; i < 100 && !e; i++) e = find(evs = wait_for(kq, 10), p.a.fd, EVFILT_READ);
    ASSERT_NE(nullptr, e) << "10 bytes reach the mark";
    EXPECT_EQ(10, e->data);
    EXPECT_EQ(kU1, e->udata);
    char buf[8];
    ASSERT_EQ(8, read(p.a, buf, sizeof(buf)));
    EXPECT_EQ(0u, wait_for(kq, 20).size()) << "2 bytes left, below the mark again";
    // The end of the stream is reported whatever is left.
    p.b.reset();
    e = nullptr;
    for (int i = 0; i < 100 && !e; i++) e = find(evs = wait_for(kq, 10), p.a.fd, EVFILT_READ);
    ASSERT_NE(nullptr, e) << "EOF below the mark";
    EXPECT_TRUE(e->flags & EV_EOF);
    EXPECT_EQ(2, e->data);
}

INSTANTIATE_TEST_SUITE_P(Lowat, LowatTable, ::testing::Values(Kind::kSocketPair, Kind::kTcp),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(kind_name(info.param));
                         });

// ---- a kqueue inside a kqueue ----

TEST_F(KeventTest, QueueWatchedByAnotherQueueIsReadableWhileItHoldsEvents) {
    Fd inner(kqueue());
    ASSERT_GE(inner.fd, 0);
    Pair p;
    make_pair(Kind::kPipe, &p);
    ASSERT_EQ(0, change(inner, 1, EVFILT_USER, EV_ADD | EV_CLEAR));
    ASSERT_EQ(0, change(inner, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
    ASSERT_EQ(0, change(kq, inner.fd, EVFILT_READ, EV_ADD, 0, kU1));
    EXPECT_EQ(0u, wait_for(kq).size()) << "nothing pending inside";

    struct Source {
        const char* name;
        std::function<void()> make_pending;
    };
    for (const Source& s : {Source{"user event", [&] { change(inner, 1, EVFILT_USER, 0, NOTE_TRIGGER); }},
                            Source{"readable pipe", [&] { put(p.b, 1); }}}) {
        SCOPED_TRACE(s.name);
        // Made pending by another thread while the outer queue sleeps.
        std::thread t([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            s.make_pending();
        });
        auto start = Clock::now();
        auto evs = wait_for(kq, 2000);
        t.join();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
        const struct kevent* e = find(evs, inner.fd, EVFILT_READ);
        ASSERT_NE(nullptr, e);
        EXPECT_GE(e->data, 1);
        EXPECT_EQ(kU1, e->udata);
        // Taking the events out of the inner queue ends the outer report.
        EXPECT_EQ(1u, wait_for(inner).size());
        EXPECT_EQ(0u, wait_for(kq).size());
    }
}

// ---- fork ----

// A child of fork() does not inherit the queue: its number is not a queue
// there, and nothing the child does through it reaches the parent's queue.
// The child only makes system calls and leaves with _exit.
TEST_F(KeventTest, ChildOfForkDoesNotInheritTheQueue) {
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD | EV_CLEAR));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(5);  // never outlive a stuck call
        int code = 0;
        struct kevent c;
        EV_SET(&c, 1, EVFILT_USER, EV_DELETE, 0, 0, nullptr);
        if (kevent(kq.fd, &c, 1, nullptr, 0, nullptr) != -1 || errno != EBADF) code |= 1;
        struct kevent out[1];
        timespec zero{0, 0};
        if (kevent(kq.fd, nullptr, 0, out, 1, &zero) != -1 || errno != EBADF) code |= 2;
        int own = kqueue();
        if (own < 0) {
            code |= 4;
        } else {
            EV_SET(&c, 2, EVFILT_USER, EV_ADD, NOTE_TRIGGER, 0, nullptr);
            if (kevent(own, &c, 1, out, 1, &zero) != 1 || out[0].ident != 2) code |= 8;
        }
        _exit(code);
    }
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 500 && done == 0; i++) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the child did not finish";
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    int code = WEXITSTATUS(status);
    EXPECT_FALSE(code & 1) << "the child deleted through the parent's queue";
    EXPECT_FALSE(code & 2) << "the child waited on the parent's queue";
    EXPECT_FALSE(code & 4) << "the child could not make its own queue";
    EXPECT_FALSE(code & 8) << "the child's own queue did not work";
    // The parent's user event is still there.
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER));
    EXPECT_EQ(1, count(wait_for(kq), 1, EVFILT_USER));
}

// ---- user events ----

TEST_F(KeventTest, UserEventTriggeredFromAnotherThreadWakesTheWaiter) {
    void* tag = reinterpret_cast<void*>(0x5eed);
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD | EV_CLEAR, 0, tag));
    std::atomic<bool> waiting{false};
    std::vector<struct kevent> evs;
    Clock::time_point start;
    std::thread waiter([&] {
        start = Clock::now();
        waiting = true;
        evs = wait_for(kq, 5000);
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER, tag));
    waiter.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(1u, evs[0].ident);
    EXPECT_EQ(EVFILT_USER, evs[0].filter);
    EXPECT_EQ(tag, evs[0].udata);
}

TEST_F(KeventTest, ChangeFromAnotherThreadReachesTheWaiter) {
    Pair p;
    make_pair(Kind::kPipe, &p);
    put(p.b, 3);
    std::atomic<bool> waiting{false};
    std::vector<struct kevent> evs;
    std::thread waiter([&] {
        waiting = true;
        evs = wait_for(kq, 5000);
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
    waiter.join();
    EXPECT_EQ(1, count(evs, p.a.fd, EVFILT_READ));
}

TEST_F(KeventTest, TriggeringAUserEventThatWasNeverAddedFails) {
    EXPECT_EQ(ENOENT, change(kq, 9, EVFILT_USER, 0, NOTE_TRIGGER));
    ASSERT_EQ(0, change(kq, 9, EVFILT_USER, EV_ADD));
    ASSERT_EQ(0, change(kq, 9, EVFILT_USER, EV_DELETE));
    EXPECT_EQ(ENOENT, change(kq, 9, EVFILT_USER, 0, NOTE_TRIGGER));
}

TEST_F(KeventTest, UserEventClearResetsTheTriggerLevelKeepsIt) {
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD | EV_CLEAR));
    ASSERT_EQ(0, change(kq, 2, EVFILT_USER, EV_ADD));
    EXPECT_EQ(0u, wait_for(kq).size());
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER));
    ASSERT_EQ(0, change(kq, 2, EVFILT_USER, 0, NOTE_TRIGGER));
    for (int round = 0; round < 3; round++) {
        auto evs = wait_for(kq);
        EXPECT_EQ(round == 0 ? 1 : 0, count(evs, 1, EVFILT_USER)) << "round " << round;
        EXPECT_EQ(1, count(evs, 2, EVFILT_USER)) << "round " << round;
    }
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER));
    EXPECT_EQ(1, count(wait_for(kq), 1, EVFILT_USER));
}

TEST_F(KeventTest, UserEventFflagsFollowTheControlBits) {
    ASSERT_EQ(0, change(kq, 3, EVFILT_USER, EV_ADD | EV_CLEAR));
    struct Op {
        unsigned fflags;
        unsigned expect;
    };
    for (Op op : {Op{NOTE_FFCOPY | 0x5, 0x5}, Op{NOTE_FFOR | 0x12, 0x17}, Op{NOTE_FFAND | 0x6, 0x6},
                  Op{NOTE_FFNOP | 0xff, 0x6}}) {
        ASSERT_EQ(0, change(kq, 3, EVFILT_USER, 0, op.fflags | NOTE_TRIGGER));
        auto evs = wait_for(kq);
        ASSERT_EQ(1u, evs.size());
        EXPECT_EQ(op.expect, evs[0].fflags & NOTE_FFLAGSMASK) << std::hex << op.fflags;
    }
}

// ---- waiting ----

std::atomic<int> g_signals{0};
void on_signal(int) { g_signals++; }

TEST_F(KeventTest, SignalInterruptsTheWaitWithEintr) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));
    std::atomic<bool> done{false};
    int result = 0;
    int err = 0;
    std::thread waiter([&] {
        struct kevent out[4];
        timespec ts{10, 0};  // safety net; the signal ends the wait long before
        result = kevent(kq, nullptr, 0, out, 4, &ts);
        err = errno;
        done = true;
    });
    // Repeat the signal: one sent before the thread blocks would be lost.
    auto start = Clock::now();
    while (!done && Clock::now() - start < std::chrono::seconds(5)) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    waiter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(EINTR, err);
    EXPECT_GT(g_signals.load(), 0);
}

TEST_F(KeventTest, TimeoutsAreHonouredWithoutRoundingDown) {
    struct kevent out[4];
    for (long ns : {0L, 100000L, 1500000L, 50000000L}) {
        SCOPED_TRACE(ns);
        timespec ts{0, ns};
        auto start = Clock::now();
        EXPECT_EQ(0, kevent(kq, nullptr, 0, out, 4, &ts));
        auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::nanoseconds(ns));
        EXPECT_LT(took, std::chrono::seconds(2));
    }
}

TEST_F(KeventTest, NullTimeoutWaitsForAnEvent) {
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD | EV_CLEAR));
    std::thread trigger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER);
    });
    struct kevent out[4];
    auto start = Clock::now();
    int n = kevent(kq, nullptr, 0, out, 4, nullptr);
    auto took = Clock::now() - start;
    trigger.join();
    EXPECT_EQ(1, n);
    EXPECT_GE(took, std::chrono::milliseconds(50));
}

TEST_F(KeventTest, InvalidTimeoutsFailWithEinval) {
    struct kevent out[4];
    for (timespec ts : {timespec{-1, 0}, timespec{0, -1}, timespec{0, 1000000000L}}) {
        errno = 0;
        EXPECT_EQ(-1, kevent(kq, nullptr, 0, out, 4, &ts)) << ts.tv_sec << " " << ts.tv_nsec;
        EXPECT_EQ(EINVAL, errno);
    }
}

// ---- descriptors that go away ----

TEST_F(KeventTest, ClosedAndReusedDescriptorNumberStartsClean) {
    for (bool register_again : {true, false}) {
        SCOPED_TRACE(register_again ? "registered again" : "not registered again");
        Fd q(kqueue());
        Pair old_pair;
        make_pair(Kind::kPipe, &old_pair);
        int number = old_pair.a.fd;
        ASSERT_EQ(0, change(q, number, EVFILT_READ, EV_ADD, 0, kU1));
        put(old_pair.b, 1);
        EXPECT_EQ(1, count(wait_for(q), number, EVFILT_READ));
        old_pair.a.reset();
        Pair fresh;
        make_pair(Kind::kPipe, &fresh);
        ASSERT_EQ(number, dup2(fresh.a.fd, number));
        Fd reused(number);
        if (register_again) {
            ASSERT_EQ(0, change(q, number, EVFILT_READ, EV_ADD, 0, kU2));
        } else {
            EXPECT_EQ(ENOENT, change(q, number, EVFILT_READ, EV_DISABLE));
        }
        EXPECT_EQ(0u, wait_for(q).size());
        put(fresh.b, 4);
        auto evs = wait_for(q);
        if (register_again) {
            ASSERT_EQ(1u, evs.size());
            EXPECT_EQ(kU2, evs[0].udata);
            EXPECT_EQ(4, evs[0].data);
        } else {
            EXPECT_EQ(0u, evs.size());
        }
    }
}

TEST_F(KeventTest, ClosingARegisteredNumberEndsItsEventsEvenWithADuplicateOpen) {
    Pair p;
    make_pair(Kind::kPipe, &p);
    int number = p.a.fd;
    ASSERT_EQ(0, change(kq, number, EVFILT_READ, EV_ADD));
    Fd dup_fd(dup(number));
    ASSERT_GE(dup_fd.fd, 0);
    p.a.reset();
    put(p.b, 2);
    EXPECT_EQ(0u, wait_for(kq).size());
    // The same file back under its old number is a new registration.
    ASSERT_EQ(number, dup2(dup_fd, number));
    Fd back(number);
    ASSERT_EQ(0, change(kq, number, EVFILT_READ, EV_ADD | EV_CLEAR, 0, kU2));
    auto evs = wait_for(kq);
    ASSERT_EQ(1, count(evs, number, EVFILT_READ));
    EXPECT_EQ(kU2, find(evs, number, EVFILT_READ)->udata);
    EXPECT_EQ(0u, wait_for(kq).size());
}

TEST_F(KeventTest, OldFileKeptOpenByADuplicateDoesNotSpeakForTheNumbersNewFile) {
    Pair old_pair, fresh;
    make_pair(Kind::kPipe, &old_pair);
    make_pair(Kind::kPipe, &fresh);
    int number = old_pair.a.fd;
    ASSERT_EQ(0, change(kq, number, EVFILT_READ, EV_ADD, 0, kU1));
    Fd keep_old(dup(number));
    ASSERT_EQ(number, dup2(fresh.a.fd, number));  // closes the old file's number
    old_pair.a.fd = -1;
    Fd reused(number);
    ASSERT_EQ(0, change(kq, number, EVFILT_READ, EV_ADD, 0, kU2));
    put(old_pair.b, 3);
    EXPECT_EQ(0u, wait_for(kq).size()) << "the old file's data must not show up";
    put(fresh.b, 2);
    auto evs = wait_for(kq);
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(kU2, evs[0].udata);
    EXPECT_EQ(2, evs[0].data);
}

TEST_F(KeventTest, NewQueueOnAClosedQueuesNumberStartsEmpty) {
    Pair p;
    make_pair(Kind::kPipe, &p);
    put(p.b, 1);
    int number = kq.fd;
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD));
    ASSERT_EQ(0, change(kq, 5, EVFILT_USER, EV_ADD, NOTE_TRIGGER));
    kq.reset();
    kq.fd = kqueue();
    ASSERT_GE(kq.fd, 0);
    if (kq.fd != number) GTEST_SKIP() << "the number was not handed out again";
    EXPECT_EQ(0u, wait_for(kq).size());
    EXPECT_EQ(ENOENT, change(kq, 5, EVFILT_USER, 0, NOTE_TRIGGER));
    EXPECT_EQ(ENOENT, change(kq, p.a.fd, EVFILT_READ, EV_DELETE));
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD));
    EXPECT_EQ(1, count(wait_for(kq), p.a.fd, EVFILT_READ));
}

TEST_F(KeventTest, KeventOnSomethingThatIsNotAQueueFailsWithEbadf) {
    Pair p;
    make_pair(Kind::kSocketPair, &p);
    Fd closed_queue(kqueue());
    int closed_number = closed_queue.fd;
    closed_queue.reset();
    struct kevent out[2];
    timespec zero{0, 0};
    for (int fd : {p.a.fd, -1, closed_number}) {
        errno = 0;
        EXPECT_EQ(-1, kevent(fd, nullptr, 0, out, 2, &zero)) << fd;
        EXPECT_EQ(EBADF, errno) << fd;
    }
}

}  // namespace
