// kqueue()/kevent() on top of epoll, for running the natives on Linux.
//
// How it is put together, and why:
//
// * The kqueue descriptor is the epoll descriptor itself, so a plain close() from
//   Java releases every kernel registration at once. What lives in user space (the
//   filters' flags and udata, the user events) sits in a per-queue object reached
//   through a table indexed by that descriptor number. kqueue() resets the object
//   of the number it got, so a new queue on a reused number always starts clean;
//   objects are recycled, never freed, so a thread still inside kevent() on a
//   queue that another thread closed cannot touch freed memory.
//
// * Every epoll set made here holds one process-wide eventfd, the wake marker,
//   registered with no events. It serves two ends. kevent() checks that its
//   descriptor really is one of ours by trying to add the marker again: only our
//   sets answer EEXIST (another epoll set, any other file or a closed number does
//   not), which epoll instances cannot be told apart by otherwise, as they all
//   share one anonymous inode. And a thread that triggers a user event while
//   another waits re-arms the marker for EPOLLOUT, which an idle eventfd always
//   is, to wake the waiter; the waiter disarms it. Nothing per queue outlives
//   the epoll descriptor, so closing a queue leaks no descriptor.
//
// * Trigger mode, chosen per descriptor. A descriptor whose filters are all level
//   (no EV_CLEAR) is registered level-triggered, with only the enabled filters'
//   events: the kernel re-checks it on each wait, so the wait costs O(ready) with
//   no user-space bookkeeping. As soon as one of its filters uses EV_CLEAR it is
//   registered edge-triggered, with read and write interest both fixed from then
//   on, and enabling, disabling or deleting a filter never touches the kernel
//   registration again. That matters because epoll_ctl(MOD) re-queues the item
//   with its current levels, which would report the other filter again although
//   nothing changed for it. A level filter living on such a descriptor is
//   re-checked with poll() on each wait for as long as it stays ready (the
//   "carried" list), and the kernel's next edge reports it once it has gone
//   quiet. One residue cannot be removed with a single epoll item per
//   descriptor: when the other direction of an edge-triggered descriptor gets a
//   kernel wakeup while an EV_CLEAR filter's condition still holds, that filter
//   is reported once more. We accept a duplicate over ever losing an edge.
//
// * Closed and reused descriptor numbers. epoll forgets a registration only when
//   the open file description dies, and user space never sees the close. Each
//   registration carries a generation in its epoll data; events whose generation
//   is not the live one are dropped. Every change to a known descriptor first
//   asks the kernel whether that number, with the file it now names, is still
//   registered (an EPOLL_CTL_ADD that must fail with EEXIST), so a stale entry
//   never blocks a new EV_ADD and never lends its state to a new file. Carried
//   entries are checked the same way before one is reported again, and EBADF from the
//   ioctl that computes `data` drops the entry. Left over: an item kept alive by
//   a dup()ed descriptor after its number was closed cannot be deleted from user
//   space any more; its reports are dropped, but while it stays ready in
//   level-triggered mode the wait wakes up for it until the duplicate is closed.
//
// * One lock per queue guards the user-space state. It is never held across the
//   sleeping epoll wait, so other threads can apply changes or trigger user
//   events meanwhile. The wait reuses a per-queue buffer sized to the largest
//   nevents seen, so the steady state allocates nothing.

#include "compat/linux/kqueue.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr uint64_t kWakeToken = ~uint64_t(0);
constexpr uint32_t kEdgeEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr uint32_t kReadyBits[2] = {EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR,
                                    EPOLLOUT | EPOLLHUP | EPOLLERR};
constexpr unsigned short kKeptFlags = EV_ONESHOT | EV_CLEAR | EV_DISPATCH;
constexpr unsigned short kKnownFlags = EV_ADD | EV_DELETE | EV_ENABLE | EV_DISABLE | EV_ONESHOT |
                                       EV_CLEAR | EV_RECEIPT | EV_DISPATCH;
// Output-only bits; FreeBSD strips them from changes, so a caller that reuses an
// event array as a change list is not punished for it.
constexpr unsigned short kOutputFlags = EV_ERROR | EV_EOF;
constexpr unsigned kUserKnownFflags = NOTE_FFCTRLMASK | NOTE_TRIGGER | NOTE_FFLAGSMASK;
// Kernel events taken per epoll wait; bounds the scratch buffer whatever capacity
// the caller claims.
constexpr int kMaxBatch = 1024;

