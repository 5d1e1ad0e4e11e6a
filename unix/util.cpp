#include "unix/util.h"

#include <stdlib.h>
#include <string.h>

#include "platform/clock.h"

static const uint64_t kNanosPerSecond = 1000000000ULL;

char* ovrel_unix_util_prepend(const char* prefix, const char* str) {
    size_t prefixLen = prefix == nullptr ? 0 : strlen(prefix);
    size_t strLen = strlen(str);
    char* result = static_cast<char*>(malloc(prefixLen + strLen + 1));
    if (result == nullptr) {
        return nullptr;
    }
    if (prefixLen > 0) {
        memcpy(result, prefix, prefixLen);
    }
    memcpy(result + prefixLen, str, strLen + 1);
    return result;
}

char* ovrel_unix_util_rstrstr(char* end, const char* start, const char* needle) {
    size_t needleLen = strlen(needle);
    if (end < start || static_cast<size_t>(end - start) < needleLen) {
        return nullptr;
    }
    // Candidates run from end - needleLen down to start, both included.
    for (size_t offset = static_cast<size_t>(end - start) - needleLen + 1; offset-- > 0;) {
        char* candidate = const_cast<char*>(start) + offset;
        if (strncmp(candidate, needle, needleLen) == 0) {
            return candidate;
        }
    }
    return nullptr;
}

char* ovrel_unix_util_parse_package_prefix(const char* libraryPathName, const char* libraryName,
                                           jint* status) {
    // An empty base name would "occur" at every byte, past the terminator too.
    if (libraryName[0] == '\0') {
        *status = -1;
        return nullptr;
    }
    // The last occurrence of the base name counts, overlapping ones included,
    // so a directory that happens to carry the base name is ignored.
    const char* baseName = strstr(libraryPathName, libraryName);
    if (baseName == nullptr) {
        *status = -1;
        return nullptr;
    }
    for (const char* next = strstr(baseName + 1, libraryName); next != nullptr;
         next = strstr(next + 1, libraryName)) {
        baseName = next;
    }

    char* lib = ovrel_unix_util_rstrstr(const_cast<char*>(baseName), libraryPathName, "lib");
    if (lib == nullptr) {
        *status = -1;
        return nullptr;
    }
    const char* prefixStart = lib + 3;
    size_t prefixLen = static_cast<size_t>(baseName - prefixStart);
    if (prefixLen == 0) {
        return nullptr;
    }

    char* prefix = strndup(prefixStart, prefixLen);
    if (prefix == nullptr) {
        *status = -1;
        return nullptr;
    }
    for (char* p = prefix; *p != '\0'; ++p) {
        if (*p == '_') {
            *p = '/';
        }
    }
    size_t len = strlen(prefix);
    if (prefix[len - 1] == '/') {
        return prefix;
    }
    char* withSlash = static_cast<char*>(malloc(len + 2));
    if (withSlash == nullptr) {
        *status = -1;
        free(prefix);
        return nullptr;
    }
    memcpy(withSlash, prefix, len);
    withSlash[len] = '/';
    withSlash[len + 1] = '\0';
    free(prefix);
    return withSlash;
}

jint ovrel_unix_util_register_natives(JNIEnv* env, const char* packagePrefix,
                                      const char* className, const JNINativeMethod* methods,
                                      jint numMethods) {
    char* name = ovrel_unix_util_prepend(packagePrefix, className);
    if (name == nullptr) {
        return -1;
    }
    jint result = -1;
    jclass clazz = env->FindClass(name);
    if (clazz != nullptr) {
        result = env->RegisterNatives(clazz, methods, numMethods);
    }
    free(name);
    return result;
}

void ovrel_unix_util_free_dynamic_methods_table(JNINativeMethod* dynamicMethods,
                                                jint fixedMethodTableSize,
                                                jint fullMethodTableSize) {
    if (dynamicMethods == nullptr) {
        return;
    }
    for (jint i = fixedMethodTableSize; i < fullMethodTableSize; ++i) {
        free(dynamicMethods[i].signature);
    }
    free(dynamicMethods);
}

void ovrel_unix_util_free_dynamic_name(char** dynamicName) {
    if (dynamicName != nullptr && *dynamicName != nullptr) {
        free(*dynamicName);
        *dynamicName = nullptr;
    }
}

