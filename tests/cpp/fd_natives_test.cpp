// The descriptor natives through the fake JVM: the retries scripted with the
// fault wrappers, and arguments that must never reach the kernel.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/cpp/support/fake_jni.h"
#include "tests/fault/fault.h"
#include "unix/filedescriptor.h"

namespace {

using fakejni::FakeJvm;

const char kFdClass[] = "io/ovrel/channel/unix/FileDescriptor";

typedef jint (*BufferCall)(JNIEnv*, jclass, jint, jobject, jint, jint);
typedef jint (*AddressCall)(JNIEnv*, jclass, jint, jlong, jint, jint);
typedef jlong (*WritevAddressesCall)(JNIEnv*, jclass, jint, jlong, jint);
typedef jlong (*WritevCall)(JNIEnv*, jclass, jint, jobjectArray, jint, jint, jlong);
typedef jint (*CloseCall)(JNIEnv*, jclass, jint);
typedef jint (*OpenCall)(JNIEnv*, jclass, jstring);

class FdNatives : public testing::Test {
protected:
    void SetUp() override {
        ovrel_fault_reset();
        ASSERT_EQ(ovrel_unix_filedescriptor_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
        ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    }
    void TearDown() override {
        ovrel_fault_reset();
        close(pipeFds[0]);
        close(pipeFds[1]);
        ovrel_unix_filedescriptor_JNI_OnUnLoad(jvm.env());
    }
    template <typename F>
    F native(const char* name) {
        void* f = jvm.nativeFunction(kFdClass, name);
        EXPECT_NE(f, nullptr) << name;
        return reinterpret_cast<F>(f);
    }
    std::string drain() {
        char buf[64];
        ssize_t n = read(pipeFds[0], buf, sizeof(buf));
        return n > 0 ? std::string(buf, n) : std::string();
    }

    FakeJvm jvm;
    int pipeFds[2] = {-1, -1};
    char data[16] = "0123456789";
};

TEST(FdModuleLoad, FieldsAreOptionalMethodsAndTheProbeAreNot) {
    struct Case {
        const char* name;
        std::function<void(FakeJvm&)> refuse;
        jint result;
    } cases[] = {
        {"no position field", [](FakeJvm& j) { j.missingFields.insert("position"); }, JNI_VERSION_1_6},
        {"no fields at all",
         [](FakeJvm& j) { j.missingFields.insert("position"); j.missingFields.insert("limit"); },
         JNI_VERSION_1_6},
        {"no position method", [](FakeJvm& j) { j.failGetMethodIdAt = 1; }, JNI_ERR},
        {"no limit method", [](FakeJvm& j) { j.failGetMethodIdAt = 2; }, JNI_ERR},
        {"no probe buffer", [](FakeJvm& j) { j.failNewDirectByteBufferAt = 1; }, JNI_ERR},
        {"registration", [](FakeJvm& j) { j.failRegisterNativesAt = 1; }, JNI_ERR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeJvm jvm;
        c.refuse(jvm);
        EXPECT_EQ(ovrel_unix_filedescriptor_JNI_OnLoad(jvm.env(), nullptr), c.result);
        if (c.result == JNI_VERSION_1_6) {
            EXPECT_FALSE(jvm.exceptionPending()) << "a missing field is not an error";
            ASSERT_EQ(jvm.registrations.size(), 1u);
            EXPECT_EQ(jvm.registrations[0].names.size(), 9u);
        }
    }
}

TEST_F(FdNatives, InterruptedTransfersAreRetried) {
    jobject buf = jvm.newDirectBuffer(data, sizeof(data));
    struct iovec iov[2] = {{data, 2}, {data + 5, 3}};
    char in[16] = {0};
    jobject inBuf = jvm.newDirectBuffer(in, sizeof(in));
    struct Case {
        const char* name;
        const char* call;
        std::function<jlong()> run;
        jlong expected;
        const char* piped;  // what the pipe holds afterwards
    } cases[] = {
        {"write", "write", [&] { return jlong(native<BufferCall>("write")(jvm.env(), nullptr, pipeFds[1], buf, 1, 4)); }, 3, "123"},
        {"writeAddress", "write", [&] { return jlong(native<AddressCall>("writeAddress")(jvm.env(), nullptr, pipeFds[1], reinterpret_cast<jlong>(data), 0, 2)); }, 2, "01"},
        {"writevAddresses", "writev", [&] { return native<WritevAddressesCall>("writevAddresses")(jvm.env(), nullptr, pipeFds[1], reinterpret_cast<jlong>(iov), 2); }, 5, "01567"},
        {"read", "read", [&] { write(pipeFds[1], "ab", 2); return jlong(native<BufferCall>("read")(jvm.env(), nullptr, pipeFds[0], inBuf, 3, 16)); }, 2, ""},
        {"readAddress", "read", [&] { write(pipeFds[1], "abc", 3); return jlong(native<AddressCall>("readAddress")(jvm.env(), nullptr, pipeFds[0], reinterpret_cast<jlong>(in), 0, 2)); }, 2, "c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ovrel_fault_reset();
        ovrel_fault_inject(c.call, EINTR, 2, 0);
        EXPECT_EQ(c.run(), c.expected);
        EXPECT_EQ(ovrel_fault_calls(c.call), 3);
        EXPECT_EQ(drain(), c.piped);
    }
    EXPECT_EQ(std::string(in, 5), std::string("ab\0ab", 5)) << "read lands at base + pos";
}

TEST_F(FdNatives, BadRegionsNeverReachTheKernel) {
    jobject buf = jvm.newDirectBuffer(data, sizeof(data));
    jobject heap = jvm.newDirectBuffer(nullptr, 0);  // a heap buffer has no address
    const jlong address = reinterpret_cast<jlong>(data);
    BufferCall bufferCalls[] = {native<BufferCall>("write"), native<BufferCall>("read")};
    AddressCall addressCalls[] = {native<AddressCall>("writeAddress"), native<AddressCall>("readAddress")};
    for (int i = 0; i < 2; ++i) {
        const int fd = pipeFds[1 - i];
        struct {
            jobject buffer;
            jint pos, limit;
        } bufferCases[] = {{buf, 5, 4}, {buf, -1, 4}, {nullptr, 0, 4}, {heap, 0, 4}, {heap, 0, 0}};
        for (const auto& c : bufferCases) {
            EXPECT_EQ(bufferCalls[i](jvm.env(), nullptr, fd, c.buffer, c.pos, c.limit), -EINVAL);
        }
        struct {
            jlong address;
            jint pos, limit;
        } addressCases[] = {{address, 5, 4}, {address, INT_MIN, 0}, {0, 0, 4}, {0, 4096, 8192}};
        for (const auto& c : addressCases) {
            EXPECT_EQ(addressCalls[i](jvm.env(), nullptr, fd, c.address, c.pos, c.limit), -EINVAL);
        }
    }
    EXPECT_EQ(ovrel_fault_calls("write") + ovrel_fault_calls("read"), 0);
    EXPECT_FALSE(jvm.exceptionPending());
}

TEST_F(FdNatives, WritevRefusesCountsItCannotHold) {
    WritevCall writev = native<WritevCall>("writev");
    jobjectArray two = jvm.env()->NewObjectArray(2, nullptr, nullptr);
    struct {
        const char* name;
        jobjectArray array;
        jint offset, length;
    } cases[] = {
        {"no array", nullptr, 0, 1},
        {"negative length", two, 0, -1},
        {"more than IOV_MAX", two, 0, IOV_MAX + 1},
        {"negative offset", two, -1, 1},
        {"offset + length past INT_MAX", two, INT_MAX, 2},
        {"null element", two, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(writev(jvm.env(), nullptr, pipeFds[1], c.array, c.offset, c.length, 100), -EINVAL);
        EXPECT_FALSE(jvm.exceptionPending());
    }
    // Past the end: the JVM's own exception tells the caller what went wrong.
    EXPECT_EQ(writev(jvm.env(), nullptr, pipeFds[1], two, 2, 1, 100), -EINVAL);
    EXPECT_EQ(jvm.pendingClass(), "java/lang/ArrayIndexOutOfBoundsException");
    jvm.clearException();
    EXPECT_EQ(ovrel_fault_calls("writev"), 0);

    // No entries at all is still one (empty) gathering write.
    EXPECT_EQ(writev(jvm.env(), nullptr, pipeFds[1], two, 0, 0, 100), 0);
    EXPECT_EQ(ovrel_fault_calls("writev"), 1);
}

TEST_F(FdNatives, CloseCountsAnInterruptionAsDone) {
    int fd = dup(pipeFds[0]);
    CloseCall closeFd = native<CloseCall>("close");
    ovrel_fault_inject("close", EINTR, 1, 0);
    EXPECT_EQ(closeFd(jvm.env(), nullptr, fd), 0);
    EXPECT_EQ(ovrel_fault_calls("close"), 1) << "not closed a second time";
    EXPECT_EQ(closeFd(jvm.env(), nullptr, fd), 0);  // the wrapper kept it open; now it goes
    EXPECT_EQ(closeFd(jvm.env(), nullptr, fd), -EBADF);
}

TEST_F(FdNatives, OpenWithoutAPathIsRefused) {
    EXPECT_EQ(native<OpenCall>("open")(jvm.env(), nullptr, nullptr), -EINVAL);
    EXPECT_FALSE(jvm.exceptionPending());
}

}  // namespace
