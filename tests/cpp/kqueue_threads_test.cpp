// kqueue()/kevent() with more than one thread on a queue. The rule these tests
// hold the layer to is FreeBSD's: an event is visible to every thread waiting on
// the queue as soon as it is pending, whichever thread made it pending; an event
// is only ever delivered for the file and the queue it was registered on; and
// with more ready events than room, each of them comes back within a few calls.
// Written against the kqueue interface and POSIX only, like kevent_test.cpp, so
// it compiles against FreeBSD's own headers too.
//
// Sleeping threads: a test starts them, waits until they are about to call
// kevent() and gives them a moment to get into it. A thread that is late only
// makes a test weaker, never wrongly failing. Every wait has a timeout and
// every thread is joined.

#include "platform/event.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cpp/support/fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using ovrel_test::Fd;
using ovrel_test::set_nonblocking;


// [0] is watched, [1] is its peer (for a pipe: read end, write end).
struct Pair {
    Fd a, b;
    explicit Pair(bool pipe_pair = false) {
        int fds[2];
        int r = pipe_pair ? pipe(fds) : socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        EXPECT_EQ(0, r) << strerror(errno);
        a.fd = fds[0];
        b.fd = fds[1];
        set_nonblocking(a);
        set_nonblocking(b);
    }
};

void put(int fd, size_t n) {
    std::string s(n, 'x');
    ASSERT_EQ(static_cast<ssize_t>(n), write(fd, s.data(), n));
}

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

int change(int kq, uintptr_t ident, short filter, unsigned short flags, unsigned fflags = 0,
           void* udata = nullptr) {
    struct kevent e;
    EV_SET(&e, ident, filter, flags, fflags, 0, udata);
    return kevent(kq, &e, 1, nullptr, 0, nullptr) == 0 ? 0 : errno;
}

