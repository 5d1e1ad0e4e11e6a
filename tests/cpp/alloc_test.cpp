// The natives an event loop calls for every event, every read and every write
// must not touch the C heap: a malloc there costs more than the system call it
// wraps, and takes a lock that other loop threads contend for.
//
// This binary replaces malloc, calloc, realloc and free (forwarding to glibc's
// own allocator), so every heap call of the process goes through the counters
// below, whether it comes from the library's code, the C++ runtime linked
// under it or the C library. Counting is switched on per thread, only around
// the calls under test. The link-time --wrap of malloc/calloc/strndup
// (tests/fault) is consulted too, which also works under the sanitizers,
// where the sanitizer runtime owns malloc and the replacement is left out.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "kqueue/eventarray.h"
#include "kqueue/native.h"
#include "platform/event.h"
#include "tests/cpp/support/fake_jni.h"
#include "tests/fault/fault.h"
#include "unix/errors.h"
#include "unix/filedescriptor.h"
#include "unix/socket.h"

#if defined(__SANITIZE_ADDRESS__)
#define OVREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OVREL_SANITIZED 1
#endif
#endif

namespace {

struct HeapCalls {
    long mallocs = 0;
    long callocs = 0;
    long reallocs = 0;
    long aligned = 0;
    long frees = 0;
    long total() const { return mallocs + callocs + reallocs + aligned + frees; }
};

// Plain thread-locals: read inside malloc, they must need no initialisation
// that could itself allocate.
__thread bool t_counting = false;
__thread HeapCalls t_calls;

}  // namespace

#ifndef OVREL_SANITIZED
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    if (t_counting) t_calls.mallocs++;
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t size) {
    if (t_counting) t_calls.callocs++;
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t n) {
    if (t_counting) t_calls.reallocs++;
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (t_counting && p != nullptr) t_calls.frees++;
    __libc_free(p);
}
void* memalign(size_t alignment, size_t n) {
    if (t_counting) t_calls.aligned++;
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
    if (t_counting) t_calls.aligned++;
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    if (t_counting) t_calls.aligned++;
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}
#endif

namespace {

using fakejni::FakeJvm;

// Counts every heap call made by this thread while it lives.
class Counting {
public:
    Counting() {
        ovrel_fault_alloc_arm(0);
        t_calls = HeapCalls{};
        t_counting = true;
    }
    ~Counting() { stop(); }
    void stop() {
        if (!t_counting) return;
        t_counting = false;
        report_ = ovrel_fault_alloc_disarm();
    }
    // "" when nothing was allocated or freed; otherwise what was.
    std::string problems() {
        stop();
        std::string out;
        if (t_calls.total() != 0) {
            out += "malloc " + std::to_string(t_calls.mallocs) + ", calloc " +
                   std::to_string(t_calls.callocs) + ", realloc " +
                   std::to_string(t_calls.reallocs) + ", aligned " +
                   std::to_string(t_calls.aligned) + ", free " + std::to_string(t_calls.frees);
        }
        if (report_.calls != 0 || report_.live != 0) {
            out += (out.empty() ? "" : "; ") + std::string("library allocations ") +
                   std::to_string(report_.calls) + ", still held " + std::to_string(report_.live);
        }
        return out;
    }

private:
    ovrel_fault_alloc_report report_{};
};

constexpr int kCalls = 2000;
constexpr int kWarmUp = 8;

const char kFd[] = "io/ovrel/channel/unix/FileDescriptor";
const char kSocket[] = "io/ovrel/channel/unix/Socket";
const char kNative[] = "io/ovrel/channel/kqueue/Native";
const char kEventArray[] = "io/ovrel/channel/kqueue/KQueueEventArray";

typedef jint (*ReadWriteFn)(JNIEnv*, jclass, jint, jobject, jint, jint);
typedef jint (*ReadWriteAddressFn)(JNIEnv*, jclass, jint, jlong, jint, jint);
typedef jlong (*WritevFn)(JNIEnv*, jclass, jint, jobjectArray, jint, jint, jlong);
typedef jlong (*WritevAddressesFn)(JNIEnv*, jclass, jint, jlong, jint);
typedef jint (*WaitFn)(JNIEnv*, jclass, jint, jlong, jint, jlong, jint, jint, jint);
typedef void (*EvSetFn)(JNIEnv*, jclass, jlong, jint, jshort, jshort, jint);
typedef jint (*SendToFn)(JNIEnv*, jclass, jint, jboolean, jobject, jint, jint, jbyteArray, jint,
                         jint);
typedef jint (*SendToAddressFn)(JNIEnv*, jclass, jint, jboolean, jlong, jint, jint, jbyteArray,
                                jint, jint);
typedef jint (*SendToAddressesFn)(JNIEnv*, jclass, jint, jboolean, jlong, jint, jbyteArray, jint,
                                  jint);

class HotNativesAllocate : public testing::Test {
protected:
    void SetUp() override {
        ovrel_fault_reset();
        JNIEnv* env = jvm.env();
        ASSERT_EQ(ovrel_unix_errors_JNI_OnLoad(env, nullptr), JNI_VERSION_1_6);
        ASSERT_EQ(ovrel_unix_filedescriptor_JNI_OnLoad(env, nullptr), JNI_VERSION_1_6);
        ASSERT_EQ(ovrel_unix_socket_JNI_OnLoad(env, nullptr), JNI_VERSION_1_6);
        ASSERT_EQ(ovrel_kqueue_eventarray_JNI_OnLoad(env, nullptr), JNI_VERSION_1_6);
        ASSERT_EQ(ovrel_kqueue_native_register_natives(env, nullptr), 0);
        ASSERT_FALSE(jvm.exceptionPending());
        int p[2];
        ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
        rfd = p[0];
        wfd = p[1];
    }
    void TearDown() override {
        for (int fd : {rfd, wfd, udpIn, udpOut, kq}) {
            if (fd >= 0) close(fd);
        }
        ovrel_unix_socket_JNI_OnUnLoad(jvm.env());
        ovrel_unix_errors_JNI_OnUnLoad(jvm.env());
        ovrel_fault_reset();
    }

