// SPDX-License-Identifier: MIT
// The socket manager's internal records and state, shared by its source files.
#ifndef BRINDLE_NET_SOCKETMGRSTATE_H_
#define BRINDLE_NET_SOCKETMGRSTATE_H_

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "brindle/net/XSocketHandler.h"
#include "brindle/net/XSocketMgr.h"
#include "net/Sockets.h"

// One queued send: a malloc block the item owns, how much of it has gone out, and for UDP
// where it goes. Items are linked from the oldest to the newest.
struct XSocketHandler::SendItem {
    void* data;
    uint32_t sent;
    uint32_t size;
    sockaddr_in to;
    SendItem* newer;
};

// A disconnected handler's socket and unsent data. The write thread sends the data while
// the socket takes it, and closes the socket once the data is out or the deadline has
// passed. Guarded by the manager lock.
struct XSocketHandler::ClosingRecord {
    ClosingRecord* next = nullptr;
    uint64_t deadline = 0;
    SendItem* unsent = nullptr;
    int socket = -1;
    bool udp = false;
    // The handler whose queue is still to be taken over, because its lock was busy; a use
    // of it is held until then.
    XSocketHandler* queueOwner = nullptr;
    // The handler whose Open still waits in connect on this socket: until Open lets go, the
    // record is neither drained nor closed, so Open never waits on a closed descriptor.
    const XSocketHandler* heldByOpen = nullptr;
};

struct XSocketListener {
    XSocketMgr* manager = nullptr;
    int socket = -1;
    XSocketListener* next = nullptr;
    // TCP only; null marks a UDP listener.
    XSocketFactory factory = nullptr;
    void* context = nullptr;
    // TCP: the listening socket's place in the read thread's watch.
    XSocketHandler::WatchLink readLink;
    // UDP: the listener's thread, which reads `socket`; it ends once `stop` is set.
    void* thread = nullptr;
    std::atomic<uint32_t> threadId{0};
    std::atomic<bool> stop{false};

    // UDP: the gate between deliveries and the disconnect of the handler. Under `gate`: the
    // handler serving the socket (with a descriptor of its own for the same socket) until
    // it is disconnected, whether a delivery is under way, and a handler whose disconnect
    // left its OnClose to the listener's thread, to run once the delivery returns.
    std::mutex gate;
    std::condition_variable delivered;
    XSocketHandler* handler = nullptr;
    bool delivering = false;
    XSocketHandler* closeAfterDelivery = nullptr;
    // UDP: the record is freed, and its socket closed, by the last of the listener's thread,
    // StopListening and any disconnect waiting for a delivery to let go of it.
    std::atomic<int32_t> holders{2};
};

struct __attribute__((visibility("hidden"))) XSocketMgr::Run {
    explicit Run(XSocketMgr* owner) : manager(owner) {}

    XSocketMgr* const manager;
    void* readThread = nullptr;
    void* writeThread = nullptr;
    // Recorded by each thread as it starts, so that Stop knows when it runs on one.
    std::atomic<uint32_t> readThreadId{0};
    std::atomic<uint32_t> writeThreadId{0};
    // Set by the last Stop; both threads end at their next test of it.
    std::atomic<bool> stopped{false};
    // The next run in the list of runs stopped from their own threads and not yet joined.
    Run* next = nullptr;
};

// Hidden: the nested types of an exported class would otherwise be exported with it.
struct __attribute__((visibility("hidden"))) XSocketMgr::State {
    // An unordered, growable list of handlers. Each handler remembers its place in each
    // list, so finding and removing it take constant time; removal moves the last entry
    // into the gap.
    class HandlerList {
      public:
        // A handler's place in a list it is not in.
        static constexpr uint32_t kNoPlace = 0xFFFFFFFF;

        // `list` picks the handler's place slot this list uses.
        explicit HandlerList(uint32_t list) : list_(list) {}
        ~HandlerList();
        HandlerList(const HandlerList&) = delete;
        HandlerList& operator=(const HandlerList&) = delete;

