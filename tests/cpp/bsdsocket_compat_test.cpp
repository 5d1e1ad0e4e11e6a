// The Linux stand-ins for the BSD socket interfaces, tested directly: record
// layouts, LOCAL_PEERCRED, SO_ACCEPTFILTER and the BSD-signature sendfile.
#if defined(__linux__)

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/un.h>
#include <grp.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/bsd_socket.h"
#include "tests/cpp/support/fd.h"

namespace {

// ---- helpers ----------------------------------------------------------------

using ovrel_test::Fd;

int listeningTcpSocket(int backlog = 4) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 ||
        listen(s, backlog) < 0) {
        ADD_FAILURE() << "cannot listen on loopback: " << strerror(errno);
    }
    return s;
}

// A connected loopback TCP pair; buffers shrunk when asked, so that a peer
// that does not read stops the sender after a little data.
struct TcpPair {
    Fd sender;
    Fd receiver;
};

void makeTcpPair(TcpPair* pair, int bufferSize = 0) {
    Fd listener(listeningTcpSocket());
    struct sockaddr_in address = {};
    socklen_t len = sizeof(address);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &len), 0);
    pair->sender.reset(socket(AF_INET, SOCK_STREAM, 0));
    if (bufferSize > 0) {
        ASSERT_EQ(setsockopt(pair->sender, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof(int)), 0);
        ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(int)), 0);
    }
    ASSERT_EQ(connect(pair->sender, reinterpret_cast<sockaddr*>(&address), len), 0);
    pair->receiver.reset(accept(listener, nullptr, nullptr));
    ASSERT_GE(pair->receiver, 0);
    // Every read of a test ends, even when the bytes it waits for never come.
    struct timeval timeout = {5, 0};
    setsockopt(pair->receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(pair->sender, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

// A temporary regular file holding a known byte pattern; unlinked at once.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return bytes;
}

int temporaryFile(const std::string& content) {
    char path[] = "/tmp/ovrel-bsdsocket-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        return -1;
    }
    unlink(path);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        ADD_FAILURE() << "cannot fill the temporary file";
    }
    return fd;
}

