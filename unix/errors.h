#ifndef OVREL_UNIX_ERRORS_H_
#define OVREL_UNIX_ERRORS_H_

#include <jni.h>

#include "unix/export.h"

// The only way the library raises Java exceptions. Each leaves the exception
// pending; the calling native then returns its own dummy value.
OVREL_EXPORT void ovrel_unix_errors_throwRuntimeException(JNIEnv* env, const char* message);
OVREL_EXPORT void ovrel_unix_errors_throwRuntimeExceptionErrorNo(JNIEnv* env, const char* message,
                                                                 int errorNumber);
OVREL_EXPORT void ovrel_unix_errors_throwChannelExceptionErrorNo(JNIEnv* env, const char* message,
                                                                 int errorNumber);
OVREL_EXPORT void ovrel_unix_errors_throwIOException(JNIEnv* env, const char* message);
OVREL_EXPORT void ovrel_unix_errors_throwPortUnreachableException(JNIEnv* env,
                                                                  const char* message);
OVREL_EXPORT void ovrel_unix_errors_throwIOExceptionErrorNo(JNIEnv* env, const char* message,
                                                            int errorNumber);
OVREL_EXPORT void ovrel_unix_errors_throwClosedChannelException(JNIEnv* env);
OVREL_EXPORT void ovrel_unix_errors_throwOutOfMemoryError(JNIEnv* env);

OVREL_EXPORT jint ovrel_unix_errors_JNI_OnLoad(JNIEnv* env, const char* packagePrefix);
OVREL_EXPORT void ovrel_unix_errors_JNI_OnUnLoad(JNIEnv* env);

#endif
