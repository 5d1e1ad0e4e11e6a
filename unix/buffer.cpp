#include "unix/buffer.h"

#include "unix/util.h"

namespace {

jlong memoryAddress0(JNIEnv* env, jclass, jobject buffer) {
    // The JVM reads a field of whatever it is handed, so null would crash it.
    if (buffer == nullptr) {
        return 0;
    }
    return reinterpret_cast<jlong>(env->GetDirectBufferAddress(buffer));
}

jint addressSize0(JNIEnv*, jclass) { return sizeof(void*); }

const JNINativeMethod fixed_method_table[] = {
    OVREL_NATIVE("memoryAddress0", "(Ljava/nio/ByteBuffer;)J", memoryAddress0),
    OVREL_NATIVE("addressSize0", "()I", addressSize0),
};

}  // namespace

jint ovrel_unix_buffer_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    if (ovrel_unix_util_register_natives(env, packagePrefix, "io/ovrel/channel/unix/Buffer",
                                         fixed_method_table,
                                         OVREL_ARRAY_SIZE(fixed_method_table)) != 0) {
        return JNI_ERR;
    }
    return JNI_VERSION_1_6;
}

void ovrel_unix_buffer_JNI_OnUnLoad(JNIEnv* env) {}
