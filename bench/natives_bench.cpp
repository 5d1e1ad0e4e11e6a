// The floor under the hot natives: the same system calls made straight from C,
// with the same descriptors, sizes and refill rhythm as the JMH benchmarks in
// java-bench (io.ovrel.bench.NativeCalls*). A native can only add to these
// numbers; the ratio of the two is what the JNI hop and our own code cost.
//
// Pipes are refilled or drained every kBatch operations by one large call, the
// same in C and in Java, so that every timed read finds a byte and every timed
// write finds room.

#include "platform/event.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

// One refill (or drain) per this many 1-byte operations.
constexpr int kBatch = 4096;
// writev: 8 buffers of 8 bytes, drained every 512 calls (32 KiB, half a pipe).
constexpr int kIovCount = 8;
constexpr int kIovBytes = 8;
constexpr int kWritevBatch = 512;
constexpr int kDatagram = 64;
constexpr int kEvents = 64;

struct Pipe {
    int r = -1;
    int w = -1;
    Pipe() {
        int p[2];
        if (pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
            r = p[0];
            w = p[1];
        }
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
};

char g_big[kBatch * 8];

void BM_PipeRead1(benchmark::State& state) {
    Pipe p;
    char b;
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            if (write(p.w, g_big, kBatch) != kBatch) state.SkipWithError("refill");
            left = kBatch;
        }
        left--;
        if (read(p.r, &b, 1) != 1) {
            state.SkipWithError("read");
            break;
        }
    }
}

void BM_PipeWrite1(benchmark::State& state) {
    Pipe p;
    char b = 'x';
    int done = 0;
    for (auto _ : state) {
        if (done == kBatch) {
            if (read(p.r, g_big, kBatch) != kBatch) state.SkipWithError("drain");
            done = 0;
        }
        done++;
        if (write(p.w, &b, 1) != 1) {
            state.SkipWithError("write");
            break;
        }
    }
}

void BM_PipeWritev8(benchmark::State& state) {
    Pipe p;
    static char data[kIovCount][kIovBytes];
    iovec iov[kIovCount];
    for (int i = 0; i < kIovCount; i++) {
        iov[i].iov_base = data[i];
        iov[i].iov_len = kIovBytes;
    }
    const int drain = kWritevBatch * kIovCount * kIovBytes;
    int done = 0;
    for (auto _ : state) {
        if (done == kWritevBatch) {
            if (read(p.r, g_big, drain) != drain) state.SkipWithError("drain");
            done = 0;
        }
        done++;
        if (writev(p.w, iov, kIovCount) != kIovCount * kIovBytes) {
            state.SkipWithError("writev");
            break;
        }
    }
}

// A zero-timeout wait with one registered, empty pipe: the cost of asking.
void BM_KeventPoll(benchmark::State& state) {
    Pipe p;
    int kq = kqueue();
    struct kevent change;
    EV_SET(&change, p.r, EVFILT_READ, EV_ADD, 0, 0, nullptr);
    if (kq < 0 || kevent(kq, &change, 1, nullptr, 0, nullptr) != 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    struct kevent events[kEvents];
    const timespec zero{0, 0};
    for (auto _ : state) {
        int n = kevent(kq, nullptr, 0, events, kEvents, &zero);
        if (n != 0) {
            state.SkipWithError("unexpected event");
            break;
        }
    }
    close(kq);
}

void BM_EpollPoll(benchmark::State& state) {
    Pipe p;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = uint64_t(p.r);
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, p.r, &ev) != 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    epoll_event events[kEvents];
    for (auto _ : state) {
        int n = epoll_wait(ep, events, kEvents, 0);
        if (n != 0) {
            state.SkipWithError("unexpected event");
            break;
        }
    }
    close(ep);
}

// Filling one change record in place, as KQueueEventArray.evSet does.
void BM_EvSet(benchmark::State& state) {
    static struct kevent records[16];
    int i = 0;
    for (auto _ : state) {
        struct kevent* ev = &records[i & 15];
        EV_SET(ev, i, EVFILT_READ, EV_ADD | EV_CLEAR, 0, 0, nullptr);
        benchmark::ClobberMemory();
        i++;
    }
    benchmark::DoNotOptimize(records);
}

// 64 bytes to a bound loopback socket nobody reads: once its receive buffer is
// full the kernel drops what arrives, which every variant meets alike.
void BM_SendTo64(benchmark::State& state) {
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(to);
    if (rx < 0 || tx < 0 || bind(rx, reinterpret_cast<sockaddr*>(&to), len) != 0 ||
        getsockname(rx, reinterpret_cast<sockaddr*>(&to), &len) != 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    char payload[kDatagram] = {0};
    for (auto _ : state) {
        if (sendto(tx, payload, kDatagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) !=
            kDatagram) {
            state.SkipWithError(strerror(errno));
            break;
        }
    }
    close(tx);
    close(rx);
}

BENCHMARK(BM_PipeRead1)->Name("c/read_1B_pipe");
BENCHMARK(BM_PipeWrite1)->Name("c/write_1B_pipe");
BENCHMARK(BM_PipeWritev8)->Name("c/writev_8x8B_pipe");
BENCHMARK(BM_KeventPoll)->Name("c/kevent_poll_empty");
BENCHMARK(BM_EpollPoll)->Name("c/epoll_wait_poll_empty");
BENCHMARK(BM_EvSet)->Name("c/ev_set");
BENCHMARK(BM_SendTo64)->Name("c/sendto_64B_udp_loopback");

}  // namespace

BENCHMARK_MAIN();
