#include "unix/filedescriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/descriptors.h"
#include "platform/event.h"
#include "unix/util.h"

namespace {

jmethodID positionMethodId = nullptr;
jmethodID limitMethodId = nullptr;
// Field access is cheaper than calling position()/limit() per buffer; the
// methods are kept for JVMs that hide the fields.
jfieldID positionFieldId = nullptr;
jfieldID limitFieldId = nullptr;

jint writeRegion(jint fd, const char* base, jint pos, jint limit) {
    if (!ovrel_region_valid(base, pos, limit)) {
        return -EINVAL;
    }
    ssize_t res;
    do {
        res = write(fd, base + pos, static_cast<size_t>(limit - pos));
    } while (res < 0 && errno == EINTR);
    return res < 0 ? -errno : static_cast<jint>(res);
}

jint readRegion(jint fd, char* base, jint pos, jint limit) {
    if (!ovrel_region_valid(base, pos, limit)) {
        return -EINVAL;
    }
    ssize_t res;
    do {
        res = read(fd, base + pos, static_cast<size_t>(limit - pos));
    } while (res < 0 && errno == EINTR);
    return res < 0 ? -errno : static_cast<jint>(res);
}

jlong writevRaw(jint fd, const struct iovec* iov, int count) {
    ssize_t res;
    do {
        res = writev(fd, iov, count);
    } while (res < 0 && errno == EINTR);
    return res < 0 ? -errno : static_cast<jlong>(res);
}

jint close0(JNIEnv*, jclass, jint fd) {
    // Lets the event layer know before the number can be handed out again.
    ovrel_event_closing(fd);
    // After EINTR the descriptor is already gone on the systems we run on;
    // closing again could close a descriptor another thread just opened.
    if (close(fd) < 0 && errno != EINTR) {
        return -errno;
    }
    return 0;
}

jint open0(JNIEnv* env, jclass, jstring path) {
    if (path == nullptr) {
        return -EINVAL;
    }
    const char* chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
        // The JVM's OutOfMemoryError stays pending for the caller.
        return -ENOMEM;
    }
    int fd = open(chars, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = errno;
    env->ReleaseStringUTFChars(path, chars);
    return fd < 0 ? -err : fd;
}

jint write0(JNIEnv* env, jclass, jint fd, jobject buffer, jint pos, jint limit) {
    if (!ovrel_region_within_capacity(env, buffer, limit)) {
        return -EINVAL;
    }
    return writeRegion(fd, static_cast<const char*>(env->GetDirectBufferAddress(buffer)), pos,
                       limit);
}

jint writeAddress(JNIEnv*, jclass, jint fd, jlong address, jint pos, jint limit) {
    return writeRegion(fd, reinterpret_cast<const char*>(static_cast<intptr_t>(address)), pos,
                       limit);
}

jlong writevAddresses(JNIEnv*, jclass, jint fd, jlong memoryAddress, jint length) {
    return writevRaw(fd, reinterpret_cast<const struct iovec*>(static_cast<intptr_t>(memoryAddress)),
                     length);
}

jlong writev0(JNIEnv* env, jclass, jint fd, jobjectArray buffers, jint offset, jint length,
              jlong maxBytesToWrite) {
    // Fixed size: the entry count comes from Java and must never size the stack.
    struct iovec iov[IOV_MAX];
    if (buffers == nullptr || offset < 0 || length < 0 || length > IOV_MAX ||
        offset > INT_MAX - length) {
        return -EINVAL;
    }
    int count = 0;
    jlong remaining = maxBytesToWrite;
    for (jint i = 0; i < length; ++i) {
        jobject buffer = env->GetObjectArrayElement(buffers, offset + i);
        if (buffer == nullptr) {
            // A null element, or an index past the array's end (its
            // ArrayIndexOutOfBoundsException is left pending for the caller).
            return -EINVAL;
        }
        jint pos = positionFieldId != nullptr ? env->GetIntField(buffer, positionFieldId)
                                              : env->CallIntMethod(buffer, positionMethodId);
        jint limit = limitFieldId != nullptr ? env->GetIntField(buffer, limitFieldId)
                                             : env->CallIntMethod(buffer, limitMethodId);
        jlong size = static_cast<jlong>(limit) - pos;
        // The first buffer always goes, whatever the budget; once the budget is
        // spent (or was below zero) no later buffer fits, not even an empty one.
        if (i > 0 && size > remaining) {
            env->DeleteLocalRef(buffer);
            break;
        }
        char* base = static_cast<char*>(env->GetDirectBufferAddress(buffer));
        env->DeleteLocalRef(buffer);
        if (!ovrel_region_valid(base, pos, limit)) {
            return -EINVAL;
        }
        iov[count].iov_base = base + pos;
        iov[count].iov_len = static_cast<size_t>(size);
        ++count;
        remaining -= size;
    }
    return writevRaw(fd, iov, count);
}

jint read0(JNIEnv* env, jclass, jint fd, jobject buffer, jint pos, jint limit) {
    if (!ovrel_region_within_capacity(env, buffer, limit)) {
        return -EINVAL;
    }
    return readRegion(fd, static_cast<char*>(env->GetDirectBufferAddress(buffer)), pos, limit);
}

jint readAddress(JNIEnv*, jclass, jint fd, jlong address, jint pos, jint limit) {
    return readRegion(fd, reinterpret_cast<char*>(static_cast<intptr_t>(address)), pos, limit);
}

jlong newPipe(JNIEnv*, jclass) {
    int fds[2];
    if (ovrel_pipe_nonblocking(fds) != 0) {
        return -errno;
    }
    return (static_cast<jlong>(fds[0]) << 32) | static_cast<uint32_t>(fds[1]);
}

const JNINativeMethod method_table[] = {
    OVREL_NATIVE("close", "(I)I", close0),
    OVREL_NATIVE("open", "(Ljava/lang/String;)I", open0),
    OVREL_NATIVE("write", "(ILjava/nio/ByteBuffer;II)I", write0),
    OVREL_NATIVE("writeAddress", "(IJII)I", writeAddress),
    OVREL_NATIVE("writevAddresses", "(IJI)J", writevAddresses),
    OVREL_NATIVE("writev", "(I[Ljava/nio/ByteBuffer;IIJ)J", writev0),
    OVREL_NATIVE("read", "(ILjava/nio/ByteBuffer;II)I", read0),
    OVREL_NATIVE("readAddress", "(IJII)I", readAddress),
    OVREL_NATIVE("newPipe", "()J", newPipe),
};

// Learns, from a throw-away direct buffer, how to read any direct buffer's
// position and limit later.
jint lookupBufferAccessors(JNIEnv* env) {
    void* mem = malloc(1);
    if (mem == nullptr) {
        return JNI_ERR;
    }
    jint result = JNI_ERR;
    jobject probe = env->NewDirectByteBuffer(mem, 1);
    if (probe != nullptr && env->GetDirectBufferAddress(probe) != nullptr) {
        jclass cls = env->GetObjectClass(probe);
        if (cls != nullptr) {
            positionMethodId = env->GetMethodID(cls, "position", "()I");
            limitMethodId = positionMethodId == nullptr ? nullptr
                                                        : env->GetMethodID(cls, "limit", "()I");
            if (limitMethodId != nullptr) {
                positionFieldId = env->GetFieldID(cls, "position", "I");
                if (positionFieldId == nullptr) {
                    env->ExceptionClear();
                }
                limitFieldId = env->GetFieldID(cls, "limit", "I");
                if (limitFieldId == nullptr) {
                    env->ExceptionClear();
                }
                result = JNI_VERSION_1_6;
            }
            env->DeleteLocalRef(cls);
        }
    }
    if (probe != nullptr) {
        env->DeleteLocalRef(probe);
    }
    free(mem);
    return result;
}

}  // namespace

jint ovrel_unix_filedescriptor_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    if (ovrel_unix_util_register_natives(env, packagePrefix, "io/ovrel/channel/unix/FileDescriptor",
                                         method_table, OVREL_ARRAY_SIZE(method_table)) != 0) {
        return JNI_ERR;
    }
    return lookupBufferAccessors(env);
}

void ovrel_unix_filedescriptor_JNI_OnUnLoad(JNIEnv* env) {}
