#include "unix/limits.h"

#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include "unix/util.h"

// FreeBSD keeps UIO_MAXIOV inside the kernel headers; its value there is IOV_MAX.
#ifndef UIO_MAXIOV
#define UIO_MAXIOV IOV_MAX
#endif

namespace {

jlong ssizeMax(JNIEnv*, jclass) { return SSIZE_MAX; }
jint iovMax(JNIEnv*, jclass) { return IOV_MAX; }
jint uioMaxIov(JNIEnv*, jclass) { return UIO_MAXIOV; }
jint sizeOfjlong(JNIEnv*, jclass) { return sizeof(jlong); }
jint udsSunPathSize(JNIEnv*, jclass) { return sizeof(((struct sockaddr_un*)nullptr)->sun_path); }

const JNINativeMethod statically_referenced_fixed_method_table[] = {
    OVREL_NATIVE("ssizeMax", "()J", ssizeMax),
    OVREL_NATIVE("iovMax", "()I", iovMax),
    OVREL_NATIVE("uioMaxIov", "()I", uioMaxIov),
    OVREL_NATIVE("sizeOfjlong", "()I", sizeOfjlong),
    OVREL_NATIVE("udsSunPathSize", "()I", udsSunPathSize),
};

}  // namespace

jint ovrel_unix_limits_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    if (ovrel_unix_util_register_natives(env, packagePrefix,
                                         "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods",
                                         statically_referenced_fixed_method_table,
                                         OVREL_ARRAY_SIZE(statically_referenced_fixed_method_table)) != 0) {
        return JNI_ERR;
    }
    return JNI_VERSION_1_6;
}

void ovrel_unix_limits_JNI_OnUnLoad(JNIEnv* env) {}