enum Kind : uint8_t { kOther, kSocket, kFifo };

struct Filter {
    void* udata;
    uint64_t ext[4];
    uint64_t stamp;  // the kevent() call that last handed it out
    unsigned short flags;
    bool added;
    bool enabled;
    bool carried;
};

struct Reg {
    uint32_t gen;
    uint32_t events;  // as registered in the epoll set; 0 when not registered
    Kind kind;
    Filter f[2];  // [0] read, [1] write
};

struct UserEvent {
    uintptr_t ident;
    void* udata;
    uint64_t ext[4];
    uint64_t stamp;
    int64_t data;
    unsigned fflags;
    unsigned short flags;
    bool enabled;
    bool triggered;
};

struct Carry {
    int fd;
    uint32_t gen;
    int fi;
};

struct Queue {
    std::mutex mu;
    int fd = -1;
    std::vector<Reg> regs;  // indexed by descriptor
    std::vector<UserEvent> users;
    std::vector<Carry> carry;
    size_t carry_next = 0;  // where the next re-check starts: no carried entry waits behind others forever
    std::vector<pollfd> pfds;
    std::vector<epoll_event> scratch;
    bool scratch_busy = false;
    uint32_t next_gen = 1;
    uint64_t calls = 0;
    int waiters = 0;
    bool armed = false;
};

// ---- the process-wide wake marker and the table of queues ----

std::mutex g_mu;
int g_marker = -1;

constexpr int kChunkShift = 10;
constexpr int kChunkSize = 1 << kChunkShift;
constexpr int kChunks = 1 << 12;
std::atomic<std::atomic<Queue*>*> g_chunks[kChunks];

Queue* find_queue(int fd) {
    if (fd < 0 || (fd >> kChunkShift) >= kChunks) return nullptr;
    std::atomic<Queue*>* chunk = g_chunks[fd >> kChunkShift].load(std::memory_order_acquire);
    return chunk ? chunk[fd & (kChunkSize - 1)].load(std::memory_order_acquire) : nullptr;
}

int marker_ctl(int epfd, int op, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = kWakeToken;
    return epoll_ctl(epfd, op, g_marker, &ev);
}

// True when kq is one of our epoll sets (see the top of the file).
bool is_our_queue(int kq) {
    if (marker_ctl(kq, EPOLL_CTL_ADD, 0) == 0) {
        marker_ctl(kq, EPOLL_CTL_DEL, 0);  // someone else's epoll set: leave it as it was
        return false;
    }
    return errno == EEXIST;
}

// ---- waiting ----

std::atomic<bool> g_has_pwait2{true};

