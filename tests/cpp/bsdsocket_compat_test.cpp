// The Linux stand-ins for the BSD socket interfaces, tested directly: record
// layouts, LOCAL_PEERCRED, SO_ACCEPTFILTER and the BSD-signature sendfile.
#if defined(__linux__)

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stddef.h>
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

namespace {

// ---- helpers ----------------------------------------------------------------

// Closes what a test opened, whatever way it leaves.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) {
            close(fd);
        }
        fd = f;
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    operator int() const { return fd; }
};

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
// supplementary groups without it, 16 at most.
std::vector<gid_t> expectedGroups(gid_t egid, const std::vector<gid_t>& supplementary) {
    std::vector<gid_t> groups{egid};
    for (gid_t g : supplementary) {
        if (g != egid && groups.size() < XU_NGROUPS) {
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
// groups with the effective group among them give the effective group once,
// then the first fifteen others.
TEST(LocalPeerCred, ManyGroupsAreCutAtSixteenWithoutRepeatingTheEffectiveGroup) {
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
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 &&
                ovrel_bsd_getsockopt(fds[0], SOL_LOCAL, LOCAL_PEERCRED, &cred, &len) == 0 &&
                groupsOf(cred) == expectedGroups(egid, groups) && cred.cr_ngroups == 16) {
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
    EXPECT_EQ(verdict, 'P') << "the group list was not cut or repeated the effective group";
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
// must reach Linux untouched, and LOCAL_PEERCRED means nothing on an IP socket.
TEST(LocalPeerCred, IpSocketsKeepIpTosAndKnowNoPeerCredentials) {
    Fd tcp(socket(AF_INET, SOCK_STREAM, 0));
    int tos = 0x10;
    ASSERT_EQ(ovrel_bsd_setsockopt(tcp, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)), 0);
    int value = 0;
    socklen_t len = sizeof(value);
    ASSERT_EQ(ovrel_bsd_getsockopt(tcp, IPPROTO_IP, IP_TOS, &value, &len), 0);
    EXPECT_EQ(value, 0x10);
    EXPECT_EQ(len, sizeof(int));

    struct xucred cred;
    len = sizeof(cred);
    errno = 0;
    EXPECT_EQ(ovrel_bsd_getsockopt(tcp, SOL_LOCAL, LOCAL_PEERCRED, &cred, &len), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
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

TEST(AcceptFilter, KnownFiltersInstallReadBackAndMapOntoDeferAccept) {
    for (const char* name : {"dataready", "httpready"}) {
        Fd listener(listeningTcpSocket());
        struct accept_filter_arg set = filterArg(name, "some argument");
        ASSERT_EQ(setFilter(listener, &set), 0) << name << ": " << strerror(errno);
        EXPECT_GT(deferAccept(listener), 0) << name;

        struct accept_filter_arg got;
        ASSERT_EQ(getFilter(listener, &got), 0) << name;
        EXPECT_EQ(memcmp(&got, &set, sizeof(got)), 0) << name;
    }
}

TEST(AcceptFilter, FullFieldsWithoutTerminatorsReadBackByteForByte) {
    Fd listener(listeningTcpSocket());
    struct accept_filter_arg set = filterArg("dataready", std::string(240, 'a'));
    ASSERT_EQ(setFilter(listener, &set), 0);
    struct accept_filter_arg got;
    ASSERT_EQ(getFilter(listener, &got), 0);
    EXPECT_EQ(memcmp(&got, &set, sizeof(got)), 0);
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

TEST(AcceptFilter, NullOrEmptyNameRemovesTheFilter) {
    struct accept_filter_arg empty = filterArg("", "ignored");
    const struct accept_filter_arg* removals[] = {nullptr, &empty};
    for (const struct accept_filter_arg* removal : removals) {
        Fd listener(listeningTcpSocket());
        struct accept_filter_arg set = filterArg("dataready", "");
        ASSERT_EQ(setFilter(listener, &set), 0);
        ASSERT_EQ(setFilter(listener, removal), 0) << strerror(errno);
        EXPECT_EQ(deferAccept(listener), 0);
        struct accept_filter_arg got;
        EXPECT_EQ(getFilter(listener, &got), -1);
        EXPECT_EQ(errno, EINVAL);
        // Removing what is not there is harmless.
        EXPECT_EQ(setFilter(listener, removal), 0);
    }
}

TEST(AcceptFilter, AnotherFilterReplacesTheInstalledOne) {
    Fd listener(listeningTcpSocket());
    struct accept_filter_arg first = filterArg("dataready", "1");
    struct accept_filter_arg second = filterArg("httpready", "2");
    ASSERT_EQ(setFilter(listener, &first), 0);
    ASSERT_EQ(setFilter(listener, &second), 0);
    struct accept_filter_arg got;
    ASSERT_EQ(getFilter(listener, &got), 0);
    EXPECT_STREQ(got.af_name, "httpready");
    EXPECT_STREQ(got.af_arg, "2");
}

// The filter belongs to the socket: a duplicate descriptor sees it, and a new
// socket that happens to get the old descriptor number does not.
TEST(AcceptFilter, BelongsToTheSocketNotToTheDescriptorNumber) {
    Fd listener(listeningTcpSocket());
    struct accept_filter_arg set = filterArg("dataready", "dup");
    ASSERT_EQ(setFilter(listener, &set), 0);
    Fd duplicate(dup(listener));
    struct accept_filter_arg got;
    ASSERT_EQ(getFilter(duplicate, &got), 0);
    EXPECT_STREQ(got.af_arg, "dup");

    duplicate.reset();
    int number = listener.fd;
    listener.reset();
    Fd reused(listeningTcpSocket());
    ASSERT_EQ(reused.fd, number) << "the descriptor number was not reused; nothing to check";
    EXPECT_EQ(getFilter(reused, &got), -1);
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
    struct accept_filter_arg fullName = filterArg("datareadydataready", "");

    struct Case {
        const char* what;
        int fd;
        const struct accept_filter_arg* arg;
        socklen_t len;
        int err;
    } sets[] = {
        {"unknown filter", listener, &unknown, sizeof(unknown), ENOENT},
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

// The table of installed filters is bounded; filters of closed sockets make
// room again when it is full.
TEST(AcceptFilter, FullTableFailsWithEnomemUntilASocketCloses) {
    std::vector<int> listeners;
    struct accept_filter_arg data = filterArg("dataready", "");
    int result = 0;
    int err = 0;
    while (listeners.size() < 1000) {
        int s = listeningTcpSocket();
        listeners.push_back(s);
        result = setFilter(s, &data);
        err = errno;
        if (result != 0) {
            break;
        }
    }
    EXPECT_EQ(result, -1) << "no bound on the table after " << listeners.size() << " sockets";
    EXPECT_EQ(err, ENOMEM);

    close(listeners.front());
    listeners.erase(listeners.begin());
    EXPECT_EQ(setFilter(listeners.back(), &data), 0) << strerror(errno);
    for (int s : listeners) {
        close(s);
    }
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
