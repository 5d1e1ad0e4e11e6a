// Cost of a wait through the kqueue stand-in against raw epoll, on the same
// descriptors: N registered of which k hold unread data, so every wait returns
// k events without anything being re-armed. "epoll+FIONREAD" also asks
// for the bytes readable of each ready descriptor, which kevent must hand out as
// `data`; the eventfd rows show the layer's own cost without that ioctl.
//
// The "row/" benchmarks are the four figures the layer is held to, each next to
// the raw epoll work it stands for: 100 and 1 ready of 10 000 registered, a user
// event triggered and collected, and an empty poll with timeout 0.

#include "platform/event.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

#include <benchmark/benchmark.h>

// Every allocation of the process is counted, so a wait loop that allocates shows.
static std::atomic<long> g_allocations{0};
// Not inlined: GCC would otherwise pair the malloc below with a delete elsewhere
// and warn about a mismatch that is not there.
__attribute__((noinline)) void* operator new(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = malloc(n ? n : 1);
    if (!p) abort();
    return p;
}
__attribute__((noinline)) void operator delete(void* p) noexcept { free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

constexpr int kMaxEvents = 256;

enum class Source { kPipe, kEventfd };

// N registered descriptors, the first k of them ready. Idle ones never show up in
// a wait, so they are eventfds in both sources (one descriptor each, which keeps
// 10 000 of them within the descriptor limit); with Source::kPipe the ready ones
// are pipes with a byte of unread data.
struct Descriptors {
    std::vector<int> watched;
    std::vector<int> others;
    bool ok = true;

    Descriptors(Source src, int n, int k) {
        for (int i = 0; i < n && ok; i++) {
            if (src == Source::kPipe && i < k) {
                int p[2];
                if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) {
                    ok = false;
                    break;
                }
                watched.push_back(p[0]);
                others.push_back(p[1]);
                if (write(p[1], "x", 1) != 1) ok = false;
            } else {
                int e = eventfd(i < k ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
                if (e < 0) {
                    ok = false;
                    break;
                }
                watched.push_back(e);
            }
        }
    }
    ~Descriptors() {
        for (int fd : watched) close(fd);
        for (int fd : others) close(fd);
    }
};

void report(benchmark::State& state, int k, long allocations) {
    state.SetItemsProcessed(state.iterations() * k);
    if (k > 0) state.counters["ns_per_event"] = benchmark::Counter(
        double(state.iterations()) * k, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_wait"] = double(allocations) / double(state.iterations());
}

template <Source src, bool fionread>
void BM_Epoll(benchmark::State& state) {
    const int n = int(state.range(0));
    const int k = int(state.range(1));
    Descriptors d(src, n, k);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (!d.ok || ep < 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    for (int fd : d.watched) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = uint64_t(fd);
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    epoll_event evs[kMaxEvents];
    long before = g_allocations.load();
    for (auto _ : state) {
        int got = epoll_wait(ep, evs, kMaxEvents, 0);
        if (fionread) {
            for (int i = 0; i < got; i++) {
                int v = 0;
                ioctl(int(evs[i].data.u64), FIONREAD, &v);
                benchmark::DoNotOptimize(v);
            }
        }
        if (got != k) {
            state.SkipWithError("unexpected number of events");
            break;
        }
    }
    report(state, k, g_allocations.load() - before);
    close(ep);
}

template <Source src, unsigned short extra_flags>
void BM_Kevent(benchmark::State& state) {
    const int n = int(state.range(0));
    const int k = int(state.range(1));
    Descriptors d(src, n, k);
    int kq = kqueue();
    if (!d.ok || kq < 0) {
        state.SkipWithError(strerror(errno));
        return;
    }
    std::vector<struct kevent> changes(d.watched.size());
    for (size_t i = 0; i < d.watched.size(); i++) {
        EV_SET(&changes[i], d.watched[i], EVFILT_READ, EV_ADD | extra_flags, 0, 0, nullptr);
    }
    if (kevent(kq, changes.data(), int(changes.size()), nullptr, 0, nullptr) != 0) {
        state.SkipWithError(strerror(errno));
        close(kq);
        return;
    }
    struct kevent evs[kMaxEvents];
    const timespec zero{0, 0};
    long before = g_allocations.load();
    for (auto _ : state) {
        int got = kevent(kq, nullptr, 0, evs, kMaxEvents, &zero);
        if (got != k) {
            state.SkipWithError("unexpected number of events");
            break;
        }
    }
    report(state, k, g_allocations.load() - before);
    close(kq);
}

// A user event triggered by one call and collected by the next; raw epoll: an
// edge-triggered eventfd written and collected.
void BM_KeventUserTrigger(benchmark::State& state) {
    int kq = kqueue();
    struct kevent c;
    EV_SET(&c, 1, EVFILT_USER, EV_ADD | EV_CLEAR, 0, 0, nullptr);
    if (kq < 0 || kevent(kq, &c, 1, nullptr, 0, nullptr) != 0) {
        state.SkipWithError(strerror(errno));
        if (kq >= 0) close(kq);
        return;
    }
    struct kevent trigger;
    EV_SET(&trigger, 1, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
    struct kevent evs[kMaxEvents];
    const timespec zero{0, 0};
    long before = g_allocations.load();
    for (auto _ : state) {
        if (kevent(kq, &trigger, 1, nullptr, 0, nullptr) != 0 ||
            kevent(kq, nullptr, 0, evs, kMaxEvents, &zero) != 1) {
            state.SkipWithError("trigger not delivered");
            break;
        }
    }
    report(state, 1, g_allocations.load() - before);
    close(kq);
}

void BM_EpollEventfdTrigger(benchmark::State& state) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    int e = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    if (ep < 0 || e < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, e, &ev) != 0) {
        state.SkipWithError(strerror(errno));
    } else {
        epoll_event evs[kMaxEvents];
        const uint64_t one = 1;
        long before = g_allocations.load();
        for (auto _ : state) {
            if (write(e, &one, sizeof(one)) != sizeof(one) || epoll_wait(ep, evs, kMaxEvents, 0) != 1) {
                state.SkipWithError("trigger not delivered");
                break;
            }
        }
        report(state, 1, g_allocations.load() - before);
    }
    if (e >= 0) close(e);
    if (ep >= 0) close(ep);
}

void Rows(benchmark::internal::Benchmark* b) {
    b->ArgNames({"registered", "ready"});
    b->Args({10000, 100});
    b->Args({10000, 1});
    b->Args({1, 0});  // the empty poll: one idle descriptor
}

BENCHMARK_TEMPLATE(BM_Kevent, Source::kPipe, 0)->Name("row/kevent")->Apply(Rows);
BENCHMARK_TEMPLATE(BM_Epoll, Source::kPipe, true)->Name("row/epoll+FIONREAD")->Apply(Rows);
BENCHMARK(BM_KeventUserTrigger)->Name("row/kevent_user_trigger");
BENCHMARK(BM_EpollEventfdTrigger)->Name("row/epoll_eventfd_trigger");

// The system calls only the stand-in makes, one at a time on a connected TCP
// loopback socket with data waiting: what a model of the echo loop without them
// takes off per call.
enum class Extra { kFionread, kWriteSpace, kMarkerMod };

template <Extra what>
void BM_EmulationOnly(benchmark::State& state) {
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int c = -1, a = -1;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    int marker = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event mev{};
    bool ok = l >= 0 && ep >= 0 && marker >= 0 &&
              bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(l, 1) == 0 &&
              getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
              (c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) >= 0 &&
              connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
              (a = accept(l, nullptr, nullptr)) >= 0 && write(c, "0123456789", 10) == 10 &&
              epoll_ctl(ep, EPOLL_CTL_ADD, marker, &mev) == 0;
    if (!ok) {
        state.SkipWithError(strerror(errno));
    } else {
        for (auto _ : state) {
            int v = 0;
            if (what == Extra::kFionread) {
                ioctl(a, FIONREAD, &v);
            } else if (what == Extra::kWriteSpace) {
                socklen_t vl = sizeof(v);
                getsockopt(a, SOL_SOCKET, SO_SNDBUF, &v, &vl);
                ioctl(a, SIOCOUTQ, &v);
            } else {
                v = epoll_ctl(ep, EPOLL_CTL_MOD, marker, &mev);
            }
            benchmark::DoNotOptimize(v);
        }
    }
    for (int fd : {l, c, a, ep, marker}) {
        if (fd >= 0) close(fd);
    }
}

BENCHMARK_TEMPLATE(BM_EmulationOnly, Extra::kFionread)->Name("cost/FIONREAD (read event data)");
BENCHMARK_TEMPLATE(BM_EmulationOnly, Extra::kWriteSpace)
    ->Name("cost/SO_SNDBUF+SIOCOUTQ (write event data)");
BENCHMARK_TEMPLATE(BM_EmulationOnly, Extra::kMarkerMod)->Name("cost/epoll_ctl MOD (identity check, wake marker)");

void Sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"registered", "ready"});
    for (auto nk : {std::pair<int, int>{1, 1}, {100, 1}, {100, 100}, {10000, 1}, {10000, 100}}) {
        b->Args({nk.first, nk.second});
    }
}

BENCHMARK_TEMPLATE(BM_Epoll, Source::kPipe, false)->Name("pipe/epoll")->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Epoll, Source::kPipe, true)->Name("pipe/epoll+FIONREAD")->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Kevent, Source::kPipe, 0)->Name("pipe/kevent")->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Epoll, Source::kEventfd, false)->Name("eventfd/epoll")->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Kevent, Source::kEventfd, 0)->Name("eventfd/kevent")->Apply(Sizes);

}  // namespace

int main(int argc, char** argv) {
    // 10 000 registered descriptors plus the benchmark's own.
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 12000) {
        rlimit want = rl;
        want.rlim_cur = 12000;
        if (want.rlim_max < want.rlim_cur) want.rlim_max = want.rlim_cur;  // needs privilege
        if (setrlimit(RLIMIT_NOFILE, &want) != 0) {
            rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
