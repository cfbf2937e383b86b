// SPDX-License-Identifier: MIT
// The read and write threads.
#include <sys/socket.h>

#include <algorithm>

#include "brindle/concurrency/OSBootTime.h"
#include "brindle/net/XSocketMgr.h"
#include "net/SocketMgrState.h"

namespace {

// The longest either thread waits in one poll.
constexpr uint64_t kMaxWaitMillis = 1000;
// The wait before a handler is tried again: its lock was busy, its send failed, or it
// waits for writability without a place in the write poll.
constexpr uint64_t kRetryMillis = 10;
// How long the replies queued before a peer ended its stream may still drain to it: a
// peer that half-closes (shuts its sending side down after a request) still reads them.
constexpr uint32_t kEndOfStreamLingerMillis = 10000;
// The most connections one pass accepts from one listener: as many as its backlog holds.
constexpr uint32_t kAcceptsPerPass = SOMAXCONN;
// The most poll reports one pass takes; the rest come with the next pass.
constexpr uint32_t kReportsPerPass = 256;
// The most watches for writability a pass starts after it has released the manager lock.
constexpr uint32_t kWatchesAfterPass = 16;

// The run whose loop the calling thread runs; set by the entry functions, so that the loops
// keep their plain signatures and a loop started late still knows its own run.
__thread void* t_run = nullptr;
// The state whose manager lock the calling thread holds for a pass of its loop, and whether
// that pass has work for the write thread.
__thread void* t_pass = nullptr;
__thread bool t_writerWanted = false;

}  // namespace

uint32_t XSocketMgr::State::ReadEntry(void* run) {
    t_run = run;
    return static_cast<uint32_t>(static_cast<Run*>(run)->manager->ReadThread());
}

uint32_t XSocketMgr::State::WriteEntry(void* run) {
    t_run = run;
    return static_cast<uint32_t>(static_cast<Run*>(run)->manager->WriteThread());
}

XSocketMgr::Run* XSocketMgr::State::ThreadRun(std::atomic<uint32_t> Run::*threadId) const {
    Run* run = static_cast<Run*>(t_run);
    if (run == nullptr || run->manager != manager)
        return nullptr;
    (run->*threadId).store(brindle::CurrentThreadId());
    return run;
}

// --- Passes ---

bool XSocketMgr::State::InPass() const {
    return t_pass == this;
}

void XSocketMgr::State::BeginPass() {
    manager->Lock();
    t_pass = this;
}

bool XSocketMgr::State::EndPass() {
    // The watches the pass held back start once the lock is released, so that the write
    // thread one of them wakes finds it free. Each handler's own lock, tried now, is held
    // until its watch has started: a disconnect meanwhile cannot take its queue over, so its
    // socket stays open, and the closing record's use keeps the handler alive. A pass with
    // many to watch starts them before, as the write thread's wait for the lock is then
    // shared among many.
    bool afterPass = arming.Count() <= kWatchesAfterPass;
    XSocketHandler* armNow = nullptr;
    while (arming.Count() > 0) {
        XSocketHandler* handler = arming.At(arming.Count() - 1);
        arming.Remove(handler);
        if (handler->socket_.load() == -1 ||
            handler->writeState_.load() != XSocketHandler::kWriteWaiting ||
            !handler->writeWatched_.load())
            continue;
        if (afterPass && handler->Lock(0)) {
            handler->armingNext_ = armNow;
            armNow = handler;
        } else {
            Arm(handler);
        }
    }
    XSocketHandler* letGo = lettingGo;
    lettingGo = nullptr;
    t_pass = nullptr;
    manager->Unlock();
    while (armNow != nullptr) {
        XSocketHandler* next = armNow->armingNext_;
        Arm(armNow);
        armNow->Unlock();
        armNow = next;
    }
    while (letGo != nullptr) {
        XSocketHandler* next = letGo->lettingGoNext_;
        letGo->ReleaseMe();
        letGo = next;
    }
    bool wanted = t_writerWanted;
    t_writerWanted = false;
    return wanted;
}

void XSocketMgr::State::WakeWriter() {
    // Woken now, the write thread would only wait for the lock this pass holds.
    if (t_pass == this)
        t_writerWanted = true;
    else
        writeWake.Signal();
}

// --- Read thread ---

int32_t XSocketMgr::ReadThread() {
    Run* run = state_ != nullptr ? state_->ThreadRun(&Run::readThreadId) : nullptr;
    if (run == nullptr)
        return 0;
    State& state = *state_;
    epoll_event reports[kReportsPerPass];
    uint64_t untilSignal = kMaxWaitMillis;
    bool offering = false;
    while (!run->stopped.load()) {
        int wait = offering ? 0 : static_cast<int>(std::min(untilSignal, kMaxWaitMillis));
        uint32_t count = state.readWatch.Poll().Wait(reports, kReportsPerPass, wait);
        if (count > 0 || offering) {
            state.BeginPass();
            state.ReadReady(reports, count);
            state.Reoffer();
            offering = state.reoffers.Count() > 0;
            if (state.EndPass())
                state.writeWake.Signal();
        }
        // Fires what is due, without the manager lock; the wait ends by the next due time.
        untilSignal = signals_.Idle(kMaxWaitMillis);
    }
    return 0;
}