// Reads until `expected` bytes came, the peer closed, or the read timed out.
std::string readUpTo(int fd, size_t expected) {
    std::string received;
    char buffer[65536];
    while (received.size() < expected) {
        ssize_t n = read(fd, buffer, std::min(sizeof(buffer), expected - received.size()));
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

// Whatever is in the receive queue right now.
std::string drain(int fd) {
    std::string received;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// ---- layouts ----------------------------------------------------------------

struct FieldLayout {
    const char* field;
    size_t offset;
    size_t expected;
};

TEST(BsdRecordLayout, XucredHasFreeBsdOffsetsAndSize) {
    const FieldLayout fields[] = {
        {"cr_version", offsetof(struct xucred, cr_version), 0},
        {"cr_uid", offsetof(struct xucred, cr_uid), 4},
        {"cr_ngroups", offsetof(struct xucred, cr_ngroups), 8},
        {"cr_groups", offsetof(struct xucred, cr_groups), 12},
        {"cr_pid", offsetof(struct xucred, cr_pid), 80},
        {"sizeof", sizeof(struct xucred), 88},
    };
    for (const FieldLayout& f : fields) {
        EXPECT_EQ(f.offset, f.expected) << f.field;
    }
    EXPECT_EQ(sizeof(((struct xucred*)nullptr)->cr_groups), 64u);
    EXPECT_EQ(sizeof(((struct xucred*)nullptr)->cr_ngroups), 2u);
}

TEST(BsdRecordLayout, AcceptFilterArgIsNameThenArgument) {
    EXPECT_EQ(offsetof(struct accept_filter_arg, af_name), 0u);
    EXPECT_EQ(offsetof(struct accept_filter_arg, af_arg), 16u);
    EXPECT_EQ(sizeof(struct accept_filter_arg), 256u);
}

TEST(BsdRecordLayout, OptionNamesMapOntoLinux) {
    EXPECT_EQ(TCP_NOPUSH, TCP_CORK);
    // Not FreeBSD's 0: on Linux that level is IPPROTO_IP, whose option 1 is IP_TOS.
    EXPECT_NE(SOL_LOCAL, IPPROTO_IP);
    EXPECT_GT(SOL_LOCAL, 0xff) << "a protocol number is a level on Linux";
    EXPECT_EQ(LOCAL_PEERCRED, 1);
    EXPECT_EQ(XUCRED_VERSION, 0);
}

// ---- LOCAL_PEERCRED ---------------------------------------------------------

// What FreeBSD reports for a process: the effective group first, then the
// supplementary groups as the system lists them, the effective one again if it
// is among them, 16 at most.
std::vector<gid_t> expectedGroups(gid_t egid, const std::vector<gid_t>& supplementary) {
    std::vector<gid_t> groups{egid};
    for (gid_t g : supplementary) {
        if (groups.size() < XU_NGROUPS) {
            groups.push_back(g);
        }
    }
    return groups;
}

std::vector<gid_t> ownSupplementaryGroups() {
    int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? n : 0);
    if (n > 0) {
        groups.resize(getgroups(n, groups.data()));
    }
    return groups;
}

std::vector<gid_t> groupsOf(const struct xucred& cred) {
    return std::vector<gid_t>(cred.cr_groups, cred.cr_groups + cred.cr_ngroups);
}

TEST(LocalPeerCred, SocketPairReportsThisProcess) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Fd a(fds[0]), b(fds[1]);

    struct xucred cred;
    memset(&cred, 0xAB, sizeof(cred));
    socklen_t len = sizeof(cred);
    ASSERT_EQ(ovrel_bsd_getsockopt(a, SOL_LOCAL, LOCAL_PEERCRED, &cred, &len), 0)
        << strerror(errno);
    EXPECT_EQ(len, sizeof(cred));
    EXPECT_EQ(cred.cr_version, static_cast<unsigned>(XUCRED_VERSION));
    EXPECT_EQ(cred.cr_uid, geteuid());
    EXPECT_EQ(cred.cr_pid, getpid());
    EXPECT_EQ(groupsOf(cred), expectedGroups(getegid(), ownSupplementaryGroups()));
    for (int i = cred.cr_ngroups; i < XU_NGROUPS; ++i) {
        EXPECT_EQ(cred.cr_groups[i], 0u) << "unused group slot " << i << " is not cleared";
    }
}

// In a child that may change its groups (root only): twenty supplementary
// groups with the effective group among them give the effective group, then the
// first fifteen of the list as the system keeps it, the effective group
// repeated there too, not dropped.
TEST(LocalPeerCred, ManyGroupsAreCutAtSixteenAndARepeatedEffectiveGroupStays) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    Fd readEnd(result[0]), writeEnd(result[1]);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::vector<gid_t> groups;
        gid_t egid = getegid();
        for (gid_t g = 5000; g < 5019; ++g) {
            groups.push_back(g);
        }
        groups.insert(groups.begin() + 3, egid);
        char verdict = 'S';  // skipped: not allowed to set groups
        if (setgroups(groups.size(), groups.data()) == 0) {
            int fds[2];
            struct xucred cred;
            memset(&cred, 0, sizeof(cred));
            socklen_t len = sizeof(cred);
            verdict = 'F';
            // The system's own order (Linux sorts the list it is given).
            std::vector<gid_t> kept = ownSupplementaryGroups();
            std::vector<gid_t> got;
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 &&
                ovrel_bsd_getsockopt(fds[0], SOL_LOCAL, LOCAL_PEERCRED, &cred, &len) == 0) {
                got = groupsOf(cred);
            }
            if (kept.size() == 20 && cred.cr_ngroups == 16 && got == expectedGroups(egid, kept) &&
                std::count(got.begin(), got.end(), egid) == 2) {
                verdict = 'P';
            }
        }
        (void)!write(result[1], &verdict, 1);
        _exit(0);
    }
    writeEnd.reset();
    char verdict = 0;
    ASSERT_EQ(read(readEnd, &verdict, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    if (verdict == 'S') {
        GTEST_SKIP() << "needs permission to set supplementary groups";
    }
    EXPECT_EQ(verdict, 'P') << "the group list was not cut at 16 or not copied unchanged";
}

TEST(LocalPeerCred, ShortBufferGetsThePrefixOfTheRecord) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Fd a(fds[0]), b(fds[1]);
    unsigned char bytes[12];
    memset(bytes, 0xAB, sizeof(bytes));
    socklen_t len = 8;
    ASSERT_EQ(ovrel_bsd_getsockopt(a, SOL_LOCAL, LOCAL_PEERCRED, bytes, &len), 0);
    EXPECT_EQ(len, 8u);
    uid_t uid;
    memcpy(&uid, bytes + 4, sizeof(uid));
    EXPECT_EQ(uid, geteuid());
    EXPECT_EQ(bytes[8], 0xAB) << "wrote past the caller's length";
}

