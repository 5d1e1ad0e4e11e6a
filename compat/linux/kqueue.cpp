// kqueue()/kevent() on top of epoll, for running the natives on Linux.
//
// How it is put together, and why:
//
// * The kqueue descriptor is the epoll descriptor itself, so a plain close() from
//   Java releases every kernel registration at once. What lives in user space (the
//   filters' flags and udata, the user events) sits in a per-queue object reached
//   through a table indexed by that descriptor number. Objects are recycled, never
//   freed, so a thread still inside kevent() on a queue that another thread closed
//   cannot touch freed memory.
//
// * Which queue a number names. Each object carries an `open` flag and an epoch
//   that moves on whenever its number stops naming the queue it describes:
//   kqueue() handing the number out again, the library's own close path
//   (ovrel_event_closing, called by FileDescriptor.close just before it closes),
//   a failed identity check, and a fork. A pure wait (no changes) trusts the flag
//   and makes no extra system call: epoll_wait itself fails with EBADF on a closed
//   number and EINVAL on one that is no epoll set. A call that carries changes
//   first proves the number still names this queue's epoll set by re-setting the
//   wake marker (below) with EPOLL_CTL_MOD under the queue's lock: only our own
//   sets hold the marker, so any other epoll set answers ENOENT and is left
//   exactly as it was, and so is a fresh set of a concurrent kqueue() that has not
//   added its marker yet. A thread that sleeps in a queue while it is closed and
//   its number reused goes on sleeping in the old set, as on FreeBSD; when it wakes
//   it sees the epoch moved, drops what it got and fails with EBADF instead of
//   serving the number's next owner. The library's close wakes such sleepers at
//   once. What is guaranteed: changes are applied only to a live queue of ours; a
//   queue closed through the library, or re-created on its number, is never
//   mistaken for the old one. What is not: after a plain close(2) that bypasses the
//   library, a pure wait on the stale number, if another epoll set took it, waits
//   on that set. It fails with EBADF on its first change call, or as soon as a
//   wait gets an event that names no registration of ours (that makes it check);
//   an edge-triggered event of that set it took is lost to the set's owner.
//
// * Every epoll set made here holds one process-wide eventfd, the wake marker,
//   registered with no events. Work that exists only in user space (a triggered
//   user event, a filter carried over from an earlier wait, see below) is invisible
//   to a thread asleep in epoll_wait. The rule: whenever such work is pending and
//   someone may be waiting for it (a thread asleep in the queue, or another queue
//   watching this one), the marker is armed for EPOLLOUT, which an idle eventfd
//   always is, level-triggered; otherwise it is disarmed. Every call settles this
//   under the lock before it returns, so the thread that leaves work undelivered
//   (too little room, two events for two waiters) leaves the marker armed for the
//   next sleeper; a single-threaded loop never touches the marker.
//
// * Trigger mode, chosen per descriptor. A descriptor whose filters are all level
//   (no EV_CLEAR, no NOTE_LOWAT) is registered level-triggered, with only the
//   enabled filters' events: the kernel re-checks it on each wait, so the wait
//   costs O(ready) with no user-space bookkeeping. As soon as one of its filters
//   uses EV_CLEAR or a low-water mark it is registered edge-triggered, with read
//   and write interest both fixed from then on, and enabling, disabling or deleting
//   a filter never touches the kernel registration again. That matters because
//   epoll_ctl(MOD) re-queues the item with its current levels, which would report
//   the other filter again although nothing changed for it. A level filter living
//   on such a descriptor is re-checked with poll() on each wait for as long as it
//   stays ready (the "carried" list), and the kernel's next edge reports it once it
//   has gone quiet. One residue cannot be removed with a single epoll item per
//   descriptor: when the other direction of an edge-triggered descriptor gets a
//   kernel wakeup while an EV_CLEAR filter's condition still holds, that filter is
//   reported once more. We accept a duplicate over ever losing an edge.
//
// * Closed and reused descriptor numbers. epoll forgets a registration only when
//   the open file description dies, and user space never sees the close. Each
//   registration carries a generation in its epoll data; events whose generation
//   is not the live one are dropped. Every change to a known descriptor first
//   asks the kernel whether that number, with the file it now names, is still
//   registered (an EPOLL_CTL_ADD that must fail with EEXIST; should it succeed,
//   the item it made carries a token that is never reported and is removed at
//   once), so a stale entry never blocks a new EV_ADD and never lends its state to
//   a new file. Later updates of a registration go by EPOLL_CTL_MOD only: a MOD
//   that finds nothing means the file is gone, and the entry is forgotten instead
//   of the number's new file being registered in its place. Carried entries are
//   checked the same way before one is reported again, and EBADF from the ioctl
//   that computes `data` drops the entry. Left over: an item kept alive by a
//   dup()ed descriptor after its number was closed cannot be deleted from user
//   space any more; its reports are dropped, but while it stays ready in
//   level-triggered mode the wait wakes up for it until the duplicate is closed.
//
// * Regular files, which epoll refuses, are watched in user space: a read filter
//   is ready while the file offset is before the end (`data` = bytes left), a
//   write filter always. Their device and inode are kept to notice a reused
//   number. Nothing tells us that a file grew, so while a queue watches a file a
//   blocking wait sleeps at most kFilePollNs at a time and looks again.
//
// * Socket errors. Linux clears a socket's pending error when SO_ERROR is read,
//   and nothing reads it without clearing it; reading it here would hide a refused
//   connect from finishConnect and turn a reset into an orderly end of stream for
//   read. So EV_EOF is reported, and fflags stays 0.
//
// * Fairness. User events are scanned round-robin, and a call whose room was
//   taken by user events puts them after the descriptors in the next call, the way
//   FreeBSD queues a re-armed level event behind the others. Carried entries take
//   at most half of the room before the kernel is asked and are scanned
//   round-robin; the kernel's own ready list is round-robin already. When one
//   kernel event readies both filters of a descriptor, the filter handed out
//   longer ago goes first, so that two waiters with room for one each get one
//   filter each.
//
// * One lock per queue guards the user-space state. It is never held across a
//   wait that may sleep, so other threads can apply changes or trigger user
//   events meanwhile; a zero-timeout epoll_wait cannot sleep and keeps it. The
//   wait reuses a per-queue buffer sized to the largest nevents seen, so the
//   steady state allocates nothing.
//
// * fork(): FreeBSD does not pass a kqueue to a child. An at-fork handler closes
//   every queue of ours in the child and abandons their objects (a lock may have
//   been held by a thread that does not exist there). A JVM starts processes with
//   posix_spawn, which runs no at-fork handlers; close-on-exec covers those.

