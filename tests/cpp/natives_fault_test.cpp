// The natives that build Java objects or exception messages, on real loopback
// sockets, with every refusable JNI call and every allocation they make failed
// in turn ("fail at call k", k = 1, 2, ... until the native goes through
// untouched). A refused JNI allocation must give the native's documented
// failure value with the JVM's own error pending and nothing raised over it;
// an exception message that cannot be built raises nothing, and the native
// still gives its failure value. Neither may leave a heap block or a
// descriptor behind.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kqueue/library.h"
#include "platform/bsd_socket.h"
#include "tests/cpp/support/fake_jni.h"
#include "tests/fault/fault.h"

namespace {

using fakejni::FakeJvm;

const char kSocket[] = "io/ovrel/channel/unix/Socket";
const char kBsdSocket[] = "io/ovrel/channel/kqueue/BsdSocket";
const char kErrors[] = "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods";
const char kOutOfMemory[] = "java/lang/OutOfMemoryError";
const char kChannelException[] = "io/ovrel/channel/ChannelException";
const char kClosedChannel[] = "java/nio/channels/ClosedChannelException";
const int kSweepLimit = 200;

typedef jobject (*FdToObject)(JNIEnv*, jclass, jint);
typedef jint (*FdToInt)(JNIEnv*, jclass, jint);
typedef jboolean (*FdToBool)(JNIEnv*, jclass, jint);
typedef jint (*BoolToInt)(JNIEnv*, jclass, jboolean);
typedef jint (*Accept)(JNIEnv*, jclass, jint, jbyteArray);
typedef jobject (*RecvFrom)(JNIEnv*, jclass, jint, jobject, jint, jint);
typedef jobject (*RecvFromAddress)(JNIEnv*, jclass, jint, jlong, jint, jint);
typedef jstring (*StrError)(JNIEnv*, jclass, jint);

sockaddr_in loopback(int port) {
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int portOf(int fd) {
    sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int boundSocket(int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << strerror(errno);
    return fd;
}

bool readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
}

// A descriptor number that is certainly not open: one just closed.
int closedDescriptor() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    close(fd);
    return fd;
}

// A UDP receiver with one datagram waiting, from a sender that is closed
// again before the native runs.
int receiverWithDatagram(bool reportDestination) {
    int receiver = boundSocket(SOCK_DGRAM);
    if (reportDestination) {
        int one = 1;
        EXPECT_EQ(setsockopt(receiver, IPPROTO_IP, IP_RECVORIGDSTADDR, &one, sizeof(one)), 0);
    }
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback(portOf(receiver));
    EXPECT_EQ(sendto(sender, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 4);
    close(sender);
    EXPECT_TRUE(readable(receiver));
    return receiver;
}

// Resolves natives the loader registered on the fake JVM.
struct Natives {
    FakeJvm& jvm;
    template <typename F>
    F get(const char* className, const char* name) {
        void* f = jvm.nativeFunction(className, name);
        EXPECT_NE(f, nullptr) << className << "." << name;
        return reinterpret_cast<F>(f);
    }
};

// One call of one native, with whatever it needs set up and torn down around
// it. Answers whether the native gave its documented failure value.
struct NativeCall {
    const char* name;
    bool (*call)(Natives&);
    bool untouchedFails;           // the untouched call already takes a failure path
    const char* untouchedPending;  // and leaves this exception ("" none)
};

const NativeCall kNativeCalls[] = {
    {"localAddress",
     [](Natives& n) {
         int fd = boundSocket(SOCK_DGRAM);
         jobject r = n.get<FdToObject>(kSocket, "localAddress")(n.jvm.env(), nullptr, fd);
         close(fd);
         return r == nullptr;
     },
     false, ""},
    {"remoteAddress",
     [](Natives& n) {
         int fd = boundSocket(SOCK_DGRAM);
         sockaddr_in peer = loopback(9);
         EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)), 0);
         jobject r = n.get<FdToObject>(kSocket, "remoteAddress")(n.jvm.env(), nullptr, fd);
         close(fd);
         return r == nullptr;
     },
     false, ""},
    {"recvFromSenderOnly",
     [](Natives& n) {
         int fd = receiverWithDatagram(false);
         char storage[16];
         jobject buffer = n.jvm.newDirectBuffer(storage, sizeof(storage));
         jobject r = n.get<RecvFrom>(kSocket, "recvFrom")(n.jvm.env(), nullptr, fd, buffer, 0,
                                                           sizeof(storage));
         close(fd);
         return r == nullptr;
     },
     false, ""},
    {"recvFromAddressWithDestination",
     [](Natives& n) {
         int fd = receiverWithDatagram(true);
         char storage[16];
         jobject r = n.get<RecvFromAddress>(kSocket, "recvFromAddress")(
             n.jvm.env(), nullptr, fd, reinterpret_cast<jlong>(storage), 0, sizeof(storage));
         close(fd);
         if (r != nullptr) {
             // The destination's object is the fifth constructor argument.
             EXPECT_NE(n.jvm.object(r)->ctorArgs[4].l, nullptr);
         }
         return r == nullptr;
     },
     false, ""},
    {"recvFromFailingWithAnIoError",
     [](Natives& n) {
         int fd = boundSocket(SOCK_DGRAM);
         ovrel_fault_inject("recvfrom", EIO, 1, 0);
         char storage[16];
         jobject r = n.get<RecvFromAddress>(kSocket, "recvFromAddress")(
             n.jvm.env(), nullptr, fd, reinterpret_cast<jlong>(storage), 0, sizeof(storage));
         ovrel_fault_reset();
         close(fd);
         return r == nullptr;
     },
     true, "java/io/IOException"},
    {"recvFromOnAClosedDescriptor",
     [](Natives& n) {
         char storage[16];
         jobject r = n.get<RecvFromAddress>(kSocket, "recvFromAddress")(
             n.jvm.env(), nullptr, closedDescriptor(), reinterpret_cast<jlong>(storage), 0,
             sizeof(storage));
         return r == nullptr;
     },
     true, kClosedChannel},
    {"finishConnectOnAClosedDescriptor",
     [](Natives& n) {
         return n.get<FdToInt>(kSocket, "finishConnect")(n.jvm.env(), nullptr,
                                                        closedDescriptor()) == -1;
     },
     true, kClosedChannel},
    {"isIPv6OnAClosedDescriptor",
     [](Natives& n) {
         return n.get<FdToBool>(kSocket, "isIPv6")(n.jvm.env(), nullptr, closedDescriptor()) ==
                JNI_FALSE;
     },
     true, kChannelException},
    {"newIPv6SocketWhoseDualStackOptionFails",
     [](Natives& n) {
         // The new socket must be closed again: the descriptor check of the
         // sweep sees it otherwise.
         ovrel_fault_inject("setsockopt", EINVAL, 1, 0);
         jint fd = n.get<BoolToInt>(kSocket, "newSocketStreamFd")(n.jvm.env(), nullptr, JNI_TRUE);
         ovrel_fault_reset();
         if (fd >= 0) {
             close(fd);
         }
         return fd == -1;
     },
     true, kChannelException},
    {"getAcceptFilter",
     [](Natives& n) {
         int fd = boundSocket(SOCK_STREAM);
         EXPECT_EQ(listen(fd, 1), 0);
         accept_filter_arg filter;
         memset(&filter, 0, sizeof(filter));
         strcpy(filter.af_name, "dataready");
         strcpy(filter.af_arg, "some argument");
         EXPECT_EQ(ovrel_bsd_setsockopt(fd, SOL_SOCKET, SO_ACCEPTFILTER, &filter, sizeof(filter)),
                   0);
         jobject r = n.get<FdToObject>(kBsdSocket, "getAcceptFilter")(n.jvm.env(), nullptr, fd);
         close(fd);
         return r == nullptr;
     },
     false, ""},
    {"getAcceptFilterWithoutAFilter",
     [](Natives& n) {
         int fd = boundSocket(SOCK_STREAM);
         EXPECT_EQ(listen(fd, 1), 0);
         jobject r = n.get<FdToObject>(kBsdSocket, "getAcceptFilter")(n.jvm.env(), nullptr, fd);
         close(fd);
         return r == nullptr;
     },
     true, kChannelException},
    {"getPeerCredentials",
     [](Natives& n) {
         int fds[2];
         EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
         jobject r =
             n.get<FdToObject>(kBsdSocket, "getPeerCredentials")(n.jvm.env(), nullptr, fds[0]);
         close(fds[0]);
         close(fds[1]);
         return r == nullptr;
     },
     false, ""},
    {"strError",
     [](Natives& n) {
         return n.get<StrError>(kErrors, "strError")(n.jvm.env(), nullptr, ENOENT) == nullptr;
     },
     false, ""},
};

