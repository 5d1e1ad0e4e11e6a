#ifndef OVREL_KQUEUE_LIBRARY_H_
#define OVREL_KQUEUE_LIBRARY_H_

#include <jni.h>

#include "unix/export.h"

// The JVM's entry points, in the dynamic and the static-library forms.
OVREL_EXPORT jint JNI_OnLoad(JavaVM* vm, void* reserved);
OVREL_EXPORT void JNI_OnUnload(JavaVM* vm, void* reserved);
OVREL_EXPORT jint JNI_OnLoad_ovrel_transport_native_kqueue(JavaVM* vm, void* reserved);
OVREL_EXPORT void JNI_OnUnload_ovrel_transport_native_kqueue(JavaVM* vm, void* reserved);

#endif
