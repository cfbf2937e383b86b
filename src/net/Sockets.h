// SPDX-License-Identifier: MIT
// The sockets layer: the BSD socket calls beneath the socket manager.
//
// Every socket is IPv4 and close-on-exec. Transfers never wait: sends pass MSG_NOSIGNAL |
// MSG_DONTWAIT (a closed peer never raises SIGPIPE), receives MSG_DONTWAIT, and a call
// interrupted by a signal is retried. Readiness is waited for with epoll (EventPoll: many
// sockets, at a cost per ready socket only) or poll (one socket), so descriptors of any
// number work.
#ifndef BRINDLE_NET_SOCKETS_H_
#define BRINDLE_NET_SOCKETS_H_

#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>

namespace brindle {

// What a transfer returns when it would have had to wait.
constexpr ssize_t kWouldBlock = -2;
// What a datagram transfer returns when the system refused that one datagram (a bad or
// unreachable destination, a datagram too large for the route, an error an earlier
// datagram left behind) while the socket itself is sound.
constexpr ssize_t kDatagramRefused = -3;

// An IPv4 address record: `address` in network byte order, `port` in host byte order.
sockaddr_in MakeAddress(uint32_t address, uint16_t port);

// A new blocking socket, TCP or UDP; -1 on failure. TCP sockets send without Nagle's
// delay (TCP_NODELAY), and so do the connections a listening one accepts, which inherit it.
int OpenSocket(bool udp);
// Sets or clears O_NONBLOCK; false on failure.
bool SetBlocking(int socket, bool blocking);
// Binds to the local address (network byte order; INADDR_ANY for every interface) and the
// port (host byte order; 0 lets the system choose). `reuse` lets a listening TCP socket
// take a port that closed connections still hold.
bool Bind(int socket, uint32_t address, uint16_t port, bool reuse = false);
// The port (host byte order) the socket is bound to; 0 on failure.
uint16_t BoundPort(int socket);
// Listens with the system's largest backlog (SOMAXCONN), so that a burst of connects waits
// in the backlog instead of having its SYNs dropped and retried a second later.
bool Listen(int socket);
// Accepts one waiting connection as a new blocking socket and fills in the peer; -1 when
// none is waiting or the call fails.
int Accept(int listener, sockaddr_in* peer);
// A second descriptor for the same socket; -1 on failure.
int DuplicateSocket(int socket);

// Starts connecting a blocking socket without waiting for the handshake: 0 when connected
// at once, 1 when the connect goes on in the background, -1 when it failed.
int StartConnect(int socket, const sockaddr_in* remote);
// Waits up to `milliseconds` for a started connect to end: 1 when it connected, 0 when it
// is still under way, -1 when it failed. A shutdown of the socket from another thread ends
// the wait.
int AwaitConnect(int socket, int milliseconds);

// Sends without waiting: the bytes taken, kWouldBlock, or -1.
ssize_t Send(int socket, const void* data, size_t size);
// Sends the slices, in order, in one call without waiting: the bytes taken, kWouldBlock, or
// -1.
ssize_t SendGathered(int socket, const iovec* slices, size_t count);
// Sends one datagram without waiting: its size, kWouldBlock (also when the system is short
// of buffers), kDatagramRefused, or -1 when the socket itself has failed.
ssize_t SendTo(int socket, const void* data, size_t size, const sockaddr_in* to);
// Receives without waiting: the bytes received (0 is the end of a stream), kWouldBlock, or
// -1. For a datagram socket the datagram's full length, which exceeds `size` when the
// datagram did not fit (the rest of it is lost), and kDatagramRefused for an error that
// concerns one datagram rather than the socket.
ssize_t Receive(int socket, void* buffer, size_t size, bool datagram);
// Receives one datagram without waiting, as Receive does, and fills in its sender.
ssize_t ReceiveFrom(int socket, void* buffer, size_t size, sockaddr_in* from);
// Waits up to `milliseconds` for the socket to become readable; true when it has.
bool WaitReadable(int socket, int milliseconds);
// True when the socket has room to send now, or has failed (a send then reports it).
bool IsWritable(int socket);
// Shuts both directions down, which also ends a connect in progress.
void AbortSocket(int socket);
void CloseSocket(int socket);
// Closes a TCP socket with a reset (SO_LINGER with a time of 0) instead of an end of
// stream, so that the peer learns that data meant for it was dropped.
void ResetSocket(int socket);

// The first IPv4 address of a host name (network byte order); 0 when there is none.
uint32_t LookupHost(const char* name);
// The address of the local host name, from the name itself when it is dotted decimal, else
// from /etc/hosts; never asks a name server, so it cannot stall. 0 when not found.
uint32_t LocalHostAddress();

// The manager's caller id for a thread; never 0.
uint32_t CurrentThreadId();

// An epoll instance: a set of descriptors of any size, each watched for the events asked
// for, whose Wait costs in proportion to the descriptors that are ready, not to those
// watched. Each descriptor carries a 64-bit word that Wait hands back with its events.
// Errors and hang-ups are always reported. Any thread may change the set while another
// waits on it; a descriptor that becomes watched while ready ends that wait.
class EventPoll {
  public:
    EventPoll();
    ~EventPoll();
    EventPoll(const EventPoll&) = delete;
    EventPoll& operator=(const EventPoll&) = delete;

    // False when no epoll instance could be made; every call then fails.
    bool Ready() const { return fd_ >= 0; }
    // Watches `socket` for `events` (EPOLLIN, EPOLLOUT, EPOLLONESHOT...); false on failure.
    bool Add(int socket, uint32_t events, uint64_t word);
    // Changes what a watched socket is watched for, and its word; false on failure.
    bool Modify(int socket, uint32_t events, uint64_t word);
    // Stops watching the socket.
    void Remove(int socket);
    // Waits up to `milliseconds` (-1 without limit) and fills `events` with up to `capacity`
    // reports; returns how many, 0 on time-out or failure.
    uint32_t Wait(epoll_event* events, uint32_t capacity, int milliseconds);

  private:
    int fd_;
};

// An eventfd that wakes a thread out of its poll: Signal makes the descriptor readable
// until Clear, which the owner calls when its poll finds it so, before it looks at its work.
// Signals that come while one is outstanding cost no system call.
class WakeEvent {
  public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // -1 when no eventfd could be made; the owner then wakes only on its time-outs.
    int Descriptor() const { return fd_; }
    void Signal();
    void Clear();

  private:
    int fd_;
    std::atomic<bool> signalled_;
};

}  // namespace brindle

#endif  // BRINDLE_NET_SOCKETS_H_
