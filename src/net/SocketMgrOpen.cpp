// SPDX-License-Identifier: MIT
// Opening sockets and listening: how handlers come into the manager.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "brindle/concurrency/OSBootTime.h"
#include "brindle/concurrency/XThread.h"
#include "brindle/net/XSocketMgr.h"
#include "net/SocketMgrState.h"
#include "platform/Alloc.h"

namespace {

// The UDP listener thread's pause after a failed receive.
constexpr useconds_t kUdpErrorPauseMicros = 10 * 1000;
// The longest the UDP listener thread waits for its socket before testing its stop flag.
constexpr int kUdpPollMillis = 10;

}  // namespace

// --- Handlers ---

XSocketHandler* XSocketMgr::State::MakeHandler(XSocketFactory factory, sockaddr_in* address,
                                               int socket, bool udp, void* context) {
    XSocketHandler* handler = factory(address, socket, udp, context);
    if (handler != nullptr &&
        (handler->GetRef() == 0 || handler->buffer_ == nullptr || handler->closing_ == nullptr)) {
        handler->Delete();
        handler = nullptr;
    }
    if (handler == nullptr)
        brindle::CloseSocket(socket);
    return handler;
}

void XSocketMgr::State::Discard(XSocketHandler* handler) {
    manager->Lock();
    int socket = handler->socket_.exchange(-1);
    manager->Unlock();
    // -1: a disconnect came first; it deletes the handler and its closing record owns the
    // socket.
    if (socket == -1)
        return;
    handler->GetMe();
    handler->Delete();
    handler->ReleaseMe();
    brindle::CloseSocket(socket);
}

void XSocketMgr::State::Notify(XSocketHandler* handler, bool connected) {
    if (connected && handler->socket_.load() != -1)
        handler->OnConnect();
    if (handler->socket_.load() != -1)
        handler->OnReadyToWrite();
}

int32_t XSocketMgr::State::OpenUdp(XSocketHandler* handler) {
    // A use, so that a read error disconnecting the handler at once cannot destroy it here.
    handler->GetMe();
    manager->Lock();
    bool entered = Enter(handler, true, false);
    manager->Unlock();
    int32_t result = -1;
    if (entered) {
        Notify(handler, true);
        result = 0;
    } else {
        Discard(handler);
    }
    handler->ReleaseMe();
    return result;
}

int32_t XSocketMgr::State::OpenTcp(XSocketHandler* handler, const sockaddr_in& remote) {
    int socket = handler->socket_.load();
    handler->connecting_.store(true);
    handler->GetMe();
    // The connect starts under the lock and is waited for without it. A disconnect
    // meanwhile finds the handler in the connecting list, shuts the socket down (which ends
    // the wait) and holds its closing record back until this lets go.
    manager->Lock();
    int started = -1;
    if (handler->socket_.load() != -1 && Admits() && connecting.Add(handler))
        started = brindle::StartConnect(socket, &remote);
    manager->Unlock();
    bool connected = started == 0 || (started == 1 && AwaitConnect(handler, socket));

    manager->Lock();
    connecting.Remove(handler);
    bool disconnected = handler->socket_.load() == -1;
    if (disconnected) {
        ReleaseHeld(handler);
        connected = false;
    } else if (!connected || !Enter(handler, true, true)) {
        // Entered, it waits for its socket to report writable, when the write thread calls
        // OnConnect.
        connected = false;
    }
    manager->Unlock();
    if (!connected && !disconnected) {
        Discard(handler);
    }
    handler->ReleaseMe();
    return connected ? 0 : -1;
}

bool XSocketMgr::State::AwaitConnect(XSocketHandler* handler, int socket) {
    // The longest wait between two looks at the connect time-out, which the handler may arm
    // after its constructor.
    constexpr uint64_t kLookMillis = 1000;
    for (;;) {
        uint64_t now = OSBootTime();
        uint64_t due = handler->timeoutDue_.load();
        uint64_t wait = due > now ? std::min(due - now, kLookMillis) : kLookMillis;
        if (due != 0 && due <= now) {
            // Due: fire the time-out here, as the read thread would. When it is firing there
            // already, its disconnect shuts the socket down, which ends the wait below.
            handler->timeoutDue_.store(0);
            uint32_t id = handler->timeoutId_.load();
            if (id != 0)
                manager->SignalManager()->Abort(id, 0);
        }
        int outcome = brindle::AwaitConnect(socket, static_cast<int>(wait));
        if (outcome != 0)
            return outcome > 0;
    }
}