std::vector<struct kevent> poll_events(int kq, int timeout_ms = 0, int room = 16) {
    std::vector<struct kevent> out(static_cast<size_t>(room));
    timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    int n = kevent(kq, nullptr, 0, out.data(), room, &ts);
    EXPECT_GE(n, 0) << strerror(errno);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

int count(const std::vector<struct kevent>& evs, uintptr_t ident, short filter) {
    int n = 0;
    for (const auto& e : evs) n += e.ident == ident && e.filter == filter;
    return n;
}

void* tag(uintptr_t v) { return reinterpret_cast<void*>(v); }

// A thread asleep in kevent() on `kq` with room for `room` events.
class Sleeper {
public:
    Sleeper(int kq, int room, int timeout_ms) : out_(static_cast<size_t>(room)) {
        thread_ = std::thread([this, kq, room, timeout_ms] {
            timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
            start_ = Clock::now();
            entering_ = true;
            result_ = kevent(kq, nullptr, 0, out_.data(), room, &ts);
            err_ = errno;
            took_ = Clock::now() - start_;
        });
        while (!entering_) std::this_thread::yield();
    }
    ~Sleeper() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int result() const { return result_; }
    int err() const { return err_; }
    Clock::duration took() const { return took_; }
    std::vector<struct kevent> events() const {
        return {out_.begin(), out_.begin() + (result_ > 0 ? result_ : 0)};
    }

private:
    std::vector<struct kevent> out_;
    std::thread thread_;
    std::atomic<bool> entering_{false};
    Clock::time_point start_;
    Clock::duration took_{};
    int result_ = -2;
    int err_ = 0;
};

// Gives started sleepers the time to get into the kernel.
void let_them_sleep() { std::this_thread::sleep_for(milliseconds(60)); }

class KqueueThreads : public ::testing::Test {
protected:
    void SetUp() override {
        kq.fd = kqueue();
        ASSERT_GE(kq.fd, 0) << strerror(errno);
    }
    Fd kq;
};

// ---- a registration must not outlive its file ----

struct StaleCase {
    const char* name;
    short filter;
    unsigned short flags;  // EV_DISPATCH or EV_ONESHOT
    bool old_file_kept;    // a duplicate keeps the old file open after its number is reused
};

class StaleRegistration : public KqueueThreads, public ::testing::WithParamInterface<StaleCase> {};

// The event is delivered, which disables (EV_DISPATCH) or deletes (EV_ONESHOT)
// the filter; then the number is closed and reused by a new socket before the
// next change. Closing the number removed the registration: the new socket
// must not report under the old udata, must not be enabled through the old
// registration, and a fresh EV_ADD on it must not inherit the old flags.
TEST_P(StaleRegistration, DeliveredDispatchOrOneshotFilterDoesNotPassToTheNewFile) {
    const StaleCase& c = GetParam();
    Pair old_pair;
    int number = old_pair.a.fd;
    put(old_pair.b, 1);
    ASSERT_EQ(0, change(kq, number, c.filter, EV_ADD | c.flags, 0, tag(0x01d)));
    auto evs = poll_events(kq, 1000);
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(tag(0x01d), evs[0].udata);

    Fd keep_old(c.old_file_kept ? dup(number) : -1);
    Pair fresh;
    put(fresh.b, 1);  // the new socket is readable and writable
    ASSERT_EQ(number, dup2(fresh.a, number));
    old_pair.a.fd = -1;
    Fd reused(number);
    if (c.old_file_kept) put(old_pair.b, 1);  // the old file stays ready: it must not speak for the number

    EXPECT_EQ(0u, poll_events(kq, 50).size()) << "nothing is registered for the new socket";
    EXPECT_EQ(ENOENT, change(kq, number, c.filter, EV_ENABLE, 0, tag(0x01d)));
    EXPECT_EQ(0u, poll_events(kq, 50).size());

    ASSERT_EQ(0, change(kq, number, c.filter, EV_ADD, 0, tag(0x2e3)));
    for (int round = 0; round < 2; round++) {
        evs = poll_events(kq);
        ASSERT_EQ(1u, evs.size()) << "a level filter reports on every call, round " << round;
        EXPECT_EQ(uintptr_t(number), evs[0].ident);
        EXPECT_EQ(c.filter, evs[0].filter);
        EXPECT_EQ(tag(0x2e3), evs[0].udata);
        EXPECT_FALSE(evs[0].flags & (EV_DISPATCH | EV_ONESHOT)) << std::hex << evs[0].flags;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reuse, StaleRegistration,
    ::testing::Values(StaleCase{"ReadDispatch", EVFILT_READ, EV_DISPATCH, false},
                      StaleCase{"WriteDispatch", EVFILT_WRITE, EV_DISPATCH, false},
                      StaleCase{"ReadOneshot", EVFILT_READ, EV_ONESHOT, false},
                      StaleCase{"WriteOneshot", EVFILT_WRITE, EV_ONESHOT, false},
                      StaleCase{"WriteDispatchOldFileKept", EVFILT_WRITE, EV_DISPATCH, true},
                      StaleCase{"ReadOneshotOldFileKept", EVFILT_READ, EV_ONESHOT, true}),
    [](const ::testing::TestParamInfo<StaleCase>& info) { return std::string(info.param.name); });

// The same, with the number reused while the woken thread is on its way back:
// its wait has seen the event, but a long change list applied by a third
// thread holds the queue meanwhile, and the number changes files in between.
// Whether or not the woken thread still hands out that last event of the old
// socket, the new socket must not end up under the old registration.
TEST_F(KqueueThreads, NumberReusedWhileTheWokenThreadIsOnItsWayBack) {
    Pair old_pair;
    int number = old_pair.a.fd;
    fill(old_pair.a);
    ASSERT_EQ(0, change(kq, number, EVFILT_WRITE, EV_ADD | EV_DISPATCH, 0, tag(0x01d)));
    Pair idle(true);
    ASSERT_EQ(0, change(kq, idle.a.fd, EVFILT_READ, EV_ADD));
    ASSERT_EQ(0u, poll_events(kq).size()) << "the old socket's send side is full";
    // Many changes in one call: they are all applied before the call looks at events.
    std::vector<struct kevent> busy(100000);
    for (size_t i = 0; i < busy.size(); i++) {
        EV_SET(&busy[i], idle.a.fd, EVFILT_READ, i % 2 ? EV_ENABLE : EV_DISABLE, 0, 0, nullptr);
    }

    Pair fresh;
    Sleeper sleeper(kq, 4, 2000);
    let_them_sleep();
    std::atomic<bool> busy_started{false};
    Clock::duration busy_took{};
    std::thread busy_thread([&] {
        busy_started = true;
        auto start = Clock::now();
        EXPECT_EQ(0, kevent(kq, busy.data(), int(busy.size()), nullptr, 0, nullptr));
        busy_took = Clock::now() - start;
    });
    while (!busy_started) std::this_thread::yield();
    std::this_thread::sleep_for(milliseconds(2));
    char buf[65536];
    while (read(old_pair.b, buf, sizeof(buf)) > 0) {
    }  // the old socket becomes writable: the sleeper's wait returns
    std::this_thread::sleep_for(milliseconds(2));
    ASSERT_EQ(number, dup2(fresh.a, number));
    old_pair.a.fd = -1;
    Fd reused(number);
    busy_thread.join();
    sleeper.join();
    for (const auto& e : sleeper.events()) {
        EXPECT_EQ(uintptr_t(number), e.ident);
        EXPECT_EQ(tag(0x01d), e.udata);
    }

    EXPECT_EQ(ENOENT, change(kq, number, EVFILT_WRITE, EV_ENABLE))
        << "the old socket's registration went with its close";
    auto evs = poll_events(kq, 50);
    EXPECT_EQ(0, count(evs, uintptr_t(number), EVFILT_WRITE))
        << "the new socket reported under " << (evs.empty() ? nullptr : evs[0].udata);
    ASSERT_EQ(0, change(kq, number, EVFILT_WRITE, EV_ADD, 0, tag(0x2e3)));
    for (int round = 0; round < 2; round++) {
        evs = poll_events(kq);
        ASSERT_EQ(1, count(evs, uintptr_t(number), EVFILT_WRITE)) << "round " << round;
        EXPECT_EQ(tag(0x2e3), evs[0].udata);
    }
    // The window only exists while the change list holds the queue.
    if (busy_took < milliseconds(10)) {
        std::cout << "note: the change list took only "
                  << std::chrono::duration_cast<milliseconds>(busy_took).count()
                  << " ms; the race window may have been missed\n";
    }
}

// ---- a queue closed under a sleeping thread ----

// A thread sleeps on a queue; the queue is closed and its number goes to a new
// queue, which gets events of its own. Then a pipe registered on the old queue
// becomes readable. The sleeper may time out, fail, or (as on FreeBSD, where
// its call keeps the old queue alive until it returns) report the old queue's
// pipe; it must never return the new queue's events, and the new queue must
// get every one of them.
TEST_F(KqueueThreads, SleeperOnAClosedQueueNeverServesTheNextQueueOnItsNumber) {
    int number = kq.fd;
    Pair old_pipe(true);
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD | EV_CLEAR, 0, tag(0x01d)));
    ASSERT_EQ(0, change(kq, old_pipe.a.fd, EVFILT_READ, EV_ADD, 0, tag(0x01e)));
    Sleeper sleeper(kq, 4, 600);
    let_them_sleep();
    kq.reset();
    Fd next(kqueue());
    ASSERT_GE(next.fd, 0);
    if (next.fd != number) {
        sleeper.join();
        GTEST_SKIP() << "the number was not handed out again";
    }
    Pair p(true);
    put(p.b, 1);
    ASSERT_EQ(0, change(next, p.a.fd, EVFILT_READ, EV_ADD | EV_CLEAR, 0, tag(0x2e3)));
    ASSERT_EQ(0, change(next, 1, EVFILT_USER, EV_ADD | EV_CLEAR, 0, tag(0x2e4)));
    ASSERT_EQ(0, change(next, 1, EVFILT_USER, 0, NOTE_TRIGGER, tag(0x2e4)));  // udata kept as added
    put(old_pipe.b, 1);  // something for the old queue, which may wake the sleeper
    let_them_sleep();

    std::set<void*> seen;
    for (int i = 0; i < 20 && seen.size() < 2; i++) {
        for (const auto& e : poll_events(next, 50)) seen.insert(e.udata);
    }
    sleeper.join();
    EXPECT_TRUE(sleeper.result() >= 0 || (sleeper.result() == -1 && sleeper.err() == EBADF))
        << sleeper.result() << " " << strerror(sleeper.err());
    for (const auto& e : sleeper.events()) {
        EXPECT_TRUE(e.udata == tag(0x01d) || e.udata == tag(0x01e))
            << "the closed queue's sleeper returned ident " << e.ident << " udata " << e.udata;
    }
    EXPECT_EQ(1u, seen.count(tag(0x2e3))) << "the new queue's pipe event went missing";
    EXPECT_EQ(1u, seen.count(tag(0x2e4))) << "the new queue's user event went missing";
    EXPECT_EQ(0u, seen.count(tag(0x01d)));
    EXPECT_EQ(0u, seen.count(tag(0x01e)));
}