#include "compat/linux/kqueue.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <linux/unix_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
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
// Carried by the item an identity check may make for a number's new file; never
// reported, and the item is deleted right after.
constexpr uint64_t kProbeToken = ~uint64_t(0) - 1;
constexpr uint32_t kEdgeEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
// Marks a registration that lives in user space only (regular files).
constexpr uint32_t kUserSpace = EPOLLWAKEUP;
constexpr uint32_t kReadyBits[2] = {EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR,
                                    EPOLLOUT | EPOLLHUP | EPOLLERR};
constexpr unsigned short kKeptFlags = EV_ONESHOT | EV_CLEAR | EV_DISPATCH | EV_RECEIPT;
constexpr unsigned short kKnownFlags = EV_ADD | EV_DELETE | EV_ENABLE | EV_DISABLE | EV_ONESHOT |
                                       EV_CLEAR | EV_RECEIPT | EV_DISPATCH;
// Output-only bits; FreeBSD strips them from changes, so a caller that reuses an
// event array as a change list is not punished for it.
constexpr unsigned short kOutputFlags = EV_ERROR | EV_EOF;
constexpr unsigned kUserKnownFflags = NOTE_FFCTRLMASK | NOTE_TRIGGER | NOTE_FFLAGSMASK;
// Kernel events taken per epoll wait; bounds the scratch buffer whatever capacity
// the caller claims.
constexpr int kMaxBatch = 1024;
// How long a blocking wait sleeps at most while a regular file is watched.
constexpr int64_t kFilePollNs = 5 * 1000 * 1000;

enum Kind : uint8_t { kOther, kSocket, kFifo, kFile };

// What a wait looks at for every event is kept small and together; ext, mostly
// zero, sits apart and is only read when it is not.
struct Filter {
    void* udata;
    uint64_t stamp;  // the kevent() call that last handed it out
    int64_t lowat;   // NOTE_LOWAT; 0 for none
    unsigned short flags;
    bool added;
    bool enabled;
    bool carried;
    bool has_ext;
};

struct Reg {
    uint32_t gen;
    uint32_t events;  // as registered in the epoll set; 0 when not registered
    Kind kind;
    Filter f[2];  // [0] read, [1] write
    uint64_t ext[2][4];
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
    bool gone;  // a delivered EV_ONESHOT, removed once the scan is over
};

struct Carry {
    int fd;
    uint32_t gen;
    int fi;
};

struct FileEntry {
    int fd;
    uint32_t gen;
    dev_t dev;  // to notice that the number names another file now
    ino_t ino;
    int64_t seen_size[2];  // EV_CLEAR: what the filter last reported
    int64_t seen_off;
};