int wait_events(int epfd, epoll_event* buf, int max, const timespec* ts) {
    // A poll needs no timespec: plain epoll_wait skips copying one in and the
    // signal-mask handling of epoll_pwait2, a measurable part of an empty poll.
    if (ts && ts->tv_sec == 0 && ts->tv_nsec == 0) return epoll_wait(epfd, buf, max, 0);
    if (g_has_pwait2.load(std::memory_order_relaxed)) {
        long r = syscall(SYS_epoll_pwait2, epfd, buf, max, ts, nullptr, 0);
        if (r >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(r);
        g_has_pwait2.store(false, std::memory_order_relaxed);
    }
    int ms = -1;
    if (ts) {
        // Round up: returning before the caller's timeout would be a lie.
        int64_t total = static_cast<int64_t>(ts->tv_sec) * 1000 + (ts->tv_nsec + 999999) / 1000000;
        ms = total > INT_MAX ? INT_MAX : static_cast<int>(total);
    }
    return epoll_wait(epfd, buf, max, ms);
}

int64_t now_ns() {
    timespec t{0, 0};
    clock_gettime(CLOCK_MONOTONIC, &t);  // cannot fail for this clock; t stays defined if it did
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// ---- descriptor registrations ----

uint64_t reg_data(int fd, const Reg& r) { return (static_cast<uint64_t>(r.gen) << 32) | uint32_t(fd); }

uint32_t wanted_events(const Reg& r) {
    const Filter& rd = r.f[0];
    const Filter& wr = r.f[1];
    if (!rd.added && !wr.added) return 0;
    bool clear = (rd.added && (rd.flags & EV_CLEAR)) || (wr.added && (wr.flags & EV_CLEAR));
    bool rd_on = rd.added && rd.enabled;
    bool wr_on = wr.added && wr.enabled;
    // Nothing enabled: stay registered (EV_ENABLE must find the item) but
    // edge-triggered, or a hung-up descriptor would make every wait return at once.
    if (clear || (!rd_on && !wr_on)) return kEdgeEvents;
    return (rd_on ? EPOLLIN | EPOLLRDHUP : 0u) | (wr_on ? EPOLLOUT : 0u);
}

void uncarry(Queue* q, int fd, int fi) {
    Filter& f = q->regs[fd].f[fi];
    if (!f.carried) return;
    f.carried = false;
    for (size_t i = 0; i < q->carry.size(); i++) {
        if (q->carry[i].fd == fd && q->carry[i].fi == fi) {
            q->carry[i] = q->carry.back();
            q->carry.pop_back();
            return;
        }
    }
}

void carry(Queue* q, int fd, int fi) {
    Reg& r = q->regs[fd];
    if (r.f[fi].carried) return;
    r.f[fi].carried = true;
    q->carry.push_back(Carry{fd, r.gen, fi});
}

void forget(Queue* q, int fd) {
    uncarry(q, fd, 0);
    uncarry(q, fd, 1);
    Reg& r = q->regs[fd];
    r.events = 0;
    r.f[0] = Filter{};
    r.f[1] = Filter{};
}

// 0 when fd still names the file we registered under that number; otherwise
// EBADF (closed) or ENOENT (the number now names another file).
int still_registered(Queue* q, int fd, const Reg& r) {
    epoll_event ev{};
    ev.events = r.events;
    ev.data.u64 = reg_data(fd, r);
    if (epoll_ctl(q->fd, EPOLL_CTL_ADD, fd, &ev) == 0) {
        epoll_ctl(q->fd, EPOLL_CTL_DEL, fd, &ev);
        return ENOENT;
    }
    if (errno == EEXIST) return 0;
    return errno == EBADF ? EBADF : ENOENT;
}

// Brings the kernel registration in line with the filters.
int sync_reg(Queue* q, int fd) {
    Reg& r = q->regs[fd];
    uint32_t want = wanted_events(r);
    if (want == r.events) return 0;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = reg_data(fd, r);
    if (want == 0) {
        epoll_ctl(q->fd, EPOLL_CTL_DEL, fd, &ev);
        forget(q, fd);
        return 0;
    }
    if (epoll_ctl(q->fd, EPOLL_CTL_MOD, fd, &ev) != 0 &&
        (errno != ENOENT || epoll_ctl(q->fd, EPOLL_CTL_ADD, fd, &ev) != 0)) {
        return errno;
    }
    if (!(want & EPOLLET)) {
        uncarry(q, fd, 0);  // the kernel re-checks level filters from now on
        uncarry(q, fd, 1);
    }
    r.events = want;
    return 0;
}

Kind kind_of(int fd, int* err) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *err = errno;
        return kOther;
    }
    *err = 0;
    if (S_ISSOCK(st.st_mode)) return kSocket;
    if (S_ISFIFO(st.st_mode)) return kFifo;
    return kOther;
}

void set_filter(Filter& f, const struct kevent& c, unsigned short fl) {
    f = Filter{};
    f.added = true;
    f.enabled = !(fl & EV_DISABLE);
    f.flags = fl & kKeptFlags;
    f.udata = c.udata;
    for (int i = 0; i < 4; i++) f.ext[i] = c.ext[i];
}

