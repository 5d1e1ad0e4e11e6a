#ifndef OVREL_COMPAT_LINUX_KQUEUE_H_
#define OVREL_COMPAT_LINUX_KQUEUE_H_

// kqueue()/kevent() for Linux, so the natives and their tests build and run here
// unchanged. Layout and values match FreeBSD's, because the Java side reads and
// writes these structures directly. Only what a Java event loop uses is there:
// EVFILT_READ/EVFILT_WRITE (with NOTE_LOWAT) on pollable descriptors and regular
// files, and EVFILT_USER. A change that asks for anything else fails with EINVAL
// rather than being half-honoured.

#include <stddef.h>
#include <stdint.h>
#include <time.h>

struct kevent {
    uintptr_t ident;
    short filter;
    unsigned short flags;
    unsigned int fflags;
    int64_t data;
    void* udata;
    uint64_t ext[4];
};

static_assert(sizeof(struct kevent) == 64, "struct kevent must keep FreeBSD's size");
static_assert(offsetof(struct kevent, ident) == 0, "kevent.ident offset");
static_assert(offsetof(struct kevent, filter) == 8, "kevent.filter offset");
static_assert(offsetof(struct kevent, flags) == 10, "kevent.flags offset");
static_assert(offsetof(struct kevent, fflags) == 12, "kevent.fflags offset");
static_assert(offsetof(struct kevent, data) == 16, "kevent.data offset");
static_assert(offsetof(struct kevent, udata) == 24, "kevent.udata offset");
static_assert(offsetof(struct kevent, ext) == 32, "kevent.ext offset");

#define EVFILT_READ (-1)
#define EVFILT_WRITE (-2)
#define EVFILT_USER (-11)

#define EV_ADD 0x0001
#define EV_DELETE 0x0002
#define EV_ENABLE 0x0004
#define EV_DISABLE 0x0008
#define EV_ONESHOT 0x0010
#define EV_CLEAR 0x0020
#define EV_RECEIPT 0x0040
#define EV_DISPATCH 0x0080
#define EV_ERROR 0x4000
#define EV_EOF 0x8000

#define NOTE_LOWAT 0x0001u

#define NOTE_TRIGGER 0x01000000u
#define NOTE_FFNOP 0x00000000u
#define NOTE_FFAND 0x40000000u
#define NOTE_FFOR 0x80000000u
#define NOTE_FFCOPY 0xc0000000u
#define NOTE_FFCTRLMASK 0xc0000000u
#define NOTE_FFLAGSMASK 0x00ffffffu

#define EV_SET(kevp, a, b, c, d, e, f)                                                   \
    do {                                                                             \
        struct kevent* ev_set_p_ = (kevp);                                           \
        ev_set_p_->ident = (a);                                                      \
        ev_set_p_->filter = (b);                                                     \
        ev_set_p_->flags = (c);                                                      \
        ev_set_p_->fflags = (d);                                                     \
        ev_set_p_->data = (e);                                                       \
        ev_set_p_->udata = (f);                                                      \
        ev_set_p_->ext[0] = 0;                                                       \
        ev_set_p_->ext[1] = 0;                                                       \
        ev_set_p_->ext[2] = 0;                                                       \
        ev_set_p_->ext[3] = 0;                                                       \
    } while (0)

// Not exported: the library is built with hidden visibility, so these stay private
// to it and never clash with anything else loaded into the JVM.
extern "C" {
int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout);
// The library's own close path calls this just before it closes fd, so that a
// queue closed there is known to be gone without asking the kernel on every wait.
void ovrel_event_closing(int fd);
}

#endif