TEST(LocalPeerCred, Failures) {
    Fd unconnected(socket(AF_UNIX, SOCK_STREAM, 0));
    Fd closed(socket(AF_UNIX, SOCK_STREAM, 0));
    int closedFd = closed.release();
    close(closedFd);
    struct Case {
        const char* what;
        int fd;
        int err;
    } cases[] = {
        {"unconnected socket", unconnected, ENOTCONN},
        {"closed descriptor", closedFd, EBADF},
    };
    for (const Case& c : cases) {
        struct xucred cred;
        socklen_t len = sizeof(cred);
        errno = 0;
        EXPECT_EQ(ovrel_bsd_getsockopt(c.fd, SOL_LOCAL, LOCAL_PEERCRED, &cred, &len), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
    }
}

// IP_TOS has FreeBSD's LOCAL_PEERCRED numbers under another level name: it
// must reach Linux untouched.
TEST(LocalPeerCred, IpTosPassesThroughUntouched) {
    Fd tcp(socket(AF_INET, SOCK_STREAM, 0));
    int tos = 0x10;
    ASSERT_EQ(ovrel_bsd_setsockopt(tcp, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)), 0);
    int value = 0;
    socklen_t len = sizeof(value);
    ASSERT_EQ(ovrel_bsd_getsockopt(tcp, IPPROTO_IP, IP_TOS, &value, &len), 0);
    EXPECT_EQ(value, 0x10);
    EXPECT_EQ(len, sizeof(int));
}

// A socket that is not Unix-domain has no local peer. An IPv4 one answers as
// BSD's IP level does for these numbers, with no bytes at all (a caller must
// look at the length); any other family refuses. Nothing is written either way.
TEST(LocalPeerCred, SocketsOfOtherFamiliesDescribeNoPeer) {
    TcpPair connected;
    makeTcpPair(&connected);
    struct Case {
        const char* what;
        int domain;
        int type;
        int fd;
        int result;
        int err;
    } cases[] = {
        {"connected IPv4 TCP", AF_INET, SOCK_STREAM, connected.sender, 0, 0},
        {"IPv4 TCP", AF_INET, SOCK_STREAM, -1, 0, 0},
        {"IPv4 UDP", AF_INET, SOCK_DGRAM, -1, 0, 0},
        {"IPv6 TCP", AF_INET6, SOCK_STREAM, -1, -1, EINVAL},
        {"IPv6 UDP", AF_INET6, SOCK_DGRAM, -1, -1, EINVAL},
    };
    for (const Case& c : cases) {
        Fd own(c.fd < 0 ? socket(c.domain, c.type, 0) : -1);
        int fd = c.fd < 0 ? own.fd : c.fd;
        ASSERT_GE(fd, 0) << c.what;
        unsigned char bytes[sizeof(struct xucred)];
        memset(bytes, 0xAB, sizeof(bytes));
        socklen_t len = sizeof(bytes);
        errno = 0;
        EXPECT_EQ(ovrel_bsd_getsockopt(fd, SOL_LOCAL, LOCAL_PEERCRED, bytes, &len), c.result)
            << c.what;
        if (c.result == 0) {
            EXPECT_EQ(len, 0u) << c.what;
        } else {
            EXPECT_EQ(errno, c.err) << c.what;
        }
        EXPECT_EQ(std::count(bytes, bytes + sizeof(bytes), 0xAB), static_cast<long>(sizeof(bytes)))
            << c.what << ": wrote into the record";
    }
}

// ---- SO_ACCEPTFILTER --------------------------------------------------------

struct accept_filter_arg filterArg(const std::string& name, const std::string& arg) {
    struct accept_filter_arg a;
    memset(&a, 0, sizeof(a));
    memcpy(a.af_name, name.data(), std::min(name.size(), sizeof(a.af_name)));
    memcpy(a.af_arg, arg.data(), std::min(arg.size(), sizeof(a.af_arg)));
    return a;
}

int setFilter(int fd, const struct accept_filter_arg* a, socklen_t len = sizeof(accept_filter_arg)) {
    return ovrel_bsd_setsockopt(fd, SOL_SOCKET, SO_ACCEPTFILTER, a, len);
}

int getFilter(int fd, struct accept_filter_arg* a) {
    socklen_t len = sizeof(*a);
    memset(a, 0x5A, sizeof(*a));
    return ovrel_bsd_getsockopt(fd, SOL_SOCKET, SO_ACCEPTFILTER, a, &len);
}