const XSocketMgr::State::SocketTable::Entry* XSocketMgr::State::OwnerOf(
    const epoll_event& report, brindle::WakeEvent* wake) const {
    uint64_t word = report.data.u64;
    if (word == SocketTable::kWakeWord) {
        wake->Clear();
        return nullptr;
    }
    return sockets.Find(word);
}

void XSocketMgr::State::ReadReady(const epoll_event* reports, uint32_t count) {
    ++readPass;
    for (uint32_t i = 0; i < count; ++i) {
        // A report whose socket left the watch during this pass (a disconnect, a pause) is
        // dropped: its owner may be gone.
        const SocketTable::Entry* entry = OwnerOf(reports[i], &readWake);
        if (entry == nullptr)
            continue;
        uint64_t word = reports[i].data.u64;
        if (entry->kind == SocketTable::kListener) {
            AcceptAll(word);
            continue;
        }
        if (entry->kind != SocketTable::kHandler)
            continue;
        XSocketHandler* handler = static_cast<XSocketHandler*>(entry->owner);
        if (!handler->readLink_.watched)
            continue;
        // The manager's use keeps the handler alive through its callbacks.
        if (handler->ReadSocket() != 0) {
            manager->Disconnect(handler, handler->streamEnded_ ? kEndOfStreamLingerMillis : 0);
            continue;
        }
        // Without a limit, reading changes nothing of the watch: a pause does it itself.
        uint32_t limit = handler->receiveLimit_.load();
        if (limit != 0)
            UpdateReading(handler, handler->count_ >= limit && handler->consumedSome_);
    }
}

void XSocketMgr::State::Reoffer() {
    // Handlers that asked during this pass wait for the next, so that each is offered at
    // most once a pass.
    for (uint32_t i = 0; i < reoffers.Count();) {
        XSocketHandler* handler = reoffers.At(i);
        if (handler->reofferPass_ == readPass) {
            ++i;
            continue;
        }
        reoffers.Remove(handler);
        if (handler->count_ == 0 || handler->readPaused_.load())
            continue;
        handler->Deliver();
        uint32_t limit = handler->receiveLimit_.load();
        UpdateReading(handler, limit != 0 && handler->count_ >= limit && handler->consumedSome_);
    }
}

void XSocketMgr::State::AcceptAll(uint64_t word) {
    // Callbacks on the accept path may stop the listener: it is looked up again each time.
    for (uint32_t accepted = 0; accepted < kAcceptsPerPass; ++accepted) {
        const SocketTable::Entry* entry = sockets.Find(word);
        if (entry == nullptr || entry->kind != SocketTable::kListener ||
            !AcceptOne(static_cast<XSocketListener*>(entry->owner)))
            return;
    }
}

bool XSocketMgr::State::AcceptOne(XSocketListener* listener) {
    // Without room for another handler, or once the last Stop has begun, connections wait in
    // the backlog.
    if (!Admits() || !ReserveMember(true))
        return false;
    sockaddr_in peer = {};
    int socket = brindle::Accept(listener->socket, &peer);
    if (socket < 0)
        return false;
    XSocketHandler* handler =
        MakeHandler(listener->factory, &peer, socket, false, listener->context);
    if (handler == nullptr)
        return true;
    if (!Enter(handler, true, false)) {
        Discard(handler);
        return true;
    }
    Notify(handler, true);
    return true;
}

// --- Write thread ---

int32_t XSocketMgr::WriteThread() {
    Run* run = state_ != nullptr ? state_->ThreadRun(&Run::writeThreadId) : nullptr;
    if (run == nullptr)
        return 0;
    State& state = *state_;
    epoll_event reports[kReportsPerPass];
    Lock();
    int wait = state.PlanWrite();
    Unlock();
    while (!run->stopped.load()) {
        uint32_t count = state.writePoll.Wait(reports, kReportsPerPass, wait);
        state.BeginPass();
        state.TakeWritable(reports, count);
        state.GatherWork();
        state.WritePending();
        state.FinishClosing();
        wait = state.PlanWrite();
        // Work queued during the pass for handlers it had passed: go round again at once.
        if (state.EndPass())
            wait = 0;
    }
    return 0;
}

