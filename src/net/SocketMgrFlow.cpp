// SPDX-License-Identifier: MIT
// How handlers enter the manager, and the flow of their bytes: when the read thread reads a
// socket (the host's pause, the receive limit) and how a handler that has sent waits to be
// told that its socket is writable again.
//
// Waiting for writability. A handler's write state moves from ready to waiting when a send
// has been made (by the write thread, or at once by a sending thread) or has found the
// socket full, and back to ready when the write thread finds the socket writable and calls
// OnReadyToWrite. A waiting socket is watched in the write poll for one report
// (EPOLLONESHOT), armed by whoever started the wait, so that a send from any thread wakes
// the write thread through the poll itself. Each send counts in the handler's `sends_`, and
// the watch notes the count it was armed at: a report covers the sends made before the
// watch; when sends came after it, the write thread looks at the socket again before it
// calls OnReadyToWrite. Senders move the state only out of ready (compare-and-exchange,
// under the handler's lock); the write thread moves it only out of waiting, and Disconnect
// out of either, both under the manager lock. So a wait is started by one sender at a time
// and ended exactly once.
#include <sys/epoll.h>

#include "brindle/concurrency/OSBootTime.h"
#include "net/SocketMgrState.h"

std::atomic<uint32_t> XSocketMgr::s_SocketLimit{XSocketMgr::kDefaultSocketLimit};

void XSocketMgr::SetSocketLimit(uint32_t limit) {
    s_SocketLimit.store(limit);
    XSocketMgr* current = Current();
    if (current == nullptr || current->state_ == nullptr)
        return;
    current->Lock();
    current->state_->readWatch.SetLimit(limit);
    current->Unlock();
    // Handlers that wait without a place in the write poll may get one now.
    current->state_->WakeWriter();
}

bool XSocketMgr::State::ReserveMember(bool read) {
    // The write thread's and the read thread's lists never need memory later.
    uint32_t count = members + 1;
    return pending.Reserve(count) && retry.Reserve(count) && reoffers.Reserve(count) &&
           arming.Reserve(count) && (!read || handlers.Reserve(handlers.Count() + 1));
}

bool XSocketMgr::State::Enter(XSocketHandler* handler, bool read, bool awaitWritable) {
    int socket = handler->socket_.load();
    if (!Admits() || !ReserveMember(read))
        return false;
    uint64_t word = sockets.Enter(socket, SocketTable::kHandler, handler);
    if (word == SocketTable::kWakeWord)
        return false;
    bool watched = awaitWritable && TakeWritePlace();
    uint32_t events = watched ? EPOLLONESHOT | EPOLLOUT : EPOLLONESHOT;
    if (!writePoll.Add(socket, events, word)) {
        sockets.Leave(socket);
        if (watched)
            GiveWritePlace();
        return false;
    }
    handler->GetMe();
    handler->managed_ = true;
    ++members;
    handler->tellsWritable_ = handler->OverridesReadyToWrite();
    handler->writeWord_.store(word);
    handler->readLink_.word = word;
    if (read) {
        handlers.Add(handler);
        UpdateReading(handler, false);
    }
    if (awaitWritable) {
        handler->armedAt_.store(handler->sends_.load());
        handler->writeWatched_.store(watched);
        handler->writeState_.store(XSocketHandler::kWriteWaiting);
        // Without a place in the poll it is looked at on the write thread's next rounds.
        if (!watched)
            NoticeQueued(handler);
    } else {
        handler->writeState_.store(XSocketHandler::kWriteReady);
        if (!handler->ReadyToSend())
            NoticeQueued(handler);
    }
    return true;
}

void XSocketMgr::State::LetGo(XSocketHandler* handler) {
    if (InPass()) {
        handler->lettingGoNext_ = lettingGo;
        lettingGo = handler;
    } else {
        handler->ReleaseMe();
    }
}

// --- Reading ---

void XSocketMgr::State::UpdateReading(XSocketHandler* handler, bool offer) {
    if (!handlers.Contains(handler))
        return;
    uint32_t limit = handler->receiveLimit_.load();
    bool paused = handler->readPaused_.load();
    bool full = limit != 0 && handler->count_ >= limit;
    XSocketHandler::WatchLink* link = &handler->readLink_;
    if (!paused && !full && !readWatch.Contains(link))
        readWatch.Add(link, handler->socket_.load(), link->word);
    else if ((paused || full) && readWatch.Contains(link))
        readWatch.Remove(link);
    if (paused || handler->count_ == 0) {
        reoffers.Remove(handler);
    } else if (offer && !reoffers.Contains(handler)) {
        handler->reofferPass_ = readPass;
        reoffers.Add(handler);
        readWake.Signal();
    }
}

void XSocketMgr::State::SetPaused(XSocketHandler* handler, bool paused) {
    manager->Lock();
    // A UDP listener's handler is paused under its listener's gate, which its deliveries
    // test; its thread is told when it may read again.
    if (XSocketListener* listener = handler->listener_) {
        std::lock_guard<std::mutex> hold(listener->gate);
        handler->readPaused_.store(paused);
        if (!paused)
            listener->delivered.notify_all();
    } else {
        handler->readPaused_.store(paused);
    }
    UpdateReading(handler, !paused);
    manager->Unlock();
}

// --- Waiting for writability ---

bool XSocketMgr::State::TakeWritePlace() {
    uint32_t limit = s_SocketLimit.load();
    uint32_t watched = writeWatched.load();
    do {
        if (limit != 0 && watched >= limit)
            return false;
    } while (!writeWatched.compare_exchange_weak(watched, watched + 1));
    return true;
}

void XSocketMgr::State::GiveWritePlace() {
    writeWatched.fetch_sub(1);
}

void XSocketMgr::State::AwaitWritable(XSocketHandler* handler) {
    uint32_t ready = XSocketHandler::kWriteReady;
    if (!handler->writeState_.compare_exchange_strong(ready, XSocketHandler::kWriteWaiting))
        return;
    if (!TakeWritePlace()) {
        NoticeQueued(handler);
        return;
    }
    handler->writeWatched_.store(true);
    // A disconnect that came meanwhile took the state; whichever sees the place gives it.
    if (handler->writeState_.load() != XSocketHandler::kWriteWaiting) {
        if (handler->writeWatched_.exchange(false))
            GiveWritePlace();
        return;
    }
    handler->armedAt_.store(handler->sends_.load());
    // During a pass the watch starts as the pass ends, so that the write thread it wakes
    // does not wait for the lock the pass holds.
    if (!InPass() || !arming.Add(handler))
        Arm(handler);
}

void XSocketMgr::State::Arm(XSocketHandler* handler) {
    if (writePoll.Modify(handler->socket_.load(), EPOLLOUT | EPOLLONESHOT,
                         handler->writeWord_.load()))
        return;
    // Not watched after all: the write thread looks at it on its rounds.
    if (handler->writeWatched_.exchange(false))
        GiveWritePlace();
    NoticeQueued(handler);
}

void XSocketMgr::State::NoticeQueued(XSocketHandler* handler) {
    if (notices.Push(handler))
        WakeWriter();
}