// ---- wake-ups ----

// A situation with threads asleep on the queue, then one action that makes
// events pending. Every sleeper must come back with an event, and together they
// must return `expect`.
struct WakeCase {
    const char* name;
    int sleepers;
    int room;
    // `p` is a fresh socket pair the case may use.
    std::function<void(int kq, Pair* p)> setup;
    std::function<void(int kq, Pair* p)> action;
    std::function<std::multiset<std::pair<uintptr_t, short>>(const Pair& p)> expect;
};

std::vector<WakeCase> wake_cases() {
    using Set = std::multiset<std::pair<uintptr_t, short>>;
    return {
        {"EnableOfADeliveredClearDispatchReadWithDataWaiting", 1, 1,
         [](int kq, Pair* p) {
             put(p->b, 1);
             ASSERT_EQ(0, change(kq, p->a.fd, EVFILT_READ, EV_ADD | EV_CLEAR | EV_DISPATCH));
             ASSERT_EQ(1u, poll_events(kq).size());
             ASSERT_EQ(0u, poll_events(kq).size());
         },
         [](int kq, Pair* p) { ASSERT_EQ(0, change(kq, p->a.fd, EVFILT_READ, EV_ENABLE)); },
         [](const Pair& p) { return Set{{uintptr_t(p.a.fd), EVFILT_READ}}; }},
        {"AddOfAWriteFilterNextToAClearRead", 1, 1,
         [](int kq, Pair* p) {
             ASSERT_EQ(0, change(kq, p->a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
             ASSERT_EQ(0u, poll_events(kq).size());
         },
         [](int kq, Pair* p) { ASSERT_EQ(0, change(kq, p->a.fd, EVFILT_WRITE, EV_ADD)); },
         [](const Pair& p) { return Set{{uintptr_t(p.a.fd), EVFILT_WRITE}}; }},
        {"TwoUserEventsTriggeredInOneCall", 2, 1,
         [](int kq, Pair*) {
             ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD | EV_CLEAR));
             ASSERT_EQ(0, change(kq, 2, EVFILT_USER, EV_ADD | EV_CLEAR));
         },
         [](int kq, Pair*) {
             struct kevent c[2];
             EV_SET(&c[0], 1, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
             EV_SET(&c[1], 2, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
             ASSERT_EQ(0, kevent(kq, c, 2, nullptr, 0, nullptr));
         },
         [](const Pair&) { return Set{{1, EVFILT_USER}, {2, EVFILT_USER}}; }},
        {"LevelUserEventReachesEverySleeper", 3, 1,
         [](int kq, Pair*) { ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD)); },
         [](int kq, Pair*) { ASSERT_EQ(0, change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER)); },
         [](const Pair&) { return Set{{1, EVFILT_USER}, {1, EVFILT_USER}, {1, EVFILT_USER}}; }},
        {"OneEdgeReadyingBothFilters", 2, 1,
         [](int kq, Pair* p) {
             fill(p->a);
             ASSERT_EQ(0, change(kq, p->a.fd, EVFILT_READ, EV_ADD | EV_CLEAR));
             ASSERT_EQ(0, change(kq, p->a.fd, EVFILT_WRITE, EV_ADD | EV_CLEAR));
             ASSERT_EQ(0u, poll_events(kq).size()) << "neither readable nor writable yet";
         },
         [](int, Pair* p) { p->b.reset(); },  // the peer's close ends both directions at once
         [](const Pair& p) {
             return Set{{uintptr_t(p.a.fd), EVFILT_READ}, {uintptr_t(p.a.fd), EVFILT_WRITE}};
         }},
    };
}