int add_fresh(Queue* q, int fd, int fi, const struct kevent& c, unsigned short fl) {
    int err;
    Kind kind = kind_of(fd, &err);
    if (err) return err;
    if (q->regs.size() <= size_t(fd)) q->regs.resize(size_t(fd) + 1, Reg{});
    Reg& r = q->regs[fd];
    forget(q, fd);
    r.kind = kind;
    r.gen = q->next_gen++;
    if (r.gen == 0) r.gen = q->next_gen++;
    set_filter(r.f[fi], c, fl);
    epoll_event ev{};
    ev.events = wanted_events(r);
    ev.data.u64 = reg_data(fd, r);
    // EEXIST: a registration we lost track of (say, its number was closed and a
    // duplicate brought the same file back); take it over.
    if (epoll_ctl(q->fd, EPOLL_CTL_ADD, fd, &ev) != 0 &&
        (errno != EEXIST || epoll_ctl(q->fd, EPOLL_CTL_MOD, fd, &ev) != 0)) {
        err = errno;
        r.f[fi] = Filter{};
        return err;
    }
    r.events = ev.events;
    return 0;
}

int apply_fd(Queue* q, const struct kevent& c, unsigned short fl) {
    if (c.fflags != 0) return EINVAL;  // no NOTE_LOWAT or other read/write notes here
    if (c.ident > uintptr_t(INT_MAX)) return EBADF;
    int fd = static_cast<int>(c.ident);
    int fi = c.filter == EVFILT_READ ? 0 : 1;
    bool known = size_t(fd) < q->regs.size() && (q->regs[fd].f[0].added || q->regs[fd].f[1].added);
    if (known) {
        int err = still_registered(q, fd, q->regs[fd]);
        if (err) {
            forget(q, fd);
            if (err == EBADF || !(fl & EV_ADD) || (fl & EV_DELETE)) return err;
            known = false;
        }
    }
    if (!known) {
        if ((fl & EV_DELETE) || !(fl & EV_ADD)) return fcntl(fd, F_GETFD) < 0 ? EBADF : ENOENT;
        return add_fresh(q, fd, fi, c, fl);
    }
    Reg& r = q->regs[fd];
    Filter& f = r.f[fi];
    if (fl & EV_DELETE) {
        if (!f.added) return ENOENT;
        uncarry(q, fd, fi);
        f = Filter{};
        return sync_reg(q, fd);
    }
    if (!f.added) {
        if (!(fl & EV_ADD)) return ENOENT;
        set_filter(f, c, fl);
    } else {
        f.udata = c.udata;  // any change to an existing event replaces udata, as on FreeBSD
        if (fl & EV_ADD) f.enabled = true;
    }
    if (fl & EV_ENABLE) f.enabled = true;
    if (fl & EV_DISABLE) f.enabled = false;
    int err = sync_reg(q, fd);
    if (err) return err;
    // FreeBSD re-runs the filter on every change; on an edge-triggered item the
    // kernel will not, so have the next collection look at it.
    if (f.enabled && (r.events & EPOLLET)) carry(q, fd, fi);
    return 0;
}

// ---- user events ----

int apply_user(Queue* q, const struct kevent& c, unsigned short fl, bool* wake) {
    if (c.fflags & ~kUserKnownFflags) return EINVAL;
    UserEvent* u = nullptr;
    size_t idx = 0;
    for (; idx < q->users.size(); idx++) {
        if (q->users[idx].ident == c.ident) {
            u = &q->users[idx];
            break;
        }
    }
    if (!u) {
        if ((fl & EV_DELETE) || !(fl & EV_ADD)) return ENOENT;
        UserEvent n{};
        n.ident = c.ident;
        n.udata = c.udata;
        for (int i = 0; i < 4; i++) n.ext[i] = c.ext[i];
        n.data = c.data;
        n.fflags = c.fflags & NOTE_FFLAGSMASK;
        n.flags = fl & kKeptFlags;
        n.enabled = !(fl & EV_DISABLE);
        n.triggered = (c.fflags & NOTE_TRIGGER) != 0;
        q->users.push_back(n);
        *wake |= n.enabled && n.triggered;
        return 0;
    }
    if (fl & EV_DELETE) {
        q->users[idx] = q->users.back();
        q->users.pop_back();
        return 0;
    }
    u->udata = c.udata;
    if (c.fflags & NOTE_TRIGGER) u->triggered = true;
    unsigned user = c.fflags & NOTE_FFLAGSMASK;
    switch (c.fflags & NOTE_FFCTRLMASK) {
        case NOTE_FFAND: u->fflags &= user; break;
        case NOTE_FFOR: u->fflags |= user; break;
        case NOTE_FFCOPY: u->fflags = user; break;
        default: break;
    }
    u->data = c.data;
    if (fl & EV_CLEAR) u->triggered = false;
    if (fl & (EV_ADD | EV_ENABLE)) u->enabled = true;
    if (fl & EV_DISABLE) u->enabled = false;
    *wake |= u->enabled && u->triggered;
    return 0;
}

