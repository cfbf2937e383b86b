// SPDX-License-Identifier: MIT

#include "brindle/net/XSocketHandler.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "brindle/concurrency/OSBootTime.h"
#include "brindle/net/XSocketMgr.h"
#include "net/SocketMgrState.h"
#include "net/Sockets.h"
#include "platform/Alloc.h"

namespace {

// The receive buffer's first size and growth step.
constexpr uint32_t kReceiveStep = 8192;
// Once one DoRead has received this much, it delivers. A peer that sends without pause
// would otherwise keep the read thread receiving, and the buffer growing, while it sends.
constexpr uint32_t kReceiveBurst = 64 * 1024;

// The address of XSocketHandler's own OnReadyToWrite, read from the virtual table of a
// handler while it is being constructed, when it still is an XSocketHandler.
std::atomic<void*> g_plainReadyToWrite{nullptr};

// The function in the given slot of an object's virtual table.
void* VirtualFunction(const void* object, size_t slot) {
    void* const* table;
    memcpy(&table, object, sizeof table);
    return table[slot];
}

}  // namespace

size_t XSocketHandler::ReadyToWriteSlot() {
    // Itanium C++ ABI (GCC and Clang on Linux): a pointer to a virtual member function
    // holds 1 + the byte offset of its slot in the virtual table, and an adjustment.
    void (XSocketHandler::*member)() = &XSocketHandler::OnReadyToWrite;
    struct {
        uintptr_t pointer;
        ptrdiff_t adjustment;
    } layout;
    static_assert(sizeof member == sizeof layout, "a pointer to member of the Itanium ABI");
    memcpy(&layout, &member, sizeof layout);
    return (layout.pointer & 1) != 0 ? (layout.pointer - 1) / sizeof(void*) : SIZE_MAX;
}

bool XSocketHandler::OverridesReadyToWrite() const {
    size_t slot = ReadyToWriteSlot();
    void* plain = g_plainReadyToWrite.load();
    return slot == SIZE_MAX || plain == nullptr || VirtualFunction(this, slot) != plain;
}

std::atomic<uint32_t> XSocketHandler::s_Count{0};
std::atomic<uint32_t> XSocketHandler::s_Index{1};

XSocketHandler::XSocketHandler(sockaddr_in* remote, int socket, bool udp, void* context)
    : serial_(s_Index.fetch_add(1)),
      remote_(remote != nullptr ? *remote : sockaddr_in{}),
      socket_(socket),
      udp_(udp),
      context_(context),
      buffer_(static_cast<char*>(brindle::Malloc(kReceiveStep + 1))),
      capacity_(buffer_ != nullptr ? kReceiveStep : 0),
      closing_(brindle::New<ClosingRecord>()) {
    std::fill(listSlots_, listSlots_ + kListCount, XSocketMgr::State::HandlerList::kNoPlace);
    size_t slot = ReadyToWriteSlot();
    if (slot != SIZE_MAX)
        g_plainReadyToWrite.store(VirtualFunction(this, slot));
    s_Count.fetch_add(1);
}

XSocketHandler::~XSocketHandler() {
    uint32_t timeout = timeoutId_.load();
    XSocketMgr* manager = XSocketMgr::Current();
    if (timeout != 0 && manager != nullptr)
        manager->SignalManager()->Clear(timeout);
    FreeItems(oldest_.load());
    free(buffer_);
    delete closing_;
    s_Count.fetch_sub(1);
}

int32_t XSocketHandler::OnConnect() {
    return 0;
}

void XSocketHandler::OnConnectFailed(uint32_t) {}

void XSocketHandler::OnClose(uint32_t) {}

uint32_t XSocketHandler::OnDataReceived(void*, uint32_t size, sockaddr_in*) {
    return size;
}

void XSocketHandler::OnReadyToWrite() {}

int32_t XSocketHandler::SendData(void* data, uint32_t size, sockaddr_in* to) {
    if (data == nullptr && size > 0)
        return -1;
    // The item and room for the copy in one block, made before anything is sent, so that a
    // failure leaves nothing sent; the copy is made only of what the socket does not take.
    SendItem* item = static_cast<SendItem*>(brindle::Malloc(sizeof(SendItem) + size));
    if (item == nullptr)
        return -1;
    *item = SendItem{item + 1, 0, size, {}, nullptr};
    return Post(item, static_cast<const char*>(data), to);
}

int32_t XSocketHandler::SendAllocatedData(void* data, uint32_t size, sockaddr_in* to) {
    if (Deleted() || (data == nullptr && size > 0))
        return -1;
    SendItem* item = static_cast<SendItem*>(brindle::Malloc(sizeof(SendItem)));
    if (item == nullptr)
        return -1;
    *item = SendItem{data, 0, size, {}, nullptr};
    return Post(item, static_cast<const char*>(data), to);
}

