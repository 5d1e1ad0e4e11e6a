// Many threads on one kqueue at once, for a bounded time: waiters with room for
// one to three events, threads triggering user events, writing to sockets,
// disabling and enabling a filter, closing registered sockets and reusing their
// numbers, and, between rounds, the queue itself closed under sleeping waiters
// and its number reused by the next round's queue. Every registration's udata
// names its round, kind, slot and generation, so a delivery can be checked
// against what the delivering call could legitimately have seen:
//
// - no trigger lost: each trigger (and each byte written) is answered by a
//   delivery within a deadline, the next one only follows that answer;
// - nothing for a closed file: an event whose generation had been closed and
//   replaced before the call began is a stale registration;
// - nothing while disabled: a delivery by a call that ran entirely while the
//   filter was disabled;
// - nothing across queues: every event belongs to the caller's round, also for
//   the waiters asleep on a queue while it is closed and its number reused, and
//   each round's own marker event reaches that round exactly once.
//
// Runs OVREL_KQUEUE_STRESS_SECONDS seconds (default 3). Linux only: it watches
// /proc to know that the waiters are asleep before their queue is closed.

#include "platform/event.h"

#if defined(__linux__)

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTriggers = 2;  // user events 1 and 2, EV_CLEAR, one triggering thread each
constexpr int kDataSlots = 4;  // socket pairs, EV_CLEAR read filters, fed one byte at a time
constexpr int kChurnSlots = 2;  // EV_DISPATCH write filters whose files are replaced under them
constexpr int kWaiters = 3;
constexpr uintptr_t kStopIdent = 100;   // level user event that ends a round's waits
constexpr uintptr_t kMarkerIdent = 50;  // triggered once when a round's queue is made
constexpr auto kDeadline = milliseconds(2000);

enum Kind : uint64_t { kTrig = 1, kData, kToggle, kChurn, kStop, kMarker };

// udata: round (high 32 bits), kind, slot, generation. Every change passes the
// registration's udata again: any change of a filter sets it, as on FreeBSD.
void* make_tag(uint32_t round, Kind kind, uint32_t slot, uint32_t gen) {
    return reinterpret_cast<void*>((uint64_t(round) << 32) | (uint64_t(kind) << 28) |
                                   (uint64_t(slot) << 20) | (gen & 0xfffff));
}
uint32_t tag_round(void* t) { return uint32_t(reinterpret_cast<uint64_t>(t) >> 32); }
uint64_t tag_kind(void* t) { return (reinterpret_cast<uint64_t>(t) >> 28) & 0xf; }
uint32_t tag_slot(void* t) { return uint32_t((reinterpret_cast<uint64_t>(t) >> 20) & 0xff); }
uint32_t tag_gen(void* t) { return uint32_t(reinterpret_cast<uint64_t>(t) & 0xfffff); }

int change(int kq, uintptr_t ident, short filter, unsigned short flags, unsigned fflags = 0,
           void* udata = nullptr) {
    struct kevent e;
    EV_SET(&e, ident, filter, flags, fflags, 0, udata);
    return kevent(kq, &e, 1, nullptr, 0, nullptr) == 0 ? 0 : errno;
}

void socket_pair(int fds[2]) {
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds)) << strerror(errno);
}

