#ifndef OVREL_PLATFORM_EVENT_H_
#define OVREL_PLATFORM_EVENT_H_

// The one place that decides where kqueue()/kevent() come from.
#if defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>
#else
#include "compat/linux/kqueue.h"
#endif

#endif
