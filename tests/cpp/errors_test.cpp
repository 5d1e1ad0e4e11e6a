#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "tests/cpp/support/fake_jni.h"
#include "unix/errors.h"

namespace {

using fakejni::FakeJvm;

typedef jint (*IntConstant)(JNIEnv*, jclass);
typedef jstring (*StrError)(JNIEnv*, jclass, jint);

const char kErrorsClass[] = "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods";

class Errors : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ovrel_unix_errors_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6); }
    void TearDown() override {
        ovrel_unix_errors_JNI_OnUnLoad(jvm.env());
        EXPECT_EQ(jvm.liveGlobalRefs(), 0);
    }
    FakeJvm jvm;
};

TEST_F(Errors, ErrnoThrowsCarryPrefixAndSystemTextWhateverTheSign) {
    struct {
        void (*thrower)(JNIEnv*, const char*, int);
        const char* exceptionClass;
    } cases[] = {
        {ovrel_unix_errors_throwChannelExceptionErrorNo, "io/ovrel/channel/ChannelException"},
        {ovrel_unix_errors_throwIOExceptionErrorNo, "java/io/IOException"},
        {ovrel_unix_errors_throwRuntimeExceptionErrorNo, "java/lang/RuntimeException"},
    };
    const std::string expected = std::string("getsockopt() failed: ") + strerror(EINVAL);
    for (const auto& c : cases) {
        for (int number : {-EINVAL, EINVAL}) {
            c.thrower(jvm.env(), "getsockopt() failed: ", number);
            EXPECT_EQ(jvm.pendingClass(), c.exceptionClass);
            EXPECT_EQ(jvm.pendingMessage(), expected);
            jvm.clearException();
        }
    }
}

TEST_F(Errors, UnknownErrorNumbersStillGiveAText) {
    ovrel_unix_errors_throwIOExceptionErrorNo(jvm.env(), "x: ", 123456);
    EXPECT_EQ(jvm.pendingMessage(), std::string("x: ") + strerror(123456));
}

TEST_F(Errors, PlainThrowsUseTheMessageUnchanged) {
    struct {
        void (*thrower)(JNIEnv*, const char*);
        const char* exceptionClass;
    } cases[] = {
        {ovrel_unix_errors_throwRuntimeException, "java/lang/RuntimeException"},
        {ovrel_unix_errors_throwIOException, "java/io/IOException"},
        {ovrel_unix_errors_throwPortUnreachableException, "java/net/PortUnreachableException"},
    };
    for (const auto& c : cases) {
        c.thrower(jvm.env(), "recvfrom() failed");
        EXPECT_EQ(jvm.pendingClass(), c.exceptionClass);
        EXPECT_EQ(jvm.pendingMessage(), "recvfrom() failed");
        jvm.clearException();
    }
}

TEST_F(Errors, OutOfMemoryHasAnEmptyMessageAndClosedChannelNone) {
    ovrel_unix_errors_throwOutOfMemoryError(jvm.env());
    EXPECT_EQ(jvm.pendingClass(), "java/lang/OutOfMemoryError");
    EXPECT_TRUE(jvm.pendingHasMessage());
    EXPECT_EQ(jvm.pendingMessage(), "");
    jvm.clearException();

    ovrel_unix_errors_throwClosedChannelException(jvm.env());
    EXPECT_EQ(jvm.pendingClass(), "java/nio/channels/ClosedChannelException");
    EXPECT_FALSE(jvm.pendingHasMessage());
}

TEST_F(Errors, ClosedChannelLeavesTheConstructionErrorPending) {
    jvm.failNewObjectAt = jvm.counts["NewObject"] + 1;
    ovrel_unix_errors_throwClosedChannelException(jvm.env());
    EXPECT_EQ(jvm.pendingClass(), "java/lang/OutOfMemoryError");
}

TEST_F(Errors, ConstantsAndStrErrorReportThePlatformValues) {
    struct {
        const char* name;
        jint value;
    } constants[] = {
        {"errnoENOENT", ENOENT},         {"errnoENOTCONN", ENOTCONN},
        {"errnoEBADF", EBADF},           {"errnoEPIPE", EPIPE},
        {"errnoECONNRESET", ECONNRESET}, {"errnoEAGAIN", EAGAIN},
        {"errnoEWOULDBLOCK", EAGAIN},    {"errnoEINPROGRESS", EINPROGRESS},
        {"errorECONNREFUSED", ECONNREFUSED}, {"errorEISCONN", EISCONN},
        {"errorEALREADY", EALREADY},     {"errorENETUNREACH", ENETUNREACH},
    };
    for (const auto& c : constants) {
        auto f = reinterpret_cast<IntConstant>(jvm.nativeFunction(kErrorsClass, c.name));
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(f(jvm.env(), nullptr), c.value) << c.name;
    }
    auto strError = reinterpret_cast<StrError>(jvm.nativeFunction(kErrorsClass, "strError"));
    ASSERT_NE(strError, nullptr);
    EXPECT_EQ(jvm.object(strError(jvm.env(), nullptr, ENOENT))->text, strerror(ENOENT));
    EXPECT_EQ(jvm.registrations.back().names.size(), 13u);
}

struct LoadFailure {
    const char* what;
    void (*arrange)(FakeJvm&);
    bool exceptionLeftPending;
};

class ErrorsLoadFailure : public testing::TestWithParam<LoadFailure> {};

TEST_P(ErrorsLoadFailure, FailsWithoutKeepingReferences) {
    FakeJvm jvm;
    GetParam().arrange(jvm);
    EXPECT_EQ(ovrel_unix_errors_JNI_OnLoad(jvm.env(), nullptr), JNI_ERR);
    EXPECT_EQ(jvm.exceptionPending(), GetParam().exceptionLeftPending);
    EXPECT_EQ(jvm.liveGlobalRefs(), 0);
    ovrel_unix_errors_JNI_OnUnLoad(jvm.env());  // harmless after a failed load
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ErrorsLoadFailure,
    testing::Values(
        LoadFailure{"registration", [](FakeJvm& j) { j.failRegisterNativesAt = 1; }, true},
        LoadFailure{"missing framework exception",
                    [](FakeJvm& j) { j.missingClasses = {"io/ovrel/channel/ChannelException"}; }, false},
        LoadFailure{"missing platform exception",
                    [](FakeJvm& j) { j.missingClasses = {"java/io/IOException"}; }, false},
        LoadFailure{"global reference", [](FakeJvm& j) { j.failNewGlobalRefAt = 3; }, true},
        LoadFailure{"closed channel constructor", [](FakeJvm& j) { j.failGetMethodIdAt = 1; }, true}),
    [](const testing::TestParamInfo<LoadFailure>& info) {
        std::string name = info.param.what;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

TEST(ErrorsPrefix, FrameworkExceptionIsLookedUpUnderThePrefix) {
    FakeJvm jvm;
    jvm.missingClasses = {"app/shaded/io/ovrel/channel/ChannelException"};
    EXPECT_EQ(ovrel_unix_errors_JNI_OnLoad(jvm.env(), "app/shaded/"), JNI_ERR);
    EXPECT_FALSE(jvm.exceptionPending()) << "a missing class is cleared";
    EXPECT_EQ(jvm.registrations.at(0).className,
              "app/shaded/io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods");
}

}  // namespace
