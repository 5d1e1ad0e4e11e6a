#ifndef OVREL_KQUEUE_BSDSOCKET_H_
#define OVREL_KQUEUE_BSDSOCKET_H_

#include <jni.h>

#include "unix/export.h"

// Natives of io/ovrel/channel/kqueue/BsdSocket: accept filters, TCP_NOPUSH,
// SO_SNDLOWAT, sendfile of file regions and Unix-domain peer credentials.
OVREL_EXPORT jint ovrel_kqueue_bsdsocket_JNI_OnLoad(JNIEnv* env, const char* packagePrefix);
OVREL_EXPORT void ovrel_kqueue_bsdsocket_JNI_OnUnLoad(JNIEnv* env);

#endif