int deferAccept(int fd) {
    int value = -1;
    socklen_t len = sizeof(value);
    getsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &value, &len);
    return value;
}

// Listening sockets of every kind BSD filters: TCP over either family, and
// Unix-domain streams.
struct ListenerKind {
    const char* what;
    int domain;
    bool deferred;  // whether Linux can hold connections back for it
};

const ListenerKind kListenerKinds[] = {
    {"IPv4 TCP", AF_INET, true},
    {"IPv6 TCP", AF_INET6, true},
    {"Unix-domain stream", AF_UNIX, false},
};

int listeningSocket(int domain) {
    if (domain == AF_INET) {
        return listeningTcpSocket();
    }
    int s = socket(domain, SOCK_STREAM, 0);
    int bound = -1;
    if (domain == AF_INET6) {
        struct sockaddr_in6 address = {};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } else {
        // A bare family asks Linux for a fresh abstract name: no file to remove.
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address.sun_family));
    }
    if (s < 0 || bound < 0 || listen(s, 4) < 0) {
        ADD_FAILURE() << "cannot listen: " << strerror(errno);
    }
    return s;
}

// Both filters install on every kind of listener and read back by name with an
// empty argument, whatever argument they were given: neither keeps it.
TEST(AcceptFilter, KnownFiltersInstallAndReadBackWithoutTheirArgument) {
    for (const ListenerKind& kind : kListenerKinds) {
        for (const char* name : {"dataready", "httpready"}) {
            for (const std::string& argument : {std::string(), std::string("x"), std::string(240, 'a')}) {
                Fd listener(listeningSocket(kind.domain));
                struct accept_filter_arg set = filterArg(name, argument);
                ASSERT_EQ(setFilter(listener, &set), 0)
                    << kind.what << ", " << name << ": " << strerror(errno);
                if (kind.deferred) {
                    EXPECT_GT(deferAccept(listener), 0) << kind.what << ", " << name;
                }
                struct accept_filter_arg got;
                ASSERT_EQ(getFilter(listener, &got), 0) << kind.what << ", " << name;
                struct accept_filter_arg expected = filterArg(name, "");
                EXPECT_EQ(memcmp(&got, &expected, sizeof(got)), 0)
                    << kind.what << ", " << name << ", argument of " << argument.size() << " bytes";
            }
        }
    }
}

// A Unix-domain listener has no deferral on Linux: with a filter recorded it
// still hands over a connection that has sent nothing.
TEST(AcceptFilter, UnixDomainListenerHandsOverAtOnce) {
    Fd listener(listeningSocket(AF_UNIX));
    struct accept_filter_arg set = filterArg("dataready", "");
    ASSERT_EQ(setFilter(listener, &set), 0);
    struct sockaddr_un address = {};
    socklen_t len = sizeof(address);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &len), 0);
    Fd client(socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), len), 0);
    setNonBlocking(listener);
    Fd accepted(accept(listener, nullptr, nullptr));
    EXPECT_GE(accepted.fd, 0) << strerror(errno);
}

TEST(AcceptFilter, ShortReadBufferGetsTheNameOnly) {
    Fd listener(listeningTcpSocket());
    struct accept_filter_arg set = filterArg("dataready", "x");
    ASSERT_EQ(setFilter(listener, &set), 0);
    char name[20];
    memset(name, 0x5A, sizeof(name));
    socklen_t len = 16;
    ASSERT_EQ(ovrel_bsd_getsockopt(listener, SOL_SOCKET, SO_ACCEPTFILTER, name, &len), 0);
    EXPECT_EQ(len, 16u);
    EXPECT_STREQ(name, "dataready");
    EXPECT_EQ(name[16], 0x5A) << "wrote past the caller's length";
}