struct Queue {
    std::mutex mu;
    int fd = -1;
    std::atomic<bool> open{false};
    std::atomic<uint64_t> epoch{0};
    std::vector<Reg> regs;  // indexed by descriptor
    std::vector<UserEvent> users;
    size_t user_next = 0;     // where the next scan of the user events starts
    bool users_last = false;  // user events took all the room last time: others first now
    std::vector<Carry> carry;
    size_t carry_next = 0;  // where the next re-check starts: no carried entry waits behind others forever
    std::vector<FileEntry> files;
    size_t files_next = 0;
    std::vector<pollfd> pfds;
    std::vector<epoll_event> scratch;
    bool scratch_busy = false;
    uint32_t next_gen = 1;
    uint64_t calls = 0;
    int waiters = 0;
    bool armed = false;
    bool watched = false;  // another queue has a read filter on this one
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

// Under q->mu. Drops what a queue held; the scratch buffer stays, a thread may
// still be leaving a wait with it.
void reset_state(Queue* q) {
    std::vector<Reg>().swap(q->regs);
    std::vector<UserEvent>().swap(q->users);
    std::vector<Carry>().swap(q->carry);
    std::vector<FileEntry>().swap(q->files);
    q->user_next = 0;
    q->users_last = false;
    q->carry_next = 0;
    q->files_next = 0;
    q->armed = false;
    q->watched = false;
}

// Under q->mu, for calls that change something: true when q->fd still is this
// queue's epoll set (see the top of the file). MOD of our marker changes nothing
// in any other set, and leaves ours as it was.
bool still_ours(Queue* q) {
    if (marker_ctl(q->fd, EPOLL_CTL_MOD, q->armed ? uint32_t(EPOLLOUT) : 0u) == 0) return true;
    q->open.store(false, std::memory_order_release);
    q->epoch.fetch_add(1, std::memory_order_relaxed);
    reset_state(q);
    return false;
}

bool users_pending(const Queue* q) {
    for (const UserEvent& u : q->users) {
        if (u.enabled && u.triggered && !u.gone) return true;
    }
    return false;
}

// Under q->mu: arms the marker while user-space work is pending and someone may
// be waiting for it, disarms it otherwise.
void settle_marker(Queue* q) {
    bool want = (q->waiters > 0 || q->watched) && (!q->carry.empty() || users_pending(q));
    if (want != q->armed && marker_ctl(q->fd, EPOLL_CTL_MOD, want ? uint32_t(EPOLLOUT) : 0u) == 0) {
        q->armed = want;
    }
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
    if (r.kind == kFile) return kUserSpace;
    bool edge = (rd.added && ((rd.flags & EV_CLEAR) || rd.lowat > 0)) ||
                (wr.added && ((wr.flags & EV_CLEAR) || wr.lowat > 0));
    bool rd_on = rd.added && rd.enabled;
    bool wr_on = wr.added && wr.enabled;
    // Nothing enabled: stay registered (EV_ENABLE must find the item) but
    // edge-triggered, or a hung-up descriptor would make every wait return at once.
    if (edge || (!rd_on && !wr_on)) return kEdgeEvents;
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

// Regular-file entries of the queue's list are dropped lazily, once their
// registration is gone (see deliver_files).
void forget(Queue* q, int fd) {
    uncarry(q, fd, 0);
    uncarry(q, fd, 1);
    Reg& r = q->regs[fd];
    r.events = 0;
    r.f[0] = Filter{};
    r.f[1] = Filter{};
}

FileEntry* file_entry(Queue* q, int fd, uint32_t gen) {
    for (FileEntry& e : q->files) {
        if (e.fd == fd && e.gen == gen) return &e;
    }
    return nullptr;
}

// 0 when fd still names the file we registered under that number; otherwise
// EBADF (closed) or ENOENT (the number now names another file).
int still_registered(Queue* q, int fd, const Reg& r) {
    if (r.kind == kFile) {
        const FileEntry* e = file_entry(q, fd, r.gen);
        struct stat st;
        if (fstat(fd, &st) != 0) return errno == EBADF ? EBADF : ENOENT;
        return e && st.st_dev == e->dev && st.st_ino == e->ino && S_ISREG(st.st_mode) ? 0 : ENOENT;
    }
    epoll_event ev{};
    ev.events = r.events;
    ev.data.u64 = kProbeToken;
    if (epoll_ctl(q->fd, EPOLL_CTL_ADD, fd, &ev) == 0) {
        epoll_ctl(q->fd, EPOLL_CTL_DEL, fd, &ev);
        return ENOENT;
    }
    if (errno == EEXIST) return 0;
    return errno == EBADF ? EBADF : ENOENT;
}

// Brings the kernel registration in line with the filters. Never adds: the item
// was added by add_fresh, and if it is gone now, so is the file it was for.
int sync_reg(Queue* q, int fd) {
    Reg& r = q->regs[fd];
    uint32_t want = wanted_events(r);
    if (want == r.events) return 0;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = reg_data(fd, r);
    if (want == 0) {
        if (r.kind != kFile) epoll_ctl(q->fd, EPOLL_CTL_DEL, fd, &ev);
        forget(q, fd);
        return 0;
    }
    if (epoll_ctl(q->fd, EPOLL_CTL_MOD, fd, &ev) != 0) {
        int err = errno == EBADF ? EBADF : ENOENT;
        forget(q, fd);
        return err;
    }
    if (!(want & EPOLLET)) {
        uncarry(q, fd, 0);  // the kernel re-checks level filters from now on
        uncarry(q, fd, 1);
    }
    r.events = want;
    return 0;
}

Kind kind_of(int fd, int* err, dev_t* dev, ino_t* ino) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *err = errno;
        return kOther;
    }
    *err = 0;
    *dev = st.st_dev;
    *ino = st.st_ino;
    if (S_ISSOCK(st.st_mode)) return kSocket;
    if (S_ISFIFO(st.st_mode)) return kFifo;
    if (S_ISREG(st.st_mode)) return kFile;
    return kOther;
}

