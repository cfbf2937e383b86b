// SPDX-License-Identifier: MIT
// XSocketHandler: one endpoint of the socket manager, derived by the host.
//
// A handler stands for a TCP connection the host opened (XSocketMgr::Open), a TCP
// connection a listener accepted, a UDP socket the host opened, or the socket of a UDP
// listener. The host derives its own class, overrides the callbacks, and hands the manager
// a factory that constructs one handler for each new socket. A handler is an XTSObject:
// it lives in the process-wide registry under a reference, its connection identifier,
// and is destroyed only once it has been deleted and its last use given back.
//
// Data out: SendData and SendAllocatedData send from any thread. When nothing is queued
// and the handler is not waiting for writability after an earlier send, they send at once
// from the calling thread, without waiting, and queue only what the socket did not take;
// the manager's write thread sends queued data in order through DoWrite. Data in: the read thread
// receives into the handler's buffer through DoRead and hands the bytes to OnDataReceived, which
// says how many it consumed; the rest is kept, and offered again in front of the bytes that arrive
// next. The end: the last Close, a read error, the peer closing, a connect time-out or
// XSocketMgr::Stop make the manager disconnect the handler exactly once: its socket goes to the
// manager's closing list (with the unsent data, which may drain for the linger time),
// OnConnectFailed(0) or OnClose(0) is called according to whether the connect had completed, and
// the handler is deleted. No callback follows that one. A host ends a handler with Close, never
// with Delete: the manager deletes it.
//
// Flow control, both ways. QueuedBytes tells how much waits to be sent, so a host can notice
// a peer that does not keep up. SetReceiveLimit bounds the bytes a handler keeps
// unconsumed: at the limit the manager stops reading the socket, and TCP's own window holds
// the peer back; PauseReading and ResumeReading do the same by hand. Neither is on by
// default, where a handler keeps whatever its OnDataReceived leaves.
//
// Transfers never wait: every send passes MSG_NOSIGNAL | MSG_DONTWAIT and every receive
// MSG_DONTWAIT, so a peer that stops reading yields a partial send instead of a write
// thread stuck under the manager lock, and a closed peer never raises SIGPIPE. Two
// consequences: when the receive buffer fills and DoRead's next receive finds nothing more
// (or the end of the stream), the bytes already held are delivered at once instead of
// waiting for more; and a datagram larger than kMaxDatagram is noticed (MSG_TRUNC) instead
// of being cut, and dropped. One DoRead stops receiving once it has received 64 KiB, and
// delivers: a peer that sends without pause neither keeps the read thread from its other
// sockets and soft signals nor grows the buffer beyond what OnDataReceived leaves
// unconsumed. Kept bytes are not moved to the front of the buffer after every delivery but
// only when the bytes consumed since they last moved are at least as many, so a host that
// consumes in small pieces costs no more than the bytes it consumes.
//
// Datagrams. A UDP handler gets exactly one datagram per OnDataReceived, of at most
// kMaxDatagram bytes: its buffer never grows, the part of a datagram that OnDataReceived
// leaves unconsumed is dropped with it (datagrams are never merged), and a datagram that is
// too large, empty, or refused by the system (on receiving or sending: a bad destination
// such as port 0, an unreachable one) is dropped without ending the handler. Only a failure
// of the socket itself disconnects a UDP handler. See XSocketMgr.h, "Departures".
//
// Callbacks and threads (see XSocketMgr.h for the whole table): OnDataReceived runs on the
// read thread with the manager lock held, except for a UDP listener's handler, where it runs
// on the listener's own thread without it, and never overlaps or follows its OnClose. OnConnect and
// OnReadyToWrite of an accepted connection run on the read thread, of an outgoing TCP connection on
// the write thread, and of UDP handlers on the thread that opened them, before Open or
// StartListening returns. OnClose and OnConnectFailed run on whichever thread disconnects.
// Callbacks that run under the manager lock hold up both manager threads, so they must not block.
// A send made at once from the calling thread changes none of this: the handler still waits
// for its socket to become writable afterwards and is told by OnReadyToWrite on the write
// thread (see XSocketMgr.h, "Sending from the calling thread").
//
// Locks: the handler's own lock (XTSObject::Lock) guards its send queue and its remote
// address, and is held while a send from the calling thread is made. A host may use it for
// its own members too, but must not call into the manager (nor SetReceiveLimit,
// PauseReading or ResumeReading) while holding it: the manager lock comes first in the
// library's lock order. The manager's threads only ever try it, so a host that holds it
// never blocks them (only the last Stop and Dispose wait for it; see XSocketMgr.h).
#ifndef BRINDLE_NET_XSOCKETHANDLER_H_
#define BRINDLE_NET_XSOCKETHANDLER_H_

