// The socket natives through the fake JVM: retry paths scripted with the
// fault wrappers, and the failure paths a real JVM cannot reach.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/cpp/support/fake_jni.h"
#include "tests/fault/fault.h"
#include "unix/errors.h"
#include "unix/socket.h"

namespace {

using fakejni::FakeJvm;
using Bytes = std::vector<jbyte>;

const char kSocketClass[] = "io/ovrel/channel/unix/Socket";

typedef jint (*AddressCall)(JNIEnv*, jclass, jint, jboolean, jbyteArray, jint, jint);
typedef jint (*FdCall)(JNIEnv*, jclass, jint);
typedef jint (*FdIntCall)(JNIEnv*, jclass, jint, jint);
typedef jint (*FdBoolCall)(JNIEnv*, jclass, jint, jboolean);
typedef jint (*AcceptCall)(JNIEnv*, jclass, jint, jbyteArray);
typedef jint (*PathCall)(JNIEnv*, jclass, jint, jbyteArray);
typedef jint (*SendToCall)(JNIEnv*, jclass, jint, jboolean, jobject, jint, jint, jbyteArray, jint,
                           jint);
typedef jint (*SendToAddressCall)(JNIEnv*, jclass, jint, jboolean, jlong, jint, jint, jbyteArray,
                                  jint, jint);
typedef jint (*SendToAddressesCall)(JNIEnv*, jclass, jint, jboolean, jlong, jint, jbyteArray, jint,
                                    jint);
typedef jobject (*RecvFromCall)(JNIEnv*, jclass, jint, jobject, jint, jint);
typedef jobject (*RecvFromAddressCall)(JNIEnv*, jclass, jint, jlong, jint, jint);

int openFdCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (struct dirent* e = readdir(dir)) {
        count += e->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

Bytes mapped(const char* ipv4) {
    Bytes b(16, 0);
    b[10] = b[11] = static_cast<jbyte>(0xff);
    inet_pton(AF_INET, ipv4, b.data() + 12);
    return b;
}

int boundPort(int fd) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len);
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port)
                                   : ntohs(reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port);
}

int loopbackSocket(int family, int type) {
    int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    socklen_t len;
    if (family == AF_INET) {
        struct sockaddr_in* s = reinterpret_cast<struct sockaddr_in*>(&ss);
        s->sin_family = AF_INET;
        s->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*s);
    } else {
        struct sockaddr_in6* s = reinterpret_cast<struct sockaddr_in6*>(&ss);
        s->sin6_family = AF_INET6;
        s->sin6_addr = in6addr_loopback;
        len = sizeof(*s);
    }
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&ss), len), 0) << strerror(errno);
    if (type == SOCK_STREAM) {
        EXPECT_EQ(listen(fd, 8), 0);
    }
    return fd;
}

int connectTo(int family, int port) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    socklen_t len;
    if (family == AF_INET) {
        struct sockaddr_in* s = reinterpret_cast<struct sockaddr_in*>(&ss);
        s->sin_family = AF_INET;
        s->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        s->sin_port = htons(port);
        len = sizeof(*s);
    } else {
        struct sockaddr_in6* s = reinterpret_cast<struct sockaddr_in6*>(&ss);
        s->sin6_family = AF_INET6;
        s->sin6_addr = in6addr_loopback;
        s->sin6_port = htons(port);
        len = sizeof(*s);
    }
    EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&ss), len), 0) << strerror(errno);
    return fd;
}

void sendLoopback(int fd, int port, const char* data, size_t n) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ASSERT_EQ(sendto(fd, data, n, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)),
              static_cast<ssize_t>(n));
}

// Sends one byte with the given descriptors in a single SCM_RIGHTS header.
void sendRights(int socketFd, const std::vector<int>& fds) {
    char byte = 'x';
    struct iovec iov = {&byte, 1};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()), 0);
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    ASSERT_EQ(sendmsg(socketFd, &msg, 0), 1) << strerror(errno);
}