    template <typename F>
    F native(const char* cls, const char* name) {
        void* f = jvm.nativeFunction(cls, name);
        EXPECT_NE(f, nullptr) << cls << "." << name;
        return reinterpret_cast<F>(f);
    }

    // Runs one call kWarmUp times uncounted (first calls may size reusable
    // buffers), then kCalls times counted; every call must succeed.
    template <typename Call>
    void expectNoHeap(const char* what, Call call) {
        for (int i = 0; i < kWarmUp; i++) {
            ASSERT_TRUE(call()) << what << " failed in warm-up: " << strerror(errno);
        }
        Counting counting;
        int failed = 0;
        for (int i = 0; i < kCalls; i++) {
            failed += call() ? 0 : 1;
        }
        std::string problems = counting.problems();
        EXPECT_EQ(failed, 0) << what;
        EXPECT_EQ(problems, "") << what << " used the heap over " << kCalls << " calls";
        EXPECT_FALSE(jvm.exceptionPending()) << what << ": " << jvm.pendingMessage();
    }

    void drain() {
        char scratch[4096];
        while (read(rfd, scratch, sizeof(scratch)) > 0) {
        }
    }

    void openUdp(int* port) {
        udpIn = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        udpOut = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(udpIn, 0);
        ASSERT_GE(udpOut, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        ASSERT_EQ(bind(udpIn, reinterpret_cast<sockaddr*>(&a), len), 0);
        ASSERT_EQ(getsockname(udpIn, reinterpret_cast<sockaddr*>(&a), &len), 0);
        *port = ntohs(a.sin_port);
    }

    FakeJvm jvm;
    int rfd = -1;
    int wfd = -1;
    int udpIn = -1;
    int udpOut = -1;
    int kq = -1;
    char data[4096] = {0};
};

TEST_F(HotNativesAllocate, NotInReadsAndWrites) {
    JNIEnv* env = jvm.env();
    jobject buffer = jvm.newDirectBuffer(data, sizeof(data));
    auto read0 = native<ReadWriteFn>(kFd, "read");
    auto readAddress = native<ReadWriteAddressFn>(kFd, "readAddress");
    auto write0 = native<ReadWriteFn>(kFd, "write");
    auto writeAddress = native<ReadWriteAddressFn>(kFd, "writeAddress");
    const jlong address = reinterpret_cast<jlong>(data);

    expectNoHeap("write", [&] { return write0(env, nullptr, wfd, buffer, 0, 1) == 1; });
    expectNoHeap("writeAddress", [&] { return writeAddress(env, nullptr, wfd, address, 0, 1) == 1; });
    expectNoHeap("read", [&] { return read0(env, nullptr, rfd, buffer, 0, 1) == 1; });
    expectNoHeap("readAddress", [&] { return readAddress(env, nullptr, rfd, address, 0, 1) == 1; });
    // And when there is nothing to read: the EAGAIN path is just as hot.
    drain();
    expectNoHeap("read (EAGAIN)", [&] { return read0(env, nullptr, rfd, buffer, 0, 1) == -EAGAIN; });
}

TEST_F(HotNativesAllocate, NotInGatheringWrites) {
    JNIEnv* env = jvm.env();
    constexpr int kBuffers = 8;
    std::vector<jobject> buffers;
    for (int i = 0; i < kBuffers; i++) {
        jobject b = jvm.newDirectBuffer(data + i * 16, 16);
        jvm.object(b)->position = 2;
        jvm.object(b)->limit = 10;
        buffers.push_back(b);
    }
    fakejni::Object array;
    array.kind = "array";
    array.className = "[Ljava/nio/ByteBuffer;";
    array.elements = buffers;
    jobjectArray arrayRef = static_cast<jobjectArray>(jvm.make(array));
    iovec iov[kBuffers];
    for (int i = 0; i < kBuffers; i++) {
        iov[i].iov_base = data + i * 16;
        iov[i].iov_len = 8;
    }
    auto writev0 = native<WritevFn>(kFd, "writev");
    auto writevAddresses = native<WritevAddressesFn>(kFd, "writevAddresses");

    int calls = 0;
    auto room = [&] {
        if (++calls % 256 == 0) drain();  // 2000 calls of 64 bytes would fill the pipe
    };
    expectNoHeap("writev", [&] {
        room();
        return writev0(env, nullptr, wfd, arrayRef, 0, kBuffers, LLONG_MAX) == kBuffers * 8;
    });
    expectNoHeap("writevAddresses", [&] {
        room();
        return writevAddresses(env, nullptr, wfd, reinterpret_cast<jlong>(iov), kBuffers) ==
               kBuffers * 8;
    });
}

TEST(HotNativesAllocateNot, InGatheringWritesThroughAccessorMethods) {
    // A JVM that hides Buffer's fields: the native calls position()/limit().
    FakeJvm jvm;
    jvm.missingFields = {"position", "limit"};
    JNIEnv* env = jvm.env();
    ovrel_fault_reset();
    ASSERT_EQ(ovrel_unix_filedescriptor_JNI_OnLoad(env, nullptr), JNI_VERSION_1_6);
    jvm.clearException();
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    static char data[64];
    std::vector<jobject> buffers;
    for (int i = 0; i < 4; i++) {
        buffers.push_back(jvm.newDirectBuffer(data + i * 16, 16));
    }
    fakejni::Object array;
    array.kind = "array";
    array.elements = buffers;
    jobjectArray arrayRef = static_cast<jobjectArray>(jvm.make(array));
    auto writev0 = reinterpret_cast<WritevFn>(jvm.nativeFunction(kFd, "writev"));
    ASSERT_NE(writev0, nullptr);
    int calls = 0;
    auto once = [&] {
        if (++calls % 64 == 0) {
            char scratch[4096];
            while (read(p[0], scratch, sizeof(scratch)) > 0) {
            }
        }
        return writev0(env, nullptr, p[1], arrayRef, 0, 4, LLONG_MAX) == 64;
    };
    for (int i = 0; i < kWarmUp; i++) ASSERT_TRUE(once());
    Counting counting;
    int failed = 0;
    for (int i = 0; i < kCalls; i++) failed += once() ? 0 : 1;
    EXPECT_EQ(counting.problems(), "");
    EXPECT_EQ(failed, 0);
    EXPECT_GT(jvm.methodNames.size(), 0u);
    close(p[0]);
    close(p[1]);
}

TEST_F(HotNativesAllocate, NotInWaitsOrChangeRecords) {
    JNIEnv* env = jvm.env();
    auto wait = native<WaitFn>(kNative, "keventWait");
    auto evSet = native<EvSetFn>(kEventArray, "evSet");
    kq = kqueue();
    ASSERT_GE(kq, 0);
    struct kevent changes[2];
    struct kevent events[64];
    const jlong changeList = reinterpret_cast<jlong>(changes);
    const jlong eventList = reinterpret_cast<jlong>(events);

    expectNoHeap("evSet", [&] {
        evSet(env, nullptr, changeList, rfd, EVFILT_READ, EV_ADD, 0);
        return changes[0].ident == uintptr_t(rfd);
    });
    // Registered once; after that, waits with nothing ready and with an event.
    ASSERT_EQ(wait(env, nullptr, kq, changeList, 1, eventList, 64, 0, 0), 0);
    expectNoHeap("keventWait (poll, nothing ready)",
                 [&] { return wait(env, nullptr, kq, 0, 0, eventList, 64, 0, 0) == 0; });
    expectNoHeap("keventWait (1 us, nothing ready)",
                 [&] { return wait(env, nullptr, kq, 0, 0, eventList, 64, 0, 1000) == 0; });
    ASSERT_EQ(write(wfd, "x", 1), 1);
    expectNoHeap("keventWait (one ready)",
                 [&] { return wait(env, nullptr, kq, 0, 0, eventList, 64, 0, 0) == 1; });
    // Changes that toggle the filter ride along with the wait, as an event loop does.
    evSet(env, nullptr, changeList, rfd, EVFILT_READ, EV_DISABLE, 0);
    evSet(env, nullptr, changeList + sizeof(struct kevent), rfd, EVFILT_READ, EV_ENABLE, 0);
    expectNoHeap("keventWait (changes and one ready)",
                 [&] { return wait(env, nullptr, kq, changeList, 2, eventList, 64, 0, 0) == 1; });
    // Edge-triggered write interest, as the demo's loops register it.
    evSet(env, nullptr, changeList, wfd, EVFILT_WRITE, EV_ADD | EV_CLEAR, 0);
    ASSERT_EQ(wait(env, nullptr, kq, changeList, 1, eventList, 64, 0, 0), 2);
    expectNoHeap("keventWait (edge-triggered, quiet)",
                 [&] { return wait(env, nullptr, kq, 0, 0, eventList, 64, 0, 0) == 1; });

    // The demo's socket registration: level read and edge-triggered write on one
    // descriptor, so the read filter is carried and re-polled on every wait.
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, s), 0);
    ASSERT_EQ(write(s[1], "y", 1), 1);
    evSet(env, nullptr, changeList, s[0], EVFILT_READ, EV_ADD, 0);
    evSet(env, nullptr, changeList + sizeof(struct kevent), s[0], EVFILT_WRITE,
          EV_ADD | EV_CLEAR, 0);
    ASSERT_EQ(wait(env, nullptr, kq, changeList, 2, eventList, 64, 0, 0), 3);
    expectNoHeap("keventWait (carried level filter)",
                 [&] { return wait(env, nullptr, kq, 0, 0, eventList, 64, 0, 0) == 2; });
    close(s[0]);
    close(s[1]);
}