int deliver_users(Queue* q, struct kevent* out, int room, uint64_t stamp) {
    int n = 0;
    for (size_t i = 0; i < q->users.size() && n < room;) {
        UserEvent& u = q->users[i];
        if (!u.enabled || !u.triggered || u.stamp == stamp) {
            i++;
            continue;
        }
        struct kevent& e = out[n++];
        e.ident = u.ident;
        e.filter = EVFILT_USER;
        e.flags = u.flags;
        e.fflags = u.fflags;
        e.data = u.data;
        e.udata = u.udata;
        for (int k = 0; k < 4; k++) e.ext[k] = u.ext[k];
        u.stamp = stamp;
        if (u.flags & EV_CLEAR) u.triggered = false;
        if (u.flags & EV_DISPATCH) u.enabled = false;
        if (u.flags & EV_ONESHOT) {
            u = q->users.back();
            q->users.pop_back();
            continue;
        }
        i++;
    }
    return n;
}

void arm_wake(Queue* q) {
    if (q->waiters > 0 && !q->armed && marker_ctl(q->fd, EPOLL_CTL_MOD, EPOLLOUT) == 0) {
        q->armed = true;
    }
}

// ---- turning readiness into kevents ----

// Bytes readable, or -1 when fd has been closed under us.
int64_t read_data(int fd, Kind kind, bool eof) {
    if (kind == kOther) return 1;
    int v = 0;
    if (ioctl(fd, FIONREAD, &v) == 0) return v > 0 ? v : (eof ? 0 : 1);
    // A listening socket cannot tell how many connections wait; one at least does.
    return errno == EBADF ? -1 : 1;
}

int64_t write_data(int fd, Kind kind) {
    int used = 0;
    if (kind == kSocket) {
        int sndbuf = 0;
        socklen_t len = sizeof(sndbuf);
        if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) != 0) return errno == EBADF ? -1 : 1;
        if (ioctl(fd, SIOCOUTQ, &used) != 0) used = 0;
        return sndbuf > used ? sndbuf - used : 0;
    }
    if (kind == kFifo) {
        int cap = fcntl(fd, F_GETPIPE_SZ);
        if (cap < 0) return errno == EBADF ? -1 : 1;
        if (ioctl(fd, FIONREAD, &used) != 0) used = 0;
        return cap > used ? cap - used : 0;
    }
    return 1;
}

enum Emit { kNotReady, kEmitted, kStale };

// Fills *out for filter fi of fd given the readiness mask m, then applies
// EV_ONESHOT / EV_DISPATCH and keeps level filters of edge-triggered items carried.
Emit emit_fd(Queue* q, int fd, int fi, uint32_t m, struct kevent* out, int* sockerr,
             uint64_t stamp) {
    Reg& r = q->regs[fd];
    Filter& f = r.f[fi];
    if (!(m & kReadyBits[fi])) return kNotReady;
    bool eof;
    int64_t data;
    if (fi == 0) {
        eof = (m & (EPOLLRDHUP | EPOLLHUP)) != 0;
        data = read_data(fd, r.kind, eof);
    } else {
        // On a socket EPOLLERR alone is a pending error, not a shut-down send side.
        eof = (m & EPOLLHUP) || (r.kind != kSocket && (m & EPOLLERR));
        data = write_data(fd, r.kind);
    }
    if (data < 0) return kStale;
    unsigned fflags = 0;
    if (eof && r.kind == kSocket && (m & EPOLLERR)) {
        // Linux clears the error when it is read; both filters share what we read.
        if (*sockerr < 0) {
            int err = 0;
            socklen_t len = sizeof(err);
            *sockerr = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 ? err : 0;
        }
        fflags = static_cast<unsigned>(*sockerr);
    }
    out->ident = uintptr_t(fd);
    out->filter = fi == 0 ? EVFILT_READ : EVFILT_WRITE;
    out->flags = static_cast<unsigned short>(f.flags | (eof ? EV_EOF : 0));
    out->fflags = fflags;
    out->data = data;
    out->udata = f.udata;
    for (int k = 0; k < 4; k++) out->ext[k] = f.ext[k];
    f.stamp = stamp;
    if (f.flags & EV_ONESHOT) {
        uncarry(q, fd, fi);
        f = Filter{};
        sync_reg(q, fd);
    } else if (f.flags & EV_DISPATCH) {
        uncarry(q, fd, fi);
        f.enabled = false;
        sync_reg(q, fd);
    } else if (f.flags & EV_CLEAR) {
        uncarry(q, fd, fi);
    } else if (r.events & EPOLLET) {
        carry(q, fd, fi);
    }
    return kEmitted;
}