void drain(int fd) {
    char buf[4096];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

bool wait_until(const std::function<bool()>& done, Clock::duration limit) {
    auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// True once thread `tid` of this process is blocked (state S): after it has
// announced that it is calling kevent(), that means it is inside the call.
bool asleep(long tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string s;
    std::getline(f, s);
    size_t p = s.rfind(')');
    return p != std::string::npos && p + 2 < s.size() && s[p + 2] == 'S';
}

struct Totals {
    std::atomic<long> triggers{0}, bytes{0}, deliveries{0}, toggles{0}, churns{0};
    // Faults.
    std::atomic<long> lost_triggers{0}, lost_bytes{0}, lost_wakeups{0};
    std::atomic<long> wrong_round{0}, wrong_ident{0}, stale{0}, while_disabled{0};
    std::atomic<long> duplicate_triggers{0}, marker_misses{0}, errors{0};
};

// One round: a queue and everything registered on it.
struct Round {
    uint32_t id;
    int kq = -1;
    Totals* totals;
    std::atomic<bool> over{false};
    std::atomic<bool> final_go{false};
    // All waiters were seen asleep in their last wait before the queue was
    // closed. If one was not (a machine too busy to schedule it), it may call
    // kevent() only after the number is reused, and then it rightly gets the
    // next queue's events: that round's cross-queue checks are skipped.
    std::atomic<bool> final_verified{false};
    std::atomic<int> stop_acks{0};
    std::atomic<int> in_final{0};
    std::atomic<long> waiter_tids[kWaiters] = {};
    std::atomic<int> marker_seen{0};
    std::atomic<bool> trig_outstanding[kTriggers] = {};
    int data[kDataSlots][2];
    std::atomic<bool> data_outstanding[kDataSlots] = {};
    int toggle[2];
    std::atomic<long> toggle_phase{0};  // odd while the toggled filter is disabled
    int churn_number[kChurnSlots];
    int churn_peer[kChurnSlots];
    std::atomic<uint32_t> churn_closed_gen[kChurnSlots] = {};
    std::vector<std::thread> workers;  // everything but the waiters
    std::vector<std::thread> waiters;

    Round(uint32_t round, Totals* t) : id(round), totals(t) {
        for (auto& d : data) d[0] = d[1] = -1;
        toggle[0] = toggle[1] = -1;
        for (int s = 0; s < kChurnSlots; s++) churn_number[s] = churn_peer[s] = -1;
    }
    ~Round() {
        for (auto& d : data) {
            close(d[0]);
            close(d[1]);
        }
        close(toggle[0]);
        close(toggle[1]);
        for (int s = 0; s < kChurnSlots; s++) {
            close(churn_number[s]);
            close(churn_peer[s]);
        }
    }
};

void handle(Round* r, const struct kevent& e, long phase_before, long phase_after,
            const uint32_t* closed_before) {
    Totals& t = *r->totals;
    t.deliveries++;
    void* u = e.udata;
    if (tag_round(u) != r->id) {
        t.wrong_round++;
        return;
    }
    uint32_t slot = tag_slot(u);
    switch (tag_kind(u)) {
        case kTrig:
            if (e.ident != slot + 1 || e.filter != EVFILT_USER) t.wrong_ident++;
            if (!r->trig_outstanding[slot].exchange(false)) t.duplicate_triggers++;
            break;
        case kData:
            if (e.ident != uintptr_t(r->data[slot][0]) || e.filter != EVFILT_READ) t.wrong_ident++;
            drain(r->data[slot][0]);
            r->data_outstanding[slot] = false;
            break;
        case kToggle:
            if (e.ident != uintptr_t(r->toggle[0])) t.wrong_ident++;
            if (phase_before == phase_after && (phase_before & 1)) t.while_disabled++;
            break;
        case kChurn:
            if (e.ident != uintptr_t(r->churn_number[slot]) || e.filter != EVFILT_WRITE) {
                t.wrong_ident++;
            }
            if (tag_gen(u) <= closed_before[slot]) t.stale++;
            break;
        case kStop:
            break;
        case kMarker:
            r->marker_seen++;
            break;
        default:
            t.wrong_ident++;
    }
}

void waiter(Round* r, int index) {
    const int room = 1 + index % 3;
    struct kevent out[3];
    bool acked = false;
    for (;;) {
        long phase_before = r->toggle_phase.load();
        uint32_t closed_before[kChurnSlots];
        for (int s = 0; s < kChurnSlots; s++) closed_before[s] = r->churn_closed_gen[s].load();
        timespec ts{3, 0};
        int n = kevent(r->kq, nullptr, 0, out, room, &ts);
        if (n < 0) {
            if (errno != EINTR) r->totals->errors++;
            break;
        }
        long phase_after = r->toggle_phase.load();
        for (int i = 0; i < n; i++) {
            handle(r, out[i], phase_before, phase_after, closed_before);
            if (out[i].ident == kStopIdent && out[i].filter == EVFILT_USER && !acked) {
                acked = true;
                r->stop_acks++;
            }
        }
        if (acked || r->final_go.load()) break;  // final_go without an ack: the stop was lost
    }
    // The last wait: asleep on this round's queue while it is closed and its
    // number handed to the next round's queue.
    while (!r->final_go.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    r->waiter_tids[index] = syscall(SYS_gettid);
    r->in_final++;
    timespec ts{0, 250000000};
    int n = kevent(r->kq, nullptr, 0, out, room, &ts);
    for (int i = 0; i < n; i++) {
        r->totals->deliveries++;
        if (tag_round(out[i].udata) != r->id && r->final_verified.load()) r->totals->wrong_round++;
    }
}

void triggerer(Round* r, int slot) {
    while (!r->over.load()) {
        r->trig_outstanding[slot] = true;
        if (change(r->kq, uintptr_t(slot + 1), EVFILT_USER, 0, NOTE_TRIGGER,
                   make_tag(r->id, kTrig, uint32_t(slot), 0)) != 0) {
            r->totals->errors++;
            return;
        }
        r->totals->triggers++;
        if (!wait_until([&] { return !r->trig_outstanding[slot].load(); }, kDeadline)) {
            r->totals->lost_triggers++;
            return;
        }
    }
}

void writer(Round* r) {
    Clock::time_point sent[kDataSlots];
    bool given_up[kDataSlots] = {};
    while (!r->over.load()) {
        for (int s = 0; s < kDataSlots; s++) {
            if (given_up[s]) continue;
            if (!r->data_outstanding[s].load()) {
                r->data_outstanding[s] = true;
                sent[s] = Clock::now();
                if (write(r->data[s][1], "b", 1) != 1) r->totals->errors++;
                r->totals->bytes++;
            } else if (Clock::now() - sent[s] > kDeadline) {
                r->totals->lost_bytes++;
                given_up[s] = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void toggler(Round* r) {
    void* tag = make_tag(r->id, kToggle, 0, 0);
    while (!r->over.load()) {
        if (change(r->kq, r->toggle[0], EVFILT_READ, EV_DISABLE, 0, tag) != 0) r->totals->errors++;
        r->toggle_phase++;  // odd: disabled, and the disable has taken effect
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        r->toggle_phase++;  // even from before the enable takes effect
        if (change(r->kq, r->toggle[0], EVFILT_READ, EV_ENABLE, 0, tag) != 0) r->totals->errors++;
        r->totals->toggles++;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

void churner(Round* r) {
    uint32_t gen[kChurnSlots];
    for (int s = 0; s < kChurnSlots; s++) gen[s] = 1;
    for (bool replace = false; !r->over.load(); replace = !replace) {
        for (int s = 0; s < kChurnSlots; s++) {
            if (!replace) {
                // A delivery disabled it (EV_DISPATCH): enable it again, udata unchanged.
                if (change(r->kq, r->churn_number[s], EVFILT_WRITE, EV_ENABLE, 0,
                           make_tag(r->id, kChurn, s, gen[s])) != 0) {
                    r->totals->errors++;
                }
                continue;
            }
            int fds[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) {
                r->totals->errors++;
                return;
            }
            // dup2 closes the old socket and puts the new one on its number in one step.
            if (dup2(fds[0], r->churn_number[s]) != r->churn_number[s]) r->totals->errors++;
            close(fds[0]);
            r->churn_closed_gen[s] = gen[s];
            close(r->churn_peer[s]);
            r->churn_peer[s] = fds[1];
            gen[s]++;
            if (change(r->kq, r->churn_number[s], EVFILT_WRITE, EV_ADD | EV_DISPATCH, 0,
                       make_tag(r->id, kChurn, s, gen[s])) != 0) {
                r->totals->errors++;
            }
            r->totals->churns++;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

// Registers everything of round `r` on its (fresh) queue and fires its marker.
void setup(Round* r) {
    int kq = r->kq;
    uint32_t id = r->id;
    for (int i = 0; i < kTriggers; i++) {
        ASSERT_EQ(0, change(kq, uintptr_t(i + 1), EVFILT_USER, EV_ADD | EV_CLEAR, 0,
                            make_tag(id, kTrig, i, 0)));
    }
    for (int s = 0; s < kDataSlots; s++) {
        socket_pair(r->data[s]);
        ASSERT_EQ(0, change(kq, r->data[s][0], EVFILT_READ, EV_ADD | EV_CLEAR, 0,
                            make_tag(id, kData, s, 0)));
    }
    socket_pair(r->toggle);
    ASSERT_EQ(1, write(r->toggle[1], "t", 1));  // always readable; EV_DISPATCH: once per enable
    ASSERT_EQ(0, change(kq, r->toggle[0], EVFILT_READ, EV_ADD | EV_DISPATCH, 0,
                        make_tag(id, kToggle, 0, 0)));
    for (int s = 0; s < kChurnSlots; s++) {
        int fds[2];
        socket_pair(fds);
        r->churn_number[s] = fds[0];
        r->churn_peer[s] = fds[1];
        ASSERT_EQ(0, change(kq, fds[0], EVFILT_WRITE, EV_ADD | EV_DISPATCH, 0,
                            make_tag(id, kChurn, s, 1)));
    }
    ASSERT_EQ(0, change(kq, kMarkerIdent, EVFILT_USER, EV_ADD | EV_CLEAR, 0,
                        make_tag(id, kMarker, 0, 0)));
    ASSERT_EQ(0, change(kq, kMarkerIdent, EVFILT_USER, 0, NOTE_TRIGGER, make_tag(id, kMarker, 0, 0)));
}

void start(Round* r) {
    for (int i = 0; i < kWaiters; i++) r->waiters.emplace_back(waiter, r, i);
    for (int i = 0; i < kTriggers; i++) r->workers.emplace_back(triggerer, r, i);
    r->workers.emplace_back(writer, r);
    r->workers.emplace_back(toggler, r);
    r->workers.emplace_back(churner, r);
}

// Stops the round's workers and makes its waiters leave their loop; they are
// then in (or about to make) their last wait.
void wind_down(Round* r) {
    Totals& t = *r->totals;
    r->over = true;
    for (auto& w : r->workers) w.join();
    if (!wait_until(
            [&] {
                for (auto& o : r->data_outstanding) {
                    if (o.load()) return false;
                }
                return true;
            },
            kDeadline)) {
        t.lost_bytes++;
    }
    EXPECT_EQ(0, change(r->kq, kStopIdent, EVFILT_USER, EV_ADD, 0, make_tag(r->id, kStop, 0, 0)));
    EXPECT_EQ(0, change(r->kq, kStopIdent, EVFILT_USER, 0, NOTE_TRIGGER, make_tag(r->id, kStop, 0, 0)));
    if (!wait_until([&] { return r->stop_acks.load() == kWaiters; }, kDeadline)) t.lost_wakeups++;
    EXPECT_EQ(0, change(r->kq, kStopIdent, EVFILT_USER, EV_DELETE));
    r->final_go = true;
    r->final_verified = wait_until(
        [&] {
            if (r->in_final.load() < kWaiters) return false;
            for (auto& tid : r->waiter_tids) {
                if (!asleep(tid.load())) return false;
            }
            return true;
        },
        milliseconds(500));
}

double stress_seconds() {
    const char* s = getenv("OVREL_KQUEUE_STRESS_SECONDS");
    double v = s ? atof(s) : 3.0;
    return v > 0 ? v : 3.0;
}

TEST(KqueueStress, ThreadsSharingQueuesLoseNothingAndSeeNothingStale) {
    Totals t;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(stress_seconds()));
    std::unique_ptr<Round> current(new Round(1, &t));
    current->kq = kqueue();
    ASSERT_GE(current->kq, 0);
    setup(current.get());
    start(current.get());
    long rounds = 1, reused_numbers = 0;
    long unverified = 0;
    bool marker_checked = true;  // false after a round whose waiters were not all seen asleep
    for (;;) {
        std::this_thread::sleep_for(milliseconds(300));
        Round* old = current.get();
        wind_down(old);
        // Close the queue under its sleeping waiters; the next round's queue
        // normally gets the same number, with its marker already pending.
        int old_number = old->kq;
        close(old->kq);
        std::unique_ptr<Round> next;
        if (Clock::now() < end && !HasFailure()) {
            next.reset(new Round(old->id + 1, &t));
            next->kq = kqueue();
            if (next->kq < 0) {
                ADD_FAILURE() << "kqueue(): " << strerror(errno);
                next.reset();
            } else {
                reused_numbers += next->kq == old_number;
                setup(next.get());
                start(next.get());
                rounds++;
            }
        }
        // Activity on the closed queue's sockets, which may wake its sleepers.
        for (auto& d : old->data) {
            if (write(d[1], "c", 1) != 1) t.errors++;
        }
        for (auto& w : old->waiters) w.join();
        if (old->marker_seen.load() != 1 && marker_checked) t.marker_misses++;
        marker_checked = old->final_verified.load();
        unverified += !marker_checked;
        if (!next) break;
        current = std::move(next);
    }
    std::cout << "kqueue stress: " << rounds << " rounds (" << reused_numbers
              << " queue numbers reused, " << unverified
              << " without all waiters seen asleep at the close), " << t.triggers << " triggers, " << t.bytes
              << " bytes, " << t.toggles << " toggles, " << t.churns << " sockets replaced, "
              << t.deliveries << " events delivered\n";
    EXPECT_EQ(0, t.lost_triggers.load()) << "a trigger was never delivered";
    EXPECT_EQ(0, t.lost_bytes.load()) << "a byte's read event was never delivered";
    EXPECT_EQ(0, t.lost_wakeups.load()) << "a level user event did not reach every waiter";
    EXPECT_EQ(0, t.wrong_round.load()) << "an event of another queue";
    EXPECT_EQ(0, t.wrong_ident.load()) << "udata delivered with another ident or filter";
    EXPECT_EQ(0, t.stale.load()) << "an event for a socket closed before the wait began";
    EXPECT_EQ(0, t.while_disabled.load()) << "an event while its filter was disabled";
    EXPECT_EQ(0, t.duplicate_triggers.load()) << "one trigger of an EV_CLEAR user event, two deliveries";
    EXPECT_EQ(0, t.marker_misses.load()) << "a round's marker did not arrive exactly once";
    EXPECT_EQ(0, t.errors.load()) << "a call failed";
    EXPECT_GT(rounds, 1);
}

}  // namespace

#endif
