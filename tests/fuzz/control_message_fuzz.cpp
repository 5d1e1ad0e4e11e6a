// The control-message walks of recvFd (descriptor passing) and of the datagram
// receive (the destination address), driven through the natives with a
// recvmsg that hands back what the input says: the control bytes and their
// length (never more than the buffer offered, as a kernel does), the flags,
// the sender's address, or a failure. Descriptors found in the control data
// are never really closed: close and fcntl are stood in for while a native
// runs, so that arbitrary numbers cannot touch the fuzzer's own descriptors.
#include <errno.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <set>
#include <vector>

#include "tests/cpp/support/fake_jni.h"
#include "unix/errors.h"
#include "unix/socket.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "control_message: %s\n", what);
        abort();
    }
}

// While a native runs under the fuzzer the stand-ins answer; otherwise (the
// fuzzer's own calls) the real functions do.
thread_local bool standIn = false;
FuzzedDataProvider* input = nullptr;

struct Received {
    ssize_t result;
    int err;
    std::vector<uint8_t> control;  // as delivered, msg_controllen bytes
    std::vector<uint8_t> name;
};
std::vector<Received> receives;
std::vector<int> closed;
const int kMaxReceives = 32;

const int kErrnos[] = {EINTR, EAGAIN, EBADF, ECONNREFUSED, EIO, EINVAL};

enum class Outcome { Data, End, Failure };

// What the next receive does, as the input says.
Outcome takeOutcome(Received* r) {
    if (input->remaining_bytes() == 0 || static_cast<int>(receives.size()) >= kMaxReceives) {
        // Out of input: the peer has gone. Ends every retry and skip loop.
        return Outcome::End;
    }
    uint8_t op = input->ConsumeIntegral<uint8_t>();
    if (op % 8 == 0) {
        r->result = -1;
        r->err = kErrnos[(op / 8) % (sizeof(kErrnos) / sizeof(kErrnos[0]))];
        return Outcome::Failure;
    }
    return Outcome::Data;
}

void fillName(void* name, socklen_t* length, Received* r) {
    if (name == nullptr || length == nullptr) {
        return;
    }
    size_t n = input->ConsumeIntegralInRange<size_t>(0, *length);
    r->name = input->ConsumeBytes<uint8_t>(n);
    r->name.resize(n, 0);
    if (n > 0) {
        memcpy(name, r->name.data(), n);
    }
    *length = static_cast<socklen_t>(n);
}

size_t payload(size_t capacity) { return input->ConsumeIntegralInRange<size_t>(0, capacity); }

int fdFlags() { return input->ConsumeBool() ? O_RDWR : -1; }

}  // namespace

extern "C" ssize_t __real_recvmsg(int fd, struct msghdr* msg, int flags);
extern "C" ssize_t __wrap_recvmsg(int fd, struct msghdr* msg, int flags) {
    if (!standIn) {
        return __real_recvmsg(fd, msg, flags);
    }
    Received r{0, 0, {}, {}};
    Outcome outcome = takeOutcome(&r);
    if (outcome == Outcome::Failure) {
        receives.push_back(r);
        errno = r.err;
        return -1;
    }
    if (outcome == Outcome::End) {
        msg->msg_controllen = 0;
        msg->msg_flags = 0;
        receives.push_back(r);
        return 0;
    }
    size_t capacity = 0;
    for (size_t i = 0; i < msg->msg_iovlen; ++i) {
        capacity += msg->msg_iov[i].iov_len;
    }
    r.result = static_cast<ssize_t>(payload(capacity));
    fillName(msg->msg_name, &msg->msg_namelen, &r);
    size_t controlLength = input->ConsumeIntegralInRange<size_t>(0, msg->msg_controllen);
    r.control = input->ConsumeBytes<uint8_t>(controlLength);
    r.control.resize(controlLength, 0);
    if (controlLength > 0) {
        memcpy(msg->msg_control, r.control.data(), controlLength);
    }
    msg->msg_controllen = controlLength;
    msg->msg_flags = input->ConsumeIntegral<int>();
    receives.push_back(r);
    return r.result;
}

