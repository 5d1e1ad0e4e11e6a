#include "kqueue/eventarray.h"

#include <stdint.h>
#include <string.h>

#include "platform/event.h"
#include "unix/util.h"

namespace {

void evSet(JNIEnv*, jclass, jlong keventAddress, jint ident, jshort filter, jshort flags,
           jint fflags) {
    struct kevent* ev = reinterpret_cast<struct kevent*>(keventAddress);
    // Java reuses records: nothing of an earlier event may leak into a change.
    // The whole record is cleared, whatever fields this platform's has.
    memset(ev, 0, sizeof(*ev));
    ev->ident = static_cast<uintptr_t>(static_cast<intptr_t>(ident));
    ev->filter = filter;
    ev->flags = static_cast<unsigned short>(flags);
    ev->fflags = static_cast<unsigned int>(fflags);
}

const JNINativeMethod fixed_method_table[] = {
    OVREL_NATIVE("evSet", "(JISSI)V", evSet),
};

}  // namespace

jint ovrel_kqueue_eventarray_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    if (ovrel_unix_util_register_natives(env, packagePrefix,
                                         "io/ovrel/channel/kqueue/KQueueEventArray",
                                         fixed_method_table,
                                         OVREL_ARRAY_SIZE(fixed_method_table)) != 0) {
        return JNI_ERR;
    }
    return JNI_VERSION_1_6;
}

void ovrel_kqueue_eventarray_JNI_OnUnLoad(JNIEnv* env) {}
