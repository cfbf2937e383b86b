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
#include "net/SocketTable.h"
#include "net/Sockets.h"

// One queued send: a malloc block the item owns, how much of it has gone out, and for UDP
// where it goes. Items are linked from the oldest to the newest. An item that SendData made
// holds its copy of the bytes right behind itself, in the same block.
struct XSocketHandler::SendItem {
    void* data;
    uint32_t sent;
    uint32_t size;
    sockaddr_in to;
    SendItem* newer;

    bool HoldsCopy() const { return data == this + 1; }
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
    // of it is held until then. Until the queue is taken the socket stays open, since a
    // thread sending from that handler may still be using it.
    XSocketHandler* queueOwner = nullptr;
    // The handler whose Open still waits in connect on this socket: until Open lets go, the
    // record is neither drained nor closed, so Open never waits on a closed descriptor.
    const XSocketHandler* heldByOpen = nullptr;
    // The word of the socket's poll reports; whether the socket is in the write poll at all,
    // and watched there for the record; whether the last wait found it writable.
    uint64_t word = 0;
    bool inWritePoll = false;
    bool watched = false;
    bool writable = false;
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
    // `delivered` is notified when a delivery ends and when the handler resumes reading.
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
        // Makes room for `count` handlers in all; false when memory runs out.
        bool Reserve(uint32_t count);
        // Appends a handler unless it is in the list; false when memory runs out.
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

    using SocketTable = brindle::SocketTable;

    // Which handler list uses which of a handler's place slots.
    enum ListSlot : uint32_t {
        kHandlersSlot,
        kConnectingSlot,
        kPendingSlot,
        kRetrySlot,
        kReofferSlot,
        kArmingSlot,
    };
    static_assert(kArmingSlot < XSocketHandler::kListCount, "a place slot for every list");

    // The sockets the read thread watches, in one epoll: at most `limit` at once, the others
    // wait in line in the order they came and are watched as soon as room frees, so that
    // none is starved. Guarded by the manager lock.
    class ReadWatch {
      public:
        using Link = XSocketHandler::WatchLink;

        explicit ReadWatch(uint32_t limit) : limit_(limit) {}
        bool Ready() const { return poll_.Ready(); }
        brindle::EventPoll& Poll() { return poll_; }
        // Watches the socket, or puts it at the end of the line when the watch is full.
        void Add(Link* link, int socket, uint64_t word);
        // Stops watching the socket, or takes it out of the line, and watches those first in
        // line while there is room.
        void Remove(Link* link);
        // Watches this many sockets at most from now on; a lower limit takes effect as
        // watched sockets leave. 0 for no limit.
        void SetLimit(uint32_t limit);
        bool Contains(const Link* link) const { return link->watched || link->waiting; }
        uint32_t Waiting() const { return waiting_; }

      private:
        void WatchWaiting();
        bool Watch(Link* link);

        brindle::EventPoll poll_;
        uint32_t limit_;
        uint32_t watched_ = 0;
        Link* oldest_ = nullptr;
        Link* newest_ = nullptr;
        uint32_t waiting_ = 0;
    };

    // Handlers that senders on any thread have given the write thread work: items queued
    // while none waited to go, or a wait for writability that found the write poll full. A
    // handler stands in the line at most once. Its own mutex, taken last in the lock order.
    class NoticeLine {
      public:
        // Appends the handler unless it stands in the line or is out of the manager; true
        // when the line was empty.
        bool Push(XSocketHandler* handler);
        void Remove(XSocketHandler* handler);
        // Moves the handlers of the line, oldest first, into `list` while it takes them.
        void Drain(HandlerList* list);

      private:
        std::mutex mutex_;
        XSocketHandler* oldest_ = nullptr;
        XSocketHandler* newest_ = nullptr;
    };