void XSocketMgr::State::TakeWritable(const epoll_event* reports, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const SocketTable::Entry* entry = OwnerOf(reports[i], &writeWake);
        if (entry == nullptr)
            continue;
        if (entry->kind == SocketTable::kClosing) {
            static_cast<XSocketHandler::ClosingRecord*>(entry->owner)->writable = true;
        } else if (entry->kind == SocketTable::kHandler) {
            XSocketHandler* handler = static_cast<XSocketHandler*>(entry->owner);
            // Only a watched wait ends by a report; any other report is left over.
            if (handler->writeState_.load() == XSocketHandler::kWriteWaiting &&
                handler->writeWatched_.load())
                Writable(handler, true);
        }
    }
}

void XSocketMgr::State::Writable(XSocketHandler* handler, bool reported) {
    // Ready from here on: a send made from now on starts a wait of its own.
    handler->writeState_.store(XSocketHandler::kWriteReady);
    if (handler->writeWatched_.exchange(false))
        GiveWritePlace();
    // A report covers the sends made before the socket was watched; after later ones, and
    // for a wait the poll did not watch, the socket is looked at again.
    bool covered = reported && handler->sends_.load() == handler->armedAt_.load();
    if (!covered && !brindle::IsWritable(handler->socket_.load())) {
        AwaitWritable(handler);
        return;
    }
    Notify(handler, handler->connecting_.exchange(false));
    // Queued meanwhile, or by the callbacks: the queue goes now.
    if (handler->socket_.load() != -1 && !handler->ReadyToSend())
        pending.Add(handler);
}

void XSocketMgr::State::GatherWork() {
    notices.Drain(&pending);
    if (retry.Count() == 0 || OSBootTime() < retryFrom + kRetryMillis)
        return;
    while (retry.Count() > 0) {
        XSocketHandler* handler = retry.At(retry.Count() - 1);
        retry.Remove(handler);
        pending.Add(handler);
    }
}

void XSocketMgr::State::WritePending() {
    while (pending.Count() > 0) {
        XSocketHandler* handler = pending.At(pending.Count() - 1);
        pending.Remove(handler);
        uint32_t state = handler->writeState_.load();
        if (state == XSocketHandler::kWriteWaiting) {
            // Watched, its report ends the wait. Not watched: it gets a place in the poll
            // when one is free, else the socket is looked at now and every 10 ms.
            if (handler->writeWatched_.load())
                continue;
            if (TakeWritePlace()) {
                handler->writeWatched_.store(true);
                handler->armedAt_.store(handler->sends_.load());
                if (!arming.Add(handler))
                    Arm(handler);
            } else if (brindle::IsWritable(handler->socket_.load())) {
                Writable(handler, false);
            } else {
                Retry(handler);
            }
            continue;
        }
        if (state != XSocketHandler::kWriteReady)
            continue;
        bool busy = false;
        ssize_t result = handler->WriteQueued(&busy);
        if (result == -1 && handler->listener_ != nullptr) {
            manager->Disconnect(handler, 0);
        } else if (busy || result == -1) {
            // A failed send of a TCP handler is retried; its broken connection is the read
            // thread's to find.
            Retry(handler);
        }
    }
}

void XSocketMgr::State::Retry(XSocketHandler* handler) {
    if (retry.Count() == 0)
        retryFrom = OSBootTime();
    retry.Add(handler);
}

int XSocketMgr::State::PlanWrite() {
    if (closing == nullptr && retry.Count() == 0)
        return static_cast<int>(kMaxWaitMillis);
    uint64_t now = OSBootTime();
    uint64_t wait = kMaxWaitMillis;
    if (retry.Count() > 0)
        wait = retryFrom + kRetryMillis > now ? retryFrom + kRetryMillis - now : 0;
    for (XSocketHandler::ClosingRecord* record = closing; record != nullptr;
         record = record->next) {
        if (record->heldByOpen != nullptr)
            continue;
        if (TakeQueue(record, false))
            WatchClosing(record);
        else
            wait = std::min(wait, kRetryMillis);
        wait = std::min(wait, record->deadline > now ? record->deadline - now : 0);
    }
    return static_cast<int>(wait);
}

void XSocketMgr::State::FinishClosing() {
    if (closing == nullptr)
        return;
    uint64_t now = OSBootTime();
    for (XSocketHandler::ClosingRecord** link = &closing; *link != nullptr;) {
        XSocketHandler::ClosingRecord* record = *link;
        bool finished = false;
        // Closed only once its queue is taken over: until then a sender may be using it.
        if (record->heldByOpen == nullptr && record->queueOwner == nullptr) {
            finished = now >= record->deadline;
            // Writable: done when nothing is left, else send what the socket takes. A hard
            // failure ends the record early; it would fail until the deadline.
            if (!finished && record->writable) {
                uint64_t sent = 0;
                finished = record->unsent == nullptr ||
                           XSocketHandler::SendItems(&record->unsent, record->socket, record->udp,
                                                     &sent) == -1;
            }
            record->writable = false;
        }
        if (finished) {
            *link = record->next;
            CloseRecord(record);
        } else {
            link = &record->next;
        }
    }
}