void set_filter(Queue* q, int fd, int fi, const struct kevent& c, unsigned short fl) {
    Reg& r = q->regs[fd];
    Filter& f = r.f[fi];
    f = Filter{};
    f.added = true;
    f.enabled = !(fl & EV_DISABLE);
    f.flags = fl & kKeptFlags;
    f.udata = c.udata;
    for (int i = 0; i < 4; i++) {
        r.ext[fi][i] = c.ext[i];
        f.has_ext |= c.ext[i] != 0;
    }
    if (r.kind == kFile) {
        if (FileEntry* e = file_entry(q, fd, r.gen)) e->seen_size[fi] = -1;
    }
}

int64_t lowat_of(const struct kevent& c) { return (c.fflags & NOTE_LOWAT) && c.data > 1 ? c.data : 0; }

// Another queue of ours now watches this one: from here on its pending user-space
// work must show in its epoll set, which is what makes it readable.
void mark_watched(Queue* outer, int fd) {
    Queue* inner = find_queue(fd);
    if (!inner || inner == outer || !inner->open.load(std::memory_order_acquire)) return;
    // The kernel refuses a watch that would close a loop, so two queues never
    // take each other's locks in opposite order here.
    std::lock_guard<std::mutex> l(inner->mu);
    if (!inner->open.load(std::memory_order_relaxed) || inner->fd != fd) return;
    inner->watched = true;
    settle_marker(inner);
}

int add_fresh(Queue* q, int fd, int fi, const struct kevent& c, unsigned short fl) {
    int err;
    dev_t dev = 0;
    ino_t ino = 0;
    Kind kind = kind_of(fd, &err, &dev, &ino);
    if (err) return err;
    if (q->regs.size() <= size_t(fd)) q->regs.resize(size_t(fd) + 1, Reg{});
    Reg& r = q->regs[fd];
    forget(q, fd);
    r.kind = kind;
    r.gen = q->next_gen++;
    if (r.gen == 0) r.gen = q->next_gen++;
    if (kind == kFile) q->files.push_back(FileEntry{fd, r.gen, dev, ino, {-1, -1}, -1});
    set_filter(q, fd, fi, c, fl);
    r.f[fi].lowat = lowat_of(c);
    if (kind == kFile) {
        r.events = kUserSpace;
        return 0;
    }
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
    if (fi == 0 && kind == kOther) mark_watched(q, fd);
    return 0;
}

int apply_fd(Queue* q, const struct kevent& c, unsigned short fl) {
    if (c.fflags & ~NOTE_LOWAT) return EINVAL;  // no other read/write notes here
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
        set_filter(q, fd, fi, c, fl);
    } else {
        f.udata = c.udata;  // any change to an existing event replaces udata, as on FreeBSD
        if (fl & EV_ADD) f.enabled = true;
    }
    f.lowat = lowat_of(c);
    if (fl & EV_ENABLE) f.enabled = true;
    if (fl & EV_DISABLE) f.enabled = false;
    int err = sync_reg(q, fd);
    if (err) return err;
    // FreeBSD re-runs the filter on every change; on an edge-triggered item the
    // kernel will not, so have the next collection look at it (and wake a waiter
    // for it: settle_marker).
    if (f.enabled && (r.events & EPOLLET)) carry(q, fd, fi);
    return 0;
}

// ---- user events ----

