#ifndef OVREL_UNIX_BUFFER_H_
#define OVREL_UNIX_BUFFER_H_

#include <jni.h>

#include "unix/export.h"

OVREL_EXPORT jint ovrel_unix_buffer_JNI_OnLoad(JNIEnv* env, const char* packagePrefix);
OVREL_EXPORT void ovrel_unix_buffer_JNI_OnUnLoad(JNIEnv* env);

#endif