bool live(const Queue* q, int fd, uint32_t gen, int fi) {
    if (size_t(fd) >= q->regs.size()) return false;
    const Reg& r = q->regs[fd];
    return r.events != 0 && r.gen == gen && r.f[fi].added && r.f[fi].enabled;
}

// Re-checks carried filters: level filters of edge-triggered items that were
// ready last time, and edges that did not fit into an earlier event list.
int deliver_carried(Queue* q, struct kevent* out, int room, uint64_t stamp) {
    if (q->carry.empty() || room == 0) return 0;
    q->pfds.clear();
    for (size_t i = 0; i < q->carry.size();) {
        Carry c = q->carry[i];
        bool ok = live(q, c.fd, c.gen, c.fi) && (q->regs[c.fd].events & EPOLLET);
        if (!ok) {
            if (size_t(c.fd) < q->regs.size() && q->regs[c.fd].gen == c.gen) {
                q->regs[c.fd].f[c.fi].carried = false;
            }
            q->carry[i] = q->carry.back();
            q->carry.pop_back();
            continue;
        }
        pollfd p{};
        p.fd = c.fd;
        p.events = POLLIN | POLLOUT | POLLRDHUP;
        q->pfds.push_back(p);
        i++;
    }
    if (q->pfds.empty() || poll(q->pfds.data(), q->pfds.size(), 0) < 0) return 0;
    // Work on the entries as they are now; emit_fd may add or drop carried entries.
    // The scan starts where the previous one stopped, so that with more ready
    // entries than room each gets its turn, as the kernel's own ready list does.
    int n = 0;
    size_t count = q->pfds.size();
    size_t start = q->carry_next % count;
    size_t scanned = 0;
    for (; scanned < count && n < room; scanned++) {
        size_t i = (start + scanned) % count;
        int fd = q->pfds[i].fd;
        uint32_t m = static_cast<uint32_t>(q->pfds[i].revents);
        bool verified = false;
        for (int fi = 0; fi < 2 && n < room; fi++) {
            Filter& f = q->regs[fd].f[fi];
            if (!f.carried || f.stamp == stamp || !live(q, fd, q->regs[fd].gen, fi)) continue;
            if (m & POLLNVAL) {
                forget(q, fd);
                break;
            }
            // Only an entry about to be reported must prove that its number still
            // names the registered file; one that went quiet is just dropped. Most
            // carried entries go quiet (the loop read everything), so this spares
            // them a system call each per wait.
            if (!verified && (m & kReadyBits[fi])) {
                if (still_registered(q, fd, q->regs[fd]) != 0) {
                    forget(q, fd);
                    break;
                }
                verified = true;
            }
            int sockerr = -1;
            Emit e = emit_fd(q, fd, fi, m, out + n, &sockerr, stamp);
            if (e == kEmitted) {
                n++;
            } else if (e == kStale) {
                forget(q, fd);
                break;
            } else {
                uncarry(q, fd, fi);  // gone quiet: the next edge will report it
            }
        }
    }
    q->carry_next = start + scanned;
    return n;
}

