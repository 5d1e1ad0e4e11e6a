#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kqueue/library.h"
#include "tests/cpp/support/fake_jni.h"
#include "tests/cpp/support/module_spy.h"
#include "tests/fault/fault.h"

namespace {

using fakejni::FakeJvm;
using Modules = std::vector<std::string>;

const Modules kAllModules = {"limits", "errors", "filedescriptor", "socket",
                             "buffer", "bsdsocket", "eventarray"};

Modules firstModules(size_t n) { return Modules(kAllModules.begin(), kAllModules.begin() + n); }

const char kPlainPath[] = "/usr/local/lib/libovrel_transport_native_kqueue_x86_64.so";

class LibraryLoad : public testing::Test {
protected:
    void SetUp() override {
        ovrel_fault_reset();
        ovrel_fault_dladdr_fname(kPlainPath);
        unloadedModules().clear();
    }
    void TearDown() override {
        // Whatever the path, nothing the loader cached may outlive an unload.
        JNI_OnUnload(jvm.vm(), nullptr);
        EXPECT_EQ(jvm.liveGlobalRefs(), 0);
        ovrel_fault_reset();
    }

    jint load() {
        testing::internal::CaptureStderr();
        jint result = JNI_OnLoad(jvm.vm(), nullptr);
        stderrText = testing::internal::GetCapturedStderr();
        return result;
    }