struct WakeParam {
    size_t index;
    bool short_timeout;  // the sleepers' timeout runs out first: they must still return the events
};

class Wakeups : public KqueueThreads, public ::testing::WithParamInterface<WakeParam> {};

TEST_P(Wakeups, EveryPendingEventReachesASleeper) {
    const WakeCase c = wake_cases()[GetParam().index];
    const bool short_timeout = GetParam().short_timeout;
    Pair p;
    c.setup(kq, &p);
    if (HasFatalFailure()) return;
    std::vector<std::unique_ptr<Sleeper>> sleepers;
    for (int i = 0; i < c.sleepers; i++) {
        sleepers.push_back(std::make_unique<Sleeper>(kq, c.room, short_timeout ? 250 : 3000));
    }
    let_them_sleep();
    c.action(kq, &p);
    std::multiset<std::pair<uintptr_t, short>> got;
    for (size_t i = 0; i < sleepers.size(); i++) {
        Sleeper& s = *sleepers[i];
        s.join();
        EXPECT_GE(s.result(), 1) << "sleeper " << i << " came back with nothing ("
                                 << strerror(s.err()) << ")";
        if (!short_timeout) {
            EXPECT_LT(s.took(), milliseconds(1500)) << "sleeper " << i << " was not woken";
        }
        for (const auto& e : s.events()) got.insert({e.ident, e.filter});
    }
    EXPECT_EQ(c.expect(p), got);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Wakeups,
    ::testing::ValuesIn([] {
        std::vector<WakeParam> v;
        for (size_t i = 0; i < wake_cases().size(); i++) {
            v.push_back({i, false});
            v.push_back({i, true});
        }
        return v;
    }()),
    [](const ::testing::TestParamInfo<WakeParam>& info) {
        return std::string(wake_cases()[info.param.index].name) +
               (info.param.short_timeout ? "_TimeoutRunsOut" : "_Woken");
    });

