// SPDX-License-Identifier: MIT
// XSocketMgr: runs every TCP and UDP socket of the process on its own threads.
//
// The host creates the one manager with Init, starts its read and write threads with
// Start, opens outgoing connections with Open, listens with StartListening, and receives
// everything through the callbacks of its XSocketHandler subclasses, which the manager
// creates through the factory given with each Open and StartListening. Shutdown runs in
// reverse: StopListening for every listener, Stop as often as Start, then Dispose as often
// as Init. Init/Dispose and Start/Stop nest by counting; only the outermost calls act.
//
// Threads. The read thread reads every handler socket, accepts connections on the TCP
// listening sockets and fires the manager's soft signals (SignalManager). The write thread
// completes outgoing connects, sends the handlers' queued data, and closes disconnected
// sockets once their unsent data is out or their linger time has passed. Each UDP
// listener has a thread of its own that receives its datagrams.
//
// Where each endpoint is, while it is connected:
//   outgoing TCP:  read set; waiting for writability (in the write-wait set) until its
//                  connect completes and after each send until the socket is writable
//                  again, else ready to send.
//   accepted TCP and UDP from Open:  read set; ready or waiting, as above.
//   UDP listener's handler:  ready or waiting only (its thread reads).
//   TCP listening socket:  read set only.
// The sets are epoll instances, so a pass costs in proportion to the sockets that are
// ready, not to those watched. Each set watches at most the socket limit, 64 unless
// SetSocketLimit says otherwise, and a TCP listening socket takes one of the read set's
// places as a connection does. What happens to sockets beyond the limit is told under
// "Departures" below: none is starved. A handler whose host paused reading, or whose kept
// bytes reach its receive limit (XSocketHandler.h), leaves the read set until it reads
// again, and its place goes to the first in line.
//
// Which thread runs which callback, and whether the manager lock is held:
//   OnDataReceived of TCP and opened UDP handlers  read thread             held
//   OnConnect, OnReadyToWrite of accepted handlers read thread             held
//   factory on accept                              read thread             held
//   OnClose, OnConnectFailed after a read failure  read thread             held
//   soft-signal callbacks, incl. connect time-out  read thread             not held
//   OnConnect of outgoing TCP, OnReadyToWrite      write thread            held
//     after waiting for writability
//   OnClose after a failed send of a UDP listener's handler   write thread  held
//   OnDataReceived of a UDP listener's handler     the listener's thread   not held
//   OnClose of a UDP listener's handler closed     the listener's thread   not held
//     under the manager lock during a delivery
//   OnConnect, OnReadyToWrite of UDP handlers      the opening thread      not held
//   OnClose, OnConnectFailed from Close/Disconnect the calling thread      as the caller
// For an accepted connection OnConnect and then OnReadyToWrite come before any
// OnDataReceived. An outgoing connection's socket is read from the moment Open returns, so
// its OnConnect, on the write thread, has no fixed order against its first data.
//
// Locks, in the order they are taken: the manager lock (this XLocker), a handler's own lock,
// the registry's lock. Under the manager lock a handler's lock is only tried, except by the
// last Stop and the last Dispose, which wait for a thread still sending from the handler; so
// a host never calls into the manager while it holds a handler's lock. The start lock of
// Start and Stop is never held while the manager lock is wanted, and a SoftSignalMgr is
// never locked while it is. So a callback may call any manager operation; one that calls
// Start or Stop must only not race another thread's Start or Stop, which may wait for its
// thread.
//
// Sending from the calling thread. SendData and SendAllocatedData do not only queue: when
// nothing is queued, the handler's connect has completed and it is not waiting for
// writability after an earlier send, they send at once from the calling thread, without
// waiting, under the handler's own lock (and whatever lock the caller holds, never one that
// the order above puts after the handler's), and queue only what the socket did not take; a
// datagram goes whole or is queued whole. This is what libuv's uv_try_write and Asio's
// speculative write do, and it spares the write thread a wake-up and a lock hand-over for
// every message. Every callback keeps its thread and lock: after such a send the handler
// waits for its socket to become writable as after a send of the write thread, and
// OnReadyToWrite comes from the write thread once the socket has been found writable after
// the last send. ReadyToSend is true exactly when nothing is queued. Bytes given later
// never overtake bytes given earlier, since nothing is sent at once while anything is
// queued, and a disconnected handler refuses with -1 and sends nothing. What is given while
// a handler waits is queued, and the write thread sends up to 64 queued items of a TCP
// socket in one gathered call (sendmsg). Where waiting could change nothing it is left out:
// a handler whose OnReadyToWrite is XSocketHandler's own, which does nothing, does not wait
// after a send that left nothing queued, so each of its sends goes at once while the socket
// keeps up, one system call each, as with libuv's uv_write; a host that gives many small
// pieces in a row does best to join them.
//
// Waiting. Where a simple design would sleep or poll at fixed intervals, the threads wait
// for exactly what they need. These are deliberate choices about waiting only: they change
// how soon things happen, never which callback runs, on which thread, with which lock, nor
// which list or set an endpoint is in.
//   - The write thread waits on its set: the waiting sockets (each watched for one report,
//     armed by whichever thread made the send), every closing socket, and a wake
//     descriptor; for at most 1 s, the nearest closing deadline, or 10 ms while a handler
//     is to be tried again (its lock was busy, its send failed, or it waits for writability
//     without a place in the set). A send that starts a wait wakes it through the set;
//     queuing data for a ready handler, Disconnect, and the last Stop wake it at once. When
//     they happen during a pass of a manager thread, once that pass has released the
//     manager lock.
//   - The read thread's wait ends as soon as a watched socket has something to read, on the
//     last Stop, when a Post makes a new earliest soft signal, and when kept bytes are to
//     be offered again (ResumeReading, the receive limit); it waits at most 1 s and never
//     past the next soft signal, so signals fire within milliseconds of their due time
//     whether or not sockets are watched.
//   - Open does not hold the manager lock while a TCP connect waits, and holds a use of its
//     handler meanwhile. A disconnect while the connect waits (the connect time-out, Close,
//     Stop) shuts the socket down, which ends the wait: Open then returns -1. Open called on
//     the read thread still holds up reading while it connects.
//   - TCP listening sockets are non-blocking and the UDP listener thread waits for its
//     socket with poll, at most 10 ms at a time, instead of sleeping.
//   - A handler that waits for writability while the write-wait set is full is looked at
//     every 10 ms (its socket polled without waiting) until it is writable or a place frees.
//   - The manager holds a use of each handler it serves, from its entry until its
//     disconnect, where it is given back after OnClose and Delete, as the simple rule's own
//     use is; IsUsed counts it. The threads find handlers without registry lookups.
//
// Departures. Where following the simple rules to the letter would let one remote peer stop
// a service, starve or stall connections, or make a host lose data without knowing it, the
// manager departs from them. Every interface, result and callback contract stays:
//   - A UDP send that the system refuses for that one datagram (a bad or unreachable
//     destination such as port 0, EACCES, EPERM, EHOSTUNREACH, ENETUNREACH, ECONNREFUSED,
//     EMSGSIZE, ...) drops the datagram, as an oversized one is dropped, and the handler
//     lives on; only a failure of the socket itself disconnects a UDP listener's handler.
//     Otherwise one datagram from source port 0, answered, would end the listener's service.
//   - No callback of a UDP listener's handler follows its OnClose, and OnClose never runs
//     while its OnDataReceived does: a disconnect from another thread waits for a delivery
//     under way to return (one from inside the delivery does not), and no delivery starts
//     after it. A disconnect made while the thread holds the manager lock for a pass (from
//     a callback of the read or write thread, which the delivery may be waiting for) does
//     not wait: the listener's thread calls OnClose as soon as the delivery returns. A host
//     thread that holds the manager lock itself must not close such a handler.
//   - A UDP handler from Open gets one datagram per OnDataReceived, never more than
//     XSocketHandler::kMaxDatagram bytes, and what it leaves unconsumed is dropped with its
//     datagram rather than merged with the next; a datagram over the limit is dropped and
//     the handler lives on, as a listener's does.
//   - A connect time-out ends the Open waiting in connect on any thread, within the time-out
//     and a few milliseconds: when it falls due during the wait, Open fires it itself, which
//     matters when Open runs on the read thread, where soft signals cannot fire meanwhile.
//   - A socket that finds the read set full is not left unwatched: it waits in line, in the
//     order the sockets came (connections and listening sockets alike), and is watched as
//     soon as a place frees (a socket leaves, reading pauses, the limit is raised), so a
//     connection or listener beyond the limit is starved no longer than that wait, and a
//     peer's close frees its handler and descriptor once its socket is watched. An outgoing
//     connection that finds the write-wait set full is looked at every 10 ms, as above, its
//     connect having completed in Open.
//   - Unsent data is never dropped silently: when Close(0), an expired linger, a failed
//     send or the last Stop drops a TCP socket's queued data, the socket is closed with a
//     reset (SO_LINGER 0); a socket whose data all went out ends with a normal end of
//     stream. When a peer ends its stream (a half-close after a request), what was queued
//     for it before the end was read still drains for up to 10 seconds, though OnClose(0)
//     comes at once. Every closing socket is watched, not only the first 64.
//   - A disconnected handler's socket is closed only once its queue has been taken over
//     under the handler's lock, even past its linger time, since a thread sending from the
//     handler at once may still be using the socket; a host that holds the handler's lock
//     for long delays the close that long.
//   - Listening sockets take the system's largest backlog (SOMAXCONN) instead of 8, and the
//     read thread accepts every connection waiting on a listener in one pass (up to
//     SOMAXCONN at a time), so a burst of connects waits for no SYN to be sent again a
//     second later. Every disconnect wakes the write thread, so a Close reaches the peer
//     at once.
//   - Open fails with -1 while the manager does not run (before the first Start, after the
//     last Stop, and during the last Stop, so that a host reconnecting from OnClose cannot
//     keep Stop from ending; IsRunning tells). The last Dispose ends every listener still
//     listening and disconnects every handler still connected, closing every socket.
//   - StartListening stores the port in *boundPort whether it was asked for or chosen, and
//     an overload listens on one local address.
//
// Not copyable.
#ifndef BRINDLE_NET_XSOCKETMGR_H_
#define BRINDLE_NET_XSOCKETMGR_H_

