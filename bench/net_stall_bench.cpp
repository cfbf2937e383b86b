// SPDX-License-Identifier: MIT
// Latencies of the socket manager's connection life on loopback, against a plain server
// (a blocking accept loop on a thread, with the system's largest backlog) in the same run:
// a burst of 30 simultaneous connects until all are connected and accepted, a host
// thread's close until the peer reads the end of the stream, and a connect-and-close cycle
// of the manager's own Open against plain connect and close. The repetitions run
// interleaved in random order; the program ends by printing each median in milliseconds
// and the manager's median over the plain one.
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <brindle/net/XSocketMgr.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBurst = 30;

sockaddr_in Loopback(uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

// What a server has accepted: how many connections, and the last one (a handler's
// reference, or a descriptor).
struct Accepted {
    std::atomic<int> count{0};
    std::atomic<int64_t> last{-1};
};

class Counter : public XSocketHandler {
  public:
    Counter(sockaddr_in* address, int socket, bool udp, void* accepted)
        : XSocketHandler(address, socket, udp, accepted) {}

  private:
    int32_t OnConnect() override {
        Accepted* accepted = static_cast<Accepted*>(Context());
        accepted->last = GetRef();
        ++accepted->count;
        return 0;
    }
};

XSocketHandler* MakeCounter(sockaddr_in* address, int socket, bool udp, void* accepted) {
    return new Counter(address, socket, udp, accepted);
}

class ManagerServer {
  public:
    ManagerServer() {
        XSocketMgr::Init();
        XSocketMgr::Current()->Start();
        listener_ = XSocketMgr::Current()->StartListening(htonl(INADDR_LOOPBACK), 0, false,
                                                          MakeCounter, &accepted, &port);
    }
    ~ManagerServer() {
        XSocketMgr::Current()->StopListening(listener_);
        XSocketMgr::Current()->Stop();
        XSocketMgr::Dispose();
    }
    void Close(int64_t last) { XSocketMgr::Current()->Close(static_cast<uint32_t>(last)); }

    Accepted accepted;
    uint16_t port = 0;

  private:
    XSocketListener* listener_;
};

// Accepts on a thread of its own and keeps the last connection open until told to close it.
class PlainServer {
  public:
    PlainServer() : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        listen(listener_, SOMAXCONN);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                int64_t previous = accepted.last.exchange(fd);
                if (previous >= 0)
                    close(static_cast<int>(previous));
                ++accepted.count;
            }
        });
    }
    ~PlainServer() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        Close(accepted.last.exchange(-1));
    }
    void Close(int64_t last) {
        if (last >= 0 && accepted.last.compare_exchange_strong(last, -1))
            close(static_cast<int>(last));
    }

    Accepted accepted;
    uint16_t port = 0;

  private:
    int listener_;
    std::thread thread_;
};

ManagerServer* g_manager = nullptr;
PlainServer* g_plain = nullptr;

void WaitFor(const std::atomic<int>& count, int want) {
    while (count.load() < want)
        std::this_thread::yield();
}

template <class Server>
void BM_ConnectBurst(benchmark::State& state, Server** server) {
    const sockaddr_in to = Loopback((*server)->port);
    for (auto _ : state) {
        int before = (*server)->accepted.count.load();
        std::vector<pollfd> burst;
        Clock::time_point began = Clock::now();
        for (int i = 0; i < kBurst; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            burst.push_back({fd, POLLOUT, 0});
        }
        for (pollfd& one : burst)
            poll(&one, 1, -1);
        WaitFor((*server)->accepted.count, before + kBurst);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - began).count());
        for (const pollfd& one : burst)
            close(one.fd);
    }
}

template <class Server>
void BM_CloseToPeer(benchmark::State& state, Server** server) {
    const sockaddr_in to = Loopback((*server)->port);
    for (auto _ : state) {
        int before = (*server)->accepted.count.load();
        int peer = socket(AF_INET, SOCK_STREAM, 0);
        connect(peer, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        WaitFor((*server)->accepted.count, before + 1);
        char byte;
        Clock::time_point began = Clock::now();
        (*server)->Close((*server)->accepted.last.load());
        if (recv(peer, &byte, 1, 0) != 0)
            state.SkipWithError("the peer did not read the end of the stream");
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - began).count());
        close(peer);
    }
}

// The manager's Open and Close against a plain listener, and the same with plain calls.
void BM_OpenClose(benchmark::State& state, bool manager) {
    PlainServer target;
    for (auto _ : state) {
        Clock::time_point began = Clock::now();
        if (manager) {
            uint32_t reference = 0;
            if (XSocketMgr::Current()->Open(htonl(INADDR_LOOPBACK), target.port, false, MakeCounter,
                                            &g_manager->accepted, &reference) != 0)
                state.SkipWithError("Open failed");
            XSocketMgr::Current()->Close(reference);
        } else {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to = Loopback(target.port);
            connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            close(fd);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - began).count());
    }
}

// The console output, plus the median time of each benchmark.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    ManagerServer manager;
    PlainServer plain;
    g_manager = &manager;
    g_plain = &plain;
    auto add = [](const std::string& name, auto run, auto server, int iterations) {
        benchmark::RegisterBenchmark(name.c_str(), run, server)
            ->Iterations(iterations)
            ->Repetitions(7)
            ->ReportAggregatesOnly(true)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    add("ConnectBurst30/manager", BM_ConnectBurst<ManagerServer>, &g_manager, 20);
    add("ConnectBurst30/plain", BM_ConnectBurst<PlainServer>, &g_plain, 20);
    add("CloseToPeer/manager", BM_CloseToPeer<ManagerServer>, &g_manager, 100);
    add("CloseToPeer/plain", BM_CloseToPeer<PlainServer>, &g_plain, 100);
    add("OpenClose/manager", BM_OpenClose, true, 200);
    add("OpenClose/plain", BM_OpenClose, false, 200);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* kind : {"ConnectBurst30", "CloseToPeer", "OpenClose"}) {
        std::string name = kind;
        auto& medians = reporter.medians;
        if (medians.count(name + "/manager") && medians.count(name + "/plain")) {
            double managed = medians[name + "/manager"];
            double baseline = medians[name + "/plain"];
            printf("%s: manager %.3f ms, plain %.3f ms, manager / plain time: %.2f\n", kind,
                   managed, baseline, managed / baseline);
        }
    }
    benchmark::Shutdown();
    return 0;
}