int process(Queue* q, const epoll_event* evs, int count, struct kevent* out, int room,
            uint64_t stamp) {
    int n = 0;
    bool woken = false;
    for (int i = 0; i < count; i++) {
        uint64_t d = evs[i].data.u64;
        if (d == kWakeToken) {
            // Disarm before looking at the user events, so that a trigger racing
            // with us re-arms rather than being swallowed.
            marker_ctl(q->fd, EPOLL_CTL_MOD, 0);
            q->armed = false;
            woken = true;
            continue;
        }
        int fd = static_cast<int>(uint32_t(d));
        uint32_t gen = uint32_t(d >> 32);
        if (size_t(fd) >= q->regs.size() || q->regs[fd].gen != gen || q->regs[fd].events == 0) {
            continue;  // a registration that is no longer ours
        }
        int sockerr = -1;
        for (int fi = 0; fi < 2; fi++) {
            Reg& r = q->regs[fd];
            if (r.events == 0 || r.gen != gen) break;
            Filter& f = r.f[fi];
            if (!f.added || !f.enabled || f.stamp == stamp) continue;
            if (n == room) {
                // Out of room. A level-triggered item will be reported again; an
                // edge would be lost, so keep it for the next call.
                if ((r.events & EPOLLET) && (evs[i].events & kReadyBits[fi])) carry(q, fd, fi);
                continue;
            }
            Emit e = emit_fd(q, fd, fi, evs[i].events, out + n, &sockerr, stamp);
            if (e == kEmitted) n++;
            if (e == kStale) {
                forget(q, fd);
                break;
            }
        }
    }
    if (woken) n += deliver_users(q, out + n, room - n, stamp);
    return n;
}

int collect(Queue* q, struct kevent* out, int nevents, const timespec* timeout) {
    const bool poll_only = timeout && timeout->tv_sec == 0 && timeout->tv_nsec == 0;
    int64_t deadline = 0;
    if (timeout && !poll_only) {
        deadline = now_ns() + static_cast<int64_t>(timeout->tv_nsec);
        int64_t secs = timeout->tv_sec;
        deadline = secs > (INT64_MAX - deadline) / 1000000000 ? INT64_MAX : deadline + secs * 1000000000;
    }
    std::vector<epoll_event> own;
    std::unique_lock<std::mutex> lock(q->mu);
    const uint64_t stamp = ++q->calls;
    for (;;) {
        int n = deliver_users(q, out, nevents, stamp);
        // Carried entries take at most half of the room before the kernel is
        // asked, so descriptors that became ready meanwhile are not starved by
        // ones that stay ready; the rest of the room goes to them afterwards.
        const int room = nevents - n;
        const int carriedRoom = room > 1 ? (room + 1) / 2 : room;
        const int carried = deliver_carried(q, out + n, carriedRoom, stamp);
        const bool carriedCapped = carried == carriedRoom && carriedRoom < room;
        n += carried;
        if (n == nevents) return n;
        const bool block = n == 0 && !poll_only;
        timespec left{0, 0};
        const timespec* wait_for = &left;
        if (block && timeout) {
            int64_t rest = deadline - now_ns();
            if (rest <= 0) return 0;
            left.tv_sec = rest / 1000000000;
            left.tv_nsec = rest % 1000000000;
        } else if (block) {
            wait_for = nullptr;
        }
        // The capacity is the caller's word, not memory we may allocate: take at most
        // a batch per wait, as the kernel does; what is left stays ready for the next.
        const int batch = std::min(nevents - n, kMaxBatch);
        epoll_event* buf;
        const bool mine = !q->scratch_busy;
        if (mine) {
            if (q->scratch.size() < size_t(batch)) q->scratch.resize(size_t(batch));
            q->scratch_busy = true;
            buf = q->scratch.data();
        } else {
            own.resize(size_t(batch));  // a second waiter on one queue: rare, may allocate
            buf = own.data();
        }
        if (block) q->waiters++;
        lock.unlock();
        int r = wait_events(q->fd, buf, batch, wait_for);
        int err = errno;
        lock.lock();
        if (block) q->waiters--;
        if (r > 0) n += process(q, buf, r, out + n, nevents - n, stamp);
        if (mine) q->scratch_busy = false;
        if (carriedCapped && r >= 0 && n < nevents) {
            n += deliver_carried(q, out + n, nevents - n, stamp);
        }
        if (r < 0) {
            if (n > 0) return n;
            errno = err == EINVAL ? EBADF : err;  // EINVAL: no longer an epoll set
            return -1;
        }
        if (n > 0 || !block || r == 0) return n;
        // Woken for nothing we can hand out (the wake marker, a stale or disabled
        // registration): wait out the rest of the time.
    }
}

}  // namespace