#include <netinet/in.h>
#include <stdint.h>

#include <atomic>

#include "brindle/Export.h"
#include "brindle/concurrency/XLocker.h"
#include "brindle/net/SoftSignalMgr.h"
#include "brindle/net/XSocketHandler.h"

// Makes the handler for a new socket: the address (Open: the remote address; a UDP
// listener: any interface and the listening port; an accepted connection: the peer), the
// socket, the UDP flag and the host's context. Returns the new handler, or null to refuse
// the socket, which the manager then closes.
typedef XSocketHandler* (*XSocketFactory)(sockaddr_in* address, int socket, bool udp,
                                          void* context);

// A listener made by StartListening; the host only passes it back to StopListening.
struct XSocketListener;

class BRINDLE_API XSocketMgr : public XLocker {
  public:
    // Adds one to the Init count; the first call brings up the shared-object registry
    // (XTSObject::Init) and constructs the manager, which becomes Current(). Any thread.
    static void Init();
    // Takes one from the Init count; the call that brings it to 0 destroys the manager Init
    // made, releases the registry and forgets the cached local name. A host normally stops
    // the manager and its listeners first; whatever it left is released here: the threads
    // end, every listener is stopped and every handler disconnected (their OnClose runs on
    // this thread), every socket closed. Never from a callback.
    static void Dispose();
    // The current manager: null before the first Init and after the last Dispose.
    static XSocketMgr* Current();