class SocketNatives : public testing::Test {
protected:
    void SetUp() override {
        ovrel_fault_reset();
        ASSERT_EQ(ovrel_unix_errors_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
        ASSERT_EQ(ovrel_unix_socket_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
        ASSERT_FALSE(jvm.exceptionPending());
    }
    void TearDown() override {
        ovrel_fault_reset();
        for (int fd : fds) {
            close(fd);
        }
        ovrel_unix_socket_JNI_OnUnLoad(jvm.env());
        ovrel_unix_errors_JNI_OnUnLoad(jvm.env());
        EXPECT_EQ(jvm.liveGlobalRefs(), 0);
    }

    template <typename F>
    F native(const char* name) {
        void* f = jvm.nativeFunction(kSocketClass, name);
        EXPECT_NE(f, nullptr) << name;
        return reinterpret_cast<F>(f);
    }

    int keep(int fd) {
        fds.push_back(fd);
        return fd;
    }

    // The constructor arguments of a DatagramSocketAddress the fake built.
    struct Received {
        std::vector<uint8_t> address;
        int scopeId;
        int port;
        int count;
        jobject local;
    };
    Received decode(jobject object) {
        fakejni::Object* o = jvm.object(object);
        EXPECT_EQ(o->className, "io/ovrel/channel/unix/DatagramSocketAddress");
        Bytes bytes = jvm.bytesOf(reinterpret_cast<jobject>(o->ctorArgs[0].l));
        return Received{std::vector<uint8_t>(bytes.begin(), bytes.end()),
                        static_cast<jint>(o->ctorArgs[1].j), static_cast<jint>(o->ctorArgs[2].j),
                        static_cast<jint>(o->ctorArgs[3].j), o->ctorArgs[4].l};
    }

    FakeJvm jvm;
    std::vector<int> fds;
    char buffer[256] = {0};
};

// ---- Registration and load --------------------------------------------------

TEST(SocketModuleLoad, RegistersAllNativesWithPrefixedDatagramSignatures) {
    FakeJvm jvm;
    ASSERT_EQ(ovrel_unix_socket_JNI_OnLoad(jvm.env(), "app/shaded/"), JNI_VERSION_1_6);
    ASSERT_EQ(jvm.registrations.size(), 1u);
    const fakejni::Registration& r = jvm.registrations[0];
    EXPECT_EQ(r.className, "app/shaded/io/ovrel/channel/unix/Socket");
    ASSERT_EQ(r.names.size(), 43u);
    for (void* f : r.functions) {
        EXPECT_NE(f, nullptr);
    }
    EXPECT_EQ(r.names[41], "recvFrom");
    EXPECT_EQ(r.signatures[41],
              "(ILjava/nio/ByteBuffer;II)Lapp/shaded/io/ovrel/channel/unix/DatagramSocketAddress;");
    EXPECT_EQ(r.names[42], "recvFromAddress");
    EXPECT_EQ(r.signatures[42], "(IJII)Lapp/shaded/io/ovrel/channel/unix/DatagramSocketAddress;");
    bool constructorLooked = false;
    for (const std::string& call : jvm.calls) {
        constructorLooked |=
            call == "GetMethodID app/shaded/io/ovrel/channel/unix/DatagramSocketAddress.<init>"
                    "([BIIILapp/shaded/io/ovrel/channel/unix/DatagramSocketAddress;)V";
    }
    EXPECT_TRUE(constructorLooked);
    ovrel_unix_socket_JNI_OnUnLoad(jvm.env());
    EXPECT_EQ(jvm.liveGlobalRefs(), 0);
    ovrel_unix_socket_JNI_OnUnLoad(jvm.env());  // a second unload deletes nothing twice
}

TEST(SocketModuleLoad, EveryFailedStepFailsTheLoadAndKeepsNoReference) {
    struct Case {
        const char* name;
        std::function<void(FakeJvm&)> refuse;
        bool exceptionLeftPending;
    } cases[] = {
        {"RegisterNatives", [](FakeJvm& j) { j.failRegisterNativesAt = 1; }, true},
        {"DatagramSocketAddress missing",
         [](FakeJvm& j) { j.missingClasses.insert("io/ovrel/channel/unix/DatagramSocketAddress"); },
         false},
        {"first global ref", [](FakeJvm& j) { j.failNewGlobalRefAt = 1; }, true},
        {"constructor missing", [](FakeJvm& j) { j.failGetMethodIdAt = 1; }, true},
        {"InetSocketAddress missing",
         [](FakeJvm& j) { j.missingClasses.insert("java/net/InetSocketAddress"); }, false},
        {"second global ref", [](FakeJvm& j) { j.failNewGlobalRefAt = 2; }, true},
        {"InetSocketAddress constructor missing", [](FakeJvm& j) { j.failGetMethodIdAt = 2; },
         true},
        {"probe buffer", [](FakeJvm& j) { j.failNewDirectByteBufferAt = 1; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeJvm jvm;
        c.refuse(jvm);
        EXPECT_EQ(ovrel_unix_socket_JNI_OnLoad(jvm.env(), nullptr), JNI_ERR);
        EXPECT_EQ(jvm.liveGlobalRefs(), 0);
        EXPECT_EQ(jvm.exceptionPending(), c.exceptionLeftPending);
    }
}

// ---- Interrupted calls are retried ------------------------------------------

TEST_F(SocketNatives, InterruptedCallsAreRetriedUntilTheyComplete) {
    const int udpPeer = keep(loopbackSocket(AF_INET, SOCK_DGRAM));
    const int udpPort = boundPort(udpPeer);
    jbyteArray peerAddress = jvm.newByteArray(mapped("127.0.0.1"));

    struct Case {
        const char* name;
        const char* call;
        std::function<void()> run;
    } cases[] = {
        {"connect", "connect",
         [&] {
             int listener = keep(loopbackSocket(AF_INET, SOCK_STREAM));
             int fd = keep(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
             jint r = native<AddressCall>("connect")(jvm.env(), nullptr, fd, JNI_FALSE,
                                                     jvm.newByteArray(mapped("127.0.0.1")), 0,
                                                     boundPort(listener));
             EXPECT_TRUE(r == 0 || r == -EINPROGRESS) << r;
         }},
        {"accept", "accept4",
         [&] {
             int listener = keep(loopbackSocket(AF_INET, SOCK_STREAM));
             keep(connectTo(AF_INET, boundPort(listener)));
             jint fd = native<AcceptCall>("accept")(jvm.env(), nullptr, listener,
                                                    jvm.newByteArray(Bytes(25, 0)));
             EXPECT_GE(fd, 0);
             keep(fd);
         }},
        {"disconnect", "connect",
         [&] {
             int fd = keep(socket(AF_INET, SOCK_DGRAM, 0));
             EXPECT_EQ(native<FdBoolCall>("disconnect")(jvm.env(), nullptr, fd, JNI_FALSE), 0);
         }},
        {"sendTo", "sendto",
         [&] {
             int fd = keep(socket(AF_INET, SOCK_DGRAM, 0));
             jobject buf = jvm.newDirectBuffer(buffer, sizeof(buffer));
             EXPECT_EQ(native<SendToCall>("sendTo")(jvm.env(), nullptr, fd, JNI_FALSE, buf, 0, 3,
                                                    peerAddress, 0, udpPort),
                       3);
         }},
        {"sendToAddresses", "sendmsg",
         [&] {
             int fd = keep(socket(AF_INET, SOCK_DGRAM, 0));
             struct iovec iov[2] = {{buffer, 3}, {buffer + 3, 4}};
             EXPECT_EQ(native<SendToAddressesCall>("sendToAddresses")(
                           jvm.env(), nullptr, fd, JNI_FALSE, reinterpret_cast<jlong>(iov), 2,
                           peerAddress, 0, udpPort),
                       7);
         }},
        {"recvFrom", "recvfrom",
         [&] {
             int fd = keep(socket(AF_INET, SOCK_DGRAM, 0));
             sendLoopback(fd, udpPort, "abc", 3);
             jobject r = native<RecvFromCall>("recvFrom")(
                 jvm.env(), nullptr, udpPeer, jvm.newDirectBuffer(buffer, sizeof(buffer)), 0,
                 sizeof(buffer));
             ASSERT_NE(r, nullptr);
             EXPECT_EQ(decode(r).count, 3);
         }},
        {"connectDomainSocket", "connect",
         [&] {
             int fd = keep(socket(AF_UNIX, SOCK_STREAM, 0));
             std::string path = "/nonexistent-ovrel-socket";
             EXPECT_EQ(native<PathCall>("connectDomainSocket")(
                           jvm.env(), nullptr, fd, jvm.newByteArray(Bytes(path.begin(), path.end()))),
                       -ENOENT);
         }},
        {"sendFd and recvFd", "sendmsg",
         [&] {
             int pair[2];
             ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
             keep(pair[0]);
             keep(pair[1]);
             EXPECT_EQ(native<FdIntCall>("sendFd")(jvm.env(), nullptr, pair[0], udpPeer), 1);
             ovrel_fault_inject("recvmsg", EINTR, 2, 0);
             jint received = native<FdCall>("recvFd")(jvm.env(), nullptr, pair[1]);
             EXPECT_GE(received, 0);
             keep(received);
             EXPECT_EQ(ovrel_fault_calls("recvmsg"), 3);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ovrel_fault_reset();
        ovrel_fault_inject(c.call, EINTR, 2, 0);
        c.run();
        EXPECT_EQ(ovrel_fault_calls(c.call), 3) << "two interrupted calls and the one that went through";
        EXPECT_FALSE(jvm.exceptionPending()) << jvm.pendingClass() << ": " << jvm.pendingMessage();
    }
}

TEST_F(SocketNatives, RecvFromWithDestinationReportingRetriesRecvmsg) {
    int receiver = keep(loopbackSocket(AF_INET, SOCK_DGRAM));
    int one = 1;
    ASSERT_EQ(ovrel_unix_socket_setOption(jvm.env(), receiver, IPPROTO_IP, IP_RECVORIGDSTADDR,
                                          &one, sizeof(one)),
              0);
    int sender = keep(socket(AF_INET, SOCK_DGRAM, 0));
    sendLoopback(sender, boundPort(receiver), "abcd", 4);
    ovrel_fault_inject("recvmsg", EINTR, 2, 0);
    jobject r = native<RecvFromAddressCall>("recvFromAddress")(
        jvm.env(), nullptr, receiver, reinterpret_cast<jlong>(buffer), 0, sizeof(buffer));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ovrel_fault_calls("recvmsg"), 3);
    EXPECT_EQ(ovrel_fault_calls("recvfrom"), 0);
    EXPECT_EQ(decode(r).count, 4);
}

// ---- Datagram destination address -------------------------------------------

TEST_F(SocketNatives, DestinationAddressFollowsOtherControlMessages) {
    // Messages the kernel puts before the destination: whether the destination
    // still fits the 64-byte control buffer decides whether it is reported, and
    // a destination cut short must never be read as an address.
    struct Case {
        const char* name;
        std::vector<int> alsoEnabled;
        bool destinationReported;
    } cases[] = {
        {"alone", {}, true},
        {"after the packet info", {IP_PKTINFO}, true},
        {"after the TOS byte", {IP_RECVTOS}, true},
        {"cut short after TTL and TOS", {IP_RECVTTL, IP_RECVTOS}, false},
        {"pushed out after packet info and TTL", {IP_PKTINFO, IP_RECVTTL}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int receiver = keep(loopbackSocket(AF_INET, SOCK_DGRAM));
        const int one = 1;
        ASSERT_EQ(ovrel_unix_socket_setOption(jvm.env(), receiver, IPPROTO_IP, IP_RECVORIGDSTADDR,
                                              &one, sizeof(one)),
                  0);
        for (int option : c.alsoEnabled) {
            ASSERT_EQ(ovrel_unix_socket_setOption(jvm.env(), receiver, IPPROTO_IP, option, &one,
                                                  sizeof(one)),
                      0);
        }
        int sender = keep(loopbackSocket(AF_INET, SOCK_DGRAM));
        sendLoopback(sender, boundPort(receiver), "hello", 5);

        jobject r = native<RecvFromCall>("recvFrom")(
            jvm.env(), nullptr, receiver, jvm.newDirectBuffer(buffer, sizeof(buffer)), 3,
            sizeof(buffer));
        ASSERT_NE(r, nullptr);
        ASSERT_FALSE(jvm.exceptionPending());
        EXPECT_EQ(memcmp(buffer + 3, "hello", 5), 0);
        Received from = decode(r);
        EXPECT_EQ(from.address, (std::vector<uint8_t>{127, 0, 0, 1}));
        EXPECT_EQ(from.port, boundPort(sender));
        EXPECT_EQ(from.scopeId, 0);
        EXPECT_EQ(from.count, 5);
        if (!c.destinationReported) {
            EXPECT_EQ(from.local, nullptr);
            continue;
        }
        ASSERT_NE(from.local, nullptr);
        Received to = decode(from.local);
        EXPECT_EQ(to.address, (std::vector<uint8_t>{127, 0, 0, 1}));
        EXPECT_EQ(to.port, boundPort(receiver));
        EXPECT_EQ(to.scopeId, 0);
        EXPECT_EQ(to.count, 5);
        EXPECT_EQ(to.local, nullptr);
    }
}

TEST_F(SocketNatives, FailedOptionQueryLeavesTheDatagramQueued) {
    int receiver = keep(loopbackSocket(AF_INET, SOCK_DGRAM));
    int sender = keep(socket(AF_INET, SOCK_DGRAM, 0));
    sendLoopback(sender, boundPort(receiver), "kept", 4);
    ovrel_fault_inject("getsockopt", ENOPROTOOPT, 1, 0);
    RecvFromCall recvFrom = native<RecvFromCall>("recvFrom");
    jobject buf = jvm.newDirectBuffer(buffer, sizeof(buffer));

    EXPECT_EQ(recvFrom(jvm.env(), nullptr, receiver, buf, 0, sizeof(buffer)), nullptr);
    EXPECT_EQ(jvm.pendingClass(), "io/ovrel/channel/ChannelException");
    EXPECT_EQ(jvm.pendingMessage(), std::string("getsockopt() failed: ") + strerror(ENOPROTOOPT));
    EXPECT_EQ(ovrel_fault_calls("recvfrom"), 0);
    jvm.clearException();

    jobject r = recvFrom(jvm.env(), nullptr, receiver, buf, 0, sizeof(buffer));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(decode(r).count, 4);
    EXPECT_EQ(memcmp(buffer, "kept", 4), 0);
}

TEST_F(SocketNatives, AddressObjectsThatCannotBeBuiltGiveNull) {
    struct Case {
        const char* name;
        bool reportDestination;
        std::function<void(FakeJvm&)> refuse;
    } cases[] = {
        {"sender bytes", false, [](FakeJvm& j) { j.failNewByteArrayAt = j.counts["NewByteArray"] + 1; }},
        {"sender object", false, [](FakeJvm& j) { j.failNewObjectAt = j.counts["NewObject"] + 1; }},
        {"destination object", true, [](FakeJvm& j) { j.failNewObjectAt = j.counts["NewObject"] + 1; }},
        {"sender object after destination", true,
         [](FakeJvm& j) { j.failNewObjectAt = j.counts["NewObject"] + 2; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int receiver = keep(loopbackSocket(AF_INET, SOCK_DGRAM));
        int one = c.reportDestination ? 1 : 0;
        setsockopt(receiver, IPPROTO_IP, IP_RECVORIGDSTADDR, &one, sizeof(one));
        int sender = keep(socket(AF_INET, SOCK_DGRAM, 0));
        sendLoopback(sender, boundPort(receiver), "x", 1);
        c.refuse(jvm);
        EXPECT_EQ(native<RecvFromAddressCall>("recvFromAddress")(
                      jvm.env(), nullptr, receiver, reinterpret_cast<jlong>(buffer), 0, 10),
                  nullptr);
        EXPECT_EQ(jvm.pendingClass(), "java/lang/OutOfMemoryError");
        jvm.clearException();
        jvm.failNewByteArrayAt = jvm.failNewObjectAt = 0;
    }
}

// ---- Arguments the kernel must never see ------------------------------------

TEST_F(SocketNatives, BadDatagramArgumentsFailBeforeAnySystemCall) {
    int fd = keep(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    jobject buf = jvm.newDirectBuffer(buffer, sizeof(buffer));
    jobject heap = jvm.newDirectBuffer(nullptr, 0);  // what a heap buffer looks like to JNI
    jbyteArray to = jvm.newByteArray(mapped("127.0.0.1"));
    struct iovec iov = {buffer, 1};
    const jlong iovAddress = reinterpret_cast<jlong>(&iov);
    SendToCall sendTo = native<SendToCall>("sendTo");
    SendToAddressCall sendToAddress = native<SendToAddressCall>("sendToAddress");
    SendToAddressesCall sendToAddresses = native<SendToAddressesCall>("sendToAddresses");

    struct Case {
        const char* name;
        std::function<jint()> call;
        jint expected;
    } cases[] = {
        {"limit before pos", [&] { return sendTo(jvm.env(), nullptr, fd, 0, buf, 5, 4, to, 0, 9); }, -EINVAL},
        {"negative pos", [&] { return sendTo(jvm.env(), nullptr, fd, 0, buf, -1, 4, to, 0, 9); }, -EINVAL},
        {"null buffer", [&] { return sendTo(jvm.env(), nullptr, fd, 0, nullptr, 0, 4, to, 0, 9); }, -EINVAL},
        {"heap buffer", [&] { return sendTo(jvm.env(), nullptr, fd, 0, heap, 0, 4, to, 0, 9); }, -EINVAL},
        {"null address array", [&] { return sendTo(jvm.env(), nullptr, fd, 0, buf, 0, 4, nullptr, 0, 9); }, -EINVAL},
        {"17-byte address", [&] { return sendTo(jvm.env(), nullptr, fd, 0, buf, 0, 4, jvm.newByteArray(Bytes(17, 0)), 0, 9); }, -1},
        {"zero memory address", [&] { return sendToAddress(jvm.env(), nullptr, fd, 0, 0, 0, 4, to, 0, 9); }, -EINVAL},
        {"memory limit before pos", [&] { return sendToAddress(jvm.env(), nullptr, fd, 0, reinterpret_cast<jlong>(buffer), 2, 1, to, 0, 9); }, -EINVAL},
        {"negative iovec count", [&] { return sendToAddresses(jvm.env(), nullptr, fd, 0, iovAddress, -1, to, 0, 9); }, -EINVAL},
        {"iovec count over IOV_MAX", [&] { return sendToAddresses(jvm.env(), nullptr, fd, 0, iovAddress, IOV_MAX + 1, to, 0, 9); }, -EINVAL},
        {"iovecs to a 17-byte address", [&] { return sendToAddresses(jvm.env(), nullptr, fd, 0, iovAddress, 1, jvm.newByteArray(Bytes(17, 0)), 0, 9); }, -1},
        {"iovecs to no address", [&] { return sendToAddresses(jvm.env(), nullptr, fd, 0, iovAddress, 1, nullptr, 0, 9); }, -EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(ovrel_fault_calls("sendto") + ovrel_fault_calls("sendmsg"), 0);
        EXPECT_FALSE(jvm.exceptionPending());
    }

    // Receives report the same mistakes as an IOException, and read nothing.
    RecvFromCall recvFrom = native<RecvFromCall>("recvFrom");
    RecvFromAddressCall recvFromAddress = native<RecvFromAddressCall>("recvFromAddress");
    std::function<jobject()> receives[] = {
        [&] { return recvFrom(jvm.env(), nullptr, fd, buf, 5, 4); },
        [&] { return recvFrom(jvm.env(), nullptr, fd, nullptr, 0, 4); },
        [&] { return recvFrom(jvm.env(), nullptr, fd, heap, 0, 4); },
        [&] { return recvFromAddress(jvm.env(), nullptr, fd, 0, 0, 4); },
    };
    for (auto& receive : receives) {
        EXPECT_EQ(receive(), nullptr);
        EXPECT_EQ(jvm.pendingClass(), "java/io/IOException");
        EXPECT_EQ(jvm.pendingMessage(), std::string("recvfrom() failed: ") + strerror(EINVAL));
        jvm.clearException();
    }
    EXPECT_EQ(ovrel_fault_calls("recvfrom") + ovrel_fault_calls("recvmsg"), 0);

    AddressCall calls[] = {native<AddressCall>("bind"), native<AddressCall>("connect")};
    for (AddressCall call : calls) {
        EXPECT_EQ(call(jvm.env(), nullptr, fd, JNI_FALSE, nullptr, 0, 1), -EINVAL);
        EXPECT_EQ(call(jvm.env(), nullptr, fd, JNI_TRUE, jvm.newByteArray(Bytes(17, 0)), 0, 1), -1);
    }
    EXPECT_EQ(ovrel_fault_calls("connect"), 0);
}

// ---- Options -----------------------------------------------------------------

TEST_F(SocketNatives, TrafficClassFallsBackToTosOnlyWhenIPv6HasNoSuchOption) {
    typedef jint (*GetTrafficClass)(JNIEnv*, jclass, jint, jboolean);
    GetTrafficClass get = native<GetTrafficClass>("getTrafficClass");
    int fd = keep(socket(AF_INET, SOCK_DGRAM, 0));
    int tos = 0x28;
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)), 0);

    ovrel_fault_inject("getsockopt", ENOPROTOOPT, 1, 0);
    EXPECT_EQ(get(jvm.env(), nullptr, fd, JNI_TRUE), 0x28);
    EXPECT_FALSE(jvm.exceptionPending());
    EXPECT_EQ(ovrel_fault_calls("getsockopt"), 2);

    ovrel_fault_reset();
    ovrel_fault_inject("getsockopt", EINVAL, 1, 0);
    EXPECT_EQ(get(jvm.env(), nullptr, fd, JNI_TRUE), -1);
    EXPECT_EQ(jvm.pendingClass(), "io/ovrel/channel/ChannelException");
    EXPECT_EQ(jvm.pendingMessage(), std::string("getsockopt() failed: ") + strerror(EINVAL));
    EXPECT_EQ(ovrel_fault_calls("getsockopt"), 1) << "no IP_TOS read after another failure";
    jvm.clearException();

}

TEST_F(SocketNatives, NewIPv6SocketsAreDualStackOrClosed) {
    typedef jint (*NewSocket)(JNIEnv*, jclass, jboolean);
    struct Case {
        const char* name;
        int optionErrno;
        bool kept;
        const char* exceptionClass;
    } cases[] = {
        {"option set", 0, true, ""},
        {"family without the option", EAFNOSUPPORT, true, ""},
        {"option refused", EINVAL, false, "io/ovrel/channel/ChannelException"},
        {"descriptor gone", EBADF, false, "java/nio/channels/ClosedChannelException"},
    };
    const char* natives[] = {"newSocketStreamFd", "newSocketDgramFd"};
    for (const char* name : natives) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.name);
            ovrel_fault_reset();
            if (c.optionErrno != 0) {
                ovrel_fault_inject("setsockopt", c.optionErrno, 1, 0);
            }
            const int before = openFdCount();
            jint fd = native<NewSocket>(name)(jvm.env(), nullptr, JNI_TRUE);
            EXPECT_EQ(ovrel_fault_calls("setsockopt"), 1);
            if (!c.kept) {
                EXPECT_EQ(fd, -1);
                EXPECT_EQ(openFdCount(), before) << "the new socket is closed";
                EXPECT_EQ(jvm.pendingClass(), c.exceptionClass);
                if (c.optionErrno != EBADF) {
                    EXPECT_EQ(jvm.pendingMessage(), std::string("setsockopt() failed: ") + strerror(c.optionErrno));
                }
                jvm.clearException();
                continue;
            }
            ASSERT_GE(fd, 0);
            keep(fd);
            EXPECT_FALSE(jvm.exceptionPending());
            int v6only = -1;
            socklen_t len = sizeof(v6only);
            ASSERT_EQ(getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len), 0);
            EXPECT_EQ(v6only, c.optionErrno == 0 ? 0 : v6only);
            EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
        }
    }
    ovrel_fault_reset();
    jint v4 = native<NewSocket>("newSocketStreamFd")(jvm.env(), nullptr, JNI_FALSE);
    keep(v4);
    EXPECT_EQ(ovrel_fault_calls("setsockopt"), 0) << "IPv4 sockets have no dual-stack option";
}

// ---- accept ------------------------------------------------------------------

TEST_F(SocketNatives, AcceptWritesLengthByteAndEncodingAfterIt) {
    int listener = keep(loopbackSocket(AF_INET, SOCK_STREAM));
    int client = keep(connectTo(AF_INET, boundPort(listener)));
    jbyteArray result = jvm.newByteArray(Bytes(30, 0x55));
    jint fd = native<AcceptCall>("accept")(jvm.env(), nullptr, listener, result);
    ASSERT_GE(fd, 0);
    keep(fd);
    Bytes b = jvm.bytesOf(result);
    const int port = boundPort(client);
    Bytes expected = {8, 127, 0, 0, 1, 0, 0, static_cast<jbyte>(port >> 8), static_cast<jbyte>(port & 0xff)};
    expected.resize(30, 0x55);
    EXPECT_EQ(b, expected);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(SocketNatives, AcceptIntoAnArrayTooShortClosesTheConnection) {
    int listener = keep(loopbackSocket(AF_INET6, SOCK_STREAM));
    int client = keep(connectTo(AF_INET6, boundPort(listener)));
    const int before = openFdCount();
    // Room for an IPv4 peer, not for this IPv6 one.
    EXPECT_EQ(native<AcceptCall>("accept")(jvm.env(), nullptr, listener, jvm.newByteArray(Bytes(9, 0))),
              -EINVAL);
    EXPECT_FALSE(jvm.exceptionPending());
    EXPECT_EQ(openFdCount(), before);
    char c;
    EXPECT_EQ(read(client, &c, 1), 0) << "the client sees the connection closed";
}

TEST_F(SocketNatives, AcceptWithoutAnArrayLeavesTheConnectionQueued) {
    int listener = keep(loopbackSocket(AF_INET, SOCK_STREAM));
    keep(connectTo(AF_INET, boundPort(listener)));
    AcceptCall accept = native<AcceptCall>("accept");
    EXPECT_EQ(accept(jvm.env(), nullptr, listener, nullptr), -EINVAL);
    EXPECT_EQ(ovrel_fault_calls("accept4") + ovrel_fault_calls("accept"), 0);
    jint fd = accept(jvm.env(), nullptr, listener, jvm.newByteArray(Bytes(25, 0)));
    EXPECT_GE(fd, 0);
    keep(fd);
}

// ---- Descriptor passing --------------------------------------------------------

class DescriptorPassing : public SocketNatives {
protected:
    void SetUp() override {
        SocketNatives::SetUp();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        sender = keep(pair[0]);
        receiver = keep(pair[1]);
        fcntl(receiver, F_SETFL, O_NONBLOCK);
        recvFd = native<FdCall>("recvFd");
    }
    int sender = -1;
    int receiver = -1;
    FdCall recvFd = nullptr;
};

TEST_F(DescriptorPassing, MessagesWithoutASingleDescriptorLeaveNothingOpen) {
    // Every descriptor a skipped message carried is closed; the next message's
    // descriptor is the one returned.
    struct Case {
        const char* name;
        int carried;
    } cases[] = {{"two in one header", 2}, {"three, cut to what fits", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pipes[2];
        ASSERT_EQ(pipe(pipes), 0);
        std::vector<int> carried(c.carried, pipes[0]);
        const int before = openFdCount();
        sendRights(sender, carried);
        sendRights(sender, {pipes[1]});
        jint fd = recvFd(jvm.env(), nullptr, receiver);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(openFdCount(), before + 1) << "only the returned descriptor is new";
        EXPECT_EQ(write(fd, "z", 1), 1) << "it is the pipe's write end";
        close(fd);
        close(pipes[0]);
        close(pipes[1]);
        EXPECT_EQ(recvFd(jvm.env(), nullptr, receiver), -EAGAIN);
    }
}

TEST_F(DescriptorPassing, PlainDataIsAMalformedMessage) {
    ASSERT_EQ(write(sender, "d", 1), 1);
    EXPECT_EQ(recvFd(jvm.env(), nullptr, receiver), -EBADMSG);
    close(sender);
    fds.erase(fds.begin());
    EXPECT_EQ(recvFd(jvm.env(), nullptr, receiver), 0) << "end of stream";
}

TEST_F(DescriptorPassing, ReceivedDescriptorKeepsItsFlagsAndBecomesNonBlocking) {
    char dir[] = "/tmp/ovrel-fd-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/append";
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(file, 0);
    ASSERT_EQ(native<FdIntCall>("sendFd")(jvm.env(), nullptr, sender, file), 1);
    jint fd = recvFd(jvm.env(), nullptr, receiver);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fd, file);
    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(flags & O_APPEND, O_APPEND) << "the sender's append mode survives";
    close(fd);
    close(file);
    unlink(path.c_str());
    rmdir(dir);
}

TEST_F(DescriptorPassing, DescriptorThatCannotBeMadeNonBlockingIsClosed) {
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    sendRights(sender, {pipes[0]});
    const int before = openFdCount();
    ovrel_fault_inject("fcntl", EMFILE, 1, 1);  // F_GETFL goes through, F_SETFL fails
    EXPECT_EQ(recvFd(jvm.env(), nullptr, receiver), -EMFILE);
    EXPECT_EQ(openFdCount(), before);
    close(pipes[0]);
    close(pipes[1]);
}

// ---- Unix-domain paths -----------------------------------------------------------

TEST_F(SocketNatives, BindRemovesExactlyThePathItBindsEvenWithoutATerminator) {
    char dir[] = "/tmp/ovrel-uds-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const size_t sunPath = sizeof(((struct sockaddr_un*)nullptr)->sun_path);
    std::string full = std::string(dir) + "/";
    full.resize(sunPath, 'p');
    // A longer array: only its first sun_path bytes name the socket.
    std::string longer = full + "-tail";
    PathCall bindDomainSocket = native<PathCall>("bindDomainSocket");

    for (const std::string& given : {full, longer}) {
        int stale = open(full.c_str(), O_WRONLY | O_CREAT, 0600);  // a leftover in the way
        ASSERT_GE(stale, 0);
        close(stale);
        int fd = keep(socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_EQ(bindDomainSocket(jvm.env(), nullptr, fd, jvm.newByteArray(Bytes(given.begin(), given.end()))), 0);
        struct stat st;
        ASSERT_EQ(stat(full.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        struct sockaddr_un bound;
        socklen_t len = sizeof(bound);
        ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr*>(&bound), &len), 0);
        EXPECT_EQ(std::string(bound.sun_path, strnlen(bound.sun_path, sunPath)), full);
        unlink(full.c_str());
    }

    // Only a missing file may be in the way; any other failure ends before bind.
    ovrel_fault_inject("unlink", EACCES, 1, 0);
    int fd = keep(socket(AF_UNIX, SOCK_STREAM, 0));
    std::string shortPath = std::string(dir) + "/s";
    EXPECT_EQ(bindDomainSocket(jvm.env(), nullptr, fd, jvm.newByteArray(Bytes(shortPath.begin(), shortPath.end()))),
              -EACCES);
    struct stat st;
    EXPECT_NE(stat(shortPath.c_str(), &st), 0) << "no bind after the failed removal";

    EXPECT_EQ(bindDomainSocket(jvm.env(), nullptr, fd, nullptr), -EINVAL);
    EXPECT_EQ(native<PathCall>("connectDomainSocket")(jvm.env(), nullptr, fd, nullptr), -EINVAL);
    rmdir(dir);
}

}  // namespace
