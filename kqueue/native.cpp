#include "kqueue/native.h"

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "platform/event.h"
#include "unix/errors.h"
#include "unix/util.h"

namespace {

// Platforms without these report 0, and the Java side then never sees them set.
#ifdef EVFILT_SOCK
const jshort kEvfiltSock = EVFILT_SOCK;
#else
const jshort kEvfiltSock = 0;
#endif
#ifdef NOTE_READCLOSED
const jshort kNoteReadClosed = NOTE_READCLOSED;
#else
const jshort kNoteReadClosed = 0;
#endif
#ifdef NOTE_CONNRESET
const jshort kNoteConnReset = NOTE_CONNRESET;
#else
const jshort kNoteConnReset = 0;
#endif
#ifdef NOTE_DISCONNECTED
const jshort kNoteDisconnected = NOTE_DISCONNECTED;
#else
const jshort kNoteDisconnected = 0;
#endif

jshort evfiltRead(JNIEnv*, jclass) { return EVFILT_READ; }
jshort evfiltWrite(JNIEnv*, jclass) { return EVFILT_WRITE; }
jshort evfiltUser(JNIEnv*, jclass) { return EVFILT_USER; }
jshort evfiltSock(JNIEnv*, jclass) { return kEvfiltSock; }
jshort evAdd(JNIEnv*, jclass) { return EV_ADD; }
jshort evEnable(JNIEnv*, jclass) { return EV_ENABLE; }
jshort evDisable(JNIEnv*, jclass) { return EV_DISABLE; }
jshort evDelete(JNIEnv*, jclass) { return EV_DELETE; }
jshort evClear(JNIEnv*, jclass) { return EV_CLEAR; }
jshort evEOF(JNIEnv*, jclass) { return static_cast<jshort>(EV_EOF); }
jshort evError(JNIEnv*, jclass) { return EV_ERROR; }
jshort noteReadClosed(JNIEnv*, jclass) { return kNoteReadClosed; }
jshort noteConnReset(JNIEnv*, jclass) { return kNoteConnReset; }
jshort noteDisconnected(JNIEnv*, jclass) { return kNoteDisconnected; }

jint kqueueCreate(JNIEnv* env, jclass) {
    jint kq = kqueue();
    if (kq < 0) {
        ovrel_unix_errors_throwChannelExceptionErrorNo(env, "kqueue() failed: ", errno);
    }
    return kq;
}

// One change, no room for events: kevent applies it and returns at once.
jint applyUserEvent(jint kqueueFd, jint ident, unsigned short flags, unsigned int fflags) {
    struct kevent change;
    memset(&change, 0, sizeof(change));
    change.ident = static_cast<uintptr_t>(static_cast<intptr_t>(ident));
    change.filter = EVFILT_USER;
    change.flags = flags;
    change.fflags = fflags;
    int result = kevent(kqueueFd, &change, 1, nullptr, 0, nullptr);
    if (result >= 0) {
        return result;
    }
    // An interrupted wake-up needs no retry: the caller re-arms on its next turn.
    return errno == EINTR ? 0 : -errno;
}

jint keventAddUserEvent(JNIEnv*, jclass, jint kqueueFd, jint ident) {
    return applyUserEvent(kqueueFd, ident, EV_ADD | EV_ENABLE | EV_CLEAR, 0);
}

jint keventTriggerUserEvent(JNIEnv*, jclass, jint kqueueFd, jint ident) {
    return applyUserEvent(kqueueFd, ident, 0, NOTE_TRIGGER);
}

jint keventWait(JNIEnv*, jclass, jint kqueueFd, jlong changeListAddress, jint changeListLength,
                jlong eventListAddress, jint eventListLength, jint tvSec, jint tvNsec) {
    struct kevent* changeList = reinterpret_cast<struct kevent*>(changeListAddress);
    struct kevent* eventList = reinterpret_cast<struct kevent*>(eventListAddress);
    struct timespec timeout;
    timeout.tv_sec = tvSec;
    timeout.tv_nsec = tvNsec;
    int result;

    if (tvSec == 0 && tvNsec == 0) {
        result = kevent(kqueueFd, changeList, changeListLength, eventList, eventListLength, &timeout);
        // The changes were applied before the interruption; a retry only polls.
        while (result < 0 && errno == EINTR) {
            result = kevent(kqueueFd, changeList, 0, eventList, eventListLength, &timeout);
        }
        return result >= 0 ? result : -errno;
    }

    struct timespec begin;
    struct timespec now;
    // The loader chose a clock whose reading works.
    ovrel_unix_util_clock_gettime(waitClock, &begin);
    result = kevent(kqueueFd, changeList, changeListLength, eventList, eventListLength, &timeout);
    while (result < 0 && errno == EINTR) {
        ovrel_unix_util_clock_gettime(waitClock, &now);
        uint64_t elapsed = ovrel_unix_util_timespec_elapsed_ns(&begin, &now);
        if (ovrel_unix_util_timespec_subtract_ns(&timeout, elapsed)) {
            return 0;
        }
        begin = now;
        result = kevent(kqueueFd, changeList, 0, eventList, eventListLength, &timeout);
    }
    return result >= 0 ? result : -errno;
}

jint sizeofKEvent(JNIEnv*, jclass) { return sizeof(struct kevent); }
jint offsetofKEventIdent(JNIEnv*, jclass) { return offsetof(struct kevent, ident); }
jint offsetofKEventFlags(JNIEnv*, jclass) { return offsetof(struct kevent, flags); }
jint offsetofKEventFFlags(JNIEnv*, jclass) { return offsetof(struct kevent, fflags); }
jint offsetofKEventFilter(JNIEnv*, jclass) { return offsetof(struct kevent, filter); }
jint offsetofKeventData(JNIEnv*, jclass) { return offsetof(struct kevent, data); }

const JNINativeMethod statically_referenced_fixed_method_table[] = {
    OVREL_NATIVE("evfiltRead", "()S", evfiltRead),
    OVREL_NATIVE("evfiltWrite", "()S", evfiltWrite),
    OVREL_NATIVE("evfiltUser", "()S", evfiltUser),
    OVREL_NATIVE("evfiltSock", "()S", evfiltSock),
    OVREL_NATIVE("evAdd", "()S", evAdd),
    OVREL_NATIVE("evEnable", "()S", evEnable),
    OVREL_NATIVE("evDisable", "()S", evDisable),
    OVREL_NATIVE("evDelete", "()S", evDelete),
    OVREL_NATIVE("evClear", "()S", evClear),
    OVREL_NATIVE("evEOF", "()S", evEOF),
    OVREL_NATIVE("evError", "()S", evError),
    OVREL_NATIVE("noteReadClosed", "()S", noteReadClosed),
    OVREL_NATIVE("noteConnReset", "()S", noteConnReset),
    OVREL_NATIVE("noteDisconnected", "()S", noteDisconnected),
};

const JNINativeMethod fixed_method_table[] = {
    OVREL_NATIVE("kqueueCreate", "()I", kqueueCreate),
    OVREL_NATIVE("keventTriggerUserEvent", "(II)I", keventTriggerUserEvent),
    OVREL_NATIVE("keventAddUserEvent", "(II)I", keventAddUserEvent),
    OVREL_NATIVE("keventWait", "(IJIJIII)I", keventWait),
    OVREL_NATIVE("sizeofKEvent", "()I", sizeofKEvent),
    OVREL_NATIVE("offsetofKEventIdent", "()I", offsetofKEventIdent),
    OVREL_NATIVE("offsetofKEventFlags", "()I", offsetofKEventFlags),
    OVREL_NATIVE("offsetofKEventFFlags", "()I", offsetofKEventFFlags),
    OVREL_NATIVE("offsetofKEventFilter", "()I", offsetofKEventFilter),
    OVREL_NATIVE("offsetofKeventData", "()I", offsetofKeventData),
};

}  // namespace

jint ovrel_kqueue_native_register_constants(JNIEnv* env, const char* packagePrefix) {
    return ovrel_unix_util_register_natives(
        env, packagePrefix, "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods",
        statically_referenced_fixed_method_table,
        OVREL_ARRAY_SIZE(statically_referenced_fixed_method_table));
}

jint ovrel_kqueue_native_register_natives(JNIEnv* env, const char* packagePrefix) {
    return ovrel_unix_util_register_natives(env, packagePrefix, "io/ovrel/channel/kqueue/Native",
                                            fixed_method_table,
                                            OVREL_ARRAY_SIZE(fixed_method_table));
}
