// SPDX-License-Identifier: MIT

#include "net/Sockets.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brindle {
namespace {

// Runs a system call again while a signal interrupts it.
template <class Call>
auto RetryInterrupted(Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

// Maps a transfer's result onto the layer's convention.
ssize_t TransferResult(ssize_t result) {
    if (result >= 0)
        return result;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
}

// Maps a datagram transfer's result onto the layer's convention. Only errors that say the
// socket itself is unusable are -1; a shortage of buffers passes; everything else (EINVAL
// for port 0, EACCES, EPERM, EHOSTUNREACH, ENETUNREACH, ECONNREFUSED, EMSGSIZE, ...)
// concerns the one datagram.
ssize_t DatagramResult(ssize_t result) {
    if (result >= 0)
        return result;
    switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ENOBUFS:
        case ENOMEM:
            return kWouldBlock;
        case EBADF:
        case ENOTSOCK:
        case EFAULT:
        case EOPNOTSUPP:
        case ENOTCONN:
        case EPIPE:
        case ESHUTDOWN:
            return -1;
        default:
            return kDatagramRefused;
    }
}

// True when the whitespace-separated names after the address on a hosts line include name.
bool LineNames(char* names, const char* name) {
    char* save = nullptr;
    for (char* word = strtok_r(names, " \t\r\n", &save); word != nullptr;
         word = strtok_r(nullptr, " \t\r\n", &save)) {
        if (strcasecmp(word, name) == 0)
            return true;
    }
    return false;
}

// The first IPv4 address that /etc/hosts gives the name; 0 when it gives none.
uint32_t HostsFileAddress(const char* name) {
    FILE* hosts = fopen("/etc/hosts", "re");
    if (hosts == nullptr)
        return 0;
    uint32_t found = 0;
    char line[1024];
    while (found == 0 && fgets(line, sizeof line, hosts) != nullptr) {
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] != '\n' && !feof(hosts)) {
            // Longer than the buffer: skip the rest of it.
            int c;
            while ((c = fgetc(hosts)) != EOF && c != '\n') {
            }
            continue;
        }
        if (char* comment = strchr(line, '#'))
            *comment = '\0';
        char* save = nullptr;
        char* address = strtok_r(line, " \t\r\n", &save);
        in_addr parsed;
        if (address != nullptr && inet_pton(AF_INET, address, &parsed) == 1 &&
            LineNames(save, name)) {
            found = parsed.s_addr;
        }
    }
    fclose(hosts);
    return found;
}

// Turns Nagle's algorithm off. The write thread sends whole queued items, so holding back
// the small last segment of one until the previous is acknowledged only adds latency: up
// to a delayed acknowledgement (40 ms) for each item. A failure only costs that latency.
void SendWithoutDelay(int socket) {
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in made = {};
    made.sin_family = AF_INET;
    made.sin_port = htons(port);
    made.sin_addr.s_addr = address;
    return made;
}

int OpenSocket(bool udp) {
    if (udp)
        return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd >= 0)
        SendWithoutDelay(fd);
    return fd;
}

bool SetBlocking(int socket, bool blocking) {
    int flags = fcntl(socket, F_GETFL);
    if (flags < 0)
        return false;
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return fcntl(socket, F_SETFL, flags) == 0;
}

