// The BSD socket module against the fake JVM: what its load registers and
// caches, how every failing load step leaves the JVM, and the natives' answers
// to refused allocations.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kqueue/bsdsocket.h"
#include "platform/bsd_socket.h"
#include "unix/errors.h"
#include "tests/cpp/support/fake_jni.h"

namespace {

using fakejni::FakeJvm;

const char kBsdSocket[] = "io/ovrel/channel/kqueue/BsdSocket";

// The errors module is loaded as in the library: failing option calls raise
// through it. Reference counts are taken relative to what it holds.
class BsdSocketModule : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ovrel_unix_errors_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
        baseRefs = jvm.liveGlobalRefs();
    }
    void TearDown() override {
        ovrel_kqueue_bsdsocket_JNI_OnUnLoad(jvm.env());
        EXPECT_EQ(ownRefs(), 0);
        ovrel_unix_errors_JNI_OnUnLoad(jvm.env());
    }

    int ownRefs() const { return jvm.liveGlobalRefs() - baseRefs; }

    const fakejni::Registration* registration() const {
        for (const auto& r : jvm.registrations) {
            if (r.className.size() >= strlen(kBsdSocket) &&
                r.className.compare(r.className.size() - strlen(kBsdSocket), std::string::npos,
                                    kBsdSocket) == 0) {
                return &r;
            }
        }
        return nullptr;
    }

    bool called(const std::string& call) const {
        for (const auto& c : jvm.calls) {
            if (c == call) {
                return true;
            }
        }
        return false;
    }

    FakeJvm jvm;
    int baseRefs = 0;
};

struct Prefixing {
    const char* prefix;
    const char* p;  // what the prefix adds to the framework's class names
};

class BsdSocketModulePrefix : public BsdSocketModule,
                              public testing::WithParamInterface<Prefixing> {};

TEST_P(BsdSocketModulePrefix, RegistersEightNativesAndLooksUpFrameworkClassesUnderThePrefix) {
    const std::string p = GetParam().p;
    ASSERT_EQ(ovrel_kqueue_bsdsocket_JNI_OnLoad(jvm.env(), GetParam().prefix), JNI_VERSION_1_6);
    EXPECT_FALSE(jvm.exceptionPending());

    const fakejni::Registration* r = registration();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->className, p + kBsdSocket);
    const std::vector<std::string> names{"setAcceptFilter", "setTcpNoPush",  "setSndLowAt",
                                         "getAcceptFilter", "getTcpNoPush",  "getSndLowAt",
                                         "sendFile",        "getPeerCredentials"};
    const std::vector<std::string> signatures{
        "(ILjava/lang/String;Ljava/lang/String;)V",
        "(II)V",
        "(II)V",
        "(I)[Ljava/lang/String;",
        "(I)I",
        "(I)I",
        "(IL" + p + "io/ovrel/channel/DefaultFileRegion;JJJ)J",
        "(I)L" + p + "io/ovrel/channel/unix/PeerCredentials;",
    };
    EXPECT_EQ(r->names, names);
    EXPECT_EQ(r->signatures, signatures);
    for (void* function : r->functions) {
        EXPECT_NE(function, nullptr);
    }

    for (const std::string& lookup :
         {"FindClass " + p + "io/ovrel/channel/DefaultFileRegion",
          "FindClass " + p + "io/ovrel/channel/unix/PeerCredentials",
          std::string("FindClass sun/nio/ch/FileChannelImpl"),
          std::string("FindClass java/io/FileDescriptor"), std::string("FindClass java/lang/String"),
          "GetFieldID " + p + "io/ovrel/channel/DefaultFileRegion.file",
          "GetFieldID " + p + "io/ovrel/channel/DefaultFileRegion.transferred",
          std::string("GetFieldID sun/nio/ch/FileChannelImpl.fd"),
          std::string("GetFieldID java/io/FileDescriptor.fd"),
          "GetMethodID " + p + "io/ovrel/channel/unix/PeerCredentials.<init>(II[I)V"}) {
        EXPECT_TRUE(called(lookup)) << lookup;
    }
    EXPECT_EQ(ownRefs(), 3);  // String, PeerCredentials, FileChannelImpl

    ovrel_kqueue_bsdsocket_JNI_OnUnLoad(jvm.env());
    EXPECT_EQ(ownRefs(), 0);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, BsdSocketModulePrefix,
                         testing::Values(Prefixing{nullptr, ""},
                                         Prefixing{"app/shaded/", "app/shaded/"}));

// Each refusal fails the load with nothing cached left behind. A class that is
// not found has its lookup error cleared; a missing member's error stays.
enum class Refuse { Class, RegisterNatives, GetFieldID, NewGlobalRef, GetMethodID };

struct LoadFailure {
    const char* what;
    Refuse refuse;
    const char* className;  // the class that is missing, for Refuse::Class
    int nth;                // which call of this load is refused, for the others
    bool exceptionLeftPending;
};

