#include "unix/errors.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "unix/util.h"

namespace {

jclass outOfMemoryErrorClass = nullptr;
jclass runtimeExceptionClass = nullptr;
jclass channelExceptionClass = nullptr;
jclass closedChannelExceptionClass = nullptr;
jmethodID closedChannelExceptionMethodId = nullptr;
jclass ioExceptionClass = nullptr;
jclass portUnreachableExceptionClass = nullptr;

// strerror_r comes in two forms: XSI returns an error number and writes the
// buffer, GNU returns the text (which may not be in the buffer at all).
// Overloading on the return type picks the right handling at compile time.
[[maybe_unused]] int strerrorResult(int result, char* buffer, size_t size) {
    return result == -1 ? errno : result;
}

[[maybe_unused]] int strerrorResult(char* result, char* buffer, size_t size) {
    if (buffer[0] == '\0' && result != nullptr) {
        strncpy(buffer, result, size - 1);
    }
    return errno;
}

// prefix + the system's text for errorNumber, in a new heap string, or null
// when memory is exhausted (the caller then raises nothing).
char* composeErrorMessage(const char* prefix, int errorNumber) {
    int number = errorNumber < 0 ? -errorNumber : errorNumber;
    size_t size = 32;
    char* buffer = nullptr;
    while (size < 1024) {
        free(buffer);
        size *= 2;
        buffer = static_cast<char*>(calloc(size, 1));
        if (buffer == nullptr) {
            return nullptr;
        }
        errno = 0;
        int error = strerrorResult(strerror_r(number, buffer, size), buffer, size);
        if (error != ERANGE) {
            break;
        }
    }
    char* message = ovrel_unix_util_prepend(prefix, buffer);
    free(buffer);
    return message;
}

void throwNewErrorNo(JNIEnv* env, jclass clazz, const char* prefix, int errorNumber) {
    char* message = composeErrorMessage(prefix, errorNumber);
    if (message == nullptr) {
        return;
    }
    env->ThrowNew(clazz, message);
    free(message);
}

jint errnoENOENT(JNIEnv*, jclass) { return ENOENT; }
jint errnoENOTCONN(JNIEnv*, jclass) { return ENOTCONN; }
jint errnoEBADF(JNIEnv*, jclass) { return EBADF; }
jint errnoEPIPE(JNIEnv*, jclass) { return EPIPE; }
jint errnoECONNRESET(JNIEnv*, jclass) { return ECONNRESET; }
jint errnoEAGAIN(JNIEnv*, jclass) { return EAGAIN; }
jint errnoEWOULDBLOCK(JNIEnv*, jclass) { return EWOULDBLOCK; }
jint errnoEINPROGRESS(JNIEnv*, jclass) { return EINPROGRESS; }
jint errorECONNREFUSED(JNIEnv*, jclass) { return ECONNREFUSED; }
jint errorEISCONN(JNIEnv*, jclass) { return EISCONN; }
jint errorEALREADY(JNIEnv*, jclass) { return EALREADY; }
jint errorENETUNREACH(JNIEnv*, jclass) { return ENETUNREACH; }

jstring strError(JNIEnv* env, jclass, jint error) {
    return env->NewStringUTF(strerror(error));
}

const JNINativeMethod statically_referenced_fixed_method_table[] = {
    OVREL_NATIVE("errnoENOENT", "()I", errnoENOENT),
    OVREL_NATIVE("errnoENOTCONN", "()I", errnoENOTCONN),
    OVREL_NATIVE("errnoEBADF", "()I", errnoEBADF),
    OVREL_NATIVE("errnoEPIPE", "()I", errnoEPIPE),
    OVREL_NATIVE("errnoECONNRESET", "()I", errnoECONNRESET),
    OVREL_NATIVE("errnoEAGAIN", "()I", errnoEAGAIN),
    OVREL_NATIVE("errnoEWOULDBLOCK", "()I", errnoEWOULDBLOCK),
    OVREL_NATIVE("errnoEINPROGRESS", "()I", errnoEINPROGRESS),
    OVREL_NATIVE("errorECONNREFUSED", "()I", errorECONNREFUSED),
    OVREL_NATIVE("errorEISCONN", "()I", errorEISCONN),
    OVREL_NATIVE("errorEALREADY", "()I", errorEALREADY),
    OVREL_NATIVE("errorENETUNREACH", "()I", errorENETUNREACH),
    OVREL_NATIVE("strError", "(I)Ljava/lang/String;", strError),
};

// A missing class is cleared (the load fails quietly); a failed NewGlobalRef
// leaves its error pending.
bool cacheClass(JNIEnv* env, const char* name, jclass* out) {
    *out = ovrel_util_new_global_class(env, name);
    return *out != nullptr;
}

void releaseAll(JNIEnv* env) {
    ovrel_util_delete_global_class(env, &outOfMemoryErrorClass);
    ovrel_util_delete_global_class(env, &runtimeExceptionClass);
    ovrel_util_delete_global_class(env, &channelExceptionClass);
    ovrel_util_delete_global_class(env, &ioExceptionClass);
    ovrel_util_delete_global_class(env, &portUnreachableExceptionClass);
    ovrel_util_delete_global_class(env, &closedChannelExceptionClass);
}

// The loader does not unload a module whose own load failed, so a failed
// load drops whatever references it had taken instead of leaking them.
bool cacheAll(JNIEnv* env, const char* packagePrefix) {
    if (!cacheClass(env, "java/lang/OutOfMemoryError", &outOfMemoryErrorClass) ||
        !cacheClass(env, "java/lang/RuntimeException", &runtimeExceptionClass)) {
        return false;
    }
    char* channelExceptionName =
        ovrel_unix_util_prepend(packagePrefix, "io/ovrel/channel/ChannelException");
    if (channelExceptionName == nullptr) {
        return false;
    }
    bool cached = cacheClass(env, channelExceptionName, &channelExceptionClass);
    ovrel_unix_util_free_dynamic_name(&channelExceptionName);
    if (!cached ||
        !cacheClass(env, "java/nio/channels/ClosedChannelException", &closedChannelExceptionClass)) {
        return false;
    }
    closedChannelExceptionMethodId = env->GetMethodID(closedChannelExceptionClass, "<init>", "()V");
    if (closedChannelExceptionMethodId == nullptr) {
        return false;
    }
    return cacheClass(env, "java/io/IOException", &ioExceptionClass) &&
           cacheClass(env, "java/net/PortUnreachableException", &portUnreachableExceptionClass);
}

}  // namespace

