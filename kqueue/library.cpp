#include "kqueue/library.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "kqueue/bsdsocket.h"
#include "kqueue/eventarray.h"
#include "kqueue/native.h"
#include "unix/buffer.h"
#include "unix/errors.h"
#include "unix/filedescriptor.h"
#include "unix/limits.h"
#include "unix/socket.h"
#include "unix/util.h"

clockid_t waitClock = CLOCK_MONOTONIC;

namespace {

const char kLibraryName[] = "ovrel_transport_native_kqueue";

struct Module {
    jint (*load)(JNIEnv* env, const char* packagePrefix);
    void (*unload)(JNIEnv* env);
};

// Load order matters: later modules throw through the errors module, and a
// failed load unloads exactly the modules before it, in this order.
const Module modules[] = {
    {ovrel_unix_limits_JNI_OnLoad, ovrel_unix_limits_JNI_OnUnLoad},
    {ovrel_unix_errors_JNI_OnLoad, ovrel_unix_errors_JNI_OnUnLoad},
    {ovrel_unix_filedescriptor_JNI_OnLoad, ovrel_unix_filedescriptor_JNI_OnUnLoad},
    {ovrel_unix_socket_JNI_OnLoad, ovrel_unix_socket_JNI_OnUnLoad},
    {ovrel_unix_buffer_JNI_OnLoad, ovrel_unix_buffer_JNI_OnUnLoad},
    {ovrel_kqueue_bsdsocket_JNI_OnLoad, ovrel_kqueue_bsdsocket_JNI_OnUnLoad},
    {ovrel_kqueue_eventarray_JNI_OnLoad, ovrel_kqueue_eventarray_JNI_OnUnLoad},
};
const size_t moduleCount = sizeof(modules) / sizeof(modules[0]);

void unloadFirstModules(JNIEnv* env, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        modules[i].unload(env);
    }
}

void unloadModules(JNIEnv* env) { unloadFirstModules(env, moduleCount); }

jint libraryOnLoad(JavaVM* vm) {
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) {
        return JNI_ERR;
    }

    jint status = 0;
    Dl_info dlinfo;
    // Any address inside the library names its file; the prefix comes from that name.
    if (!dladdr(reinterpret_cast<void*>(unloadModules), &dlinfo)) {
        fprintf(stderr, "FATAL: transport-native-kqueue JNI call to dladdr failed!\n");
        return JNI_ERR;
    }
    char* packagePrefix =
        ovrel_unix_util_parse_package_prefix(dlinfo.dli_fname, kLibraryName, &status);
    if (status == JNI_ERR) {
        fprintf(stderr,
                "FATAL: transport-native-kqueue JNI encountered unexpected dlinfo.dli_fname: %s\n",
                dlinfo.dli_fname);
        return JNI_ERR;
    }

    // The kqueue constants and natives belong to no module and have nothing to unload.
    if (ovrel_kqueue_native_register_constants(env, packagePrefix) != 0 ||
        ovrel_kqueue_native_register_natives(env, packagePrefix) != 0) {
        free(packagePrefix);
        return JNI_ERR;
    }

    for (size_t i = 0; i < moduleCount; ++i) {
        if (modules[i].load(env, packagePrefix) == JNI_ERR) {
            unloadFirstModules(env, i);
            free(packagePrefix);
            return JNI_ERR;
        }
    }

    if (!ovrel_unix_util_initialize_wait_clock(&waitClock)) {
        fprintf(stderr, "FATAL: could not find a clock for clock_gettime!\n");
        unloadModules(env);
        free(packagePrefix);
        return JNI_ERR;
    }

    free(packagePrefix);
    return JNI_VERSION_1_6;
}

void libraryOnUnload(JavaVM* vm) {
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) {
        return;
    }
    unloadModules(env);
}

}  // namespace

jint JNI_OnLoad(JavaVM* vm, void* reserved) { return libraryOnLoad(vm); }

void JNI_OnUnload(JavaVM* vm, void* reserved) { libraryOnUnload(vm); }

jint JNI_OnLoad_ovrel_transport_native_kqueue(JavaVM* vm, void* reserved) {
    return libraryOnLoad(vm);
}

void JNI_OnUnload_ovrel_transport_native_kqueue(JavaVM* vm, void* reserved) {
    libraryOnUnload(vm);
}