bool Bind(int socket, uint32_t local, uint16_t port, bool reuse) {
    int on = 1;
    if (reuse && setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return false;
    sockaddr_in address = MakeAddress(local, port);
    return bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

uint16_t BoundPort(int socket) {
    sockaddr_in address = {};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool Listen(int socket) {
    return listen(socket, SOMAXCONN) == 0;
}

int Accept(int listener, sockaddr_in* peer) {
    socklen_t length = sizeof *peer;
    return RetryInterrupted([&] {
        return accept4(listener, reinterpret_cast<sockaddr*>(peer), &length, SOCK_CLOEXEC);
    });
}

int DuplicateSocket(int socket) {
    return fcntl(socket, F_DUPFD_CLOEXEC, 0);
}

int StartConnect(int socket, const sockaddr_in* remote) {
    if (!SetBlocking(socket, false))
        return -1;
    int result = connect(socket, reinterpret_cast<const sockaddr*>(remote), sizeof *remote);
    bool pending = result != 0 && (errno == EINPROGRESS || errno == EINTR);
    if (!SetBlocking(socket, true))
        return -1;
    if (result == 0)
        return 0;
    return pending ? 1 : -1;
}

int AwaitConnect(int socket, int milliseconds) {
    pollfd watched = {socket, POLLOUT, 0};
    int ready = poll(&watched, 1, milliseconds);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return 0;
    if (ready < 0)
        return -1;
    int error = 0;
    socklen_t length = sizeof error;
    bool connected = getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    return connected ? 1 : -1;
}

ssize_t Send(int socket, const void* data, size_t size) {
    return TransferResult(
        RetryInterrupted([&] { return send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT); }));
}

ssize_t SendGathered(int socket, const iovec* slices, size_t count) {
    msghdr message = {};
    message.msg_iov = const_cast<iovec*>(slices);
    message.msg_iovlen = count;
    return TransferResult(
        RetryInterrupted([&] { return sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT); }));
}

ssize_t SendTo(int socket, const void* data, size_t size, const sockaddr_in* to) {
    return DatagramResult(RetryInterrupted([&] {
        return sendto(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT,
                      reinterpret_cast<const sockaddr*>(to), sizeof *to);
    }));
}

ssize_t Receive(int socket, void* buffer, size_t size, bool datagram) {
    // MSG_TRUNC reports a datagram's real length; on a stream it would discard data.
    int flags = MSG_DONTWAIT | (datagram ? MSG_TRUNC : 0);
    ssize_t got = RetryInterrupted([&] { return recv(socket, buffer, size, flags); });
    return datagram ? DatagramResult(got) : TransferResult(got);
}

ssize_t ReceiveFrom(int socket, void* buffer, size_t size, sockaddr_in* from) {
    socklen_t length = sizeof *from;
    return DatagramResult(RetryInterrupted([&] {
        return recvfrom(socket, buffer, size, MSG_DONTWAIT | MSG_TRUNC,
                        reinterpret_cast<sockaddr*>(from), &length);
    }));
}

bool WaitReadable(int socket, int milliseconds) {
    pollfd watched = {socket, POLLIN, 0};
    return poll(&watched, 1, milliseconds) == 1;
}

bool IsWritable(int socket) {
    pollfd watched = {socket, POLLOUT, 0};
    return poll(&watched, 1, 0) == 1;
}

void AbortSocket(int socket) {
    shutdown(socket, SHUT_RDWR);
}

void CloseSocket(int socket) {
    // Not retried on EINTR: Linux releases the descriptor even then.
    close(socket);
}

void ResetSocket(int socket) {
    linger reset = {1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    CloseSocket(socket);
}

uint32_t LookupHost(const char* name) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0)
        return 0;
    uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return address;
}

uint32_t LocalHostAddress() {
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return 0;
    name[sizeof name - 1] = '\0';
    in_addr numeric;
    if (inet_pton(AF_INET, name, &numeric) == 1)
        return numeric.s_addr;
    return HostsFileAddress(name);
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(gettid());
}

EventPoll::EventPoll() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}

EventPoll::~EventPoll() {
    if (fd_ >= 0)
        close(fd_);
}

bool EventPoll::Add(int socket, uint32_t events, uint64_t word) {
    epoll_event event = {};
    event.events = events;
    event.data.u64 = word;
    return epoll_ctl(fd_, EPOLL_CTL_ADD, socket, &event) == 0;
}

bool EventPoll::Modify(int socket, uint32_t events, uint64_t word) {
    epoll_event event = {};
    event.events = events;
    event.data.u64 = word;
    return epoll_ctl(fd_, EPOLL_CTL_MOD, socket, &event) == 0;
}

void EventPoll::Remove(int socket) {
    epoll_ctl(fd_, EPOLL_CTL_DEL, socket, nullptr);
}

uint32_t EventPoll::Wait(epoll_event* events, uint32_t capacity, int milliseconds) {
    int ready = epoll_wait(fd_, events, static_cast<int>(capacity), milliseconds);
    return ready > 0 ? static_cast<uint32_t>(ready) : 0;
}

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), signalled_(false) {}

WakeEvent::~WakeEvent() {
    if (fd_ >= 0)
        close(fd_);
}

void WakeEvent::Signal() {
    if (fd_ < 0 || signalled_.exchange(true))
        return;
    uint64_t one = 1;
    RetryInterrupted([&] { return write(fd_, &one, sizeof one); });
}

void WakeEvent::Clear() {
    if (fd_ < 0)
        return;
    // Read before the flag is cleared: a Signal that comes in between finds the flag set and
    // writes nothing, which is right, since the owner acts on what it signalled after this;
    // clearing first would let such a write be read away with the flag left set, silencing
    // every later Signal.
    uint64_t count;
    RetryInterrupted([&] { return read(fd_, &count, sizeof count); });
    signalled_.store(false);
}

}  // namespace brindle
