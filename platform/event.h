#ifndef OVREL_PLATFORM_EVENT_H_
#define OVREL_PLATFORM_EVENT_H_

// The one place that decides where kqueue()/kevent() come from. FreeBSD and
// macOS have their own; the record differs (64 bytes with ext[] on FreeBSD,
// 32 bytes without on macOS), which is why the natives report its size and
// offsets to Java instead of Java knowing them.
#if defined(__FreeBSD__) || defined(__APPLE__)
#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>

// The kernel knows its own queues; nothing needs telling before a close.
inline void ovrel_event_closing(int) {}
#else
#include "compat/linux/kqueue.h"
#endif

#endif
