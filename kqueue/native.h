#ifndef OVREL_KQUEUE_NATIVE_H_
#define OVREL_KQUEUE_NATIVE_H_

#include <jni.h>
#include <time.h>

// The kqueue constants and the Native class have no module of their own: the
// loader registers both tables itself, before the first module.
jint ovrel_kqueue_native_register_constants(JNIEnv* env, const char* packagePrefix);
jint ovrel_kqueue_native_register_natives(JNIEnv* env, const char* packagePrefix);

// The clock interrupted waits are measured with, chosen by the loader.
extern clockid_t waitClock;

#endif