int32_t XSocketHandler::Post(SendItem* item, const char* bytes, sockaddr_in* to) {
    XSocketMgr* manager = XSocketMgr::Current();
    XSocketMgr::State* state = manager != nullptr ? manager->state_ : nullptr;
    Lock();
    // A disconnect sets the socket to -1 before it takes the queue over under this lock, and
    // closes the socket only after that, so nothing queued here is left behind and the
    // socket cannot close under a send made here.
    int socket = socket_.load();
    if (socket == -1 || state == nullptr) {
        Unlock();
        free(item);
        return -1;
    }
    if (udp_)
        item->to = to != nullptr ? *to : remote_;
    // Sent at once only behind nothing, so bytes keep their order; by a handler that is
    // ready, in the manager with its connect complete (OnConnect still comes first) and not
    // waiting for writability after an earlier send (what is given meanwhile leaves with
    // the write thread's next gathered send).
    bool first = oldest_.load() == nullptr;
    bool await = false;
    bool sent = first && writeState_.load() == kWriteReady && SendNow(item, bytes, socket, &await);
    if (sent) {
        if (!item->HoldsCopy())
            free(item->data);
        free(item);
    } else {
        if (item->HoldsCopy())
            memcpy(static_cast<char*>(item->data) + item->sent, bytes + item->sent,
                   item->size - item->sent);
        queuedBytes_.fetch_add(item->size - item->sent);
        if (newest_ != nullptr)
            newest_->newer = item;
        else
            oldest_.store(item);
        newest_ = item;
    }
    // A handler that waits for writability sends its queue when the wait ends; a ready one
    // with a queue that was empty needs the write thread now.
    if (await)
        state->AwaitWritable(this);
    else if (!sent && first && writeState_.load() == kWriteReady)
        state->NoticeQueued(this);
    Unlock();
    // The write thread found the lock busy meanwhile: it has the queue again at once.
    if (writerMissed_.exchange(false) && !ReadyToSend())
        state->NoticeQueued(this);
    return 0;
}

bool XSocketHandler::SendNow(SendItem* item, const char* bytes, int socket, bool* await) {
    ssize_t result;
    if (udp_) {
        // Whole or not at all; too large or refused, it is dropped as if sent (see DoWrite).
        result = item->size > kMaxDatagram ? item->size
                                           : brindle::SendTo(socket, bytes, item->size, &item->to);
        if (result == brindle::kDatagramRefused)
            result = item->size;
    } else {
        result = brindle::Send(socket, bytes, item->size);
    }
    if (result == -1)
        return false;  // the write thread tries again and meets the failure there
    if (result > 0) {
        item->sent = static_cast<uint32_t>(result);
        sends_.fetch_add(1);
    }
    // After a send, or when the socket is full, the handler waits to be told it is writable;
    // unless all went out and the telling would only run the empty OnReadyToWrite.
    bool complete = result >= 0 && item->sent == item->size;
    *await = result != 0 && (!complete || tellsWritable_);
    return complete;
}

bool XSocketHandler::ReadyToSend() {
    return oldest_.load() == nullptr;
}

uint32_t XSocketHandler::QueuedBytes() {
    return static_cast<uint32_t>(std::min<uint64_t>(queuedBytes_.load(), UINT32_MAX));
}

void XSocketHandler::SetReceiveLimit(uint32_t bytes) {
    receiveLimit_.store(bytes);
    XSocketMgr* manager = XSocketMgr::Current();
    if (manager == nullptr || manager->state_ == nullptr)
        return;
    manager->Lock();
    // At or over a lowered limit, the kept bytes are offered once more so that the host can
    // consume them; under a raised one, reading resumes.
    manager->state_->UpdateReading(this, bytes != 0 && count_ >= bytes);
    manager->Unlock();
}

void XSocketHandler::PauseReading() {
    SetPaused(true);
}

void XSocketHandler::ResumeReading() {
    SetPaused(false);
}

void XSocketHandler::SetPaused(bool paused) {
    XSocketMgr* manager = XSocketMgr::Current();
    if (manager != nullptr && manager->state_ != nullptr)
        manager->state_->SetPaused(this, paused);
    else
        readPaused_.store(paused);
}

void XSocketHandler::Close(uint16_t linger) {
    if (openCount_.fetch_sub(1) != 1)
        return;
    if (XSocketMgr* manager = XSocketMgr::Current())
        manager->Disconnect(this, linger);
}

void XSocketHandler::ReOpen() {
    openCount_.fetch_add(1);
}

int32_t XSocketHandler::GetRemoteAddress(sockaddr_in* address) {
    if (address == nullptr)
        return -1;
    Lock();
    *address = remote_;
    Unlock();
    return 0;
}

uint32_t XSocketHandler::Count() {
    return s_Count.load();
}