    explicit State(XSocketMgr* owner);
    // Closes every socket still on the closing list.
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // False when a poll or wake descriptor could not be made: the manager then opens nothing.
    bool Ready() const;

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
    // Takes the handler into the manager (lock held): its socket into the table and the
    // write poll, the handler into the handler list and the read watch unless it serves a
    // UDP listener, and a use of it that the manager holds until it is disconnected. The
    // handler starts ready, or, when `awaitWritable`, waiting for its socket to become
    // writable. False, with nothing entered, when memory or the poll fails.
    bool Enter(XSocketHandler* handler, bool read, bool awaitWritable);
    // Makes room in the lists for one more handler, one that reads when `read` (lock held);
    // false when memory runs out.
    bool ReserveMember(bool read);
    // Deletes a handler that was made but not entered, without callbacks, and closes its
    // socket, unless a disconnect got there first.
    void Discard(XSocketHandler* handler);
    // OnConnect (when `connected`) and OnReadyToWrite, skipping what follows a disconnect.
    // The caller holds a use of the handler.
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
    // Waits, holding the listener's gate, while its handler has paused reading; false when
    // the listener has stopped or lost its handler instead.
    static bool AwaitReading(XSocketListener* listener, std::unique_lock<std::mutex>* hold);
    static void DeliverDatagram(XSocketListener* listener, char* data, uint32_t size,
                                sockaddr_in* from);
    // Takes a disconnected handler from its UDP listener (lock held). Returns the listener
    // when a delivery to the handler is under way on another thread and the caller is to
    // wait for it (AwaitDelivery); sets *handedOff when the caller holds the manager lock
    // for a pass instead, which the delivery may need: the listener's thread then calls
    // OnClose and lets go of the handler once the delivery returns.
    XSocketListener* LeaveListener(XSocketHandler* handler, bool* handedOff);
    static void AwaitDelivery(XSocketListener* listener);
    // Gives up one hold of a UDP listener's record; the last frees it.
    static void ReleaseListener(XSocketListener* listener);
    // Disconnects every handler of the handler list and every connect under way.
    void DisconnectAll();
    // The last Dispose: ends every listener and disconnects every handler left.
    void ReleaseAll();
    // Gives back the use the manager held of a disconnected handler: at once, or, during a
    // pass, once the pass has ended, since the pass may still be using the handler.
    void LetGo(XSocketHandler* handler);

    // --- Reading and flow control (lock held). ---
    // Watches the handler's socket for reading while its host lets it read and the bytes it
    // keeps are below its receive limit, and stops watching it otherwise. `offer` asks for
    // the kept bytes to be offered again on the read thread's next pass.
    void UpdateReading(XSocketHandler* handler, bool offer);
    // PauseReading and ResumeReading: takes the lock, and resuming offers the kept bytes.
    void SetPaused(XSocketHandler* handler, bool paused);

    // --- Writing. ---
    // The handler has just sent, or found its socket full: it waits for the socket to become
    // writable, watched in the write poll while that has room, else looked at every 10 ms.
    // Nothing when it waits already or is not in the manager. The caller holds the
    // handler's lock, or is the write thread in a pass.
    void AwaitWritable(XSocketHandler* handler);
    // Watches a waiting handler's socket for writability, once (lock held or the handler's).
    void Arm(XSocketHandler* handler);
    // Reserves a place in the write poll; false when it is full.
    bool TakeWritePlace();
    void GiveWritePlace();
    // The handler has items queued that no wait will send: the write thread takes it up.
    void NoticeQueued(XSocketHandler* handler);

    // Takes a disconnected handler out of every list, set and line (lock held).
    void Withdraw(XSocketHandler* handler);

    // --- Closing list (lock held). ---
    // Moves the socket and queue to a closing record; `inWritePoll`: the socket was entered
    // in the write poll with the handler.
    void QueueClosing(XSocketHandler* handler, int socket, uint32_t linger, bool inOpen,
                      bool inWritePoll);
    // Takes over the queue of the record's handler when its lock is free, waiting for it
    // when `wait`; false when the lock is busy and the record must try again.
    bool TakeQueue(XSocketHandler::ClosingRecord* record, bool wait);
    // Watches a record's socket for writability once it may be drained.
    void WatchClosing(XSocketHandler::ClosingRecord* record);
    // Closes the record's socket and frees it with its data.
    void CloseRecord(XSocketHandler::ClosingRecord* record);
    // Lets the write thread drain and close the record Open held for this handler.
    void ReleaseHeld(const XSocketHandler* handler);
    // Closes and frees every record, except those Open still holds unless `all`.
    void DropClosing(bool all);