TEST_F(HotNativesAllocate, NotInDatagramSends) {
    JNIEnv* env = jvm.env();
    int port = 0;
    openUdp(&port);
    // IPv4-mapped 127.0.0.1, as the Java side hands it over.
    std::vector<jbyte> loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, 127, 0, 0, 1};
    jbyteArray address = jvm.newByteArray(loopback);
    jobject buffer = jvm.newDirectBuffer(data, sizeof(data));
    iovec iov[2] = {{data, 32}, {data + 32, 32}};
    auto sendTo = native<SendToFn>(kSocket, "sendTo");
    auto sendToAddress = native<SendToAddressFn>(kSocket, "sendToAddress");
    auto sendToAddresses = native<SendToAddressesFn>(kSocket, "sendToAddresses");

    expectNoHeap("sendTo", [&] {
        return sendTo(env, nullptr, udpOut, JNI_FALSE, buffer, 0, 64, address, 0, port) == 64;
    });
    expectNoHeap("sendToAddress", [&] {
        return sendToAddress(env, nullptr, udpOut, JNI_FALSE, reinterpret_cast<jlong>(data), 0, 64,
                             address, 0, port) == 64;
    });
    expectNoHeap("sendToAddresses", [&] {
        return sendToAddresses(env, nullptr, udpOut, JNI_FALSE, reinterpret_cast<jlong>(iov), 2,
                               address, 0, port) == 64;
    });
}

// The counters themselves: a test that could not see an allocation would pass
// whatever the natives did.
TEST(HeapCounting, SeesAllocationsFromCAndCxx) {
#ifdef OVREL_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime owns malloc; only the library's own calls are counted";
#else
    Counting counting;
    void* volatile p = malloc(24);
    free(p);
    std::vector<int>* volatile v = new std::vector<int>(100);
    delete v;
    std::string problems = counting.problems();
    EXPECT_NE(problems.find("malloc 3"), std::string::npos) << problems;
    EXPECT_NE(problems.find("free 3"), std::string::npos) << problems;
#endif
}

}  // namespace
