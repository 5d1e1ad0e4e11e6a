#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include "kqueue/eventarray.h"
#include "kqueue/native.h"
#include "platform/event.h"
#include "tests/cpp/support/fake_jni.h"
#include "tests/fault/fault.h"
#include "unix/errors.h"

namespace {

using fakejni::FakeJvm;

typedef jint (*WaitFn)(JNIEnv*, jclass, jint, jlong, jint, jlong, jint, jint, jint);
typedef jint (*UserEventFn)(JNIEnv*, jclass, jint, jint);
typedef void (*EvSetFn)(JNIEnv*, jclass, jlong, jint, jshort, jshort, jint);
typedef jint (*IntFn)(JNIEnv*, jclass);
typedef jshort (*ShortFn)(JNIEnv*, jclass);

const char kNative[] = "io/ovrel/channel/kqueue/Native";

class KeventWait : public testing::Test {
protected:
    void SetUp() override {
        ovrel_fault_reset();
        ASSERT_EQ(ovrel_kqueue_native_register_natives(jvm.env(), nullptr), 0);
        wait = reinterpret_cast<WaitFn>(jvm.nativeFunction(kNative, "keventWait"));
        addUser = reinterpret_cast<UserEventFn>(jvm.nativeFunction(kNative, "keventAddUserEvent"));
        trigger = reinterpret_cast<UserEventFn>(jvm.nativeFunction(kNative, "keventTriggerUserEvent"));
        ASSERT_TRUE(wait && addUser && trigger);
        kq = kqueue();
        ASSERT_GE(kq, 0);
        ASSERT_EQ(pipe(fds), 0);
        memset(changes, 0, sizeof(changes));
        EV_SET(&changes[0], fds[0], EVFILT_READ, EV_ADD, 0, 0, nullptr);
    }
    void TearDown() override {
        close(kq);
        close(fds[0]);
        close(fds[1]);
        ovrel_fault_reset();
    }

    jint waitFor(int nchanges, jint sec, jint nsec) {
        return wait(jvm.env(), nullptr, kq, reinterpret_cast<jlong>(changes), nchanges,
                    reinterpret_cast<jlong>(events), 4, sec, nsec);
    }

    std::vector<ovrel_fault_kevent_call> keventCalls() {
        ovrel_fault_kevent_call calls[64];
        int n = ovrel_fault_kevent_calls(calls, 64);
        return std::vector<ovrel_fault_kevent_call>(calls, calls + n);
    }

    FakeJvm jvm;
    WaitFn wait = nullptr;
    UserEventFn addUser = nullptr;
    UserEventFn trigger = nullptr;
    int kq = -1;
    int fds[2];
    struct kevent changes[1];
    struct kevent events[4];
};

TEST_F(KeventWait, ZeroTimeoutPollsAndRetriesWithoutTheChanges) {
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    ovrel_fault_inject("kevent", EINTR, 2, 0);
    EXPECT_EQ(waitFor(1, 0, 0), 1);
    auto calls = keventCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].nchanges, 1);
    EXPECT_EQ(calls[1].nchanges, 0);
    EXPECT_EQ(calls[2].nchanges, 0);
    for (const auto& c : calls) {
        EXPECT_TRUE(c.timed) << "the native must never wait without a bound";
        EXPECT_EQ(c.timeout.tv_sec, 0);
        EXPECT_EQ(c.timeout.tv_nsec, 0);
        EXPECT_EQ(c.nevents, 4);
    }
}

TEST_F(KeventWait, InterruptedWaitContinuesWithTheTimeLeft) {
    const struct timespec readings[] = {{100, 0}, {100, 300000000}, {100, 900000000}};
    ovrel_fault_clock_script(readings, 3);
    ovrel_fault_inject("kevent", EINTR, 2, 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(waitFor(1, 1, 0), 1);
    auto calls = keventCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].nchanges, 1);
    EXPECT_EQ(calls[0].timeout.tv_sec, 1);
    EXPECT_EQ(calls[1].nchanges, 0);
    EXPECT_EQ(calls[1].timeout.tv_sec, 0);
    EXPECT_EQ(calls[1].timeout.tv_nsec, 700000000);
    // The second interruption counts only the time since the previous one.
    EXPECT_EQ(calls[2].timeout.tv_nsec, 100000000);
}

TEST_F(KeventWait, TimeRunOutAtAnInterruptionReturnsZeroWithoutAnotherCall) {
    const struct timespec readings[] = {{5, 0}, {5, 150000000}};
    ovrel_fault_clock_script(readings, 2);
    ovrel_fault_inject("kevent", EINTR, 1, 0);
    EXPECT_EQ(waitFor(1, 0, 100000000), 0);
    EXPECT_EQ(keventCalls().size(), 1u);
}

TEST_F(KeventWait, ExactlyNoTimeLeftPollsOnceMore) {
    const struct timespec readings[] = {{5, 0}, {6, 0}};
    ovrel_fault_clock_script(readings, 2);
    ovrel_fault_inject("kevent", EINTR, 1, 0);
    EXPECT_EQ(waitFor(1, 1, 0), 0);
    auto calls = keventCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].nchanges, 0);
    EXPECT_EQ(calls[1].timeout.tv_sec, 0);
    EXPECT_EQ(calls[1].timeout.tv_nsec, 0);
}

TEST_F(KeventWait, FailuresComeBackAsNegativeErrno) {
    int notOpen = dup(fds[0]);
    close(notOpen);
    EXPECT_EQ(wait(jvm.env(), nullptr, notOpen, 0, 0, reinterpret_cast<jlong>(events), 4, 0, 0),
              -EBADF);
    ovrel_fault_inject("kevent", EINTR, 1, 0);
    ovrel_fault_inject("kevent", EINVAL, 1, 0);
    EXPECT_EQ(waitFor(0, 0, 0), -EINVAL) << "a failure after an interruption is reported";
    ovrel_fault_inject("kevent", EINTR, 1, 0);
    ovrel_fault_inject("kevent", EINVAL, 1, 0);
    EXPECT_EQ(waitFor(0, 5, 0), -EINVAL);
    EXPECT_FALSE(jvm.exceptionPending());
}