// Counts of JNI calls go on from where the errors module's load left them.
void apply(FakeJvm& j, const LoadFailure& f) {
    switch (f.refuse) {
        case Refuse::Class:
            j.missingClasses.insert(f.className);
            break;
        case Refuse::RegisterNatives:
            j.failRegisterNativesAt = j.counts["RegisterNatives"] + f.nth;
            break;
        case Refuse::GetFieldID:
            j.failGetFieldIdAt = j.counts["GetFieldID"] + f.nth;
            break;
        case Refuse::NewGlobalRef:
            j.failNewGlobalRefAt = j.counts["NewGlobalRef"] + f.nth;
            break;
        case Refuse::GetMethodID:
            j.failGetMethodIdAt = j.counts["GetMethodID"] + f.nth;
            break;
    }
}

class BsdSocketModuleLoadFailure : public BsdSocketModule,
                                   public testing::WithParamInterface<LoadFailure> {};

TEST_P(BsdSocketModuleLoadFailure, FailsWithoutLeakingGlobalReferences) {
    apply(jvm, GetParam());
    EXPECT_EQ(ovrel_kqueue_bsdsocket_JNI_OnLoad(jvm.env(), nullptr), JNI_ERR);
    EXPECT_EQ(ownRefs(), 0);
    EXPECT_EQ(jvm.exceptionPending(), GetParam().exceptionLeftPending) << jvm.pendingClass();
    // The loader's own unload afterwards must not delete anything twice.
    ovrel_kqueue_bsdsocket_JNI_OnUnLoad(jvm.env());
}

const LoadFailure kLoadFailures[] = {
    {"BsdSocket class", Refuse::Class, kBsdSocket, 0, true},
    {"RegisterNatives", Refuse::RegisterNatives, nullptr, 1, true},
    {"DefaultFileRegion class", Refuse::Class, "io/ovrel/channel/DefaultFileRegion", 0, false},
    {"field file", Refuse::GetFieldID, nullptr, 1, true},
    {"field transferred", Refuse::GetFieldID, nullptr, 2, true},
    {"FileChannelImpl class", Refuse::Class, "sun/nio/ch/FileChannelImpl", 0, false},
    {"FileChannelImpl global reference", Refuse::NewGlobalRef, nullptr, 1, true},
    {"field FileChannelImpl fd", Refuse::GetFieldID, nullptr, 3, true},
    {"FileDescriptor class", Refuse::Class, "java/io/FileDescriptor", 0, false},
    {"field FileDescriptor fd", Refuse::GetFieldID, nullptr, 4, true},
    {"String class", Refuse::Class, "java/lang/String", 0, false},
    {"String global reference", Refuse::NewGlobalRef, nullptr, 2, true},
    {"PeerCredentials class", Refuse::Class, "io/ovrel/channel/unix/PeerCredentials", 0, false},
    {"PeerCredentials global reference", Refuse::NewGlobalRef, nullptr, 3, true},
    {"PeerCredentials constructor", Refuse::GetMethodID, nullptr, 1, true},
};

std::string testName(const char* what) {
    std::string name = what;
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Steps, BsdSocketModuleLoadFailure, testing::ValuesIn(kLoadFailures),
                         [](const testing::TestParamInfo<LoadFailure>& info) {
                             return testName(info.param.what);
                         });

TEST_F(BsdSocketModule, UnloadWithoutLoadIsHarmless) {
    ovrel_kqueue_bsdsocket_JNI_OnUnLoad(jvm.env());
    ovrel_kqueue_bsdsocket_JNI_OnUnLoad(jvm.env());
    EXPECT_EQ(ownRefs(), 0);
}

// The two natives that build Java objects, on real sockets, with the JVM
// refusing each allocation in turn: null comes back with the JVM's error
// pending and nothing raised on top of it.
enum class Native { PeerCredentials, AcceptFilter };

struct AllocationRefusal {
    const char* what;
    Native native;
    int* (*counter)(FakeJvm&);
};

class BsdSocketAllocationRefusal : public BsdSocketModule,
                                   public testing::WithParamInterface<AllocationRefusal> {};

TEST_P(BsdSocketAllocationRefusal, ReturnsNullWithTheJvmsErrorPending) {
    ASSERT_EQ(ovrel_kqueue_bsdsocket_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
    const bool peer = GetParam().native == Native::PeerCredentials;
    auto native = reinterpret_cast<jobject (*)(JNIEnv*, jclass, jint)>(
        jvm.nativeFunction(kBsdSocket, peer ? "getPeerCredentials" : "getAcceptFilter"));
    ASSERT_NE(native, nullptr);
    int fds[2] = {-1, -1};
    if (peer) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    } else {
        fds[0] = socket(AF_INET, SOCK_STREAM, 0);
        struct accept_filter_arg filter = {};
        strcpy(filter.af_name, "dataready");
        ASSERT_EQ(listen(fds[0], 1), 0);
        ASSERT_EQ(ovrel_bsd_setsockopt(fds[0], SOL_SOCKET, SO_ACCEPTFILTER, &filter,
                                       sizeof(filter)),
                  0);
    }

    *GetParam().counter(jvm) = 1;
    EXPECT_EQ(native(jvm.env(), nullptr, fds[0]), nullptr);
    EXPECT_EQ(jvm.pendingClass(), "java/lang/OutOfMemoryError");
    close(fds[0]);
    if (fds[1] >= 0) {
        close(fds[1]);
    }
}

