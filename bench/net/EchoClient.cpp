// SPDX-License-Identifier: MIT
#include "EchoClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

// How long the client waits for the server before it calls the workload failed.
constexpr int kPatienceSeconds = 5;
constexpr int kWarmUpRoundTrips = 1000;
constexpr size_t kBulkMessage = 64 * 1024;
constexpr int kBulkInFlight = 2;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Failure(const char* what) {
    return std::string(what) + (errno != 0 ? std::string(": ") + strerror(errno) : "");
}

// The measured part of a workload: wall time and the server's CPU time from Start to Stop.
class Window {
  public:
    Window(const ServerProcess& server, Measurement* measurement)
        : server_(server), measurement_(measurement) {}
    void Start() {
        cpuStart_ = server_.CpuSeconds();
        start_ = Now();
    }
    double Elapsed(double now) const { return now - start_; }
    void Stop(double now) {
        measurement_->serverCpuSeconds = server_.CpuSeconds() - cpuStart_;
        measurement_->seconds = now - start_;
    }

  private:
    const ServerProcess& server_;
    Measurement* measurement_;
    double start_ = 0;
    double cpuStart_ = 0;
};

// Closes with a reset: the client never needs the orderly end, and a reset leaves no
// socket in TIME_WAIT behind.
void Abort(int fd) {
    linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

// The client's sockets of one workload, all reset when it ends, and the epoll that watches
// them when there are many.
class Connections {
  public:
    ~Connections() {
        for (int fd : fds_)
            Abort(fd);
        if (epoll_ >= 0)
            close(epoll_);
    }
    // Connects one more blocking socket to the loopback port; -1 with *error set on failure.
    int Add(uint16_t port, std::string* error) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = Failure("socket");
            return -1;
        }
        fds_.push_back(fd);
        int on = 1;
        timeval patience = {kPatienceSeconds, 0};
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            *error = Failure("connect");
            return -1;
        }
        return fd;
    }
    // Makes every socket non-blocking and watched for reading by one epoll, which it
    // returns; -1 with *error set on failure.
    int WatchAll(std::string* error) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        for (int fd : fds_) {
            epoll_event event = {};
            event.events = EPOLLIN;
            event.data.fd = fd;
            if (epoll_ < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
                epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
                *error = Failure("watching the connections with epoll");
                return -1;
            }
        }
        return epoll_;
    }
    const std::vector<int>& Fds() const { return fds_; }

  private:
    std::vector<int> fds_;
    int epoll_ = -1;
};

// Sends or receives all `size` bytes on a blocking socket; false with *error set when the
// connection fails, ends, or the server takes longer than the client's patience.
bool SendAll(int fd, const char* data, size_t size, std::string* error) {
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            *error = Failure("send");
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, char* data, size_t size, std::string* error) {
    while (size > 0) {
        errno = 0;
        ssize_t got = recv(fd, data, size, 0);
        if (got <= 0) {
            *error = Failure(got == 0 ? "the server closed the connection" : "receive");
            return false;
        }
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// The many-connection client's loop: waits for replies on the connections in `epoll`, adds
// the bytes that came back to *replies and, when `sendBack`, sends them back again, until
// `keepGoing` returns false. False with *error set when a connection fails or nothing comes
// back for the client's patience.
template <class KeepGoing>
bool AwaitReplies(int epoll, KeepGoing keepGoing, bool sendBack, uint64_t* replies,
                  std::string* error) {
    epoll_event events[256];
    char bytes[256];
    while (keepGoing()) {
        int ready = epoll_wait(epoll, events, 256, kPatienceSeconds * 1000);
        if (ready <= 0) {
            errno = ready == 0 ? ETIMEDOUT : errno;
            *error = Failure("waiting for replies");
            return false;
        }
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            errno = 0;
            ssize_t got = recv(fd, bytes, sizeof bytes, 0);
            if (got < 0 && errno == EAGAIN)
                continue;
            if (got <= 0) {
                *error = Failure(got == 0 ? "the server closed a connection" : "receive");
                return false;
            }
            *replies += static_cast<uint64_t>(got);
            if (sendBack && send(fd, bytes, static_cast<size_t>(got), MSG_NOSIGNAL) != got) {
                *error = Failure("send");
                return false;
            }
        }
    }
    return true;
}

// Sends one byte on every connection.
bool SendByteOnEach(const std::vector<int>& fds, std::string* error) {
    for (int fd : fds) {
        if (!SendAll(fd, "x", 1, error))
            return false;
    }
    return true;
}

}  // namespace

Measurement PingPong(const ServerProcess& server, double seconds) {
    Measurement result;
    Connections connections;
    int fd = connections.Add(server.Port(), &result.error);
    if (fd < 0)
        return result;
    char byte = 'p';
    auto roundTrip = [&] {
        return SendAll(fd, &byte, 1, &result.error) && ReceiveAll(fd, &byte, 1, &result.error);
    };
    for (int i = 0; i < kWarmUpRoundTrips; ++i) {
        if (!roundTrip())
            return result;
    }
    Window window(server, &result);
    window.Start();
    double last = Now();
    // Room for round trips of 5 us, so that the vector seldom grows while it measures.
    result.roundTripTimes.reserve(static_cast<size_t>(seconds * 2e5));
    do {
        if (!roundTrip())
            return result;
        double now = Now();
        result.roundTripTimes.push_back(now - last);
        last = now;
    } while (window.Elapsed(last) < seconds);
    window.Stop(last);
    result.roundTrips = result.roundTripTimes.size();
    return result;
}

Measurement BulkEcho(const ServerProcess& server, double seconds) {
    Measurement result;
    Connections connections;
    int fd = connections.Add(server.Port(), &result.error);
    if (fd < 0)
        return result;
    std::vector<char> message(kBulkMessage, 'b');
    auto echo = [&] {
        return ReceiveAll(fd, message.data(), message.size(), &result.error) &&
               SendAll(fd, message.data(), message.size(), &result.error);
    };
    for (int i = 0; i < kBulkInFlight; ++i) {
        if (!SendAll(fd, message.data(), message.size(), &result.error))
            return result;
    }
    for (int i = 0; i < kBulkInFlight; ++i) {
        if (!echo())
            return result;
    }
    Window window(server, &result);
    window.Start();
    double now;
    do {
        if (!echo())
            return result;
        result.bytesEchoed += kBulkMessage;
        now = Now();
    } while (window.Elapsed(now) < seconds);
    window.Stop(now);
    return result;
}

Measurement ManyPingPongs(const ServerProcess& server, uint32_t count, double seconds) {
    Measurement result;
    Connections connections;
    for (uint32_t i = 0; i < count; ++i) {
        if (connections.Add(server.Port(), &result.error) < 0)
            return result;
    }
    int epoll = connections.WatchAll(&result.error);
    if (epoll < 0)
        return result;
    // Warm-up: one round trip on each connection, so that every one is accepted and served.
    uint64_t warmUpReplies = 0;
    if (!SendByteOnEach(connections.Fds(), &result.error) ||
        !AwaitReplies(
            epoll, [&] { return warmUpReplies < count; }, false, &warmUpReplies, &result.error)) {
        return result;
    }
    Window window(server, &result);
    window.Start();
    double now = Now();
    if (!SendByteOnEach(connections.Fds(), &result.error) ||
        !AwaitReplies(
            epoll, [&] { return window.Elapsed(now = Now()) < seconds; }, true, &result.roundTrips,
            &result.error)) {
        return result;
    }
    window.Stop(now);
    return result;
}