int apply_user(Queue* q, const struct kevent& c, unsigned short fl) {
    if (c.fflags & ~kUserKnownFflags) return EINVAL;
    UserEvent* u = nullptr;
    size_t idx = 0;
    for (; idx < q->users.size(); idx++) {
        if (q->users[idx].ident == c.ident && !q->users[idx].gone) {
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
    return 0;
}

// Round-robin from where the last scan stopped, so that a level event that stays
// triggered does not keep the others out when room is short.
int deliver_users(Queue* q, struct kevent* out, int room, uint64_t stamp) {
    const size_t count = q->users.size();
    if (count == 0 || room == 0) return 0;
    int n = 0;
    bool any_gone = false;
    const size_t start = q->user_next % count;
    size_t k = 0;
    for (; k < count && n < room; k++) {
        UserEvent& u = q->users[(start + k) % count];
        if (!u.enabled || !u.triggered || u.gone || u.stamp == stamp) continue;
        struct kevent& e = out[n++];
        e.ident = u.ident;
        e.filter = EVFILT_USER;
        e.flags = u.flags;
        e.fflags = u.fflags;
        e.data = u.data;
        e.udata = u.udata;
        for (int i = 0; i < 4; i++) e.ext[i] = u.ext[i];
        u.stamp = stamp;
        if (u.flags & EV_CLEAR) u.triggered = false;
        if (u.flags & EV_DISPATCH) u.enabled = false;
        if (u.flags & EV_ONESHOT) {
            u.gone = true;
            any_gone = true;
        }
    }
    q->user_next = start + k;
    if (any_gone) {
        q->users.erase(std::remove_if(q->users.begin(), q->users.end(),
                                      [](const UserEvent& u) { return u.gone; }),
                       q->users.end());
    }
    return n;
}

// ---- turning readiness into kevents ----

std::mutex g_diag_mu;
int g_diag = -1;
uint32_t g_diag_seq = 0;

// Connections waiting on a listening Unix-domain socket, from the kernel's socket
// diagnostics (the only place Linux tells it); 1 if that cannot be had.
int64_t unix_backlog(ino_t ino) {
    std::lock_guard<std::mutex> g(g_diag_mu);
    if (g_diag < 0) {
        g_diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (g_diag < 0) return 1;
    }
    struct {
        nlmsghdr nh;
        unix_diag_req req;
    } msg{};
    msg.nh.nlmsg_len = sizeof(msg);
    msg.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nh.nlmsg_flags = NLM_F_REQUEST;
    msg.nh.nlmsg_seq = ++g_diag_seq;
    msg.req.sdiag_family = AF_UNIX;
    msg.req.udiag_states = ~0u;
    msg.req.udiag_ino = static_cast<uint32_t>(ino);
    msg.req.udiag_show = UDIAG_SHOW_RQLEN;
    msg.req.udiag_cookie[0] = ~0u;
    msg.req.udiag_cookie[1] = ~0u;
    if (send(g_diag, &msg, sizeof(msg), 0) != ssize_t(sizeof(msg))) return 1;
    alignas(nlmsghdr) char buf[1024];
    for (;;) {
        ssize_t len = recv(g_diag, buf, sizeof(buf), MSG_DONTWAIT);
        if (len <= 0) return 1;
        const nlmsghdr* nh = reinterpret_cast<const nlmsghdr*>(buf);
        if (!NLMSG_OK(nh, size_t(len))) return 1;
        if (nh->nlmsg_seq != g_diag_seq) continue;  // an answer to an earlier, abandoned question
        if (nh->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            nh->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) {
            return 1;
        }
        const unix_diag_msg* m = static_cast<const unix_diag_msg*>(NLMSG_DATA(nh));
        int alen = int(nh->nlmsg_len - NLMSG_LENGTH(sizeof(*m)));
        const char* p = reinterpret_cast<const char*>(m) + NLMSG_ALIGN(sizeof(*m));
        while (alen >= int(sizeof(nlattr))) {
            const nlattr* a = reinterpret_cast<const nlattr*>(p);
            if (a->nla_len < sizeof(nlattr) || a->nla_len > alen) break;
            if (a->nla_type == UNIX_DIAG_RQLEN && a->nla_len >= NLA_HDRLEN + sizeof(unix_diag_rqlen)) {
                unix_diag_rqlen rq;
                memcpy(&rq, p + NLA_HDRLEN, sizeof(rq));
                return rq.udiag_rqueue;
            }
            alen -= NLA_ALIGN(a->nla_len);
            p += NLA_ALIGN(a->nla_len);
        }
        return 1;
    }
}

// Connections waiting to be accepted on a listening socket, or -2 for a socket
// that turns out not to listen (nothing to report).
int64_t listen_backlog(int fd) {
    tcp_info ti{};
    socklen_t len = sizeof(ti);
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0) {
        // A listening TCP socket reports its accept queue as tcpi_unacked.
        if (ti.tcpi_state == TCP_LISTEN) return ti.tcpi_unacked > 0 ? int64_t(ti.tcpi_unacked) : -2;
        return 1;
    }
    int listening = 0;
    len = sizeof(listening);
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) return 1;
    int domain = 0;
    socklen_t dlen = sizeof(domain);
    struct stat st;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &dlen) == 0 && domain == AF_UNIX &&
        fstat(fd, &st) == 0) {
        int64_t n = unix_backlog(st.st_ino);
        return n > 0 ? n : -2;
    }
    return 1;
}

