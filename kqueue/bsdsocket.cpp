#include "kqueue/bsdsocket.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform/bsd_socket.h"
#include "unix/errors.h"
#include "unix/socket.h"
#include "unix/util.h"

// The natives hand these records to the kernel by size.
static_assert(sizeof(struct accept_filter_arg) == 256, "accept filter record");
static_assert(sizeof(((struct accept_filter_arg*)nullptr)->af_name) == 16, "filter name field");
static_assert(sizeof(((struct accept_filter_arg*)nullptr)->af_arg) == 240, "filter argument field");
// The credential record's size is the platform's (88 bytes on FreeBSD, 76 on
// macOS) and is passed by sizeof; only its group capacity is fixed.
static_assert(sizeof(((struct xucred*)nullptr)->cr_groups) == 16 * sizeof(gid_t),
              "peer credential groups");

namespace {

jfieldID fileChannelFieldId = nullptr;
jfieldID transferredFieldId = nullptr;
jfieldID fileChannelFdFieldId = nullptr;
jfieldID fileDescriptorFdFieldId = nullptr;
// Only to check the channel's class before reading a FileChannelImpl field
// from it: reading a field through the id of another class is undefined.
jclass fileChannelImplClass = nullptr;
jclass stringClass = nullptr;
jclass peerCredentialsClass = nullptr;
jmethodID peerCredentialsConstructor = nullptr;

const int kFixedMethodCount = 6;
const int kMethodCount = 8;

// Copies at most capacity bytes of a modified UTF-8 string, NUL-terminated
// when shorter. A cut never splits a multi-byte character, so what the system
// gives back later is still valid modified UTF-8 for NewStringUTF.
void copyTruncated(char* field, size_t capacity, const char* text) {
    size_t length = strnlen(text, capacity + 1);
    if (length > capacity) {
        length = capacity;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    memcpy(field, text, length);
    if (length < capacity) {
        field[length] = '\0';
    }
}

// False with OutOfMemoryError pending when the characters cannot be had; a
// null string leaves the field empty.
bool copyJavaString(JNIEnv* env, jstring string, char* field, size_t capacity) {
    if (string == nullptr) {
        return true;
    }
    const char* chars = env->GetStringUTFChars(string, nullptr);
    if (chars == nullptr) {
        return false;
    }
    copyTruncated(field, capacity, chars);
    env->ReleaseStringUTFChars(string, chars);
    return true;
}

// A field the system filled need not end in NUL when full.
jstring newStringFromField(JNIEnv* env, const char* field, size_t capacity) {
    char text[256];
    size_t length = strnlen(field, capacity);
    memcpy(text, field, length);
    text[length] = '\0';
    return env->NewStringUTF(text);
}

void setAcceptFilter(JNIEnv* env, jclass, jint fd, jstring filterName, jstring filterArgs) {
    struct accept_filter_arg filter;
    memset(&filter, 0, sizeof(filter));
    if (!copyJavaString(env, filterName, filter.af_name, sizeof(filter.af_name)) ||
        !copyJavaString(env, filterArgs, filter.af_arg, sizeof(filter.af_arg))) {
        return;
    }
    ovrel_unix_socket_setOption(env, fd, SOL_SOCKET, SO_ACCEPTFILTER, &filter, sizeof(filter));
}

void setTcpNoPush(JNIEnv* env, jclass, jint fd, jint optval) {
    ovrel_unix_socket_setOption(env, fd, IPPROTO_TCP, TCP_NOPUSH, &optval, sizeof(optval));
}

void setSndLowAt(JNIEnv* env, jclass, jint fd, jint optval) {
    ovrel_unix_socket_setOption(env, fd, SOL_SOCKET, SO_SNDLOWAT, &optval, sizeof(optval));
}

jobjectArray getAcceptFilter(JNIEnv* env, jclass, jint fd) {
    struct accept_filter_arg filter;
    memset(&filter, 0, sizeof(filter));
    if (ovrel_unix_socket_getOption(env, fd, SOL_SOCKET, SO_ACCEPTFILTER, &filter,
                                    sizeof(filter)) == -1) {
        return nullptr;
    }
    jobjectArray result = env->NewObjectArray(2, stringClass, nullptr);
    if (result == nullptr) {
        return nullptr;
    }
    jstring name = newStringFromField(env, filter.af_name, sizeof(filter.af_name));
    if (name == nullptr) {
        return nullptr;
    }
    jstring args = newStringFromField(env, filter.af_arg, sizeof(filter.af_arg));
    if (args == nullptr) {
        return nullptr;
    }
    env->SetObjectArrayElement(result, 0, name);
    env->SetObjectArrayElement(result, 1, args);
    return result;
}

jint getIntOption(JNIEnv* env, jint fd, int level, int optname) {
    int optval = 0;
    if (ovrel_unix_socket_getOption(env, fd, level, optname, &optval, sizeof(optval)) == -1) {
        return -1;
    }
    return optval;
}

jint getTcpNoPush(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, IPPROTO_TCP, TCP_NOPUSH);
}

jint getSndLowAt(JNIEnv* env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_SNDLOWAT);
}

