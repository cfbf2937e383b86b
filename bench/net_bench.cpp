// SPDX-License-Identifier: MIT
// The socket manager as a TCP echo server against a hand-written epoll echo loop, both on
// loopback and driven by the same plain blocking client: a 1-byte ping-pong round trip, and
// bulk throughput with 64 KiB messages. The repetitions of both servers run interleaved in
// random order, and the program ends by printing the ratios of their medians.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <brindle/net/XSocketMgr.h>

namespace {

constexpr size_t kBulk = 64 * 1024;

sockaddr_in Loopback(uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

class EchoHandler : public XSocketHandler {
  public:
    EchoHandler(sockaddr_in* address, int socket, bool udp, void* context)
        : XSocketHandler(address, socket, udp, context) {}

  private:
    uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in*) override {
        SendData(data, size);
        return size;
    }
};

XSocketHandler* MakeEcho(sockaddr_in* address, int socket, bool udp, void* context) {
    return new EchoHandler(address, socket, udp, context);
}

class ManagerEcho {
  public:
    ManagerEcho() {
        XSocketMgr::Init();
        XSocketMgr::Current()->Start();
        listener_ = XSocketMgr::Current()->StartListening(0, false, MakeEcho, nullptr, &port_);
    }
    ~ManagerEcho() {
        XSocketMgr::Current()->StopListening(listener_);
        XSocketMgr::Current()->Stop();
        XSocketMgr::Dispose();
    }
    uint16_t port() const { return port_; }

  private:
    XSocketListener* listener_;
    uint16_t port_ = 0;
};

// The obvious epoll echo: one thread, non-blocking sockets, and per connection the bytes
// read but not yet written back; a connection with bytes pending waits for EPOLLOUT and
// reads nothing more meanwhile.
class EpollEcho {
  public:
    EpollEcho() : epoll_(epoll_create1(0)), stop_(eventfd(0, 0)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        listen(listener_, 8);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        Watch(listener_, EPOLLIN, EPOLL_CTL_ADD);
        Watch(stop_, EPOLLIN, EPOLL_CTL_ADD);
        thread_ = std::thread([this] { Run(); });
    }
    ~EpollEcho() {
        uint64_t one = 1;
        benchmark::DoNotOptimize(write(stop_, &one, sizeof one));
        thread_.join();
        for (auto& connection : pending_)
            close(connection.first);
        close(listener_);
        close(stop_);
        close(epoll_);
    }
    uint16_t port() const { return port_; }

  private:
    void Watch(int fd, uint32_t events, int operation) {
        epoll_event event = {};
        event.events = events;
        event.data.fd = fd;
        epoll_ctl(epoll_, operation, fd, &event);
    }
    void Run() {
        epoll_event events[64];
        std::vector<char> buffer(kBulk);
        for (;;) {
            int ready = epoll_wait(epoll_, events, 64, -1);
            for (int i = 0; i < ready; ++i) {
                int fd = events[i].data.fd;
                if (fd == stop_)
                    return;
                if (fd == listener_) {
                    int connection = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK);
                    if (connection >= 0) {
                        pending_[connection];
                        Watch(connection, EPOLLIN, EPOLL_CTL_ADD);
                    }
                    continue;
                }
                std::string& pending = pending_[fd];
                if (pending.empty()) {
                    ssize_t got = read(fd, buffer.data(), buffer.size());
                    if (got <= 0) {
                        close(fd);
                        pending_.erase(fd);
                        continue;
                    }
                    pending.assign(buffer.data(), static_cast<size_t>(got));
                }
                ssize_t sent = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
                if (sent < 0 && errno != EAGAIN) {
                    close(fd);
                    pending_.erase(fd);
                    continue;
                }
                pending.erase(0, static_cast<size_t>(std::max<ssize_t>(sent, 0)));
                Watch(fd, pending.empty() ? EPOLLIN : EPOLLOUT, EPOLL_CTL_MOD);
            }
        }
    }

    int epoll_;
    int stop_;
    int listener_;
    uint16_t port_ = 0;
    std::map<int, std::string> pending_;
    std::thread thread_;
};

uint16_t g_managerPort = 0;
uint16_t g_epollPort = 0;

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        abort();
    return fd;
}

void Transfer(ssize_t (*call)(int, void*, size_t, int), int fd, char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t moved = call(fd, data + done, size - done, 0);
        if (moved <= 0)
            abort();
        done += static_cast<size_t>(moved);
    }
}

ssize_t SendCall(int fd, void* data, size_t size, int flags) {
    return send(fd, data, size, flags);
}

void BM_RoundTrip(benchmark::State& state, const uint16_t* port) {
    int client = Connect(*port);
    char byte = 'x';
    for (auto _ : state) {
        Transfer(SendCall, client, &byte, 1);
        Transfer(recv, client, &byte, 1);
    }
    close(client);
}

// Each iteration reads one echoed message and writes the next, with kInFlight messages on
// their way, so that both servers can overlap reading and writing; few enough that the
// kernel's socket buffers hold them all, which a blocking client needs.
constexpr int kInFlight = 2;

void BM_Bulk(benchmark::State& state, const uint16_t* port) {
    int client = Connect(*port);
    std::vector<char> message(kBulk, 'b');
    for (int i = 0; i < kInFlight; ++i)
        Transfer(SendCall, client, message.data(), message.size());
    for (auto _ : state) {
        Transfer(recv, client, message.data(), message.size());
        Transfer(SendCall, client, message.data(), message.size());
    }
    for (int i = 0; i < kInFlight; ++i)
        Transfer(recv, client, message.data(), message.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBulk));
    close(client);
}

// The console output, plus the median real time of each benchmark.
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
    // Interleaves the repetitions of the two servers unless the command line says otherwise.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    ManagerEcho manager;
    EpollEcho epoll;
    g_managerPort = manager.port();
    g_epollPort = epoll.port();
    for (const char* kind : {"RoundTrip", "Bulk64KiB"}) {
        auto* run = std::string(kind) == "RoundTrip" ? BM_RoundTrip : BM_Bulk;
        for (auto [server, port] :
             {std::pair{"manager", &g_managerPort}, {"epoll", &g_epollPort}}) {
            benchmark::RegisterBenchmark((std::string(kind) + "/" + server).c_str(), run, port)
                ->Repetitions(7)
                ->ReportAggregatesOnly(true)
                ->UseRealTime();
        }
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& medians = reporter.medians;
    if (medians.count("RoundTrip/manager") && medians.count("RoundTrip/epoll")) {
        printf("round trip, manager / epoll time: %.2f\n",
               medians["RoundTrip/manager"] / medians["RoundTrip/epoll"]);
    }
    if (medians.count("Bulk64KiB/manager") && medians.count("Bulk64KiB/epoll")) {
        printf("bulk throughput, manager / epoll: %.2f\n",
               medians["Bulk64KiB/epoll"] / medians["Bulk64KiB/manager"]);
    }
    benchmark::Shutdown();
    return 0;
}