// Bytes readable; -1 when fd has been closed under us, -2 when it is not ready after all.
int64_t read_data(int fd, const Reg& r, bool eof) {
    if (r.kind == kOther) return 1;
    int v = 0;
    if (ioctl(fd, FIONREAD, &v) == 0) return v > 0 ? v : (eof ? 0 : 1);
    if (errno == EBADF) return -1;
    // Linux answers FIONREAD on a listening socket with EINVAL.
    if (r.kind == kSocket && errno == EINVAL) return listen_backlog(fd);
    return 1;
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

// Fills *out for filter fi of fd, then applies EV_ONESHOT / EV_DISPATCH and keeps
// level filters of edge-triggered items carried.
void fill_event(Queue* q, int fd, int fi, bool eof, int64_t data, struct kevent* out, uint64_t stamp) {
    Reg& r = q->regs[fd];
    Filter& f = r.f[fi];
    out->ident = uintptr_t(fd);
    out->filter = fi == 0 ? EVFILT_READ : EVFILT_WRITE;
    out->flags = static_cast<unsigned short>(f.flags | (eof ? EV_EOF : 0));
    out->fflags = 0;  // the socket error stays pending for the caller (top of the file)
    out->data = data;
    out->udata = f.udata;
    for (int k = 0; k < 4; k++) out->ext[k] = f.has_ext ? r.ext[fi][k] : 0;
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
    } else if ((r.events & EPOLLET) && !(r.events & kUserSpace)) {
        carry(q, fd, fi);
    }
}