// Only a null record removes a filter (an empty name is looked up and not
// found); installing over one, even the same, is refused until it is removed.
TEST(AcceptFilter, OnlyANullRecordRemovesAndNothingInstallsOverAFilter) {
    for (const ListenerKind& kind : kListenerKinds) {
        Fd listener(listeningSocket(kind.domain));
        struct accept_filter_arg data = filterArg("dataready", "");
        struct accept_filter_arg http = filterArg("httpready", "");
        struct accept_filter_arg empty = filterArg("", "");
        ASSERT_EQ(setFilter(listener, &data), 0) << kind.what;

        struct Refusal {
            const char* what;
            const struct accept_filter_arg* arg;
            int err;
        } refusals[] = {
            {"another filter", &http, EINVAL},
            {"the same filter again", &data, EINVAL},
            {"an empty name", &empty, ENOENT},
        };
        for (const Refusal& r : refusals) {
            errno = 0;
            EXPECT_EQ(setFilter(listener, r.arg), -1) << kind.what << ", " << r.what;
            EXPECT_EQ(errno, r.err) << kind.what << ", " << r.what;
            struct accept_filter_arg got;
            ASSERT_EQ(getFilter(listener, &got), 0) << kind.what << ", " << r.what;
            EXPECT_STREQ(got.af_name, "dataready") << kind.what << ", " << r.what;
        }

        ASSERT_EQ(setFilter(listener, nullptr), 0) << kind.what << ": " << strerror(errno);
        if (kind.deferred) {
            EXPECT_EQ(deferAccept(listener), 0) << kind.what;
        }
        struct accept_filter_arg got;
        EXPECT_EQ(getFilter(listener, &got), -1) << kind.what;
        EXPECT_EQ(errno, EINVAL) << kind.what;
        EXPECT_EQ(setFilter(listener, nullptr), 0) << kind.what << ": removing none is harmless";

        ASSERT_EQ(setFilter(listener, &http), 0) << kind.what << ": install after removal";
        ASSERT_EQ(getFilter(listener, &got), 0) << kind.what;
        EXPECT_STREQ(got.af_name, "httpready") << kind.what;
    }
}