TEST_F(KeventWait, UserEventsWakeAndReportInterruptionAsSuccess) {
    EXPECT_EQ(trigger(jvm.env(), nullptr, kq, 7), -ENOENT);
    EXPECT_EQ(addUser(jvm.env(), nullptr, kq, 7), 0);
    EXPECT_EQ(trigger(jvm.env(), nullptr, kq, 7), 0);
    ASSERT_EQ(waitFor(0, 0, 0), 1);
    EXPECT_EQ(events[0].ident, 7u);
    EXPECT_EQ(events[0].filter, EVFILT_USER);
    // EV_CLEAR: the trigger is consumed by its delivery.
    EXPECT_EQ(waitFor(0, 0, 0), 0);

    ovrel_fault_reset();
    ovrel_fault_inject("kevent", EINTR, 2, 0);
    EXPECT_EQ(addUser(jvm.env(), nullptr, kq, 8), 0);
    EXPECT_EQ(trigger(jvm.env(), nullptr, kq, 8), 0);
    for (const auto& c : keventCalls()) {
        EXPECT_EQ(c.nchanges, 1);
        EXPECT_EQ(c.nevents, 0) << "user-event changes must not wait for events";
    }
}

TEST(EventArray, EvSetSignExtendsTheIdentAndClearsTheRest) {
    FakeJvm jvm;
    ASSERT_EQ(ovrel_kqueue_eventarray_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
    auto evSet = reinterpret_cast<EvSetFn>(
        jvm.nativeFunction("io/ovrel/channel/kqueue/KQueueEventArray", "evSet"));
    ASSERT_NE(evSet, nullptr);
    struct kevent record;
    memset(&record, 0xab, sizeof(record));
    evSet(jvm.env(), nullptr, reinterpret_cast<jlong>(&record), -1, EVFILT_WRITE,
          static_cast<jshort>(EV_ADD | EV_CLEAR), 0x01000000);
    EXPECT_EQ(record.ident, ~static_cast<uintptr_t>(0));
    EXPECT_EQ(record.filter, EVFILT_WRITE);
    EXPECT_EQ(record.flags, EV_ADD | EV_CLEAR);
    EXPECT_EQ(record.fflags, 0x01000000u);
    EXPECT_EQ(record.data, 0);
    EXPECT_EQ(record.udata, nullptr);
    for (uint64_t word : record.ext) {
        EXPECT_EQ(word, 0u);
    }
}

TEST(KqueueConstants, ReportTheRecordLayoutAndFlags) {
    FakeJvm jvm;
    ASSERT_EQ(ovrel_kqueue_native_register_constants(jvm.env(), nullptr), 0);
    ASSERT_EQ(ovrel_kqueue_native_register_natives(jvm.env(), nullptr), 0);
    struct {
        const char* name;
        jint value;
    } layout[] = {{"sizeofKEvent", 64},        {"offsetofKEventIdent", 0},
                  {"offsetofKEventFlags", 10}, {"offsetofKEventFFlags", 12},
                  {"offsetofKEventFilter", 8}, {"offsetofKeventData", 16}};
    for (const auto& c : layout) {
        auto f = reinterpret_cast<IntFn>(jvm.nativeFunction(kNative, c.name));
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(f(jvm.env(), nullptr), c.value) << c.name;
    }
    const char* constants = "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods";
    struct {
        const char* name;
        jshort value;
    } flags[] = {{"evfiltRead", EVFILT_READ}, {"evfiltWrite", EVFILT_WRITE},
                 {"evfiltUser", EVFILT_USER}, {"evAdd", EV_ADD},
                 {"evEnable", EV_ENABLE},     {"evDisable", EV_DISABLE},
                 {"evDelete", EV_DELETE},     {"evClear", EV_CLEAR},
                 {"evEOF", -32768},           {"evError", EV_ERROR},
                 {"evfiltSock", 0},           {"noteReadClosed", 0},
                 {"noteConnReset", 0},        {"noteDisconnected", 0}};
    for (const auto& c : flags) {
        auto f = reinterpret_cast<ShortFn>(jvm.nativeFunction(constants, c.name));
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(f(jvm.env(), nullptr), c.value) << c.name;
    }
}

TEST(KqueueCreate, FailureRaisesChannelException) {
    FakeJvm jvm;
    ASSERT_EQ(ovrel_unix_errors_JNI_OnLoad(jvm.env(), nullptr), JNI_VERSION_1_6);
    ASSERT_EQ(ovrel_kqueue_native_register_natives(jvm.env(), nullptr), 0);
    auto create = reinterpret_cast<IntFn>(jvm.nativeFunction(kNative, "kqueueCreate"));
    jint kq = create(jvm.env(), nullptr);
    EXPECT_GE(kq, 0);
    close(kq);
    EXPECT_FALSE(jvm.exceptionPending());

    ovrel_fault_reset();
    ovrel_fault_inject("kqueue", EMFILE, 1, 0);
    EXPECT_EQ(create(jvm.env(), nullptr), -1);
    EXPECT_EQ(jvm.pendingClass(), "io/ovrel/channel/ChannelException");
    EXPECT_EQ(jvm.pendingMessage(), std::string("kqueue() failed: ") + strerror(EMFILE));
    ovrel_fault_reset();
    ovrel_unix_errors_JNI_OnUnLoad(jvm.env());
}

}  // namespace