        uint32_t Count() const { return count_; }
        XSocketHandler* At(uint32_t index) const { return items_[index]; }
        bool Contains(const XSocketHandler* handler) const;
        // Makes room for one more handler; false when memory runs out.
        bool Reserve();
        // Appends a handler that is not in the list; false when memory runs out.
        bool Add(XSocketHandler* handler);
        // Removes the handler; nothing when it is not in the list.
        void Remove(XSocketHandler* handler);

      private:
        static constexpr uint32_t kGrowStep = 64;

        XSocketHandler** items_ = nullptr;
        uint32_t count_ = 0;
        uint32_t capacity_ = 0;
        const uint32_t list_;
    };

    // The sockets the read thread watches: at most `limit` at once, the others wait in line
    // in the order they came and are watched as soon as room frees, so that none is
    // starved. The line is kept apart from the way the watched sockets are polled, and
    // holds for any limit.
    class ReadWatch {
      public:
        using Link = XSocketHandler::WatchLink;

        // Watches the socket, or puts it at the end of the line when the watch is full.
        void Add(Link* link, int socket);
        // Stops watching the socket, or takes it out of the line, and watches those first in
        // line while there is room. True when the watched sockets changed.
        bool Remove(Link* link);
        const brindle::SocketSet& Watched() const { return watched_; }
        uint32_t Waiting() const { return waiting_; }

      private:
        void WatchWaiting();

        brindle::SocketSet watched_;
        const uint32_t limit_ = brindle::SocketSet::kCapacity;
        Link* oldest_ = nullptr;
        Link* newest_ = nullptr;
        uint32_t waiting_ = 0;
    };

    explicit State(XSocketMgr* owner) : manager(owner) {}
    // Closes every socket still on the closing list.
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // --- Runs (start lock held). ---
    Run* StartRun();
    static void EndRun(Run* run);
    void EndRetiredRuns();
    bool OnManagerThread() const;
    // The run whose loop the calling thread was started for, with the thread's id recorded
    // in `threadId`; null on any other thread.
    Run* ThreadRun(std::atomic<uint32_t> Run::*threadId) const;
    static uint32_t ReadEntry(void* run);
    static uint32_t WriteEntry(void* run);
    static void OnSignalPosted(void* state);

    // --- Handlers. ---
    // Has the factory make a handler for the socket; closes the socket and returns null
    // when it refuses or the handler lacks its memory or reference.
    XSocketHandler* MakeHandler(XSocketFactory factory, sockaddr_in* address, int socket, bool udp,
                                void* context);
    // Enters the handler in one or two lists, or in none when either cannot grow (lock held).
    static bool Enter(XSocketHandler* handler, HandlerList* first, HandlerList* second);
    // Deletes a handler that was made but not entered, without callbacks, and closes its
    // socket, unless a disconnect got there first.
    void Discard(XSocketHandler* handler);
    // OnConnect (when `connected`) and OnReadyToWrite, skipping what follows a disconnect.
    static void Notify(XSocketHandler* handler, bool connected);
    // False once the last Stop has begun: no handler may enter the lists then (lock held).
    bool Admits() const { return running.load(); }
    int32_t OpenUdp(XSocketHandler* handler);
    int32_t OpenTcp(XSocketHandler* handler, const sockaddr_in& remote);
    // Waits for a started connect to end, firing the handler's connect time-out itself when
    // it falls due meanwhile; true when it connected.
    bool AwaitConnect(XSocketHandler* handler, int socket);
    XSocketListener* ListenTcp(XSocketListener* listener, XSocketFactory factory, void* context);
    XSocketListener* ListenUdp(XSocketListener* listener, uint32_t address, XSocketFactory factory,
                               void* context);
    // Removes the listener from its list (lock held); false when it is in none.
    bool Unlink(XSocketListener* listener);
    static void DeliverDatagram(XSocketListener* listener, char* data, uint32_t size,
                                sockaddr_in* from);
    // Takes a disconnected handler from its UDP listener (lock held). Returns the listener
    // when a delivery to the handler is under way on another thread and the caller is to
    // wait for it (AwaitDelivery); sets *handedOff when the caller holds the manager lock
    // for a pass instead, which the delivery may need: the listener's thread then calls
    // OnClose and deletes the handler once the delivery returns.
    XSocketListener* LeaveListener(XSocketHandler* handler, bool* handedOff);
    static void AwaitDelivery(XSocketListener* listener);
    // Gives up one hold of a UDP listener's record; the last frees it.
    static void ReleaseListener(XSocketListener* listener);
    // Disconnects every handler of the handler list and every connect under way.
    void DisconnectAll();
    // The last Dispose: ends every listener and disconnects every handler left.
    void ReleaseAll();