    // --- The threads' passes. ---
    // Takes the manager lock for a pass of the calling manager thread; during the pass,
    // wakes of the write thread and watches for writability are held back.
    void BeginPass();
    // True while the calling thread holds the manager lock for a pass of a manager thread.
    bool InPass() const;
    // Arms what the pass held back, releases the lock and lets go of the handlers the pass
    // disconnected; true when the pass held back a wake of the write thread.
    bool EndPass();
    // Wakes the write thread, or has the present pass do it when the pass ends.
    void WakeWriter();
    // The passes' work (lock held).
    // The owner of a poll report's socket; null for a report of the wake descriptor (which
    // is cleared) or one that outlived its owner.
    const SocketTable::Entry* OwnerOf(const epoll_event& report, brindle::WakeEvent* wake) const;
    void ReadReady(const epoll_event* events, uint32_t count);
    // Offers kept bytes again to the handlers that asked for it before this pass.
    void Reoffer();
    // Accepts the connections waiting on the listening socket its report's word names, as
    // many as its backlog holds; stops early when a callback stops the listener meanwhile.
    void AcceptAll(uint64_t word);
    // Accepts one connection; false when none was waiting or no more may be taken now.
    bool AcceptOne(XSocketListener* listener);
    void TakeWritable(const epoll_event* events, uint32_t count);
    // Ends a handler's wait for writability: OnConnect once its connect is done,
    // OnReadyToWrite, then its queue. `reported`: the poll reported the socket writable;
    // when sends came after the watch, or without a report, the socket is looked at again
    // and the wait goes on while it is full.
    void Writable(XSocketHandler* handler, bool reported);
    // Moves the noticed handlers, and every 10 ms the retried ones, to the pending list.
    void GatherWork();
    // Runs the queues of the pending handlers, and the waits the write poll does not watch.
    void WritePending();
    // Has the handler tried again in 10 ms.
    void Retry(XSocketHandler* handler);
    // Returns the milliseconds to the next thing the write thread must do without being
    // woken: a closing deadline, a retry, at most 1 s.
    int PlanWrite();
    void FinishClosing();

    XSocketMgr* const manager;
    // Wake the read and write threads out of their polls.
    brindle::WakeEvent readWake;
    brindle::WakeEvent writeWake;
    // Guarded by the manager lock.
    SocketTable sockets;
    ReadWatch readWatch;
    // The sockets waiting to become writable (one report each: EPOLLONESHOT) and the closing
    // sockets; how many waiting sockets it watches, limited by the socket limit.
    brindle::EventPoll writePoll;
    std::atomic<uint32_t> writeWatched{0};
    // Both wake descriptors are watched by their polls.
    const bool wakesWatched;
    NoticeLine notices;
    // Handlers of the read watch and of UDP listeners: how many the manager holds a use of.
    uint32_t members = 0;
    HandlerList handlers{kHandlersSlot};
    // Handlers whose Open waits in connect.
    HandlerList connecting{kConnectingSlot};
    // Write thread: handlers whose queues to send in this pass; handlers to try again
    // after 10 ms (lock busy, send failed, waiting without a place in the poll), from when.
    HandlerList pending{kPendingSlot};
    HandlerList retry{kRetrySlot};
    uint64_t retryFrom = 0;
    // Read thread: handlers whose kept bytes to offer again.
    HandlerList reoffers{kReofferSlot};
    uint64_t readPass = 0;
    // Handlers whose watch for writability the present pass holds back until its end, and
    // disconnected handlers it lets go of after it.
    HandlerList arming{kArmingSlot};
    XSocketHandler* lettingGo = nullptr;
    XSocketListener* udpListeners = nullptr;
    XSocketListener* tcpListeners = nullptr;
    XSocketHandler::ClosingRecord* closing = nullptr;
    // Guarded by the start lock: the running run, and runs stopped on their own threads.
    Run* run = nullptr;
    Run* retired = nullptr;
    // Set by the first Start, cleared as the last Stop begins; changed under the start lock
    // and read without it: IsRunning.
    std::atomic<bool> running{false};
};

#endif  // BRINDLE_NET_SOCKETMGRSTATE_H_