int32_t XSocketMgr::Open(uint32_t address, uint16_t port, bool udp, XSocketFactory factory,
                         void* context, uint32_t* reference) {
    if (state_ == nullptr || factory == nullptr || (!udp && address == 0))
        return -1;
    if (!IsRunning())
        return -1;
    int socket = brindle::OpenSocket(udp);
    if (socket < 0)
        return -1;
    if (!brindle::Bind(socket, htonl(INADDR_ANY), 0)) {
        brindle::CloseSocket(socket);
        return -1;
    }
    sockaddr_in remote = brindle::MakeAddress(address, port);
    XSocketHandler* handler = state_->MakeHandler(factory, &remote, socket, udp, context);
    if (handler == nullptr)
        return -1;
    uint32_t made = handler->GetRef();
    int32_t result = udp ? state_->OpenUdp(handler) : state_->OpenTcp(handler, remote);
    if (result == 0 && reference != nullptr)
        *reference = made;
    return result;
}

// --- Listeners ---

XSocketListener* XSocketMgr::StartListening(uint16_t port, bool udp, XSocketFactory factory,
                                            void* context, uint16_t* boundPort) {
    return StartListening(htonl(INADDR_ANY), port, udp, factory, context, boundPort);
}

XSocketListener* XSocketMgr::StartListening(uint32_t address, uint16_t port, bool udp,
                                            XSocketFactory factory, void* context,
                                            uint16_t* boundPort) {
    if (state_ == nullptr || factory == nullptr)
        return nullptr;
    XSocketListener* listener = brindle::New<XSocketListener>();
    if (listener == nullptr)
        return nullptr;
    listener->manager = this;
    listener->socket = brindle::OpenSocket(udp);
    bool bound = listener->socket >= 0 && brindle::Bind(listener->socket, address, port, !udp) &&
                 brindle::SetBlocking(listener->socket, false);
    XSocketListener* made = nullptr;
    if (bound) {
        made = udp ? state_->ListenUdp(listener, address, factory, context)
                   : state_->ListenTcp(listener, factory, context);
    }
    if (made == nullptr) {
        if (listener->socket >= 0)
            brindle::CloseSocket(listener->socket);
        delete listener;
    } else if (boundPort != nullptr) {
        *boundPort = brindle::BoundPort(made->socket);
    }
    return made;
}

XSocketListener* XSocketMgr::State::ListenTcp(XSocketListener* listener, XSocketFactory factory,
                                              void* context) {
    if (!brindle::Listen(listener->socket))
        return nullptr;
    listener->factory = factory;
    listener->context = context;
    manager->Lock();
    uint64_t word = sockets.Enter(listener->socket, SocketTable::kListener, listener);
    if (word != SocketTable::kWakeWord) {
        listener->next = tcpListeners;
        tcpListeners = listener;
        readWatch.Add(&listener->readLink, listener->socket, word);
    }
    manager->Unlock();
    return word != SocketTable::kWakeWord ? listener : nullptr;
}

XSocketListener* XSocketMgr::State::ListenUdp(XSocketListener* listener, uint32_t address,
                                              XSocketFactory factory, void* context) {
    // The handler gets a descriptor of its own for the socket, so that the closing list can
    // close it whenever the handler is disconnected, while the listener's thread still
    // reads through the listener's descriptor.
    int handlerSocket = brindle::DuplicateSocket(listener->socket);
    if (handlerSocket < 0)
        return nullptr;
    sockaddr_in bound = brindle::MakeAddress(address, brindle::BoundPort(listener->socket));
    XSocketHandler* handler = MakeHandler(factory, &bound, handlerSocket, true, context);
    if (handler == nullptr)
        return nullptr;
    handler->GetMe();
    listener->thread =
        SpawnXThread("UdpReadThread", XSocketMgr::UdpReadThread, listener, ThreadPriorityNormal);
    manager->Lock();
    bool entered = listener->thread != nullptr && Enter(handler, false, false);
    if (entered) {
        listener->next = udpListeners;
        udpListeners = listener;
        std::lock_guard<std::mutex> hold(listener->gate);
        listener->handler = handler;
        handler->listener_ = listener;
    }
    manager->Unlock();
    if (!entered) {
        // A thread that was never resumed ends without running.
        if (listener->thread != nullptr)
            KillXThread(listener->thread);
        Discard(handler);
        handler->ReleaseMe();
        return nullptr;
    }
    Notify(handler, true);
    handler->ReleaseMe();
    ResumeXThread(listener->thread);
    return listener;
}

bool XSocketMgr::State::Unlink(XSocketListener* listener) {
    XSocketListener** link = listener->factory != nullptr ? &tcpListeners : &udpListeners;
    for (; *link != nullptr; link = &(*link)->next) {
        if (*link == listener) {
            *link = listener->next;
            return true;
        }
    }
    return false;
}

