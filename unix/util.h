#ifndef OVREL_UNIX_UTIL_H_
#define OVREL_UNIX_UTIL_H_

#include <jni.h>
#include <stdint.h>
#include <time.h>

#include "unix/export.h"

// One entry of a static method table.
#define OVREL_NATIVE(name, signature, function)                                      \
    {                                                                                \
        const_cast<char*>(name), const_cast<char*>(signature),                       \
            reinterpret_cast<void*>(function)                                        \
    }
#define OVREL_ARRAY_SIZE(array) static_cast<jint>(sizeof(array) / sizeof((array)[0]))

// Strings: prefix + text, in a new heap block (free() it); null when out of memory.
OVREL_EXPORT char* ovrel_unix_util_prepend(const char* prefix, const char* str);

// The match of needle that begins at the highest address in [start, end - strlen(needle)].
OVREL_EXPORT char* ovrel_unix_util_rstrstr(char* end, const char* start, const char* needle);

// The package prefix encoded in the library's file name ("lib" + prefix + base name),
// with '_' turned into '/' and a trailing '/'. Null without a prefix; null with
// *status = -1 when the path has an unexpected shape or memory ran out.
OVREL_EXPORT char* ovrel_unix_util_parse_package_prefix(const char* libraryPathName,
                                                        const char* libraryName, jint* status);

// Registers methods on packagePrefix + className. 0 on success, the result of
// RegisterNatives when that fails, -1 when the class cannot be found.
OVREL_EXPORT jint ovrel_unix_util_register_natives(JNIEnv* env, const char* packagePrefix,
                                                   const char* className,
                                                   const JNINativeMethod* methods,
                                                   jint numMethods);

// Frees the signatures of entries [fixedMethodTableSize, fullMethodTableSize) and the table.
OVREL_EXPORT void ovrel_unix_util_free_dynamic_methods_table(JNINativeMethod* dynamicMethods,
                                                             jint fixedMethodTableSize,
                                                             jint fullMethodTableSize);

// Frees *dynamicName and clears it, so releasing twice is harmless.
OVREL_EXPORT void ovrel_unix_util_free_dynamic_name(char** dynamicName);

// Chooses the clock for timeout accounting; false when no clock can be read.
OVREL_EXPORT jboolean ovrel_unix_util_initialize_wait_clock(clockid_t* clockId);
OVREL_EXPORT int ovrel_unix_util_clock_gettime(clockid_t clockId, struct timespec* tp);
OVREL_EXPORT uint64_t ovrel_unix_util_timespec_elapsed_ns(const struct timespec* begin,
                                                          const struct timespec* end);
// Subtracts nanos in place; true when the result went below zero.
OVREL_EXPORT jboolean ovrel_unix_util_timespec_subtract_ns(struct timespec* ts, uint64_t nanos);

// Internal helpers of the module loaders (not exported).

// A class by name, or null with the lookup's error cleared: a missing class
// fails a module load quietly.
jclass ovrel_util_find_class(JNIEnv* env, const char* name);
// A global reference to the named class, or null (a failed NewGlobalRef leaves
// the JVM's error pending); the local reference is always released.
jclass ovrel_util_new_global_class(JNIEnv* env, const char* name);
// Deletes a cached global reference and clears it, so a second release is harmless.
void ovrel_util_delete_global_class(JNIEnv* env, jclass* clazz);

// A native whose signature names a framework class: head + prefix + classPart.
struct ovrel_util_dynamic_method {
    const char* name;
    const char* head;
    const char* classPart;
    void* function;
};
// A heap table of the fixed entries followed by the dynamic ones, or null when
// memory ran out (whatever was built is released by then). Release it with
// ovrel_unix_util_free_dynamic_methods_table(table, fixedCount, fixedCount + dynamicCount).
JNINativeMethod* ovrel_util_new_dynamic_methods_table(const JNINativeMethod* fixed, jint fixedCount,
                                                      const ovrel_util_dynamic_method* dynamic,
                                                      jint dynamicCount, const char* packagePrefix);

// Payload regions Java hands to the I/O natives (base + pos up to base + limit).
// A limit before the position would reach the kernel as a huge count, and a
// missing base would hand it address 0 + pos: both are refused before any
// system call.
inline bool ovrel_region_valid(const void* base, jint pos, jint limit) {
    return base != nullptr && pos >= 0 && limit >= pos;
}

// A limit past a direct buffer's capacity would have the kernel read or write
// memory the buffer does not own; only natives given the buffer can know it.
inline bool ovrel_region_within_capacity(JNIEnv* env, jobject buffer, jint limit) {
    return buffer != nullptr && static_cast<jlong>(limit) <= env->GetDirectBufferCapacity(buffer);
}

#endif