// The region's file descriptor, or -1 with a RuntimeException pending.
int regionFileDescriptor(JNIEnv* env, jobject region) {
    jobject channel =
        region == nullptr ? nullptr : env->GetObjectField(region, fileChannelFieldId);
    if (channel == nullptr) {
        ovrel_unix_errors_throwRuntimeException(env, "failed to get DefaultFileRegion.file");
        return -1;
    }
    jobject fileDescriptor = env->IsInstanceOf(channel, fileChannelImplClass)
                                 ? env->GetObjectField(channel, fileChannelFdFieldId)
                                 : nullptr;
    if (fileDescriptor == nullptr) {
        ovrel_unix_errors_throwRuntimeException(env, "failed to get FileChannelImpl.fd");
        return -1;
    }
    jint fd = env->GetIntField(fileDescriptor, fileDescriptorFdFieldId);
    if (fd < 0) {
        ovrel_unix_errors_throwRuntimeException(env, "failed to get FileDescriptor.fd");
        return -1;
    }
    return fd;
}

jlong sendFile(JNIEnv* env, jclass, jint socketFd, jobject fileRegion, jlong baseOffset,
               jlong offset, jlong length) {
    int srcFd = regionFileDescriptor(env, fileRegion);
    if (srcFd == -1) {
        return -1;
    }
    // A negative length would read as a huge size_t, a negative position is no
    // place in a file: refuse both before anything is sent.
    if (length < 0 || baseOffset < 0 || offset < 0 || baseOffset > INT64_MAX - offset) {
        return -EINVAL;
    }

    // length 0 asks sendfile for the rest of the file, so it is passed on as 0
    // on every attempt; otherwise each attempt asks for what is still missing.
    jlong sent = 0;
    int result;
    int error = 0;
    for (;;) {
        off_t chunk = 0;
        size_t wanted = length == 0 ? 0 : static_cast<size_t>(length - sent);
        result = ovrel_bsd_sendfile(srcFd, socketFd,
                                    static_cast<off_t>(baseOffset + offset + sent), wanted,
                                    nullptr, &chunk, 0);
        error = errno;
        if (chunk > 0) {
            sent += chunk;
        }
        if (result != -1 || error != EINTR) {
            break;
        }
        // An interrupted call that already delivered everything must not be
        // repeated with 0 left: 0 would mean "to the end of the file".
        if (length != 0 && sent >= length) {
            break;
        }
    }

    if (sent > 0) {
        env->SetLongField(fileRegion, transferredFieldId, offset + sent);
        return sent;
    }
    return result == -1 ? -error : 0;
}

jobject getPeerCredentials(JNIEnv* env, jclass, jint fd) {
    struct xucred credentials;
    memset(&credentials, 0, sizeof(credentials));
    credentials.cr_ngroups = 0;
    // Not the version the system writes, so that a record it left alone can
    // never pass for one it filled.
    credentials.cr_version = ~static_cast<unsigned int>(XUCRED_VERSION);
    socklen_t length = sizeof(credentials);
    if (ovrel_bsd_getsockopt(fd, SOL_LOCAL, LOCAL_PEERCRED, &credentials, &length) < 0) {
        ovrel_unix_socket_getOptionHandleError(env, errno);
        return nullptr;
    }
    // The option's numbers mean something else on a socket that is not
    // Unix-domain: on an IPv4 one they ask for its IP options and succeed with
    // none. Only a whole record of the known layout describes a peer; anything
    // else read as one would name uid 0, root.
    if (length != sizeof(credentials) || credentials.cr_version != XUCRED_VERSION) {
        ovrel_unix_socket_getOptionHandleError(env, EINVAL);
        return nullptr;
    }
    // The count comes from the kernel, but an out-of-range one must still not
    // read past the record.
    const jsize capacity = static_cast<jsize>(sizeof(credentials.cr_groups) /
                                              sizeof(credentials.cr_groups[0]));
    jsize count = credentials.cr_ngroups < 2 ? 1 : credentials.cr_ngroups;
    if (count > capacity) {
        count = capacity;
    }
    jintArray groups = env->NewIntArray(count);
    if (groups == nullptr) {
        return nullptr;
    }
    jint values[sizeof(credentials.cr_groups) / sizeof(credentials.cr_groups[0])];
    for (jsize i = 0; i < count; ++i) {
        values[i] = static_cast<jint>(credentials.cr_groups[i]);
    }
    env->SetIntArrayRegion(groups, 0, count, values);
    return env->NewObject(peerCredentialsClass, peerCredentialsConstructor, 0,
                          static_cast<jint>(credentials.cr_uid), groups);
}