void PrintTo(const NativeCall& c, std::ostream* os) { *os << c.name; }

enum class Inject { Nothing, JniCall, Allocation };

struct Outcome {
    bool failureValue;
    bool injected;
    bool pending;
    std::string pendingClass;
    std::string refused;
    ovrel_fault_alloc_report heap;
    int fdDelta;
};

class NativeFaultSweep : public testing::TestWithParam<NativeCall> {
protected:
    void SetUp() override {
        ovrel_fault_reset();
        ovrel_fault_dladdr_fname("/usr/local/lib/libovrel_transport_native_kqueue_x86_64.so");
        ASSERT_EQ(JNI_OnLoad(jvm.vm(), nullptr), JNI_VERSION_1_6);
        ovrel_fault_reset();
    }
    void TearDown() override {
        jvm.failCallAt = 0;
        jvm.clearException();
        JNI_OnUnload(jvm.vm(), nullptr);
        EXPECT_EQ(jvm.liveGlobalRefs(), 0);
        ovrel_fault_reset();
    }

    Outcome run(Inject inject, int k) {
        Outcome o{};
        jvm.clearException();
        jvm.refused.clear();
        jvm.failCallAt = inject == Inject::JniCall ? jvm.refusableCalls + k : 0;
        Natives natives{jvm};
        const int fdsBefore = ovrel_fault_open_fds();
        ovrel_fault_alloc_arm(inject == Inject::Allocation ? k : 0);
        o.failureValue = GetParam().call(natives);
        o.heap = ovrel_fault_alloc_disarm();
        o.fdDelta = ovrel_fault_open_fds() - fdsBefore;
        o.injected = inject == Inject::JniCall      ? !jvm.refused.empty()
                     : inject == Inject::Allocation ? o.heap.failed > 0
                                                    : false;
        o.refused = jvm.refused;
        o.pending = jvm.exceptionPending();
        o.pendingClass = jvm.pendingClass();
        jvm.failCallAt = 0;
        return o;
    }