jboolean ovrel_unix_util_initialize_wait_clock(clockid_t* clockId) {
    struct timespec scratch;
    for (clockid_t candidate : ovrel_wait_clock_candidates) {
        *clockId = candidate;
        if (ovrel_unix_util_clock_gettime(candidate, &scratch) == 0) {
            return JNI_TRUE;
        }
    }
    return JNI_FALSE;
}

int ovrel_unix_util_clock_gettime(clockid_t clockId, struct timespec* tp) {
    return clock_gettime(clockId, tp);
}

uint64_t ovrel_unix_util_timespec_elapsed_ns(const struct timespec* begin,
                                             const struct timespec* end) {
    // Unsigned arithmetic wraps instead of overflowing: an end before the
    // begin gives a huge count, which callers read as "time is up".
    return (static_cast<uint64_t>(end->tv_sec) - static_cast<uint64_t>(begin->tv_sec)) *
               kNanosPerSecond +
           (static_cast<uint64_t>(end->tv_nsec) - static_cast<uint64_t>(begin->tv_nsec));
}

jboolean ovrel_unix_util_timespec_subtract_ns(struct timespec* ts, uint64_t nanos) {
    uint64_t seconds = nanos / kNanosPerSecond;
    uint64_t rest = nanos % kNanosPerSecond;
    if (rest > static_cast<uint64_t>(ts->tv_nsec)) {
        ts->tv_sec = static_cast<time_t>(static_cast<uint64_t>(ts->tv_sec) - 1);
        ts->tv_nsec += static_cast<long>(kNanosPerSecond);
    }
    jboolean underflow = ts->tv_sec < static_cast<time_t>(seconds) ? JNI_TRUE : JNI_FALSE;
    ts->tv_sec = static_cast<time_t>(static_cast<uint64_t>(ts->tv_sec) - seconds);
    ts->tv_nsec -= static_cast<long>(rest);
    return underflow;
}

jclass ovrel_util_find_class(JNIEnv* env, const char* name) {
    jclass clazz = env->FindClass(name);
    if (clazz == nullptr) {
        env->ExceptionClear();
    }
    return clazz;
}

jclass ovrel_util_new_global_class(JNIEnv* env, const char* name) {
    jclass local = ovrel_util_find_class(env, name);
    if (local == nullptr) {
        return nullptr;
    }
    jclass global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

void ovrel_util_delete_global_class(JNIEnv* env, jclass* clazz) {
    if (*clazz != nullptr) {
        env->DeleteGlobalRef(*clazz);
        *clazz = nullptr;
    }
}

JNINativeMethod* ovrel_util_new_dynamic_methods_table(const JNINativeMethod* fixed, jint fixedCount,
                                                      const ovrel_util_dynamic_method* dynamic,
                                                      jint dynamicCount, const char* packagePrefix) {
    jint fullCount = fixedCount + dynamicCount;
    JNINativeMethod* table =
        static_cast<JNINativeMethod*>(malloc(sizeof(JNINativeMethod) * fullCount));
    if (table == nullptr) {
        return nullptr;
    }
    // Zeroed first, so the table can be released at any point of the build.
    memset(table + fixedCount, 0, sizeof(JNINativeMethod) * dynamicCount);
    memcpy(table, fixed, sizeof(JNINativeMethod) * fixedCount);
    for (jint i = 0; i < dynamicCount; ++i) {
        char* classPart = ovrel_unix_util_prepend(packagePrefix, dynamic[i].classPart);
        if (classPart == nullptr) {
            ovrel_unix_util_free_dynamic_methods_table(table, fixedCount, fullCount);
            return nullptr;
        }
        JNINativeMethod* entry = &table[fixedCount + i];
        entry->signature = ovrel_unix_util_prepend(dynamic[i].head, classPart);
        ovrel_unix_util_free_dynamic_name(&classPart);
        if (entry->signature == nullptr) {
            ovrel_unix_util_free_dynamic_methods_table(table, fixedCount, fullCount);
            return nullptr;
        }
        entry->name = const_cast<char*>(dynamic[i].name);
        entry->fnPtr = dynamic[i].function;
    }
    return table;
}
