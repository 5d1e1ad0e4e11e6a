#ifndef OVREL_UNIX_SOCKET_H_
#define OVREL_UNIX_SOCKET_H_

#include <jni.h>
#include <sys/socket.h>

#include "unix/export.h"

OVREL_EXPORT jint ovrel_unix_socket_JNI_OnLoad(JNIEnv* env, const char* packagePrefix);
OVREL_EXPORT void ovrel_unix_socket_JNI_OnUnLoad(JNIEnv* env);

// Socket addresses between Java's forms and the kernel's.
OVREL_EXPORT int ovrel_unix_socket_ipAddressLength(const struct sockaddr_storage* addr);
OVREL_EXPORT jbyteArray ovrel_unix_socket_createInetSocketAddressArray(
    JNIEnv* env, const struct sockaddr_storage* addr);
OVREL_EXPORT int ovrel_unix_socket_initSockaddr(JNIEnv* env, jboolean ipv6, jbyteArray address,
                                                jint scopeId, jint jport,
                                                struct sockaddr_storage* addr,
                                                socklen_t* addrSize);

// Socket options; failures are raised as Java exceptions (ClosedChannelException
// for EBADF, ChannelException otherwise) and reported as -1.
OVREL_EXPORT int ovrel_unix_socket_getOption(JNIEnv* env, jint fd, int level, int optname,
                                             void* optval, socklen_t optlen);
OVREL_EXPORT int ovrel_unix_socket_getOption0(jint fd, int level, int optname, void* optval,
                                              socklen_t optlen);
OVREL_EXPORT int ovrel_unix_socket_setOption(JNIEnv* env, jint fd, int level, int optname,
                                             const void* optval, socklen_t len);
OVREL_EXPORT void ovrel_unix_socket_getOptionHandleError(JNIEnv* env, int err);

#endif