    FakeJvm jvm;
};

TEST_P(NativeFaultSweep, EveryFailureGivesTheFailureValueAndLeavesNothing) {
    const NativeCall& c = GetParam();
    int injected = 0;
    int leaks = 0;
    {
        SCOPED_TRACE("untouched");
        Outcome o = run(Inject::Nothing, 0);
        EXPECT_EQ(o.failureValue, c.untouchedFails);
        EXPECT_EQ(o.pendingClass, c.untouchedPending);
        EXPECT_EQ(o.heap.live, 0);
        EXPECT_EQ(o.fdDelta, 0);
    }
    for (Inject inject : {Inject::JniCall, Inject::Allocation}) {
        const char* kind = inject == Inject::JniCall ? "JNI call " : "allocation ";
        int k = 1;
        for (; k <= kSweepLimit; ++k) {
            SCOPED_TRACE(kind + std::to_string(k) + " refused");
            Outcome o = run(inject, k);
            leaks += o.heap.live + o.heap.untracked + o.fdDelta != 0;
            EXPECT_EQ(o.heap.live, 0) << o.heap.liveBytes << " bytes left on the heap";
            EXPECT_EQ(o.fdDelta, 0) << "descriptors left open";
            if (!o.injected) {
                EXPECT_EQ(o.failureValue, c.untouchedFails);
                EXPECT_EQ(o.pendingClass, c.untouchedPending);
                break;
            }
            ++injected;
            EXPECT_TRUE(o.failureValue) << "the native answered as if nothing had failed";
            if (inject == Inject::JniCall) {
                EXPECT_EQ(o.pendingClass, kOutOfMemory)
                    << "the JVM's error for the refused " << o.refused
                    << " must stay pending, with nothing raised over it";
            } else {
                // The only allocations are for exception messages; one that
                // cannot be built is not raised.
                EXPECT_FALSE(o.pending) << o.pendingClass;
            }
        }
        EXPECT_LT(k, kSweepLimit);
    }
    EXPECT_GT(injected, 0) << "the native met no failure to inject";
    RecordProperty("injected", injected);
    RecordProperty("leaks", leaks);
    printf("[ fault    ] %s: %d failures injected, %d left something behind\n", c.name, injected,
           leaks);
}