extern "C" ssize_t __real_recvfrom(int fd, void* buf, size_t n, int flags, struct sockaddr* addr,
                                   socklen_t* len);
extern "C" ssize_t __wrap_recvfrom(int fd, void* buf, size_t n, int flags, struct sockaddr* addr,
                                   socklen_t* len) {
    if (!standIn) {
        return __real_recvfrom(fd, buf, n, flags, addr, len);
    }
    Received r{0, 0, {}, {}};
    Outcome outcome = takeOutcome(&r);
    if (outcome == Outcome::Failure) {
        receives.push_back(r);
        errno = r.err;
        return -1;
    }
    if (outcome == Outcome::End) {
        receives.push_back(r);
        return 0;
    }
    r.result = static_cast<ssize_t>(payload(n));
    fillName(addr, len, &r);
    receives.push_back(r);
    return r.result;
}

extern "C" int __real_getsockopt(int fd, int level, int name, void* value, socklen_t* len);
extern "C" int __wrap_getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    if (!standIn) {
        return __real_getsockopt(fd, level, name, value, len);
    }
    // Only the datagram receive asks, for whether destinations are reported.
    uint8_t op = input->ConsumeIntegral<uint8_t>();
    if (op % 16 == 0) {
        errno = op & 16 ? EBADF : EINVAL;
        return -1;
    }
    int on = op & 1;
    memcpy(value, &on, sizeof(on));
    *len = sizeof(on);
    return 0;
}

extern "C" int __real_close(int fd);
extern "C" int __wrap_close(int fd) {
    if (!standIn) {
        return __real_close(fd);
    }
    closed.push_back(fd);
    return 0;
}

extern "C" int __real_fcntl(int fd, int cmd, ...);
extern "C" int __wrap_fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (!standIn) {
        return __real_fcntl(fd, cmd, arg);
    }
    int result = cmd == F_GETFL ? fdFlags() : (input->ConsumeBool() ? 0 : -1);
    if (result < 0) {
        errno = EBADF;
    }
    return result;
}

