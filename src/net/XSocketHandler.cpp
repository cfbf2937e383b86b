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

}  // namespace

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
    void* copy = brindle::Malloc(size > 0 ? size : 1);
    if (copy == nullptr)
        return -1;
    if (size > 0)
        memcpy(copy, data, size);
    if (SendAllocatedData(copy, size, to) != 0) {
        free(copy);
        return -1;
    }
    return 0;
}

int32_t XSocketHandler::SendAllocatedData(void* data, uint32_t size, sockaddr_in* to) {
    if (Deleted() || (data == nullptr && size > 0))
        return -1;
    SendItem* item = static_cast<SendItem*>(brindle::Malloc(sizeof(SendItem)));
    if (item == nullptr)
        return -1;
    *item = SendItem{data, 0, size, {}, nullptr};
    Lock();
    // A disconnect sets the socket to -1 before it takes the queue over under this lock, so
    // nothing queued here is left behind.
    bool connected = socket_.load() != -1;
    if (connected) {
        if (udp_)
            item->to = to != nullptr ? *to : remote_;
        if (newest_ != nullptr)
            newest_->newer = item;
        else
            oldest_.store(item);
        newest_ = item;
    }
    Unlock();
    if (!connected) {
        free(item);
        return -1;
    }
    XSocketMgr* manager = XSocketMgr::Current();
    if (manager != nullptr && manager->state_ != nullptr)
        manager->state_->WakeWriter();
    return 0;
}

bool XSocketHandler::ReadyToSend() {
    return oldest_.load() == nullptr;
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

ssize_t XSocketHandler::SendItems(SendItem** oldest, int socket, bool udp) {
    ssize_t result = 0;
    while (SendItem* item = *oldest) {
        uint32_t left = item->size - item->sent;
        const char* from = static_cast<const char*>(item->data) + item->sent;
        if (udp) {
            // A datagram goes out whole or not at all. One too large, or one the system
            // refuses (a bad or unreachable destination), is dropped as if sent: it would be
            // refused again, and must not hold up the datagrams behind it nor end the
            // handler.
            if (item->size <= kMaxDatagram) {
                ssize_t sent = brindle::SendTo(socket, from, left, &item->to);
                if (sent < 0 && sent != brindle::kDatagramRefused)
                    return sent;
            }
            result = left;
        } else {
            result = brindle::Send(socket, from, left);
            if (result < 0)
                return result;
            if (static_cast<size_t>(result) < left) {
                item->sent += static_cast<uint32_t>(result);
                return result;
            }
        }
        *oldest = item->newer;
        free(item->data);
        free(item);
    }
    return result;
}

void XSocketHandler::FreeItems(SendItem* oldest) {
    while (oldest != nullptr) {
        SendItem* newer = oldest->newer;
        free(oldest->data);
        free(oldest);
        oldest = newer;
    }
}

int XSocketHandler::DoWrite() {
    writeStalled_ = false;
    if (oldest_.load() == nullptr)
        return 0;
    if (!Lock(0)) {
        writeStalled_ = true;
        return 0;
    }
    XSocketHandler* self = GetXSocketHandler(GetRef());
    ssize_t result = 0;
    if (self != nullptr) {
        SendItem* oldest = oldest_.load();
        result = SendItems(&oldest, socket_.load(), udp_);
        oldest_.store(oldest);
        if (oldest == nullptr)
            newest_ = nullptr;
    }
    Unlock();
    ReleaseXSocketHandler(self);
    if (result < 0) {
        writeStalled_ = true;
        return result == brindle::kWouldBlock ? 0 : -1;
    }
    return static_cast<int>(std::min<ssize_t>(result, INT_MAX));
}

bool XSocketHandler::GrowReceiveBuffer() {
    if (capacity_ > UINT32_MAX - kReceiveStep - 1)
        return false;
    char* grown = static_cast<char*>(brindle::Realloc(buffer_, capacity_ + kReceiveStep + 1));
    if (grown == nullptr)
        return false;
    buffer_ = grown;
    capacity_ += kReceiveStep;
    return true;
}

int32_t XSocketHandler::DoRead() {
    XSocketHandler* self = GetXSocketHandler(GetRef());
    if (self == nullptr)
        return -1;
    int32_t result = udp_ ? ReadDatagrams() : ReadStream();
    ReleaseXSocketHandler(self);
    return result;
}

int32_t XSocketHandler::ReadStream() {
    int socket = socket_.load();
    int32_t result = 0;
    size_t received = 0;
    for (;;) {
        if (count_ == capacity_ && !GrowReceiveBuffer()) {
            result = received > 0 ? 0 : -1;
            break;
        }
        uint32_t room = capacity_ - count_;
        ssize_t got = brindle::Receive(socket, buffer_ + count_, room, false);
        if (got == brindle::kWouldBlock)
            break;
        if (got <= 0) {
            streamEnded_ = got == 0;
            result = -1;
            break;
        }
        count_ += static_cast<uint32_t>(got);
        received += static_cast<size_t>(got);
        // A full buffer may mean more is waiting: grow and read on, up to the burst.
        if (count_ < capacity_ || received >= kReceiveBurst)
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
    // Stops at the burst, and once OnDataReceived has closed the handler.
    while (received < kReceiveBurst && socket_.load() != -1) {
        ssize_t got = brindle::Receive(socket, buffer_, kMaxDatagram, true);
        if (got == brindle::kWouldBlock)
            return 0;
        if (got == -1)
            return -1;
        received += got > 0 ? static_cast<size_t>(got) : 1;
        // Empty datagrams, ones over the limit (their length is reported whole), and the
        // errors that concern one datagram are dropped.
        if (got <= 0 || static_cast<size_t>(got) > kMaxDatagram)
            continue;
        // One datagram, one delivery: what OnDataReceived leaves unconsumed is dropped too,
        // so that no datagram is ever merged with the next.
        count_ = static_cast<uint32_t>(got);
        Deliver();
        count_ = 0;
    }
    return 0;
}

void XSocketHandler::Deliver() {
    buffer_[count_] = '\0';
    uint32_t consumed = OnDataReceived(buffer_, count_, &remote_);
    if (static_cast<int32_t>(consumed) < 0 || consumed >= count_) {
        count_ = 0;
    } else if (consumed > 0) {
        memmove(buffer_, buffer_ + consumed, count_ - consumed);
        count_ -= consumed;
    }
    buffer_[count_] = '\0';
}
