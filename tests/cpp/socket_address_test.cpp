#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "tests/cpp/support/fake_jni.h"
#include "unix/socket.h"

namespace {

using fakejni::FakeJvm;
using Bytes = std::vector<jbyte>;

Bytes ipv6(const char* text) {
    unsigned char raw[16];
    EXPECT_EQ(inet_pton(AF_INET6, text, raw), 1) << text;
    return Bytes(raw, raw + 16);
}

std::vector<uint8_t> unsignedBytes(const Bytes& b) { return std::vector<uint8_t>(b.begin(), b.end()); }

struct sockaddr_storage inet4(const char* text, int port) {
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    struct sockaddr_in* s = reinterpret_cast<struct sockaddr_in*>(&ss);
    s->sin_family = AF_INET;
    s->sin_port = htons(port);
    inet_pton(AF_INET, text, &s->sin_addr);
    return ss;
}

struct sockaddr_storage inet6(const char* text, int port, uint32_t scope) {
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    struct sockaddr_in6* s = reinterpret_cast<struct sockaddr_in6*>(&ss);
    s->sin6_family = AF_INET6;
    s->sin6_port = htons(port);
    s->sin6_scope_id = scope;
    inet_pton(AF_INET6, text, &s->sin6_addr);
    return ss;
}

// ---- Address argument to kernel address ------------------------------------

struct SockaddrCase {
    const char* name;
    Bytes address;
    jboolean ipv6;
    jint scopeId;
    jint port;
    int family;
    const char* expectedAddress;  // in the family's text form
    int expectedPort;
};

class InitSockaddr : public testing::TestWithParam<SockaddrCase> {
protected:
    FakeJvm jvm;
};

TEST_P(InitSockaddr, BuildsTheKernelAddress) {
    const SockaddrCase& c = GetParam();
    struct sockaddr_storage ss;
    memset(&ss, 0xAA, sizeof(ss));
    socklen_t len = 0;
    ASSERT_EQ(ovrel_unix_socket_initSockaddr(jvm.env(), c.ipv6, jvm.newByteArray(c.address),
                                             c.scopeId, c.port, &ss, &len),
              0);
    EXPECT_FALSE(jvm.exceptionPending());
    ASSERT_EQ(ss.ss_family, c.family);
    char text[INET6_ADDRSTRLEN] = {0};
    if (c.family == AF_INET) {
        const struct sockaddr_in* s = reinterpret_cast<struct sockaddr_in*>(&ss);
        EXPECT_EQ(len, sizeof(struct sockaddr_in));
        inet_ntop(AF_INET, &s->sin_addr, text, sizeof(text));
        EXPECT_EQ(ntohs(s->sin_port), c.expectedPort);
    } else {
        const struct sockaddr_in6* s = reinterpret_cast<struct sockaddr_in6*>(&ss);
        EXPECT_EQ(len, sizeof(struct sockaddr_in6));
        inet_ntop(AF_INET6, &s->sin6_addr, text, sizeof(text));
        EXPECT_EQ(ntohs(s->sin6_port), c.expectedPort);
        EXPECT_EQ(s->sin6_scope_id, static_cast<uint32_t>(c.scopeId));
        EXPECT_EQ(s->sin6_flowinfo, 0u);
    }
    EXPECT_STREQ(text, c.expectedAddress);
}

Bytes withGarbagePrefix(const char* ipv4) {
    Bytes b = ipv6("2001:db8:1:2:3:4:0:0");
    unsigned char raw[4];
    inet_pton(AF_INET, ipv4, raw);
    memcpy(b.data() + 12, raw, 4);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedCases, InitSockaddr,
    testing::Values(
        SockaddrCase{"MappedOnIPv4Socket", ipv6("::ffff:10.1.2.3"), JNI_FALSE, 0, 80, AF_INET,
                     "10.1.2.3", 80},
        SockaddrCase{"MappedOnIPv6SocketStaysMapped", ipv6("::ffff:10.1.2.3"), JNI_TRUE, 0, 80,
                     AF_INET6, "::ffff:10.1.2.3", 80},
        SockaddrCase{"MappedWildcardBecomesIPv6Wildcard", ipv6("::ffff:0.0.0.0"), JNI_TRUE, 0, 1,
                     AF_INET6, "::", 1},
        SockaddrCase{"MappedWildcardOnIPv4Socket", ipv6("::ffff:0.0.0.0"), JNI_FALSE, 0, 1, AF_INET,
                     "0.0.0.0", 1},
        SockaddrCase{"IPv6Wildcard", ipv6("::"), JNI_TRUE, 0, 1, AF_INET6, "::", 1},
        SockaddrCase{"LinkLocalKeepsScope", ipv6("fe80::1"), JNI_TRUE, 3, 443, AF_INET6, "fe80::1",
                     443},
        SockaddrCase{"IPv4IgnoresTheFirstTwelveBytes", withGarbagePrefix("192.0.2.9"), JNI_FALSE, 0,
                     9, AF_INET, "192.0.2.9", 9},
        SockaddrCase{"Port65536IsPort0", ipv6("::ffff:127.0.0.1"), JNI_FALSE, 0, 65536, AF_INET,
                     "127.0.0.1", 0},
        SockaddrCase{"Port70000KeepsItsLow16Bits", ipv6("::1"), JNI_TRUE, 0, 70000, AF_INET6, "::1",
                     4464},
        SockaddrCase{"NegativePortKeepsItsLow16Bits", ipv6("::1"), JNI_TRUE, 0, -1, AF_INET6, "::1",
                     65535},
        // Only JNI_TRUE selects IPv6.
        SockaddrCase{"FlagValueTwoIsNotIPv6", ipv6("::ffff:127.0.0.2"), 2, 0, 7, AF_INET,
                     "127.0.0.2", 7},
        // A short array is padded with zeros, never with whatever was on the stack.
        SockaddrCase{"ShortArrayIsZeroPadded", Bytes{0x7f, 0, 0, 1}, JNI_FALSE, 0, 7, AF_INET,
                     "0.0.0.0", 7},
        SockaddrCase{"OneByteArrayIsZeroPadded", Bytes{0x7f}, JNI_TRUE, 0, 7, AF_INET6, "7f00::", 7}),
    [](const testing::TestParamInfo<SockaddrCase>& info) { return std::string(info.param.name); });

TEST(InitSockaddrRefusal, SeventeenBytesOrNoArrayWriteNothing) {
    FakeJvm jvm;
    struct {
        jbyteArray array;
        int result;
    } cases[] = {
        {jvm.newByteArray(Bytes(17, 1)), -1},
        {nullptr, -EINVAL},
    };
    for (const auto& c : cases) {
        for (jboolean v6 : {JNI_FALSE, JNI_TRUE}) {
            struct sockaddr_storage ss;
            memset(&ss, 0xAA, sizeof(ss));
            socklen_t len = 12345;
            EXPECT_EQ(ovrel_unix_socket_initSockaddr(jvm.env(), v6, c.array, 0, 80, &ss, &len),
                      c.result);
            EXPECT_EQ(len, 12345u);
            const unsigned char* raw = reinterpret_cast<unsigned char*>(&ss);
            for (size_t i = 0; i < sizeof(ss); ++i) {
                ASSERT_EQ(raw[i], 0xAA) << "byte " << i << " written";
            }
            EXPECT_FALSE(jvm.exceptionPending());
        }
    }
}

TEST(InitSockaddrRefusal, IPv4WritesOnlyItsOwnFields) {
    // Callers zero the storage; the conversion itself must not depend on it
    // nor scribble past the fields it owns.
    FakeJvm jvm;
    struct sockaddr_storage ss;
    memset(&ss, 0xAA, sizeof(ss));
    socklen_t len;
    ASSERT_EQ(ovrel_unix_socket_initSockaddr(jvm.env(), JNI_FALSE, jvm.newByteArray(ipv6("::ffff:1.2.3.4")),
                                             0, 80, &ss, &len),
              0);
    const unsigned char* raw = reinterpret_cast<unsigned char*>(&ss);
    for (size_t i = sizeof(struct sockaddr_in); i < sizeof(ss); ++i) {
        ASSERT_EQ(raw[i], 0xAA) << "byte " << i << " written";
    }
}

// ---- Kernel address to encoding ---------------------------------------------

struct SocketAddressEncodingCase {
    const char* name;
    struct sockaddr_storage address;
    int ipLength;
    std::vector<uint8_t> encoded;
};

class SocketAddressEncoding : public testing::TestWithParam<SocketAddressEncodingCase> {
protected:
    FakeJvm jvm;
};

TEST_P(SocketAddressEncoding, MatchesTheWorkedBytes) {
    const SocketAddressEncodingCase& c = GetParam();
    EXPECT_EQ(ovrel_unix_socket_ipAddressLength(&c.address), c.ipLength);
    jbyteArray array = ovrel_unix_socket_createInetSocketAddressArray(jvm.env(), &c.address);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(unsignedBytes(jvm.bytesOf(array)), c.encoded);
    EXPECT_FALSE(jvm.exceptionPending());
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedCases, SocketAddressEncoding,
    testing::Values(
        SocketAddressEncodingCase{"Loopback8080", inet4("127.0.0.1", 8080), 4,
                     {0x7f, 0x00, 0x00, 0x01, 0x00, 0x00, 0x1f, 0x90}},
        SocketAddressEncodingCase{"LinkLocalWithScope", inet6("fe80::1", 443, 3), 16,
                     cat({{0xfe, 0x80}, std::vector<uint8_t>(13, 0), {0x01},
                          {0x00, 0x00, 0x00, 0x03}, {0x00, 0x00, 0x01, 0xbb}})},
        SocketAddressEncodingCase{"MappedBecomesIPv4Form", inet6("::ffff:192.0.2.7", 53, 9), 4,
                     {0xc0, 0x00, 0x02, 0x07, 0x00, 0x00, 0x00, 0x35}},
        SocketAddressEncodingCase{"LoopbackIsNotMapped", inet6("::1", 1, 0), 16,
                     cat({std::vector<uint8_t>(15, 0), {0x01}, {0, 0, 0, 0}, {0, 0, 0, 1}})},
        SocketAddressEncodingCase{"CompatibleFormIsNotMapped", inet6("::10.1.2.3", 2, 0), 16,
                     cat({std::vector<uint8_t>(12, 0), {10, 1, 2, 3}, {0, 0, 0, 0}, {0, 0, 0, 2}})},
        SocketAddressEncodingCase{"ScopeAndPortAreBigEndian", inet6("2001:db8::5", 65535, 0x01020304), 16,
                     cat({{0x20, 0x01, 0x0d, 0xb8}, std::vector<uint8_t>(11, 0), {0x05},
                          {0x01, 0x02, 0x03, 0x04}, {0x00, 0x00, 0xff, 0xff}})}),
    [](const testing::TestParamInfo<SocketAddressEncodingCase>& info) { return std::string(info.param.name); });

TEST(SocketAddressEncodingFailure, NoArrayMeansNullWithTheJvmErrorPending) {
    FakeJvm jvm;
    jvm.failNewByteArrayAt = 1;
    struct sockaddr_storage ss = inet4("127.0.0.1", 1);
    EXPECT_EQ(ovrel_unix_socket_createInetSocketAddressArray(jvm.env(), &ss), nullptr);
    EXPECT_EQ(jvm.pendingClass(), "java/lang/OutOfMemoryError");
}

}  // namespace