XSocketHandler* XSocketHandler::GetXSocketHandler(uint32_t reference) {
    XTSObject* object = XTSObject::GetObjectA(reference);
    XSocketHandler* handler = dynamic_cast<XSocketHandler*>(object);
    // The registry is shared with the host's own objects.
    if (handler == nullptr)
        XTSObject::ReleaseObject(object);
    return handler;
}

void XSocketHandler::ReleaseXSocketHandler(XSocketHandler* handler) {
    XTSObject::ReleaseObject(handler);
}

void XSocketHandler::DebgSetPacketLoss(unsigned int) {}

void XSocketHandler::SetConnectTimeout(uint32_t milliseconds) {
    XSocketMgr* manager = XSocketMgr::Current();
    if (manager == nullptr)
        return;
    void* reference = reinterpret_cast<void*>(static_cast<uintptr_t>(GetRef()));
    timeoutDue_.store(OSBootTime() + milliseconds);
    timeoutId_.store(manager->SignalManager()->Post(milliseconds, SSP_TimeOut, reference, nullptr,
                                                    nullptr, nullptr));
}

void XSocketHandler::SSP_TimeOut(int32_t, void* reference, void*, void*, void*) {
    XSocketHandler* handler =
        GetXSocketHandler(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(reference)));
    if (handler == nullptr)
        return;
    handler->timeoutId_.store(0);
    handler->timeoutDue_.store(0);
    if (handler->connecting_.load())
        handler->Close(0);
    ReleaseXSocketHandler(handler);
}

ssize_t XSocketHandler::SendItems(SendItem** oldest, int socket, bool udp, uint64_t* sent) {
    // Items a TCP send gathers into one call.
    constexpr size_t kGather = 64;
    ssize_t result = 0;
    while (*oldest != nullptr) {
        if (udp) {
            SendItem* item = *oldest;
            // A datagram goes out whole or not at all. One too large, or one the system
            // refuses (a bad or unreachable destination), is dropped as if sent: it would be
            // refused again, and must not hold up the datagrams behind it nor end the
            // handler.
            if (item->size <= kMaxDatagram) {
                ssize_t done = brindle::SendTo(socket, item->data, item->size, &item->to);
                if (done < 0 && done != brindle::kDatagramRefused)
                    return done;
            }
            result = item->size;
            *sent += item->size;
            *oldest = item->newer;
            FreeItems(item, item->newer);
            continue;
        }
        iovec slices[kGather];
        size_t count = 0;
        size_t total = 0;
        for (SendItem* item = *oldest; item != nullptr && count < kGather; item = item->newer) {
            slices[count].iov_base = static_cast<char*>(item->data) + item->sent;
            slices[count].iov_len = item->size - item->sent;
            total += slices[count++].iov_len;
        }
        result = count == 1 ? brindle::Send(socket, slices[0].iov_base, slices[0].iov_len)
                            : brindle::SendGathered(socket, slices, count);
        if (result < 0)
            return result;
        *sent += static_cast<uint64_t>(result);
        // Frees the items sent whole; the first one sent in part keeps its place.
        size_t left = static_cast<size_t>(result);
        SendItem* first = *oldest;
        while (*oldest != nullptr && left >= (*oldest)->size - (*oldest)->sent) {
            left -= (*oldest)->size - (*oldest)->sent;
            *oldest = (*oldest)->newer;
        }
        FreeItems(first, *oldest);
        if (*oldest != nullptr)
            (*oldest)->sent += static_cast<uint32_t>(left);
        if (static_cast<size_t>(result) < total)
            return result;
    }
    return result;
}

void XSocketHandler::FreeItems(SendItem* oldest, SendItem* end) {
    while (oldest != end) {
        SendItem* newer = oldest->newer;
        if (!oldest->HoldsCopy())
            free(oldest->data);
        free(oldest);
        oldest = newer;
    }
}

int XSocketHandler::DoWrite() {
    XSocketHandler* self = GetXSocketHandler(GetRef());
    if (self == nullptr)
        return 0;
    bool busy = false;
    ssize_t result = WriteQueued(&busy);
    ReleaseXSocketHandler(self);
    if (result < 0)
        return result == brindle::kWouldBlock ? 0 : -1;
    return static_cast<int>(std::min<ssize_t>(result, INT_MAX));
}