    // The socket limit a manager starts with.
    static constexpr uint32_t kDefaultSocketLimit = 64;
    // Sets how many sockets each set of the manager watches: the read set (connections and
    // TCP listening sockets) and the set of sockets waiting to become writable; 0 for no
    // limit. Sockets beyond it wait their turn (see "Departures"). A raised limit watches
    // the waiting sockets at once; a lowered one takes effect as watched sockets leave. Any
    // thread, at any time: before Init (for the managers made later) or while a manager
    // runs, though not racing the last Dispose.
    static void SetSocketLimit(uint32_t limit);

    // Makes the locks, the soft signals, empty sets and lists, and becomes the current
    // manager; looks up the local host's address (GetCurrentIP) without asking a name
    // server. Hosts normally use Init instead.
    XSocketMgr();
    // Ends the threads of a manager still started and waits for threads a Stop on a manager
    // thread left running, then stops every listener, disconnects every handler left and
    // closes every socket still closing. Never on a manager thread.
    ~XSocketMgr() override;

    XSocketMgr(const XSocketMgr&) = delete;
    XSocketMgr& operator=(const XSocketMgr&) = delete;

    // Adds one to the start count; the call that brings it to 1 starts the read and write
    // threads, after waiting for threads that an earlier Stop on a manager thread left
    // ending (unless called on one of them). Any thread; no callback.
    virtual void Start();
    // Takes one from the start count; the call that brings it to 0 stops the manager
    // running (IsRunning, Open), ends the threads, waits for them (unless called on one of
    // them: then the next Start or the last Dispose does), disconnects every handler of the
    // handler list and every connect under way in Open with linger 0, and closes every
    // socket on the closing list at once, dropping its data (with a reset where data is
    // dropped). Listeners are left alone. Any thread, including callbacks; runs OnClose or
    // OnConnectFailed on the calling thread. A Stop without a matching Start does nothing.
    virtual void Stop();
    // Listens on `port` of every interface (0 lets the system choose); stores the port
    // listened on in *boundPort when given. TCP: the listening socket takes a place in the
    // read set, and accepted connections get handlers from `factory` on the read thread,
    // once the manager runs. UDP: `factory` makes the one handler that serves the socket,
    // whose OnConnect and OnReadyToWrite run on the calling thread before this returns; its
    // own thread delivers each datagram to OnDataReceived with the sender, and SendData
    // without an address answers the last sender. Returns the listener, or null when the
    // port is taken, the factory refuses, or memory runs out. Any thread.
    virtual XSocketListener* StartListening(uint16_t port, bool udp, XSocketFactory factory,
                                            void* context, uint16_t* boundPort = nullptr);
    // StartListening on one local address (network byte order), such as INADDR_LOOPBACK to
    // keep a service on this host; htonl(INADDR_ANY) listens on every interface, as the
    // form without an address does, which calls this one. Stores the port in *boundPort
    // when given, whether it was asked for or chosen by the system. A UDP listener's factory
    // gets this address and the port. Returns null also when the address is not one of
    // this host's.
    XSocketListener* StartListening(uint32_t address, uint16_t port, bool udp,
                                    XSocketFactory factory, void* context,
                                    uint16_t* boundPort = nullptr);
    // Ends a listener and frees it. TCP: closes the listening socket; accepted connections
    // stay open. UDP: disconnects its handler with linger 0 unless that happened earlier,
    // and waits for the listener's thread, except on that thread and in a callback that
    // holds the manager lock, where the thread frees the listener as it ends. Must be called
    // once for every listener, also after its handler was disconnected; the last Dispose
    // calls it for those left. Any thread; may run OnClose.
    virtual void StopListening(XSocketListener* listener);
    // True while the manager runs: started more often than stopped, and no last Stop under
    // way. A host that reconnects from OnClose asks it, since Open fails otherwise. Any
    // thread.
    bool IsRunning() const;
    // Does nothing; a hook for derived managers. The library does not call it.
    virtual void Idle();
    // Open by name: ResolveAddress(name), then the address form of Open, with its results,
    // threads and callbacks. A name that does not resolve makes a TCP open fail.
    virtual int32_t Open(const char* name, uint16_t port, bool udp, XSocketFactory factory,
                         void* context, uint32_t* reference = nullptr);
    // Opens a socket to `address` (network byte order; 0 is allowed for UDP only, meaning no
    // default destination) and `port` (host byte order), binds it to any local port, and has
    // `factory` make its handler. UDP: the handler is entered at once, and its OnConnect and
    // OnReadyToWrite run on the calling thread before this returns. TCP: waits for the
    // connect without holding the manager lock; once connected, the handler enters the
    // lists and the write thread calls OnConnect. Stores the handler's reference in
    // *reference when given and returns 0. Returns -1 while the manager does not run
    // (IsRunning), for a TCP address of 0, a failed socket, bind or connect, a refusing
    // factory, or lack of memory, deleting a handler already made without any callback; and
    // -1 for a connect ended by a disconnect, such as the connect time-out (fired here when
    // it falls due during the wait), whose OnConnectFailed(0) runs on the disconnecting
    // thread, possibly after this returns. Any thread; pass the address as an unsigned value
    // (0u), since a plain 0 could also mean a null name.
    virtual int32_t Open(uint32_t address, uint16_t port, bool udp, XSocketFactory factory,
                         void* context, uint32_t* reference = nullptr);
    // Closes the handler with this reference (its Close(0)): 0, or -1 when no handler has
    // it or the handler is disconnected. Any thread; may run OnClose.
    virtual int32_t Close(uint32_t reference);
    // Takes the handler out of the manager, once: the first call for a handler removes it
    // from every set and list, moves its socket and unsent data to the closing list with a
    // deadline `linger` milliseconds from now, ends a connect still under way, calls
    // OnConnectFailed(0) or OnClose(0) according to whether its connect had completed, and
    // deletes it. Later calls do nothing. Any thread; the callback runs on the calling
    // thread, under the manager lock only when the caller holds it, except for a UDP
    // listener's handler in a delivery on its thread: then this waits for the delivery to
    // return, or, during a pass of a manager thread, leaves OnClose to the listener's thread.
    // The caller must know the handler is alive (hold a use).
    void Disconnect(XSocketHandler* handler, uint32_t linger);
    // The manager's soft signals, fired by the read thread. Any thread may post.
    SoftSignalMgr* SignalManager() { return &signals_; }

