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
//   outgoing TCP:  read set; write-wait list and set until its connect completes and after
//                  each send until the socket is writable again, else the ready list.
//   accepted TCP and UDP from Open:  read set; ready list or write-wait list, as above.
//   UDP listener's handler:  ready list or write-wait list only (its thread reads).
//   TCP listening socket:  read set only.
// A socket set watches at most 64 sockets; a socket beyond that is not watched.
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
//   OnConnect, OnReadyToWrite of UDP handlers      the opening thread      not held
//   OnClose, OnConnectFailed from Close/Disconnect the calling thread      as the caller
// For an accepted connection OnConnect and then OnReadyToWrite come before any
// OnDataReceived. An outgoing connection's socket is read from the moment Open returns, so
// its OnConnect, on the write thread, has no fixed order against its first data.
//
// Locks, in the order they are taken: the manager lock (this XLocker), a handler's own lock
// (only ever tried under the manager lock), the registry's lock. The start lock of Start and
// Stop is never held while the manager lock is wanted, and a SoftSignalMgr is never locked
// while it is. So a callback may call any manager operation; one that calls Start or Stop
// must only not race another thread's Start or Stop, which may wait for its thread.
//
// Waiting. Where a simple design would sleep or poll at fixed intervals, the threads wait
// for exactly what they need. These are deliberate choices about waiting only: they change
// how soon things happen, never which callback runs, on which thread, with which lock, nor
// which list or set an endpoint is in.
//   - The write thread polls its waiting sockets, the first 64 closing sockets and a wake
//     descriptor, for at most 1 s, the nearest closing deadline, or 10 ms while a ready
//     handler's last DoWrite found its lock busy or its send failed. Queuing data,
//     Disconnect, a TCP Open and the last Stop wake it at once; when they happen during a
//     pass of a manager thread, once that pass has released the manager lock.
//   - The read thread's poll ends early when a socket or listener joins the read set, on
//     the last Stop, and when a Post makes a new earliest soft signal; it waits at most 1 s
//     and never past the next soft signal, so signals fire within milliseconds of their due
//     time whether or not sockets are watched.
//   - Open does not hold the manager lock while a TCP connect waits, and holds a use of its
//     handler meanwhile. A disconnect while the connect waits (the connect time-out, Close,
//     Stop) shuts the socket down, which ends the wait: Open then returns -1. Open called on
//     the read thread still holds up reading while it connects.
//   - TCP listening sockets are non-blocking and the UDP listener thread waits for its
//     socket with poll, at most 10 ms at a time, instead of sleeping.
//   - A handler whose send has room left in the write-wait set waits there; when the set is
//     full it stays ready and is retried after 10 ms.
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
    // made, releases the registry and forgets the cached local name. The host has stopped
    // the manager and its listeners first. Never from a callback.
    static void Dispose();
    // The current manager: null before the first Init and after the last Dispose.
    static XSocketMgr* Current();

    // Makes the locks, the soft signals, empty sets and lists, and becomes the current
    // manager; looks up the local host's address (GetCurrentIP) without asking a name
    // server. Hosts normally use Init instead.
    XSocketMgr();
    // Ends the threads of a manager still started and waits for threads a Stop on a manager
    // thread left running, then frees the lists and closes sockets still closing. Never on a
    // manager thread.
    ~XSocketMgr() override;

    XSocketMgr(const XSocketMgr&) = delete;
    XSocketMgr& operator=(const XSocketMgr&) = delete;

    // Adds one to the start count; the call that brings it to 1 starts the read and write
    // threads, after waiting for threads that an earlier Stop on a manager thread left
    // ending (unless called on one of them). Any thread; no callback.
    virtual void Start();
    // Takes one from the start count; the call that brings it to 0 ends the threads, waits
    // for them (unless called on one of them: then the next Start or the last Dispose
    // does), disconnects every handler of the handler list and every connect under way in
    // Open with linger 0, and closes every socket on the closing list at once, dropping its
    // data. Listeners are left alone. Any thread, including callbacks; runs OnClose or
    // OnConnectFailed on the calling thread. A Stop without a matching Start does nothing.
    virtual void Stop();
    // Listens on `port` (0 lets the system choose, and then stores the port in *boundPort
    // when given). TCP: accepted connections get handlers from `factory` on the read thread.
    // UDP: `factory` makes the one handler that serves the socket, whose OnConnect and
    // OnReadyToWrite run on the calling thread before this returns; its own thread delivers
    // each datagram to OnDataReceived with the sender, and SendData without an address
    // answers the last sender. Returns the listener, or null when the port is taken, the
    // factory refuses, or memory runs out. Any thread.
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
    // stay open. UDP: waits for the listener's thread (unless called on it) and disconnects
    // its handler with linger 0 unless that happened earlier. Must be called once for every
    // listener, also after its handler was disconnected. Any thread; may run OnClose.
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
    // *reference when given and returns 0. Returns -1 for a TCP address of 0, a failed
    // socket, bind or connect, a refusing factory, or lack of memory, deleting a handler
    // already made without any callback; and -1 for a connect ended by a disconnect, such as
    // the connect time-out, whose OnConnectFailed(0) runs on the disconnecting thread,
    // possibly after this returns. Any thread; pass the address as an unsigned value (0u),
    // since a plain 0 could also mean a null name.
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
    // thread, under the manager lock only when the caller holds it. The caller must know the
    // handler is alive (hold a use).
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
    static std::atomic<uint32_t> s_CurrentIP;
    static std::atomic<char*> s_CurrentDNSName;
};

#endif  // BRINDLE_NET_XSOCKETMGR_H_
