// The socket-address conversions through the fake JVM, against the encoding
// rules written out again here: Java's address argument (at most 16 bytes,
// scope, port, IPv6 flag) to a kernel address, and any kernel address bytes to
// the 8- or 24-byte encoding Java reads back.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>

#include <vector>

#include "tests/cpp/support/fake_jni.h"
#include "unix/socket.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "socket_address: %s\n", what);
        abort();
    }
}

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

void fuzzInitSockaddr(FuzzedDataProvider& in) {
    const bool ipv6 = in.ConsumeBool();
    const int32_t scope = in.ConsumeIntegral<int32_t>();
    const int32_t port = in.ConsumeIntegral<int32_t>();
    std::vector<uint8_t> address = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 24));

    fakejni::FakeJvm jvm;
    jbyteArray array = jvm.newByteArray(std::vector<jbyte>(address.begin(), address.end()));
    sockaddr_storage storage;
    memset(&storage, 0xab, sizeof(storage));
    socklen_t length = 0xabab;
    int result = ovrel_unix_socket_initSockaddr(jvm.env(), ipv6 ? JNI_TRUE : JNI_FALSE, array,
                                                scope, port, &storage, &length);
    check(!jvm.exceptionPending(), "raised an exception");
    if (address.size() > 16) {
        sockaddr_storage untouched;
        memset(&untouched, 0xab, sizeof(untouched));
        check(result == -1, "an address over 16 bytes was taken");
        check(memcmp(&storage, &untouched, sizeof(storage)) == 0 && length == 0xabab,
              "a refused address still wrote its outputs");
        return;
    }
    check(result == 0, "a valid address was refused");
    uint8_t copy[16] = {0};
    if (!address.empty()) {
        memcpy(copy, address.data(), address.size());
    }
    const uint16_t wirePort = htons(static_cast<uint16_t>(port & 0xffff));
    if (ipv6) {
        const sockaddr_in6* s = reinterpret_cast<const sockaddr_in6*>(&storage);
        check(length == sizeof(sockaddr_in6), "IPv6 length");
        check(s->sin6_family == AF_INET6 && s->sin6_port == wirePort && s->sin6_flowinfo == 0 &&
                  s->sin6_scope_id == static_cast<uint32_t>(scope),
              "IPv6 fields");
        uint8_t mappedAny[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
        uint8_t any[16] = {0};
        const bool wildcard = memcmp(copy, any, 16) == 0 || memcmp(copy, mappedAny, 16) == 0;
        check(memcmp(s->sin6_addr.s6_addr, wildcard ? any : copy, 16) == 0, "IPv6 address");
    } else {
        const sockaddr_in* s = reinterpret_cast<const sockaddr_in*>(&storage);
        check(length == sizeof(sockaddr_in), "IPv4 length");
        check(s->sin_family == AF_INET && s->sin_port == wirePort, "IPv4 fields");
        check(memcmp(&s->sin_addr, copy + 12, 4) == 0, "IPv4 address from bytes 12 to 15");
    }
}

void fuzzEncoding(FuzzedDataProvider& in) {
    sockaddr_storage storage;
    memset(&storage, 0, sizeof(storage));
    std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(sizeof(storage));
    if (!raw.empty()) {
        memcpy(&storage, raw.data(), raw.size());
    }
    if (in.ConsumeBool()) {
        storage.ss_family = in.ConsumeBool() ? AF_INET : AF_INET6;
    }

    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    const bool inet = storage.ss_family == AF_INET;
    const bool mapped = !inet && memcmp(v6->sin6_addr.s6_addr, kMappedPrefix, 12) == 0;
    const int ipLength = ovrel_unix_socket_ipAddressLength(&storage);
    check(ipLength == (inet || mapped ? 4 : 16), "IP address length");

    fakejni::FakeJvm jvm;
    jvm.failNewByteArrayAt = in.ConsumeBool() ? 1 : 0;
    jbyteArray array = ovrel_unix_socket_createInetSocketAddressArray(jvm.env(), &storage);
    if (jvm.failNewByteArrayAt != 0) {
        check(array == nullptr && jvm.exceptionPending(), "a refused array must give null");
        return;
    }
    check(array != nullptr && !jvm.exceptionPending(), "encoding failed");
    std::vector<jbyte> got = jvm.bytesOf(array);
    std::vector<uint8_t> want;
    const uint16_t port = ntohs(inet ? v4->sin_port : v6->sin6_port);
    if (inet || mapped) {
        const uint8_t* ip = inet ? reinterpret_cast<const uint8_t*>(&v4->sin_addr)
                                 : v6->sin6_addr.s6_addr + 12;
        want.assign(ip, ip + 4);
    } else {
        want.assign(v6->sin6_addr.s6_addr, v6->sin6_addr.s6_addr + 16);
        const uint32_t scope = v6->sin6_scope_id;
        for (int shift = 24; shift >= 0; shift -= 8) {
            want.push_back(static_cast<uint8_t>(scope >> shift));
        }
    }
    want.insert(want.end(), {0, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)});
    check(got.size() == want.size() && memcmp(got.data(), want.data(), want.size()) == 0,
          "encoding differs from the rule");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The fake JVM reports misuse through gtest assertions: make them crash.
    GTEST_FLAG_SET(break_on_failure, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        fuzzInitSockaddr(in);
    } else {
        fuzzEncoding(in);
    }
    return 0;
}