// For filter fi of fd given the readiness mask m.
Emit emit_fd(Queue* q, int fd, int fi, uint32_t m, struct kevent* out, uint64_t stamp) {
    Reg& r = q->regs[fd];
    Filter& f = r.f[fi];
    if (!(m & kReadyBits[fi])) return kNotReady;
    bool eof;
    int64_t data;
    if (fi == 0) {
        eof = (m & (EPOLLRDHUP | EPOLLHUP)) != 0;
        data = read_data(fd, r, eof);
        if (data == -2) return kNotReady;
    } else {
        // On a socket EPOLLERR alone is a pending error, not a shut-down send side.
        eof = (m & EPOLLHUP) || (r.kind != kSocket && (m & EPOLLERR));
        data = write_data(fd, r.kind);
    }
    if (data < 0) return kStale;
    // Below the low-water mark: not ready. The item is edge-triggered, so the next
    // arrival looks again.
    if (f.lowat > 0 && !eof && data < f.lowat) return kNotReady;
    fill_event(q, fd, fi, eof, data, out, stamp);
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
            Emit e = emit_fd(q, fd, fi, m, out + n, stamp);
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

// Regular files: looked at on every collection, as nothing else tells of a change.
int deliver_files(Queue* q, struct kevent* out, int room, uint64_t stamp) {
    if (q->files.empty()) return 0;
    // Drop entries whose registration has gone.
    for (size_t i = 0; i < q->files.size();) {
        const FileEntry& e = q->files[i];
        bool ok = size_t(e.fd) < q->regs.size() && q->regs[e.fd].gen == e.gen &&
                  q->regs[e.fd].kind == kFile && q->regs[e.fd].events != 0;
        if (ok) {
            i++;
        } else {
            q->files[i] = q->files.back();
            q->files.pop_back();
        }
    }
    const size_t count = q->files.size();
    if (count == 0 || room == 0) return 0;
    int n = 0;
    const size_t start = q->files_next % count;
    size_t k = 0;
    for (; k < count && n < room; k++) {
        FileEntry& e = q->files[(start + k) % count];
        Reg& r = q->regs[e.fd];
        if (r.gen != e.gen || r.events == 0) continue;  // dropped earlier in this scan
        bool want_read = r.f[0].added && r.f[0].enabled && r.f[0].stamp != stamp;
        bool want_write = r.f[1].added && r.f[1].enabled && r.f[1].stamp != stamp;
        if (!want_read && !want_write) continue;
        struct stat st;
        if (fstat(e.fd, &st) != 0 || st.st_dev != e.dev || st.st_ino != e.ino) {
            forget(q, e.fd);  // closed, or the number names another file now
            continue;
        }
        const int64_t size = st.st_size;
        if (want_read) {
            off_t off = lseek(e.fd, 0, SEEK_CUR);
            Filter& f = r.f[0];
            bool ready = off >= 0 && size != off;
            if (ready && (f.flags & EV_CLEAR)) ready = size != e.seen_size[0] || off != e.seen_off;
            if (ready) {
                e.seen_size[0] = size;
                e.seen_off = off;
                fill_event(q, e.fd, 0, false, size - off, out + n++, stamp);
            }
        }
        if (want_write && n < room && r.gen == e.gen && r.f[1].added) {
            Filter& f = r.f[1];
            bool ready = !(f.flags & EV_CLEAR) || size != e.seen_size[1];
            if (ready) {
                e.seen_size[1] = size;
                fill_event(q, e.fd, 1, false, 0, out + n++, stamp);
            }
        }
    }
    q->files_next = start + k;
    return n;
}

// *odd is set for an event that names no registration of ours.
int process(Queue* q, const epoll_event* evs, int count, struct kevent* out, int room,
            uint64_t stamp, bool* odd) {
    int n = 0;
    for (int i = 0; i < count; i++) {
        uint64_t d = evs[i].data.u64;
        // The marker only wakes us: the collection loop looks at the user-space work.
        if (d == kWakeToken || d == kProbeToken) continue;
        int fd = static_cast<int>(uint32_t(d));
        uint32_t gen = uint32_t(d >> 32);
        if (size_t(fd) >= q->regs.size() || q->regs[fd].gen != gen || q->regs[fd].events == 0) {
            *odd = true;  // a registration that is no longer ours, or not ours at all
            continue;
        }
        // The filter handed out longer ago goes first: when one kernel edge readies
        // both and there is room for one, the other waiter gets the other filter.
        const Reg& reg = q->regs[fd];
        const int first = reg.f[1].added && reg.f[1].stamp < reg.f[0].stamp ? 1 : 0;
        for (int k = 0; k < 2; k++) {
            const int fi = k == 0 ? first : 1 - first;
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
            Emit e = emit_fd(q, fd, fi, evs[i].events, out + n, stamp);
            if (e == kEmitted) n++;
            if (e == kStale) {
                forget(q, fd);
                break;
            }
        }
    }
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
    if (!q->open.load(std::memory_order_relaxed)) {
        errno = EBADF;  // closed between the caller's look and ours
        return -1;
    }
    const uint64_t epoch = q->epoch.load(std::memory_order_relaxed);
    const uint64_t stamp = ++q->calls;
    const bool users_first = !q->users_last;
    int n = 0;
    int given_to_users = 0;
    for (;;) {
        if (users_first) {
            int u = deliver_users(q, out + n, nevents - n, stamp);
            n += u;
            given_to_users += u;
        }
        // Carried entries take at most half of the room before the kernel is
        // asked, so descriptors that became ready meanwhile are not starved by
        // ones that stay ready; the rest of the room goes to them afterwards.
        const int room = nevents - n;
        const int carriedRoom = room > 1 ? (room + 1) / 2 : room;
        const int carried = deliver_carried(q, out + n, carriedRoom, stamp);
        const bool carriedCapped = carried == carriedRoom && carriedRoom < room;
        n += carried;
        n += deliver_files(q, out + n, nevents - n, stamp);
        if (n == nevents) break;
        const bool block = n == 0 && !poll_only && !(!users_first && users_pending(q));
        timespec left{0, 0};
        const timespec* wait_for = &left;
        if (block && timeout) {
            int64_t rest = deadline - now_ns();
            if (rest <= 0) break;
            if (!q->files.empty() && rest > kFilePollNs) rest = kFilePollNs;
            left.tv_sec = rest / 1000000000;
            left.tv_nsec = rest % 1000000000;
        } else if (block && !q->files.empty()) {
            left.tv_nsec = kFilePollNs;
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
        int r;
        int err;
        if (block) {
            q->waiters++;
            const int fd = q->fd;
            lock.unlock();
            r = wait_events(fd, buf, batch, wait_for);
            err = errno;
            lock.lock();
            q->waiters--;
        } else {
            // A zero timeout never sleeps: keep the lock rather than take it twice more.
            r = wait_events(q->fd, buf, batch, wait_for);
            err = errno;
        }
        if (mine) q->scratch_busy = false;
        if (q->epoch.load(std::memory_order_relaxed) != epoch) {
            // Closed while we waited, maybe already handed out again: what we got
            // belongs to nobody now.
            if (n > 0) return n;
            errno = EBADF;
            return -1;
        }
        bool odd = false;
        if (r > 0) n += process(q, buf, r, out + n, nevents - n, stamp, &odd);
        // Something that does not add up: a left-over item of a closed number, or
        // a set that is not ours (its number closed behind the library's back and
        // taken by someone else). Only the second fails the check.
        if (odd && !still_ours(q)) {
            errno = EBADF;
            return -1;
        }
        if (carriedCapped && r >= 0 && n < nevents) {
            n += deliver_carried(q, out + n, nevents - n, stamp);
        }
        // Either their turn, or triggered while we slept.
        const int u = deliver_users(q, out + n, nevents - n, stamp);
        n += u;
        given_to_users += u;
        if (r < 0) {
            if (n > 0) break;
            if (err == EBADF || err == EINVAL) {
                // The number is closed or names something that is no epoll set:
                // not our queue any more, whatever comes next on it.
                q->open.store(false, std::memory_order_release);
                q->epoch.fetch_add(1, std::memory_order_relaxed);
                reset_state(q);
                errno = EBADF;
                return -1;
            }
            settle_marker(q);
            errno = err;
            return -1;
        }
        if (n > 0 || !block) break;
        // Woken for nothing we can hand out (the wake marker, a stale or disabled
        // registration), or the time is up: look once more at what lives in user
        // space, then wait out the rest of the time.
    }
    q->users_last = given_to_users > 0 && n == nevents;
    settle_marker(q);
    return n;
}

// ---- fork ----

void before_fork() {
    g_mu.lock();
    g_diag_mu.lock();
}

void after_fork_parent() {
    g_diag_mu.unlock();
    g_mu.unlock();
}

// The child gets no queue: close them all and abandon their objects, whose locks
// may be held by threads that do not exist here.
void after_fork_child() {
    for (auto& slot : g_chunks) {
        std::atomic<Queue*>* chunk = slot.load(std::memory_order_relaxed);
        if (!chunk) continue;
        for (int i = 0; i < kChunkSize; i++) {
            Queue* q = chunk[i].load(std::memory_order_relaxed);
            if (!q) continue;
            if (q->open.load(std::memory_order_relaxed)) close(q->fd);
            chunk[i].store(nullptr, std::memory_order_relaxed);
        }
    }
    if (g_diag >= 0) close(g_diag);  // shared with the parent: answers would mix
    g_diag = -1;
    g_diag_mu.unlock();
    g_mu.unlock();
}

}  // namespace

extern "C" int kqueue(void) {
    {
        std::lock_guard<std::mutex> g(g_mu);
        if (g_marker < 0) {
            int m = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (m < 0) return -1;
            g_marker = m;
            pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        }
    }
    // Close-on-exec: FreeBSD does not hand a kqueue to a child either.
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return -1;
    if ((fd >> kChunkShift) >= kChunks) {
        close(fd);
        errno = EMFILE;
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
        entry.store(q, std::memory_order_release);
    }
    // The number may have belonged to a queue that was closed: start over, and move
    // the epoch on so that a thread still leaving a wait on the old set knows.
    // `waiters` is left alone, such a thread still counts itself.
    std::lock_guard<std::mutex> l(q->mu);
    reset_state(q);
    q->fd = fd;
    q->epoch.fetch_add(1, std::memory_order_relaxed);
    // Nobody else adds the marker anywhere, so EEXIST cannot come back; take it as
    // success all the same rather than fail a creation over it.
    if (marker_ctl(fd, EPOLL_CTL_ADD, 0) != 0 && (errno != EEXIST || marker_ctl(fd, EPOLL_CTL_MOD, 0) != 0)) {
        int err = errno;
        q->open.store(false, std::memory_order_release);
        close(fd);
        errno = err;
        return -1;
    }
    q->open.store(true, std::memory_order_release);
    return fd;
}

extern "C" void ovrel_event_closing(int fd) {
    Queue* q = find_queue(fd);
    if (!q || !q->open.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> l(q->mu);
    if (!q->open.load(std::memory_order_relaxed) || q->fd != fd) return;
    // Wake whoever sleeps in it: they find the epoch moved and fail with EBADF.
    // Should the number not be our set any more, the marker MOD changes nothing.
    if (q->waiters > 0) marker_ctl(fd, EPOLL_CTL_MOD, EPOLLOUT);
    q->open.store(false, std::memory_order_release);
    q->epoch.fetch_add(1, std::memory_order_relaxed);
    reset_state(q);
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
    if (!q || !q->open.load(std::memory_order_acquire)) {
        errno = EBADF;
        return -1;
    }
    int n = 0;
    if (nchanges > 0) {
        std::lock_guard<std::mutex> lock(q->mu);
        if (!q->open.load(std::memory_order_relaxed) || !still_ours(q)) {
            errno = EBADF;
            return -1;
        }
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
                err = apply_user(q, c, fl);
            } else {
                err = EINVAL;
            }
            if (err == 0 && !(fl & EV_RECEIPT)) continue;
            if (n == nevents) {
                // No room to report it: FreeBSD stops here and fails the call.
                settle_marker(q);
                if (err == 0) return n;
                errno = err;
                return -1;
            }
            c.flags = EV_ERROR;
            c.data = err;
            eventlist[n++] = c;
        }
        settle_marker(q);
    }
    // As on FreeBSD, a call that reported errors hands back only those.
    if (n > 0 || nevents == 0) return n;
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000)) {
        errno = EINVAL;
        return -1;
    }
    return collect(q, eventlist, nevents, timeout);
}