void XSocketMgr::StopListening(XSocketListener* listener) {
    if (listener == nullptr || state_ == nullptr)
        return;
    State& state = *state_;
    Lock();
    bool listed = state.Unlink(listener);
    bool tcp = listener->factory != nullptr;
    if (listed && tcp) {
        state.readWatch.Remove(&listener->readLink);
        state.sockets.Leave(listener->socket);
    }
    XSocketHandler* handler = nullptr;
    if (listed && !tcp) {
        std::lock_guard<std::mutex> hold(listener->gate);
        handler = listener->handler;
        listener->stop.store(true);
        listener->delivered.notify_all();
        if (handler != nullptr)
            handler->GetMe();
    }
    Unlock();
    if (!listed)
        return;
    if (tcp) {
        brindle::CloseSocket(listener->socket);
        delete listener;
        return;
    }
    if (handler != nullptr) {
        Disconnect(handler, 0);
        handler->ReleaseMe();
    }
    // Not waited for on its own thread, nor during a pass, where its delivery may be waiting
    // for the manager lock: the thread then frees the record as it ends.
    if (listener->threadId.load() != brindle::CurrentThreadId() && !state.InPass())
        WaitForXThread(listener->thread);
    KillXThread(listener->thread);
    State::ReleaseListener(listener);
}

XSocketListener* XSocketMgr::State::LeaveListener(XSocketHandler* handler, bool* handedOff) {
    *handedOff = false;
    XSocketListener* listener = handler->listener_;
    if (listener == nullptr)
        return nullptr;
    handler->listener_ = nullptr;
    std::lock_guard<std::mutex> hold(listener->gate);
    // Its thread stops at once and starts no delivery; StopListening frees it.
    listener->stop.store(true);
    listener->handler = nullptr;
    listener->delivered.notify_all();
    if (!listener->delivering || listener->threadId.load() == brindle::CurrentThreadId())
        return nullptr;
    if (InPass()) {
        // The use the manager holds passes to the listener's thread with the OnClose.
        listener->closeAfterDelivery = handler;
        *handedOff = true;
        return nullptr;
    }
    listener->holders.fetch_add(1);
    return listener;
}

void XSocketMgr::State::AwaitDelivery(XSocketListener* listener) {
    {
        std::unique_lock<std::mutex> hold(listener->gate);
        listener->delivered.wait(hold, [listener] { return !listener->delivering; });
    }
    ReleaseListener(listener);
}

void XSocketMgr::State::ReleaseListener(XSocketListener* listener) {
    if (listener->holders.fetch_sub(1) != 1)
        return;
    brindle::CloseSocket(listener->socket);
    delete listener;
}

bool XSocketMgr::State::AwaitReading(XSocketListener* listener,
                                     std::unique_lock<std::mutex>* hold) {
    listener->delivered.wait(*hold, [listener] {
        return listener->stop.load() || listener->handler == nullptr ||
               !listener->handler->readPaused_.load();
    });
    return !listener->stop.load() && listener->handler != nullptr;
}

void XSocketMgr::State::DeliverDatagram(XSocketListener* listener, char* data, uint32_t size,
                                        sockaddr_in* from) {
    // The gate makes a disconnect either come before the delivery, which then does not
    // start, or wait for it (or leave OnClose to it) when it comes after; and a pause of the
    // handler keep the datagram until reading resumes.
    std::unique_lock<std::mutex> hold(listener->gate);
    if (!AwaitReading(listener, &hold))
        return;
    XSocketHandler* handler = listener->handler;
    uint32_t limit = handler->receiveLimit_.load();
    if (limit != 0 && size > limit)
        return;
    handler->GetMe();
    listener->delivering = true;
    hold.unlock();
    handler->Lock();
    handler->remote_ = *from;
    handler->Unlock();
    handler->OnDataReceived(data, size, from);
    hold.lock();
    listener->delivering = false;
    XSocketHandler* closed = listener->closeAfterDelivery;
    listener->closeAfterDelivery = nullptr;
    hold.unlock();
    listener->delivered.notify_all();
    handler->ReleaseMe();
    if (closed != nullptr) {
        closed->OnClose(0);
        closed->Delete();
        closed->ReleaseMe();
    }
}

uint32_t XSocketMgr::UdpReadThread(void* argument) {
    XSocketListener* listener = static_cast<XSocketListener*>(argument);
    listener->threadId.store(brindle::CurrentThreadId());
    char buffer[XSocketHandler::kMaxDatagram];
    while (!listener->stop.load()) {
        // While the handler is paused, datagrams wait in the system.
        {
            std::unique_lock<std::mutex> hold(listener->gate);
            if (!State::AwaitReading(listener, &hold))
                continue;
        }
        sockaddr_in from = {};
        ssize_t got = brindle::ReceiveFrom(listener->socket, buffer, sizeof buffer, &from);
        if (listener->stop.load())
            break;
        if (got > 0 && static_cast<size_t>(got) <= sizeof buffer) {
            State::DeliverDatagram(listener, buffer, static_cast<uint32_t>(got), &from);
        } else if (got == brindle::kWouldBlock) {
            brindle::WaitReadable(listener->socket, kUdpPollMillis);
        } else if (got == -1) {
            usleep(kUdpErrorPauseMicros);
        }
        // A datagram too large for the buffer, an empty one, and one the system reports an
        // error for, are dropped.
    }
    State::ReleaseListener(listener);
    return 0;
}