const AllocationRefusal kAllocationRefusals[] = {
    {"peer group array", Native::PeerCredentials, [](FakeJvm& j) { return &j.failNewIntArrayAt; }},
    {"peer result object", Native::PeerCredentials, [](FakeJvm& j) { return &j.failNewObjectAt; }},
    {"filter array", Native::AcceptFilter, [](FakeJvm& j) { return &j.failNewObjectArrayAt; }},
    {"filter name", Native::AcceptFilter, [](FakeJvm& j) { return &j.failNewStringUtfAt; }},
};

INSTANTIATE_TEST_SUITE_P(Allocations, BsdSocketAllocationRefusal,
                         testing::ValuesIn(kAllocationRefusals),
                         [](const testing::TestParamInfo<AllocationRefusal>& info) {
                             return testName(info.param.what);
                         });

TEST_F(BsdSocketModule, AcceptFilterArgumentStringRefusedReturnsNull) {
    ASSERT_EQ(ovrel_kqueue_bsdsocket_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
    auto getAcceptFilter = reinterpret_cast<jobject (*)(JNIEnv*, jclass, jint)>(
        jvm.nativeFunction(kBsdSocket, "getAcceptFilter"));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(listen(fd, 1), 0);
    struct accept_filter_arg filter = {};
    strcpy(filter.af_name, "httpready");
    ASSERT_EQ(ovrel_bsd_setsockopt(fd, SOL_SOCKET, SO_ACCEPTFILTER, &filter, sizeof(filter)), 0);
    jvm.failNewStringUtfAt = jvm.counts["NewStringUTF"] + 2;
    EXPECT_EQ(getAcceptFilter(jvm.env(), nullptr, fd), nullptr);
    EXPECT_EQ(jvm.pendingClass(), "java/lang/OutOfMemoryError");
    close(fd);
}

TEST_F(BsdSocketModule, PeerCredentialsCarryPidZeroUidAndGroups) {
    ASSERT_EQ(ovrel_kqueue_bsdsocket_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
    auto getPeerCredentials = reinterpret_cast<jobject (*)(JNIEnv*, jclass, jint)>(
        jvm.nativeFunction(kBsdSocket, "getPeerCredentials"));
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    jobject credentials = getPeerCredentials(jvm.env(), nullptr, fds[1]);
    close(fds[0]);
    close(fds[1]);
    ASSERT_NE(credentials, nullptr) << jvm.pendingMessage();
    fakejni::Object* o = jvm.object(credentials);
    ASSERT_GE(o->ctorArgs.size(), 3u);  // the fake keeps raw argument words
    EXPECT_EQ(o->ctorArgs[0].i, 0);
    EXPECT_EQ(o->ctorArgs[1].i, static_cast<jint>(geteuid()));
    fakejni::Object* groups = jvm.object(o->ctorArgs[2].l);
    ASSERT_FALSE(groups->ints.empty());
    EXPECT_EQ(groups->ints[0], static_cast<jint>(getegid()));
}

// A socket that is not Unix-domain has no peer credentials. On BSD the
// option's numbers ask an IPv4 socket for its IP options, which succeeds with
// no bytes: whatever the system answers, nothing but a whole record may become
// a PeerCredentials (an empty one would say uid 0, root).
TEST_F(BsdSocketModule, PeerCredentialsOfOtherSocketsRaiseInsteadOfNamingRoot) {
    ASSERT_EQ(ovrel_kqueue_bsdsocket_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
    auto getPeerCredentials = reinterpret_cast<jobject (*)(JNIEnv*, jclass, jint)>(
        jvm.nativeFunction(kBsdSocket, "getPeerCredentials"));
    struct Case {
        const char* what;
        int domain;
        int type;
    } cases[] = {
        {"IPv4 TCP", AF_INET, SOCK_STREAM},
        {"IPv4 UDP", AF_INET, SOCK_DGRAM},
        {"IPv6 TCP", AF_INET6, SOCK_STREAM},
    };
    const std::string expected = std::string("getsockopt() failed: ") + strerror(EINVAL);
    for (const Case& c : cases) {
        int fd = socket(c.domain, c.type, 0);
        ASSERT_GE(fd, 0) << c.what;
        const int objects = jvm.counts["NewObject"];
        EXPECT_EQ(getPeerCredentials(jvm.env(), nullptr, fd), nullptr) << c.what;
        close(fd);
        EXPECT_EQ(jvm.pendingClass(), "io/ovrel/channel/ChannelException") << c.what;
        EXPECT_EQ(jvm.pendingMessage(), expected) << c.what;
        EXPECT_EQ(jvm.counts["NewObject"], objects) << c.what << ": built a PeerCredentials";
        jvm.env()->ExceptionClear();
    }
}

}  // namespace