extern "C" int kqueue(void) {
    {
        std::lock_guard<std::mutex> g(g_mu);
        if (g_marker < 0) {
            g_marker = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (g_marker < 0) return -1;
        }
    }
    // Close-on-exec: FreeBSD does not hand a kqueue to a child either.
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return -1;
    if ((fd >> kChunkShift) >= kChunks || marker_ctl(fd, EPOLL_CTL_ADD, 0) != 0) {
        int err = (fd >> kChunkShift) >= kChunks ? EMFILE : errno;
        close(fd);
        errno = err;
        return -1;
    }
    std::lock_guard<std::mutex> g(g_mu);
    std::atomic<std::atomic<Queue*>*>& slot = g_chunks[fd >> kChunkShift];
    std::atomic<Queue*>* chunk = slot.load(std::memory_order_acquire);
    if (!chunk) {
        chunk = new (std::nothrow) std::atomic<Queue*>[kChunkSize]();
        if (!chunk) {
            close(fd);
            errno = ENOMEM;
            return -1;
        }
        slot.store(chunk, std::memory_order_release);
    }
    std::atomic<Queue*>& entry = chunk[fd & (kChunkSize - 1)];
    Queue* q = entry.load(std::memory_order_acquire);
    if (!q) {
        q = new (std::nothrow) Queue;
        if (!q) {
            close(fd);
            errno = ENOMEM;
            return -1;
        }
        q->fd = fd;
        entry.store(q, std::memory_order_release);
        return fd;
    }
    // The number belonged to a queue that was closed: start over. `waiters` is
    // left alone, a thread may still be leaving a wait on the old set.
    std::lock_guard<std::mutex> l(q->mu);
    std::vector<Reg>().swap(q->regs);
    std::vector<UserEvent>().swap(q->users);
    q->carry.clear();
    q->armed = false;
    return fd;
}

extern "C" int kevent(int kq, const struct kevent* changelist, int nchanges,
                      struct kevent* eventlist, int nevents, const struct timespec* timeout) {
    if (nchanges < 0 || nevents < 0) {
        errno = EINVAL;
        return -1;
    }
    // FreeBSD's kernel answers a list it cannot reach with EFAULT; here the lists are
    // read and written in user space, where the null page would crash the caller.
    if ((nchanges > 0 && changelist == nullptr) || (nevents > 0 && eventlist == nullptr)) {
        errno = EFAULT;
        return -1;
    }
    Queue* q = find_queue(kq);
    if (!q || !is_our_queue(kq)) {
        errno = EBADF;
        return -1;
    }
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(q->mu);
        bool wake = false;
        for (int i = 0; i < nchanges; i++) {
            // A copy: the change and event lists may be the same array.
            struct kevent c = changelist[i];
            unsigned short fl = c.flags & static_cast<unsigned short>(~kOutputFlags);
            int err;
            if ((fl & ~kKnownFlags) || (fl & (EV_ENABLE | EV_DISABLE)) == (EV_ENABLE | EV_DISABLE)) {
                err = EINVAL;
            } else if (c.filter == EVFILT_READ || c.filter == EVFILT_WRITE) {
                err = apply_fd(q, c, fl);
            } else if (c.filter == EVFILT_USER) {
                err = apply_user(q, c, fl, &wake);
            } else {
                err = EINVAL;
            }
            if (err == 0 && !(fl & EV_RECEIPT)) continue;
            if (n == nevents) {
                // No room to report it: FreeBSD stops here and fails the call.
                if (wake) arm_wake(q);
                if (err == 0) return n;
                errno = err;
                return -1;
            }
            c.flags = EV_ERROR;
            c.data = err;
            eventlist[n++] = c;
        }
        if (wake) arm_wake(q);
    }
    // As on FreeBSD, a call that reported errors hands back only those.
    if (n > 0 || nevents == 0) return n;
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000)) {
        errno = EINVAL;
        return -1;
    }
    return collect(q, eventlist, nevents, timeout);
}