ssize_t XSocketHandler::WriteQueued(bool* busy) {
    *busy = false;
    XSocketMgr* manager = XSocketMgr::Current();
    if (oldest_.load() == nullptr || manager == nullptr || manager->state_ == nullptr)
        return 0;
    // Set first, so that a sender holding the lock sees it once it lets go.
    writerMissed_.store(true);
    if (!Lock(0)) {
        *busy = true;
        return 0;
    }
    writerMissed_.store(false);
    SendItem* oldest = oldest_.load();
    uint64_t sent = 0;
    ssize_t result = oldest != nullptr ? SendItems(&oldest, socket_.load(), udp_, &sent) : 0;
    oldest_.store(oldest);
    if (oldest == nullptr)
        newest_ = nullptr;
    queuedBytes_.fetch_sub(sent);
    if (sent > 0)
        sends_.fetch_add(1);
    // After a send, or when the socket is full, the handler waits to be told it is writable;
    // unless all went out and the telling would only run the empty OnReadyToWrite.
    if ((sent > 0 || result == brindle::kWouldBlock) && (oldest != nullptr || tellsWritable_))
        manager->state_->AwaitWritable(this);
    Unlock();
    return result;
}

bool XSocketHandler::MakeRoom() {
    // Moving the kept bytes to the front costs no more than the bytes consumed since they
    // last moved; with fewer consumed, the buffer grows instead.
    if (start_ > 0 && start_ >= count_) {
        memmove(buffer_, buffer_ + start_, count_);
        start_ = 0;
        return true;
    }
    if (capacity_ <= UINT32_MAX - kReceiveStep - 1) {
        char* grown = static_cast<char*>(brindle::Realloc(buffer_, capacity_ + kReceiveStep + 1));
        if (grown != nullptr) {
            buffer_ = grown;
            capacity_ += kReceiveStep;
            return true;
        }
    }
    if (start_ == 0)
        return false;
    memmove(buffer_, buffer_ + start_, count_);
    start_ = 0;
    return true;
}

int32_t XSocketHandler::DoRead() {
    XSocketHandler* self = GetXSocketHandler(GetRef());
    if (self == nullptr)
        return -1;
    int32_t result = ReadSocket();
    ReleaseXSocketHandler(self);
    return result;
}

int32_t XSocketHandler::ReadSocket() {
    consumedSome_ = false;
    return udp_ ? ReadDatagrams() : ReadStream();
}

int32_t XSocketHandler::ReadStream() {
    int socket = socket_.load();
    uint32_t limit = receiveLimit_.load();
    int32_t result = 0;
    size_t received = 0;
    for (;;) {
        // Under a limit, no more is received than brings the kept bytes to it.
        uint32_t wanted = limit == 0 ? UINT32_MAX : limit > count_ ? limit - count_ : 0;
        if (wanted == 0)
            break;
        if (start_ + count_ == capacity_ && !MakeRoom()) {
            result = received > 0 ? 0 : -1;
            break;
        }
        uint32_t room = std::min(capacity_ - start_ - count_, wanted);
        ssize_t got = brindle::Receive(socket, buffer_ + start_ + count_, room, false);
        if (got == brindle::kWouldBlock)
            break;
        if (got <= 0) {
            streamEnded_ = got == 0;
            result = -1;
            break;
        }
        count_ += static_cast<uint32_t>(got);
        received += static_cast<size_t>(got);
        // A full buffer may mean more is waiting: make room and read on, up to the burst.
        if (static_cast<uint32_t>(got) < room || received >= kReceiveBurst)
            break;
    }
    // Bytes received before the stream ended or the socket ran dry are delivered now.
    if (received > 0)
        Deliver();
    return result;
}

int32_t XSocketHandler::ReadDatagrams() {
    int socket = socket_.load();
    size_t received = 0;
    // Stops at the burst, and once OnDataReceived has closed the handler or paused reading.
    while (received < kReceiveBurst && socket_.load() != -1 && !readPaused_.load()) {
        ssize_t got = brindle::Receive(socket, buffer_, kMaxDatagram, true);
        if (got == brindle::kWouldBlock)
            return 0;
        if (got == -1)
            return -1;
        received += got > 0 ? static_cast<size_t>(got) : 1;
        // Empty datagrams, ones over the limits (their length is reported whole), and the
        // errors that concern one datagram are dropped.
        uint32_t limit = receiveLimit_.load();
        if (got <= 0 || static_cast<size_t>(got) > kMaxDatagram ||
            (limit != 0 && static_cast<size_t>(got) > limit))
            continue;
        // One datagram, one delivery: what OnDataReceived leaves unconsumed is dropped too,
        // so that no datagram is ever merged with the next.
        start_ = 0;
        count_ = static_cast<uint32_t>(got);
        Deliver();
        start_ = count_ = 0;
    }
    return 0;
}

void XSocketHandler::Deliver() {
    char* kept = buffer_ + start_;
    kept[count_] = '\0';
    uint32_t consumed = OnDataReceived(kept, count_, &remote_);
    consumedSome_ = consumed != 0;
    if (static_cast<int32_t>(consumed) < 0 || consumed >= count_) {
        start_ = count_ = 0;
        buffer_[0] = '\0';
    } else {
        start_ += consumed;
        count_ -= consumed;
    }
}