const JNINativeMethod fixedMethodTable[kFixedMethodCount] = {
    OVREL_NATIVE("setAcceptFilter", "(ILjava/lang/String;Ljava/lang/String;)V", setAcceptFilter),
    OVREL_NATIVE("setTcpNoPush", "(II)V", setTcpNoPush),
    OVREL_NATIVE("setSndLowAt", "(II)V", setSndLowAt),
    OVREL_NATIVE("getAcceptFilter", "(I)[Ljava/lang/String;", getAcceptFilter),
    OVREL_NATIVE("getTcpNoPush", "(I)I", getTcpNoPush),
    OVREL_NATIVE("getSndLowAt", "(I)I", getSndLowAt),
};

const ovrel_util_dynamic_method dynamicMethods[kMethodCount - kFixedMethodCount] = {
    {"sendFile", "(IL", "io/ovrel/channel/DefaultFileRegion;JJJ)J",
     reinterpret_cast<void*>(sendFile)},
    {"getPeerCredentials", "(I)L", "io/ovrel/channel/unix/PeerCredentials;",
     reinterpret_cast<void*>(getPeerCredentials)},
};

jclass findPrefixedClass(JNIEnv* env, const char* packagePrefix, const char* name) {
    char* prefixedName = ovrel_unix_util_prepend(packagePrefix, name);
    if (prefixedName == nullptr) {
        return nullptr;
    }
    jclass clazz = ovrel_util_find_class(env, prefixedName);
    ovrel_unix_util_free_dynamic_name(&prefixedName);
    return clazz;
}

// A global reference to the class, or null; the local one is always released.
jclass globalClass(JNIEnv* env, jclass local) {
    if (local == nullptr) {
        return nullptr;
    }
    jclass global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

bool cacheRegionMembers(JNIEnv* env, const char* packagePrefix) {
    jclass regionClass =
        findPrefixedClass(env, packagePrefix, "io/ovrel/channel/DefaultFileRegion");
    if (regionClass == nullptr) {
        return false;
    }
    fileChannelFieldId =
        env->GetFieldID(regionClass, "file", "Ljava/nio/channels/FileChannel;");
    transferredFieldId =
        fileChannelFieldId == nullptr ? nullptr : env->GetFieldID(regionClass, "transferred", "J");
    env->DeleteLocalRef(regionClass);
    if (transferredFieldId == nullptr) {
        return false;
    }

    fileChannelImplClass = ovrel_util_new_global_class(env, "sun/nio/ch/FileChannelImpl");
    if (fileChannelImplClass == nullptr) {
        return false;
    }
    fileChannelFdFieldId =
        env->GetFieldID(fileChannelImplClass, "fd", "Ljava/io/FileDescriptor;");
    if (fileChannelFdFieldId == nullptr) {
        return false;
    }

    jclass fileDescriptorClass = ovrel_util_find_class(env, "java/io/FileDescriptor");
    if (fileDescriptorClass == nullptr) {
        return false;
    }
    fileDescriptorFdFieldId = env->GetFieldID(fileDescriptorClass, "fd", "I");
    env->DeleteLocalRef(fileDescriptorClass);
    return fileDescriptorFdFieldId != nullptr;
}

bool cacheResultClasses(JNIEnv* env, const char* packagePrefix) {
    stringClass = ovrel_util_new_global_class(env, "java/lang/String");
    if (stringClass == nullptr) {
        return false;
    }
    peerCredentialsClass = globalClass(
        env, findPrefixedClass(env, packagePrefix, "io/ovrel/channel/unix/PeerCredentials"));
    if (peerCredentialsClass == nullptr) {
        return false;
    }
    peerCredentialsConstructor = env->GetMethodID(peerCredentialsClass, "<init>", "(II[I)V");
    return peerCredentialsConstructor != nullptr;
}

}  // namespace

jint ovrel_kqueue_bsdsocket_JNI_OnLoad(JNIEnv* env, const char* packagePrefix) {
    JNINativeMethod* table = ovrel_util_new_dynamic_methods_table(
        fixedMethodTable, kFixedMethodCount, dynamicMethods, kMethodCount - kFixedMethodCount,
        packagePrefix);
    if (table == nullptr) {
        return JNI_ERR;
    }
    bool loaded = ovrel_unix_util_register_natives(env, packagePrefix,
                                                   "io/ovrel/channel/kqueue/BsdSocket", table,
                                                   kMethodCount) == 0 &&
                  cacheRegionMembers(env, packagePrefix) &&
                  cacheResultClasses(env, packagePrefix);
    ovrel_unix_util_free_dynamic_methods_table(table, kFixedMethodCount, kMethodCount);
    if (!loaded) {
        // The loader does not unload a module whose load failed, so whatever
        // this load cached is released here or never.
        ovrel_kqueue_bsdsocket_JNI_OnUnLoad(env);
        return JNI_ERR;
    }
    return JNI_VERSION_1_6;
}

void ovrel_kqueue_bsdsocket_JNI_OnUnLoad(JNIEnv* env) {
    ovrel_util_delete_global_class(env, &peerCredentialsClass);
    ovrel_util_delete_global_class(env, &stringClass);
    ovrel_util_delete_global_class(env, &fileChannelImplClass);
}