void ovrel_unix_errors_throwRuntimeException(JNIEnv* env, const char* message) {
    env->ThrowNew(runtimeExceptionClass, message);
}

void ovrel_unix_errors_throwRuntimeExceptionErrorNo(JNIEnv* env, const char* message,
                                                    int errorNumber) {
    throwNewErrorNo(env, runtimeExceptionClass, message, errorNumber);
}

void ovrel_unix_errors_throwChannelExceptionErrorNo(JNIEnv* env, const char* message,
                                                    int errorNumber) {
    throwNewErrorNo(env, channelExceptionClass, message, errorNumber);
}

void ovrel_unix_errors_throwIOException(JNIEnv* env, const char* message) {
    env->ThrowNew(ioExceptionClass, message);
}

void ovrel_unix_errors_throwPortUnreachableException(JNIEnv* env, const char* message) {
    env->ThrowNew(portUnreachableExceptionClass, message);
}

void ovrel_unix_errors_throwIOExceptionErrorNo(JNIEnv* env, const char* message, int errorNumber) {
    throwNewErrorNo(env, ioExceptionClass, message, errorNumber);
}

void ovrel_unix_errors_throwClosedChannelException(JNIEnv* env) {
    jobject exception = env->NewObject(closedChannelExceptionClass, closedChannelExceptionMethodId);
    if (exception == nullptr) {
        return;
    }
    env->Throw(static_cast<jthrowable>(exception));
}

void ovrel_unix_errors_throwOutOfMemoryError(JNIEnv* env) {
    env->ThrowNew(outOfMemoryErrorClass, "");
}

jint ovrel_unix_errors_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    if (ovrel_unix_util_register_natives(env, packagePrefix,
                                         "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods",
                                         statically_referenced_fixed_method_table,
                                         OVREL_ARRAY_SIZE(statically_referenced_fixed_method_table)) != 0) {
        return JNI_ERR;
    }
    if (!cacheAll(env, packagePrefix)) {
        releaseAll(env);
        return JNI_ERR;
    }
    return JNI_VERSION_1_6;
}

void ovrel_unix_errors_JNI_OnUnLoad(JNIEnv* env) { releaseAll(env); }