    // The address (network byte order) of a name: 0 for null or a name starting with a
    // letter that does not resolve (getaddrinfo, first IPv4 address); dotted decimal through
    // inet_addr (INADDR_NONE for bad text), with the local address's own text remembered.
    // Any thread, but not racing the last Dispose.
    static uint32_t ResolveAddress(const char* name);
    // The dotted text of an address (network byte order), in a buffer of the calling thread
    // that its next call reuses.
    static char* IPString(uint32_t address);
    // The local host's address (network byte order) as the last constructed manager found
    // it; 0 when it was not found.
    static uint32_t GetCurrentIP();

    // The loops of the read and write threads that Start runs. Each returns 0 once its run
    // has been stopped; called on any other thread, at once.
    int32_t ReadThread();
    int32_t WriteThread();
    // The loop of a UDP listener's thread; `listener` is its XSocketListener. Returns 0 once
    // StopListening or a disconnect of its handler has stopped it.
    static uint32_t UdpReadThread(void* listener);

  private:
    // Queuing data wakes the write thread.
    friend class XSocketHandler;

    // One Start-to-Stop run of the two threads.
    struct Run;
    // Everything else the manager keeps: sets, lists, listeners, closing list, wake
    // descriptors, runs; and the work done on them. Defined in src/net.
    struct State;

    // Guards the start count and the runs.
    XLocker startLock_;
    // Changed under the start lock, read without it.
    std::atomic<int32_t> startCount_;
    SoftSignalMgr signals_;
    // Sets, lists, listeners, closing list and wake descriptors; null when they could not be
    // allocated, which leaves a manager that opens nothing.
    State* state_;

    static std::atomic<XSocketMgr*> s_Current;
    static std::atomic<uint32_t> s_SocketLimit;
    static std::atomic<uint32_t> s_CurrentIP;
    static std::atomic<char*> s_CurrentDNSName;
};

#endif  // BRINDLE_NET_XSOCKETMGR_H_
