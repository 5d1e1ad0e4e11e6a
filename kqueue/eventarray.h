#ifndef OVREL_KQUEUE_EVENTARRAY_H_
#define OVREL_KQUEUE_EVENTARRAY_H_

#include <jni.h>

#include "unix/export.h"

OVREL_EXPORT jint ovrel_kqueue_eventarray_JNI_OnLoad(JNIEnv* env, const char* packagePrefix);
OVREL_EXPORT void ovrel_kqueue_eventarray_JNI_OnUnLoad(JNIEnv* env);

#endif