INSTANTIATE_TEST_SUITE_P(Natives, NativeFaultSweep, testing::ValuesIn(kNativeCalls),
                         [](const testing::TestParamInfo<NativeCall>& info) {
                             return std::string(info.param.name);
                         });

// accept writes the peer's address into the caller's array; when the array
// cannot hold it, the accepted connection is closed rather than handed back
// (or kept) without an address, and the peer sees it closed.
TEST(AcceptFault, ArrayTooShortForThePeerClosesTheAcceptedConnection) {
    FakeJvm jvm;
    ovrel_fault_reset();
    ovrel_fault_dladdr_fname("/usr/local/lib/libovrel_transport_native_kqueue_x86_64.so");
    ASSERT_EQ(JNI_OnLoad(jvm.vm(), nullptr), JNI_VERSION_1_6);
    Accept accept0 = Natives{jvm}.get<Accept>(kSocket, "accept");

    struct Case {
        size_t arrayLength;
        bool accepted;
    };
    // An IPv4 peer needs 1 + 8 bytes.
    for (Case c : {Case{0, false}, Case{8, false}, Case{9, true}, Case{25, true}}) {
        SCOPED_TRACE("array of " + std::to_string(c.arrayLength));
        int listener = boundSocket(SOCK_STREAM);
        ASSERT_EQ(listen(listener, 1), 0);
        int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = loopback(portOf(listener));
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
        ASSERT_TRUE(readable(listener));
        const int fdsBefore = ovrel_fault_open_fds();
        jint fd = accept0(jvm.env(), nullptr, listener,
                          jvm.newByteArray(std::vector<jbyte>(c.arrayLength)));
        if (c.accepted) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(ovrel_fault_open_fds(), fdsBefore + 1);
            close(fd);
        } else {
            EXPECT_EQ(fd, -EINVAL);
            EXPECT_EQ(ovrel_fault_open_fds(), fdsBefore) << "the accepted connection leaked";
            EXPECT_FALSE(jvm.exceptionPending());
            ASSERT_TRUE(readable(client));
            char byte;
            EXPECT_EQ(recv(client, &byte, 1, 0), 0) << "the peer must see the connection closed";
        }
        close(client);
        close(listener);
    }
    JNI_OnUnload(jvm.vm(), nullptr);
    EXPECT_EQ(jvm.liveGlobalRefs(), 0);
    ovrel_fault_reset();
}

}  // namespace