    FakeJvm jvm;
    std::string stderrText;
};

TEST_F(LibraryLoad, PlainNameLoadsWithoutPrefixAndUnloadsEveryModuleInOrder) {
    EXPECT_EQ(load(), JNI_VERSION_1_6);
    EXPECT_EQ(stderrText, "");
    EXPECT_TRUE(unloadedModules().empty());
    bool sawLimits = false;
    for (const auto& r : jvm.registrations) {
        EXPECT_EQ(r.className.rfind("io/ovrel/channel/", 0), 0u) << r.className;
        sawLimits |= r.className == "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods";
    }
    EXPECT_TRUE(sawLimits);
    EXPECT_FALSE(jvm.exceptionPending());

    JNI_OnUnload(jvm.vm(), nullptr);
    EXPECT_EQ(unloadedModules(), kAllModules);
    EXPECT_EQ(jvm.liveGlobalRefs(), 0);
}

TEST_F(LibraryLoad, StaticEntryPointsBehaveLikeTheDynamicOnes) {
    EXPECT_EQ(JNI_OnLoad_ovrel_transport_native_kqueue(jvm.vm(), nullptr), JNI_VERSION_1_6);
    JNI_OnUnload_ovrel_transport_native_kqueue(jvm.vm(), nullptr);
    EXPECT_EQ(unloadedModules(), kAllModules);
}

TEST_F(LibraryLoad, PrefixFromTheFileNameIsPutBeforeEveryFrameworkClass) {
    ovrel_fault_dladdr_fname("/tmp/libapp_shaded_ovrel_transport_native_kqueue_x86_64.so");
    EXPECT_EQ(load(), JNI_VERSION_1_6);
    for (const auto& r : jvm.registrations) {
        EXPECT_EQ(r.className.rfind("app/shaded/io/ovrel/channel/", 0), 0u) << r.className;
    }
    bool sawPrefixedException = false, sawPlainPlatformClass = false;
    for (const auto& call : jvm.calls) {
        sawPrefixedException |= call == "FindClass app/shaded/io/ovrel/channel/ChannelException";
        sawPlainPlatformClass |= call == "FindClass java/nio/channels/ClosedChannelException";
    }
    EXPECT_TRUE(sawPrefixedException);
    EXPECT_TRUE(sawPlainPlatformClass);
}

TEST_F(LibraryLoad, NoEnvironmentMeansFailureWithoutOutput) {
    jvm.getEnvResult = JNI_EVERSION;
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(stderrText, "");
    EXPECT_TRUE(jvm.calls.empty());
}

TEST_F(LibraryLoad, DladdrFailurePrintsItsFatalLine) {
    ovrel_fault_inject("dladdr", 1, 1, 0);
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(stderrText, "FATAL: transport-native-kqueue JNI call to dladdr failed!\n");
    EXPECT_TRUE(jvm.calls.empty());
    EXPECT_TRUE(unloadedModules().empty());
}

TEST_F(LibraryLoad, UnexpectedFileNamePrintsThePath) {
    for (const char* path : {"/tmp/native.so", "/tmp/ovrel_transport_native_kqueue.so"}) {
        ovrel_fault_dladdr_fname(path);
        EXPECT_EQ(load(), JNI_ERR);
        EXPECT_EQ(stderrText,
                  std::string("FATAL: transport-native-kqueue JNI encountered unexpected "
                              "dlinfo.dli_fname: ") + path + "\n");
    }
    EXPECT_TRUE(jvm.calls.empty()) << "nothing may be registered";
    EXPECT_TRUE(unloadedModules().empty());
}

TEST_F(LibraryLoad, PrefixThatMatchesNoClassFailsQuietlyWithTheLookupErrorPending) {
    ovrel_fault_dladdr_fname("/tmp/libnowhere_ovrel_transport_native_kqueue.so");
    jvm.missingClasses = {"nowhere/io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods"};
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(stderrText, "");
    EXPECT_TRUE(jvm.exceptionPending());
    EXPECT_EQ(jvm.pendingClass(), "java/lang/NoClassDefFoundError");
}

struct Rollback {
    const char* failingClass;  // the class whose lookup fails
    Modules unloaded;          // unload functions the loader must call, in order
};

class LoadRollback : public LibraryLoad, public testing::WithParamInterface<Rollback> {};

TEST_P(LoadRollback, UnloadsExactlyTheModulesLoadedBeforeTheFailure) {
    jvm.missingClasses = {GetParam().failingClass};
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(stderrText, "");
    EXPECT_EQ(unloadedModules(), GetParam().unloaded);
    EXPECT_EQ(jvm.liveGlobalRefs(), 0) << "a failed load must not keep references";
}

INSTANTIATE_TEST_SUITE_P(
    EveryModule, LoadRollback,
    testing::Values(
        Rollback{"io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods", {}},
        Rollback{"io/ovrel/channel/kqueue/Native", {}},
        Rollback{"io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods", {}},
        Rollback{"io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods", firstModules(1)},
        Rollback{"java/net/PortUnreachableException", firstModules(1)},
        Rollback{"io/ovrel/channel/unix/FileDescriptor", firstModules(2)},
        Rollback{"io/ovrel/channel/unix/Socket", firstModules(3)},
        Rollback{"java/net/InetSocketAddress", firstModules(3)},
        Rollback{"io/ovrel/channel/unix/Buffer", firstModules(4)},
        Rollback{"io/ovrel/channel/kqueue/BsdSocket", firstModules(5)},
        Rollback{"io/ovrel/channel/unix/PeerCredentials", firstModules(5)},
        Rollback{"io/ovrel/channel/kqueue/KQueueEventArray", firstModules(6)}));

TEST_F(LibraryLoad, NoWorkingClockPrintsItsFatalLineAfterUnloadingEverything) {
    ovrel_fault_inject("clock_gettime", EINVAL, 4, 0);
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(stderrText, "FATAL: could not find a clock for clock_gettime!\n");
    EXPECT_EQ(unloadedModules(), kAllModules);
}

TEST_F(LibraryLoad, UnloadWithoutEnvironmentDoesNothing) {
    EXPECT_EQ(load(), JNI_VERSION_1_6);
    jvm.getEnvResult = JNI_EDETACHED;
    JNI_OnUnload(jvm.vm(), nullptr);
    EXPECT_TRUE(unloadedModules().empty());
    jvm.getEnvResult = JNI_OK;
}

TEST_F(LibraryLoad, UnloadingTwiceDeletesEachReferenceOnce) {
    EXPECT_EQ(load(), JNI_VERSION_1_6);
    JNI_OnUnload(jvm.vm(), nullptr);
    JNI_OnUnload(jvm.vm(), nullptr);  // the fake fails the test on a double delete
}

}  // namespace