    // --- Closing list (lock held). ---
    void QueueClosing(XSocketHandler* handler, int socket, uint32_t linger, bool inOpen);
    // Takes over the queue of the record's handler when its lock is free; false when the
    // lock is busy and the record must try again.
    static bool TakeQueue(XSocketHandler::ClosingRecord* record);
    // Closes the record's socket and frees it with its data.
    static void CloseRecord(XSocketHandler::ClosingRecord* record);
    // Lets the write thread drain and close the record Open held for this handler.
    void ReleaseHeld(const XSocketHandler* handler);
    // Closes and frees every record, except those Open still holds unless `all`.
    void DropClosing(bool all);

    // --- The threads' passes. ---
    // Takes the manager lock for a pass of the calling manager thread; during the pass,
    // wakes of the write thread are held back.
    void BeginPass();
    // True while the calling thread holds the manager lock for a pass of a manager thread.
    bool InPass() const;
    // Releases it; true when the pass held back a wake of the write thread.
    bool EndPass();
    // Wakes the write thread, or has the present pass do it when the pass ends.
    void WakeWriter();
    // Prepare the next poll of the read and the write thread (lock held); PlanWrite returns
    // the longest the write thread may wait, in milliseconds.
    void PlanRead(brindle::Poller* poller);
    int PlanWrite(brindle::Poller* poller, bool retrySoon);
    // The passes' work (lock held).
    void ReadReady(const brindle::Poller& poller);
    // Accepts the connections waiting on the listening socket, as many as its backlog holds;
    // stops early when the listener is stopped by a callback meanwhile.
    void AcceptAll(int listening);
    // Accepts one connection; false when none was waiting or no more may be taken now.
    bool AcceptOne(XSocketListener* listener);
    void MoveWritable(const brindle::Poller& poller);
    // Runs DoWrite on every ready handler; true when one is worth retrying soon.
    bool WriteReady();
    // Watches the first 64 closing sockets; returns the milliseconds to the nearest deadline,
    // at most 1 s, or 10 ms while a closing queue waits for its handler's lock.
    int PlanClosing(brindle::Poller* poller);
    void FinishClosing(const brindle::Poller& poller);

    XSocketMgr* const manager;
    // Guarded by the manager lock.
    ReadWatch readWatch;
    brindle::SocketSet writeWaitSet;
    HandlerList ready{0};
    HandlerList writeWait{1};
    HandlerList handlers{2};
    // Handlers whose Open waits in connect.
    HandlerList connecting{3};
    XSocketListener* udpListeners = nullptr;
    XSocketListener* tcpListeners = nullptr;
    XSocketHandler::ClosingRecord* closing = nullptr;
    // Wake the read and write threads out of their polls.
    brindle::WakeEvent readWake;
    brindle::WakeEvent writeWake;
    // Guarded by the start lock: the running run, and runs stopped on their own threads.
    Run* run = nullptr;
    Run* retired = nullptr;
    // Set by the first Start, cleared as the last Stop begins; changed under the start lock
    // and read without it: IsRunning.
    std::atomic<bool> running{false};
};

#endif  // BRINDLE_NET_SOCKETMGRSTATE_H_