// ---- fairness ----

// Room for one event per call and three ready: a level user event (ready again
// after every delivery), a triggered EV_CLEAR user event and a readable pipe.
// Each of them must come back within a few calls; FreeBSD puts a re-armed level
// event behind the others, so three calls are enough there.
TEST_F(KqueueThreads, WithRoomForOneEveryReadyEventComesBackWithinAFewCalls) {
    Pair p(true);
    put(p.b, 1);
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, EV_ADD));
    ASSERT_EQ(0, change(kq, 2, EVFILT_USER, EV_ADD | EV_CLEAR));
    ASSERT_EQ(0, change(kq, p.a.fd, EVFILT_READ, EV_ADD));
    ASSERT_EQ(0, change(kq, 1, EVFILT_USER, 0, NOTE_TRIGGER));
    ASSERT_EQ(0, change(kq, 2, EVFILT_USER, 0, NOTE_TRIGGER));
    std::vector<struct kevent> all;
    for (int call = 0; call < 6; call++) {
        auto evs = poll_events(kq, 0, 1);
        ASSERT_EQ(1u, evs.size()) << "call " << call;
        all.push_back(evs[0]);
    }
    EXPECT_GE(count(all, 1, EVFILT_USER), 1);
    EXPECT_EQ(1, count(all, 2, EVFILT_USER)) << "the EV_CLEAR event comes back exactly once";
    EXPECT_GE(count(all, uintptr_t(p.a.fd), EVFILT_READ), 1);
}

// ---- creating queues while another thread uses a closed number ----

// Using a queue's number after closing it is the caller's mistake, but it
// must stay that caller's problem: kqueue() in another thread fails only for
// the reasons a creation can fail, never with EEXIST.
TEST_F(KqueueThreads, KqueueNeverFailsWhileAnotherThreadCallsKeventOnAClosedNumber) {
    std::atomic<int> number{kq.fd};
    std::atomic<bool> stop{false};
    std::atomic<int> odd_results{0};
    std::thread prober([&] {
        struct kevent out[1];
        timespec zero{0, 0};
        while (!stop.load()) {
            int r = kevent(number.load(), nullptr, 0, out, 1, &zero);
            if (r != 0 && !(r == -1 && errno == EBADF)) odd_results++;
        }
    });
    int failures = 0;
    int eexist = 0;
    auto deadline = Clock::now() + milliseconds(1500);
    for (int i = 0; i < 20000 && Clock::now() < deadline; i++) {
        kq.reset();
        kq.fd = kqueue();
        if (kq.fd < 0) {
            failures++;
            eexist += errno == EEXIST;
        } else {
            number.store(kq.fd);
        }
    }
    stop = true;
    prober.join();
    EXPECT_EQ(0, eexist);
    EXPECT_EQ(0, failures);
    EXPECT_EQ(0, odd_results.load()) << "a poll with no changes returns 0 or fails with EBADF";
}

}  // namespace