#include <netinet/in.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>

#include "brindle/Export.h"
#include "brindle/concurrency/XTSObject.h"

class XSocketMgr;
struct XSocketListener;

class BRINDLE_API XSocketHandler : public XTSObject {
  public:
    // Datagrams larger than this are neither sent nor received.
    static constexpr uint32_t kMaxDatagram = 8192;

    // Sends `size` bytes from `data` as SendAllocatedData does, copying what it queues; the
    // caller keeps its buffer. 0, or -1, with nothing sent or queued, when the copy cannot
    // be allocated or the handler is disconnected. Any thread; waits for the handler's lock;
    // causes no callback.
    int32_t SendData(void* data, uint32_t size, sockaddr_in* to = nullptr);
    // SendData for bytes the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    int32_t SendData(const T* data, uint32_t size, sockaddr_in* to = nullptr) {
        return SendData(brindle::ReadOnlyBytes(data), size, to);
    }
    // Sends a malloc block of `size` bytes; on success (0) the handler owns it and frees it
    // once sent or dropped. When nothing is queued, the connect has completed and the
    // handler is not waiting for writability after an earlier send, the bytes go out at
    // once from the calling thread, as far as the socket takes them (a datagram whole or
    // not at all), and only the rest is queued for the write thread; otherwise all of it is
    // queued behind what waits and leaves with the write thread's next gathered send. So
    // bytes leave in the order they were given. -1, leaving the block the caller's and
    // nothing sent, when the handler is deleted or disconnected or no queue item can be
    // allocated. A UDP handler sends it to `to`, or to the remote address when `to` is null;
    // TCP ignores `to`. Any thread; waits for the handler's lock; causes no callback.
    int32_t SendAllocatedData(void* data, uint32_t size, sockaddr_in* to = nullptr);
    // True exactly when nothing is queued: everything given was sent or dropped. Any thread;
    // takes no lock, so the answer is a hint.
    bool ReadyToSend();
    // The bytes queued and not yet sent (at most 0xFFFFFFFF); 0 once the handler is
    // disconnected. Any thread; takes no lock, so the answer is a hint.
    uint32_t QueuedBytes();

    // Bounds the bytes the handler keeps unconsumed: the read thread receives no more than
    // brings them to `bytes`, so OnDataReceived is never given more at once, and once they
    // reach it stops reading the socket (TCP's window then holds the peer back) until a
    // delivery brings them below it. While at the limit, the kept bytes are offered again on
    // each pass of the read thread as long as each offer consumes some of them; an offer
    // that consumes none leaves them until ResumeReading. Below it, kept bytes wait for the
    // next bytes as without a limit. A limit lowered to or below what is kept offers those
    // bytes once more. A UDP handler keeps nothing between deliveries: its limit drops each
    // datagram longer than `bytes` instead. 0, the default, sets no limit. Any thread, also
    // from the constructor; takes the manager lock.
    void SetReceiveLimit(uint32_t bytes);
    // Stops reading the socket: no OnDataReceived starts after this returns (except on the
    // calling thread, inside one), and the peer's data waits in the system, so TCP's
    // window holds it back, and the end of its stream is noticed only once reading
    // resumes. A UDP handler's datagrams wait too, and the system drops those beyond its
    // buffer. Any thread; takes the manager lock; no callback.
    void PauseReading();
    // Reads the socket again (unless the kept bytes are at the receive limit), and offers
    // the kept bytes, if any, on the read thread's next pass even when nothing new arrives.
    // Any thread; takes the manager lock; no callback on the calling thread.
    void ResumeReading();
    // Takes one from the open count; the Close that brings it to exactly 0 disconnects the
    // handler (XSocketMgr::Disconnect), letting queued data drain for up to `linger`
    // milliseconds (0 drops it at the write thread's next pass). Dropped data makes the
    // socket close with a reset; data that all went out, with a normal end of stream. Any
    // thread, which then runs OnClose or OnConnectFailed (for a UDP listener's handler in a
    // delivery, after it returns). The caller must know the handler is alive (hold a use).
    void Close(uint16_t linger);
    // Adds one to the open count, so one more Close is needed. Any thread; no callback.
    void ReOpen();
    // Copies the remote address (for a UDP listener's handler, the last sender) into
    // `address`: 0, or -1 for null. Any thread; takes the handler's lock.
    int32_t GetRemoteAddress(sockaddr_in* address);
    // The handler's serial number: 1 for the process's first handler, then counting up.
    uint32_t SerialNumber() const { return serial_; }

    // The number of handlers that exist. Any thread.
    static uint32_t Count();
    // The handler with this reference, with one more use counted; null when there is none or
    // it has been disconnected. Any thread; takes the registry's lock.
    static XSocketHandler* GetXSocketHandler(uint32_t reference);
    // Gives back a use that GetXSocketHandler took; destroys the handler, on this thread, when
    // it has been disconnected and this was its last use. Nothing for null. Any thread.
    static void ReleaseXSocketHandler(XSocketHandler* handler);

    // Does nothing; kept for hosts that call it.
    void DebgSetPacketLoss(unsigned int percent);

  protected:
    // Called by the host's factory through the derived class, with the factory's arguments:
    // the remote address (may be null), the socket, the UDP flag and the host's context.
    // Enters the handler in the process-wide registry with a lock of its own, takes the next
    // serial number, allocates the 8192-byte receive buffer and sets the open count to 1. A
    // handler that cannot get its memory or a reference is refused by the manager as if the
    // factory had returned null.
    XSocketHandler(sockaddr_in* remote, int socket, bool udp, void* context);
    // Frees the receive buffer and whatever is still queued, and clears a pending connect
    // time-out. Leaves the socket alone: the manager closes it.
    ~XSocketHandler() override;

    // The endpoint is usable. The result is the host's own; the library ignores it.
    virtual int32_t OnConnect();
    // The handler was disconnected before its connect completed; the argument is 0.
    virtual void OnConnectFailed(uint32_t reason);
    // The handler was disconnected after its connect completed; the argument is 0.
    virtual void OnClose(uint32_t reason);
    // `size` bytes arrived from `from`, zero-terminated (except for a UDP listener's handler);
    // the buffer is valid only during the call. Returns how many bytes it consumed: the rest
    // is offered again, followed by the next bytes; a result of `size` or more, or a negative
    // one as int32_t, consumes all. The default consumes all.
    virtual uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in* from);
    // The socket is writable: after OnConnect, and whenever the write thread finds it
    // writable again after a send.
    virtual void OnReadyToWrite();

    // Arms the connect time-out: a soft signal on the manager's SoftSignalMgr that, after
    // `milliseconds`, closes the handler (Close(0)) if its connect has not completed by
    // then, which ends a connect still under way in XSocketMgr::Open; Open fires it itself
    // when it falls due while Open waits, on whatever thread. Replaces, without clearing, a
    // time-out armed earlier. Typically called from the derived constructor.
    void SetConnectTimeout(uint32_t milliseconds);
    // The time-out's callback; `reference` carries the handler's reference. Runs on the read
    // thread without the manager lock.
    static void SSP_TimeOut(int32_t reason, void* reference, void* unused2, void* unused3,
                            void* unused4);
    // Write thread: sends queued items, oldest first, as far as the socket takes them; a TCP
    // socket gets up to 64 items in one gathered call (sendmsg). A UDP item over
    // kMaxDatagram, or one the system refuses, is dropped as if sent. Returns the
    // bytes the last send took, 0 when nothing was tried (nothing queued, the handler's lock
    // busy, or the socket full), or -1 when a send failed (for UDP: the socket failed). Only
    // tries the handler's lock; causes no callback.
    int DoWrite();
    // Read thread, under the manager lock: receives what is waiting and delivers it to
    // OnDataReceived on the calling thread, a UDP handler one datagram at a time. 0, or -1
    // when the receive failed or a TCP peer ended its stream; the read thread then
    // disconnects the handler (after an end of stream, letting queued replies drain).
    int32_t DoRead();
    // The host's context given to the factory.
    void* Context() const { return context_; }

  private:
    friend class XSocketMgr;
    friend struct XSocketListener;
    struct SendItem;
    struct ClosingRecord;

    // A socket's place in the read thread's watch: watched, or waiting in line for room
    // (oldest first), with the word its poll reports carry. Guarded by the manager lock.
    struct WatchLink {
        WatchLink* older = nullptr;
        WatchLink* newer = nullptr;
        int socket = -1;
        uint64_t word = 0;
        bool watched = false;
        bool waiting = false;
    };

    // Where the handler stands on the write side: not in the manager (not yet entered, or
    // disconnected), ready to send, or waiting for its socket to become writable.
    enum WriteState : uint32_t { kWriteOut, kWriteReady, kWriteWaiting };

    // How many handler lists of the manager a handler can be in.
    static constexpr uint32_t kListCount = 6;

    // Sends items from *oldest on as far as the socket takes them, freeing the ones sent
    // and counting their bytes in *sent. A TCP socket takes up to 64 items in one call.
    // Returns the last send's result: bytes, kWouldBlock, -1; 0 when nothing was tried.
    static ssize_t SendItems(SendItem** oldest, int socket, bool udp, uint64_t* sent);
    // Frees the items from `oldest` up to `end` (all when null) and their data.
    static void FreeItems(SendItem* oldest, SendItem* end = nullptr);
    // Sends `item` at once from `bytes` when nothing is queued, else queues it (copying
    // `bytes` into the item when it holds a copy). 0 when sent or queued, with the item
    // given over; -1 when the handler is disconnected, with the item freed (data that the
    // item does not hold a copy of stays the caller's).
    int32_t Post(SendItem* item, const char* bytes, sockaddr_in* to);
    // Sends what the socket takes of an item from `bytes` now; false when the item must be
    // queued (with what was sent counted in it). Sets *await when the handler is to wait
    // for writability.
    bool SendNow(SendItem* item, const char* bytes, int socket, bool* await);
    // Write thread: sends the queue as DoWrite does and then waits for writability; sets
    // *busy instead when the handler's lock is held elsewhere.
    ssize_t WriteQueued(bool* busy);
    // Read thread: DoRead without taking a use.
    int32_t ReadSocket();
    // PauseReading and ResumeReading.
    void SetPaused(bool paused);
    // The slot of OnReadyToWrite in the virtual table; SIZE_MAX where it cannot be told.
    static size_t ReadyToWriteSlot();
    // False when the handler's OnReadyToWrite is the empty one of this class.
    bool OverridesReadyToWrite() const;
    // Makes room at the end of the receive buffer, moving the kept bytes to the front or
    // growing the buffer by 8192 bytes; false when memory runs out.
    bool MakeRoom();
    // Hands the buffered bytes to OnDataReceived and keeps what it leaves.
    void Deliver();
    // DoRead's two ways: a TCP stream, and one datagram per delivery.
    int32_t ReadStream();
    int32_t ReadDatagrams();

    const uint32_t serial_;
    sockaddr_in remote_;
    // -1 once the manager has disconnected the handler; set to -1 only under the manager
    // lock, by the one thread that disconnects.
    std::atomic<int> socket_;
    const bool udp_;
    void* const context_;
    // The UDP listener this handler serves; guarded by the manager lock.
    XSocketListener* listener_ = nullptr;
    // Set from the start of an outgoing connect until the write thread sees it complete.
    std::atomic<bool> connecting_{false};
    std::atomic<uint32_t> timeoutId_{0};
    // When the connect time-out is due (OSBootTime), 0 when none is armed: lets Open end a
    // connect on a thread that cannot fire soft signals meanwhile.
    std::atomic<uint64_t> timeoutDue_{0};
    std::atomic<int32_t> openCount_{1};
    // The send queue, oldest first, and the bytes in it not yet sent, guarded by the
    // handler's lock; oldest_ and queuedBytes_ are also read without it.
    std::atomic<SendItem*> oldest_{nullptr};
    SendItem* newest_ = nullptr;
    std::atomic<uint64_t> queuedBytes_{0};
    // The write side (see XSocketMgr::State::AwaitWritable). writeState_ and the counts
    // change under the handler's lock, or on the write thread under the manager lock.
    std::atomic<uint32_t> writeState_{kWriteOut};
    // While waiting: whether the write poll watches the socket.
    std::atomic<bool> writeWatched_{false};
    // Sends made, and how many had been made when the socket was last watched: a report of
    // writability covers the sends made before the watch, not those after.
    std::atomic<uint32_t> sends_{0};
    std::atomic<uint32_t> armedAt_{0};
    // The word of the socket's write poll reports, set as the handler enters the manager.
    std::atomic<uint64_t> writeWord_{0};
    // Whether OnReadyToWrite does anything: a handler whose OnReadyToWrite is the empty one
    // of this class does not wait for writability after a send that left nothing queued,
    // since the wait would end in nothing. Set as the handler enters the manager.
    bool tellsWritable_ = true;
    // Set by the write thread before it tries the handler's lock: a sender that then
    // releases the lock hands the queue back to it at once.
    std::atomic<bool> writerMissed_{false};
    // The place in the manager's notice line; guarded by the line's mutex.
    XSocketHandler* noticeOlder_ = nullptr;
    XSocketHandler* noticeNewer_ = nullptr;
    bool noticed_ = false;
    // Set by DoRead when the TCP peer ended its stream (rather than the receive failing).
    bool streamEnded_ = false;
    // The receive buffer: capacity_ + 1 bytes, of which count_ received bytes wait from
    // start_ on; changed by the read thread under the manager lock.
    char* buffer_;
    uint32_t capacity_;
    uint32_t start_ = 0;
    uint32_t count_ = 0;
    // Flow control: the limit on kept bytes, the host's pause; whether the last delivery
    // consumed any (read thread) and the read pass that asked for an offer (manager lock).
    std::atomic<uint32_t> receiveLimit_{0};
    std::atomic<bool> readPaused_{false};
    bool consumedSome_ = false;
    uint64_t reofferPass_ = 0;
    // Made with the handler, so that disconnecting never needs memory; the manager takes it.
    ClosingRecord* closing_;
    // Guarded by the manager lock: whether the manager holds a use of the handler, the
    // next handler it lets go of after a pass, and the place in each manager list.
    bool managed_ = false;
    XSocketHandler* lettingGoNext_ = nullptr;
    uint32_t listSlots_[kListCount];
    // The next handler whose watch for writability a pass starts after releasing the
    // manager lock; that pass's own.
    XSocketHandler* armingNext_ = nullptr;
    // The socket's place in the read thread's watch.
    WatchLink readLink_;

    static std::atomic<uint32_t> s_Count;
    static std::atomic<uint32_t> s_Index;
};

#endif  // BRINDLE_NET_XSOCKETHANDLER_H_
