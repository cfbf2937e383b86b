// SPDX-License-Identifier: MIT
// The floor: the least an echo server on epoll can do per message. One read, one send, and
// an epoll_ctl only when a connection starts or stops waiting for room to write.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "EchoServers.h"

namespace {

class EpollEcho {
  public:
    EpollEcho() : epoll_(epoll_create1(EPOLL_CLOEXEC)), buffer_(kEchoBufferSize) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (epoll_ < 0 || listener_ < 0 ||
            bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, SOMAXCONN) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            abort();
        }
        port_ = ntohs(address.sin_port);
        Watch(listener_, EPOLLIN, EPOLL_CTL_ADD);
    }

    uint16_t Port() const { return port_; }

    [[noreturn]] void Run() {
        epoll_event events[64];
        for (;;) {
            int ready = epoll_wait(epoll_, events, 64, -1);
            for (int i = 0; i < ready; ++i) {
                int fd = events[i].data.fd;
                if (fd == listener_)
                    AcceptAll();
                else
                    Serve(fd);
            }
        }
    }

  private:
    void Watch(int fd, uint32_t events, int operation) {
        epoll_event event = {};
        event.events = events;
        event.data.fd = fd;
        epoll_ctl(epoll_, operation, fd, &event);
    }

    void AcceptAll() {
        for (;;) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            if (static_cast<size_t>(fd) >= unsent_.size())
                unsent_.resize(static_cast<size_t>(fd) + 1);
            unsent_[static_cast<size_t>(fd)].clear();
            Watch(fd, EPOLLIN, EPOLL_CTL_ADD);
        }
    }

    // Reads when nothing is left to write, then writes what is left.
    void Serve(int fd) {
        std::string& unsent = unsent_[static_cast<size_t>(fd)];
        bool wasWaiting = !unsent.empty();
        if (!wasWaiting) {
            ssize_t got = read(fd, buffer_.data(), buffer_.size());
            if (got < 0 && errno == EAGAIN)
                return;
            if (got <= 0) {
                close(fd);
                return;
            }
            ssize_t sent = send(fd, buffer_.data(), static_cast<size_t>(got), MSG_NOSIGNAL);
            if (sent == got)
                return;
            if (sent < 0 && errno != EAGAIN) {
                close(fd);
                return;
            }
            size_t taken = sent > 0 ? static_cast<size_t>(sent) : 0;
            unsent.assign(buffer_.data() + taken, static_cast<size_t>(got) - taken);
        } else {
            ssize_t sent = send(fd, unsent.data(), unsent.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN) {
                close(fd);
                return;
            }
            unsent.erase(0, sent > 0 ? static_cast<size_t>(sent) : 0);
        }
        if (wasWaiting != !unsent.empty())
            Watch(fd, unsent.empty() ? EPOLLIN : EPOLLOUT, EPOLL_CTL_MOD);
    }

    int epoll_;
    int listener_;
    uint16_t port_ = 0;
    std::vector<char> buffer_;
    // By descriptor: the bytes read from the connection and not yet written back.
    std::vector<std::string> unsent_;
};

}  // namespace

void ServeEpoll(ServerReady ready) {
    EpollEcho server;
    ready(server.Port(), kNoConnectionLimit);
    server.Run();
}