// The filter belongs to the socket: a duplicate descriptor sees it, also once
// the descriptor it was installed through is closed, and a new socket that gets
// a closed one's number does not.
TEST(AcceptFilter, BelongsToTheSocketNotToTheDescriptorNumber) {
    Fd listener(listeningTcpSocket());
    struct accept_filter_arg set = filterArg("dataready", "");
    ASSERT_EQ(setFilter(listener, &set), 0);
    Fd duplicate(dup(listener));
    int number = listener.fd;
    listener.reset();

    struct accept_filter_arg got;
    ASSERT_EQ(getFilter(duplicate, &got), 0);
    EXPECT_STREQ(got.af_name, "dataready");
    errno = 0;
    EXPECT_EQ(setFilter(duplicate, &set), -1) << "the filter is still installed";
    EXPECT_EQ(errno, EINVAL);

    Fd reused(listeningTcpSocket());
    ASSERT_EQ(reused.fd, number) << "the descriptor number was not reused; nothing to check";
    EXPECT_EQ(getFilter(reused, &got), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(setFilter(reused, &set), 0) << strerror(errno);

    duplicate.reset();
    Fd second(listeningTcpSocket());
    EXPECT_EQ(getFilter(second, &got), -1) << "a socket got the filter of a closed one";
    EXPECT_EQ(errno, EINVAL);
}

TEST(AcceptFilter, Failures) {
    Fd listener(listeningTcpSocket());
    Fd notListening(socket(AF_INET, SOCK_STREAM, 0));
    Fd file(temporaryFile("x"));
    Fd closed(socket(AF_INET, SOCK_STREAM, 0));
    int closedFd = closed.release();
    close(closedFd);
    struct accept_filter_arg data = filterArg("dataready", "");
    struct accept_filter_arg unknown = filterArg("nosuchfilter", "");
    struct accept_filter_arg empty = filterArg("", "ignored");
    struct accept_filter_arg fullName = filterArg("datareadydataready", "");

    struct Case {
        const char* what;
        int fd;
        const struct accept_filter_arg* arg;
        socklen_t len;
        int err;
    } sets[] = {
        {"unknown filter", listener, &unknown, sizeof(unknown), ENOENT},
        {"empty name: looked up like any other", listener, &empty, sizeof(empty), ENOENT},
        {"16-byte name without terminator", listener, &fullName, sizeof(fullName), ENOENT},
        {"record too short", listener, &data, sizeof(data) - 1, EINVAL},
        {"socket not listening", notListening, &data, sizeof(data), EINVAL},
        {"regular file", file, &data, sizeof(data), ENOTSOCK},
        {"closed descriptor", closedFd, &data, sizeof(data), EBADF},
    };
    for (const Case& c : sets) {
        errno = 0;
        EXPECT_EQ(setFilter(c.fd, c.arg, c.len), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
    }
    EXPECT_EQ(deferAccept(listener), 0) << "a failed install left TCP_DEFER_ACCEPT set";

    struct GetCase {
        const char* what;
        int fd;
        int err;
    } gets[] = {
        {"listening without a filter", listener, EINVAL},
        {"socket not listening", notListening, EINVAL},
        {"regular file", file, ENOTSOCK},
        {"closed descriptor", closedFd, EBADF},
    };
    for (const GetCase& c : gets) {
        struct accept_filter_arg got;
        errno = 0;
        EXPECT_EQ(getFilter(c.fd, &got), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
    }
}

// As many filtered listeners as the process likes; the state of closed ones is
// forgotten as they go, while a socket that lives on only through a duplicate
// keeps its filter through every clean-up.
TEST(AcceptFilter, NoCapAndClosedSocketsAreForgotten) {
    struct accept_filter_arg data = filterArg("dataready", "");
    Fd survivor(listeningTcpSocket());
    ASSERT_EQ(setFilter(survivor, &data), 0);
    {
        Fd original(survivor.release());
        survivor.reset(dup(original));
    }

    const size_t kOpenAtOnce = 300;
    std::vector<int> listeners;
    for (size_t i = 0; i < kOpenAtOnce; ++i) {
        listeners.push_back(listeningTcpSocket());
        ASSERT_EQ(setFilter(listeners.back(), &data), 0) << "listener " << i << ": " << strerror(errno);
    }
    struct accept_filter_arg got;
    for (int s : listeners) {
        ASSERT_EQ(getFilter(s, &got), 0);
    }
    const size_t whileOpen = ovrel_bsd_accept_filter_entries();
    EXPECT_GE(whileOpen, kOpenAtOnce + 1);
    for (int s : listeners) {
        close(s);
    }

    // Churn: every round installs on a fresh listener and closes it.
    for (int round = 0; round < 2000; ++round) {
        Fd s(listeningTcpSocket());
        ASSERT_EQ(setFilter(s, &data), 0) << "round " << round << ": " << strerror(errno);
    }
    EXPECT_LT(ovrel_bsd_accept_filter_entries(), 64u) << "state of closed sockets is kept";
    ASSERT_EQ(getFilter(survivor, &got), 0) << "a clean-up dropped a socket still open";
    EXPECT_STREQ(got.af_name, "dataready");
}

TEST(SocketOptions, OtherOptionsPassThrough) {
    Fd tcp(socket(AF_INET, SOCK_STREAM, 0));
    int on = 1;
    ASSERT_EQ(ovrel_bsd_setsockopt(tcp, IPPROTO_TCP, TCP_NOPUSH, &on, sizeof(on)), 0);
    int value = 0;
    socklen_t len = sizeof(value);
    ASSERT_EQ(ovrel_bsd_getsockopt(tcp, IPPROTO_TCP, TCP_CORK, &value, &len), 0);
    EXPECT_NE(value, 0);

    // Linux keeps SO_SNDLOWAT at 1 and refuses to change it.
    len = sizeof(value);
    ASSERT_EQ(ovrel_bsd_getsockopt(tcp, SOL_SOCKET, SO_SNDLOWAT, &value, &len), 0);
    EXPECT_EQ(value, 1);
    int lowat = 4096;
    EXPECT_EQ(ovrel_bsd_setsockopt(tcp, SOL_SOCKET, SO_SNDLOWAT, &lowat, sizeof(lowat)), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
}

// ---- sendfile ---------------------------------------------------------------

TEST(BsdSendfile, SendsTheAskedRangeAndReportsItInSbytes) {
    const std::string content = pattern(200000);
    struct Case {
        const char* what;
        off_t offset;
        size_t nbytes;
        size_t expectedStart;
        size_t expectedLength;
    } cases[] = {
        {"whole file", 0, content.size(), 0, content.size()},
        {"nbytes 0 from the start: to the end", 0, 0, 0, content.size()},
        {"nbytes 0 from the middle: to the end", 70001, 0, 70001, content.size() - 70001},
        {"a range inside", 1000, 4321, 1000, 4321},
        {"range past the end: up to the end", 199990, 100, 199990, 10},
        {"offset past the end: nothing", 300000, 0, 0, 0},
        {"offset at the end, nbytes given: nothing", 200000, 5, 0, 0},
        // Linux itself refuses these (EOVERFLOW, EINVAL); BSD sends nothing.
        {"offset 2^44, nbytes given: nothing", off_t(1) << 44, 100, 0, 0},
        {"offset near the top of off_t, nbytes given: nothing", INT64_MAX - 10, 100, 0, 0},
        {"offset near the top of off_t, to the end: nothing", INT64_MAX - 10, 0, 0, 0},
    };
    Fd file(temporaryFile(content));
    for (const Case& c : cases) {
        TcpPair pair;
        makeTcpPair(&pair);
        std::string received;
        std::thread reader([&] { received = readUpTo(pair.receiver, c.expectedLength + 1); });
        off_t sbytes = -1;
        int result = sendfile(file, pair.sender, c.offset, c.nbytes, nullptr, &sbytes, 0);
        int err = errno;
        shutdown(pair.sender, SHUT_WR);
        reader.join();
        EXPECT_EQ(result, 0) << c.what << ": " << strerror(err);
        EXPECT_EQ(sbytes, static_cast<off_t>(c.expectedLength)) << c.what;
        EXPECT_TRUE(received == content.substr(c.expectedStart, c.expectedLength))
            << c.what << ": received " << received.size() << " bytes, not the expected ones";
    }
    // The file position is never used or moved.
    EXPECT_EQ(lseek(file, 0, SEEK_CUR), static_cast<off_t>(content.size()));
}

TEST(BsdSendfile, HeadersAndTrailersSurroundTheFileBytesAndCount) {
    const std::string content = pattern(100);
    Fd file(temporaryFile(content));
    TcpPair pair;
    makeTcpPair(&pair);
    char head1[] = "HE", head2[] = "AD", tail[] = "TAIL";
    struct iovec headers[] = {{head1, 2}, {head2, 2}};
    struct iovec trailers[] = {{tail, 4}};
    struct sf_hdtr hdtr = {headers, 2, trailers, 1};
    off_t sbytes = 0;
    ASSERT_EQ(sendfile(file, pair.sender, 10, 20, &hdtr, &sbytes, 0), 0) << strerror(errno);
    EXPECT_EQ(sbytes, 28);
    EXPECT_EQ(readUpTo(pair.receiver, 28), "HEAD" + content.substr(10, 20) + "TAIL");
}

TEST(BsdSendfile, NonBlockingSocketSendsWhatFitsThenEagainWithSbytes) {
    const std::string content = pattern(8 << 20);
    Fd file(temporaryFile(content));
    TcpPair pair;
    makeTcpPair(&pair, 4096);
    setNonBlocking(pair.sender);

    off_t sbytes = -1;
    errno = 0;
    EXPECT_EQ(sendfile(file, pair.sender, 0, content.size(), nullptr, &sbytes, 0), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(sbytes, 0);
    EXPECT_LT(sbytes, static_cast<off_t>(content.size()));

    // The stack may still move a little towards the peer; once it stops, a
    // call sends nothing and says so.
    off_t again = -1;
    int result = 0;
    for (int i = 0; i < 1000 && again != 0; ++i) {
        errno = 0;
        result = sendfile(file, pair.sender, sbytes, 0, nullptr, &again, 0);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errno, EAGAIN);
        sbytes += again;
    }
    EXPECT_EQ(again, 0);

    shutdown(pair.sender, SHUT_WR);
    std::string received = readUpTo(pair.receiver, content.size());
    EXPECT_EQ(received.size(), static_cast<size_t>(sbytes));
    EXPECT_TRUE(received == content.substr(0, received.size()));
}

volatile sig_atomic_t alarms = 0;
void countAlarm(int) { alarms = alarms + 1; }

// A signal that comes while a blocking send waits for room: the call fails
// with EINTR and reports in sbytes what it had sent.
TEST(BsdSendfile, SignalAfterPartialSendGivesEintrWithSbytes) {
    const std::string content = pattern(8 << 20);
    Fd file(temporaryFile(content));
    TcpPair pair;
    makeTcpPair(&pair, 4096);

    struct sigaction action = {}, previous = {};
    action.sa_handler = countAlarm;  // no SA_RESTART: the wait must end
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    struct itimerval timer = {{0, 100000}, {0, 100000}};
    struct itimerval stop = {};
    alarms = 0;
    setitimer(ITIMER_REAL, &timer, nullptr);

    off_t sbytes = -1;
    errno = 0;
    int result = sendfile(file, pair.sender, 0, content.size(), nullptr, &sbytes, 0);
    int err = errno;
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, EINTR) << strerror(err);
    EXPECT_GT(alarms, 0);
    EXPECT_GT(sbytes, 0);
    EXPECT_LT(sbytes, static_cast<off_t>(content.size()));
    shutdown(pair.sender, SHUT_WR);
    std::string received = readUpTo(pair.receiver, content.size());
    EXPECT_EQ(received.size(), static_cast<size_t>(sbytes));
}

// Linux signals SIGPIPE for a send on an unconnected TCP socket, as for a
// write; the JVM ignores that signal, and so does this test.
struct IgnoreSigpipe {
    struct sigaction previous;
    IgnoreSigpipe() {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previous);
    }
    ~IgnoreSigpipe() { sigaction(SIGPIPE, &previous, nullptr); }
};

// Once a connection is gone the answer is EPIPE, as BSD gives it, however it
// went: reset by the peer (after the reset itself was reported once), or shut
// down for sending here. ENOTCONN is only for a socket that never connected.
TEST(BsdSendfile, GoneConnectionIsEpipe) {
    IgnoreSigpipe ignoreSigpipe;
    Fd file(temporaryFile(pattern(100)));
    struct linger abort = {1, 0};
    struct Case {
        const char* what;
        void (*end)(TcpPair*, const struct linger&);
        bool senderIsReceiver;
    } cases[] = {
        {"connecting side, reset by the accepted side",
         [](TcpPair* p, const struct linger& l) {
             setsockopt(p->receiver, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
             p->receiver.reset();
         },
         false},
        {"accepted side, reset by the connecting side",
         [](TcpPair* p, const struct linger& l) {
             setsockopt(p->sender, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
             p->sender.reset();
         },
         true},
        {"shut down for sending", [](TcpPair* p, const struct linger&) { shutdown(p->sender, SHUT_WR); },
         false},
    };
    for (const Case& c : cases) {
        TcpPair pair;
        makeTcpPair(&pair);
        c.end(&pair, abort);
        int s = c.senderIsReceiver ? pair.receiver.fd : pair.sender.fd;
        // Until the reset has arrived and been reported, a call may still send
        // or say ECONNRESET; after that, every call must say EPIPE.
        int err = 0;
        for (int i = 0; i < 100 && err != EPIPE; ++i) {
            off_t sbytes = -1;
            errno = 0;
            int result = sendfile(file, s, 0, 10, nullptr, &sbytes, 0);
            err = result == 0 ? 0 : errno;
            ASSERT_TRUE(err == 0 || err == ECONNRESET || err == EPIPE)
                << c.what << ": " << strerror(err);
            if (err != 0) {
                EXPECT_EQ(sbytes, 0) << c.what;
            }
            if (err != EPIPE) {
                usleep(1000);
            }
        }
        EXPECT_EQ(err, EPIPE) << c.what << ": " << strerror(err);
        off_t sbytes = -1;
        errno = 0;
        EXPECT_EQ(sendfile(file, s, 0, 10, nullptr, &sbytes, 0), -1) << c.what;
        EXPECT_EQ(errno, EPIPE) << c.what << ", asked again: " << strerror(errno);
    }
}

TEST(BsdSendfile, Failures) {
    IgnoreSigpipe ignoreSigpipe;
    Fd file(temporaryFile(pattern(100)));
    TcpPair pair;
    makeTcpPair(&pair);
    Fd unconnected(socket(AF_INET, SOCK_STREAM, 0));
    Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Fd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);
    Fd closed(socket(AF_INET, SOCK_STREAM, 0));
    int closedFd = closed.release();
    close(closedFd);

    struct Case {
        const char* what;
        int fd;
        int s;
        off_t offset;
        int err;
    } cases[] = {
        {"negative offset", file, pair.sender, -1, EINVAL},
        {"source is a pipe", pipeRead, pair.sender, 0, EINVAL},
        {"source is a socket", pair.receiver, pair.sender, 0, EINVAL},
        {"source closed", closedFd, pair.sender, 0, EBADF},
        {"destination is a file", file, file, 0, ENOTSOCK},
        {"destination is a pipe", file, pipeWrite, 0, ENOTSOCK},
        {"destination is a datagram socket", file, udp, 0, EINVAL},
        {"destination not connected", file, unconnected, 0, ENOTCONN},
        {"destination closed", file, closedFd, 0, EBADF},
    };
    for (const Case& c : cases) {
        off_t sbytes = -1;
        errno = 0;
        EXPECT_EQ(sendfile(c.fd, c.s, c.offset, 10, nullptr, &sbytes, 0), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what << ": " << strerror(errno);
        EXPECT_EQ(sbytes, 0) << c.what;
    }
    EXPECT_EQ(drain(pair.receiver), "");
}

}  // namespace

#endif