namespace {

// Every 4-byte value in the control data of any receive: the only numbers a
// walk may take for descriptors.
std::set<int> candidateDescriptors() {
    std::set<int> values;
    for (const Received& r : receives) {
        for (size_t at = 0; at + sizeof(int) <= r.control.size(); at += sizeof(int)) {
            int v;
            memcpy(&v, r.control.data() + at, sizeof(v));
            values.insert(v);
        }
    }
    return values;
}

void fuzzRecvFd(fakejni::FakeJvm& jvm) {
    auto recvFd = reinterpret_cast<jint (*)(JNIEnv*, jclass, jint)>(
        jvm.nativeFunction("io/ovrel/channel/unix/Socket", "recvFd"));
    standIn = true;
    jint fd = recvFd(jvm.env(), nullptr, 1000);
    standIn = false;
    if (getenv("OVREL_FUZZ_TRACE") != nullptr) {
        // For reading a regression input: what each receive delivered.
        for (const Received& r : receives) {
            fprintf(stderr, "recvmsg -> %zd (errno %d), %zu control bytes\n", r.result, r.err,
                    r.control.size());
        }
        fprintf(stderr, "recvFd -> %d, %zu closed\n", fd, closed.size());
    }
    check(!receives.empty(), "no receive was made");
    const Received& last = receives.back();
    std::set<int> candidates = candidateDescriptors();
    for (int c : closed) {
        check(candidates.count(c) == 1, "closed a number that no message carried");
    }
    if (last.result < 0) {
        check(fd == -last.err && last.err != EINTR, "a failed receive must give -errno");
    } else if (last.result == 0) {
        check(fd == 0, "end of stream must give 0");
    } else if (last.control.size() < sizeof(cmsghdr)) {
        check(fd == -EBADMSG, "a message without control data must be refused");
    }
    if (fd > 0) {
        check(last.control.size() >= CMSG_LEN(sizeof(int)), "a descriptor from nowhere");
        int carried;
        memcpy(&carried, last.control.data() + CMSG_LEN(0), sizeof(carried));
        check(carried == fd, "the descriptor is not the first header's");
        for (int c : closed) {
            check(c != fd, "handed back a descriptor it had closed");
        }
    }
}

void fuzzRecvFrom(fakejni::FakeJvm& jvm) {
    auto recvFromAddress = reinterpret_cast<jobject (*)(JNIEnv*, jclass, jint, jlong, jint, jint)>(
        jvm.nativeFunction("io/ovrel/channel/unix/Socket", "recvFromAddress"));
    char buffer[64];
    standIn = true;
    jobject result = recvFromAddress(jvm.env(), nullptr, 1000, reinterpret_cast<jlong>(buffer), 0,
                                     sizeof(buffer));
    standIn = false;
    check(closed.empty(), "the datagram receive closed something");
    if (result == nullptr) {
        return;
    }
    check(!jvm.exceptionPending(), "an address came back with an exception pending");
    check(!receives.empty() && receives.back().result >= 0, "an address without a datagram");
    const Received& last = receives.back();
    fakejni::Object* sender = jvm.object(result);
    check(static_cast<jint>(sender->ctorArgs[3].j) == last.result, "byte count");
    jobject local = sender->ctorArgs[4].l;
    if (local == nullptr) {
        return;
    }
    // A destination may only come from a whole IP_ORIGDSTADDR message holding
    // an IPv4 address, at a header boundary inside the delivered bytes.
    std::vector<jbyte> got = jvm.object(jvm.object(local)->ctorArgs[0].l)->bytes;
    check(got.size() == 4, "the destination is an IPv4 address");
    bool found = false;
    const std::vector<uint8_t>& c = last.control;
    for (size_t at = 0; at + CMSG_LEN(sizeof(sockaddr_in)) <= c.size() && !found;
         at += CMSG_ALIGN(1)) {
        cmsghdr h;
        memcpy(&h, c.data() + at, sizeof(h));
        sockaddr_in a;
        memcpy(&a, c.data() + at + CMSG_LEN(0), sizeof(a));
        found = h.cmsg_level == IPPROTO_IP && h.cmsg_type == IP_ORIGDSTADDR &&
                h.cmsg_len >= CMSG_LEN(sizeof(sockaddr_in)) && h.cmsg_len <= c.size() - at &&
                a.sin_family == AF_INET && memcmp(&a.sin_addr, got.data(), 4) == 0;
    }
    check(found, "a destination that the control data does not hold");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    GTEST_FLAG_SET(break_on_failure, true);
    return 0;
}

namespace {

// Loading the two modules costs more than a walk, so one fake JVM serves a
// run of inputs; it is replaced now and then because it keeps every object
// the natives made.
fakejni::FakeJvm* jvm = nullptr;
int inputsOnThisJvm = 0;

void loadModules() {
    jvm = new fakejni::FakeJvm();
    // The two modules the walks need: errors (the receive raises through it) and socket.
    if (ovrel_unix_errors_JNI_OnLoad(jvm->env(), nullptr) != JNI_VERSION_1_6 ||
        ovrel_unix_socket_JNI_OnLoad(jvm->env(), nullptr) != JNI_VERSION_1_6) {
        abort();
    }
}

void unloadModules() {
    ovrel_unix_socket_JNI_OnUnLoad(jvm->env());
    ovrel_unix_errors_JNI_OnUnLoad(jvm->env());
    delete jvm;
    jvm = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (jvm == nullptr || ++inputsOnThisJvm > 2048) {
        if (jvm != nullptr) {
            unloadModules();
        }
        loadModules();
        inputsOnThisJvm = 0;
    }
    FuzzedDataProvider in(data, size);
    input = &in;
    receives.clear();
    closed.clear();
    jvm->clearException();
    if (in.ConsumeBool()) {
        fuzzRecvFd(*jvm);
    } else {
        fuzzRecvFrom(*jvm);
    }
    jvm->clearException();
    input = nullptr;
    return 0;
}
