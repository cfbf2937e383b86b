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
// The wait while a ready handler's last DoWrite could not send.
constexpr int kRetryMillis = 10;
// How long the replies queued before a peer ended its stream may still drain to it: a
// peer that half-closes (shuts its sending side down after a request) still reads them.
constexpr uint32_t kEndOfStreamLingerMillis = 10000;
// The most connections one pass accepts from one listener: as many as its backlog holds.
constexpr uint32_t kAcceptsPerPass = SOMAXCONN;

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

// --- Read thread ---

int32_t XSocketMgr::ReadThread() {
    Run* run = state_ != nullptr ? state_->ThreadRun(&Run::readThreadId) : nullptr;
    if (run == nullptr)
        return 0;
    State& state = *state_;
    brindle::Poller poller;
    Lock();
    state.PlanRead(&poller);
    Unlock();
    uint64_t untilSignal = kMaxWaitMillis;
    while (!run->stopped.load()) {
        // A time-out changes nothing the poll set depends on: a socket joining the read set
        // wakes this poll.
        if (poller.Wait(static_cast<int>(std::min(untilSignal, kMaxWaitMillis))) > 0) {
            if (poller.IsReady(state.readWake.Descriptor()))
                state.readWake.Clear();
            state.BeginPass();
            state.ReadReady(poller);
            state.PlanRead(&poller);
            if (state.EndPass())
                state.writeWake.Signal();
        }
        // Fires what is due, without the manager lock; the wait ends by the next due time.
        untilSignal = signals_.Idle(kMaxWaitMillis);
    }
    return 0;
}

void XSocketMgr::State::PlanRead(brindle::Poller* poller) {
    poller->Clear();
    poller->Watch(readWatch.Watched(), POLLIN);
    poller->Watch(readWake.Descriptor(), POLLIN);
}

void XSocketMgr::State::ReadReady(const brindle::Poller& poller) {
    // A disconnect moves the last handler into the freed place; it waits for the next pass.
    for (uint32_t i = 0; i < handlers.Count(); ++i) {
        XSocketHandler* handler = handlers.At(i);
        if (!poller.IsReady(handler->socket_.load()))
            continue;
        handler->GetMe();
        if (handler->DoRead() != 0)
            manager->Disconnect(handler, handler->streamEnded_ ? kEndOfStreamLingerMillis : 0);
        handler->ReleaseMe();
    }
    // Callbacks on the accept path may stop listeners, so the ready ones are noted by
    // socket first and looked up again before each accept.
    int ready[brindle::SocketSet::kCapacity];
    uint32_t count = 0;
    for (XSocketListener* at = tcpListeners; at != nullptr && count < brindle::SocketSet::kCapacity;
         at = at->next) {
        if (poller.IsReady(at->socket))
            ready[count++] = at->socket;
    }
    for (uint32_t i = 0; i < count; ++i)
        AcceptAll(ready[i]);
}

void XSocketMgr::State::AcceptAll(int listening) {
    for (uint32_t accepted = 0; accepted < kAcceptsPerPass; ++accepted) {
        XSocketListener* listener = tcpListeners;
        while (listener != nullptr && listener->socket != listening)
            listener = listener->next;
        if (listener == nullptr || !AcceptOne(listener))
            return;
    }
}

bool XSocketMgr::State::AcceptOne(XSocketListener* listener) {
    // Without room in the lists, or once the last Stop has begun, connections wait in the
    // backlog.
    if (!Admits() || !ready.Reserve() || !handlers.Reserve())
        return false;
    sockaddr_in peer = {};
    int socket = brindle::Accept(listener->socket, &peer);
    if (socket < 0)
        return false;
    XSocketHandler* handler =
        MakeHandler(listener->factory, &peer, socket, false, listener->context);
    if (handler == nullptr)
        return true;
    if (!Enter(handler, &ready, &handlers)) {
        Discard(handler);
        return true;
    }
    readWatch.Add(&handler->readLink_, socket);
    Notify(handler, true);
    return true;
}

// --- Write thread ---

int32_t XSocketMgr::WriteThread() {
    Run* run = state_ != nullptr ? state_->ThreadRun(&Run::writeThreadId) : nullptr;
    if (run == nullptr)
        return 0;
    State& state = *state_;
    brindle::Poller poller;
    Lock();
    int wait = state.PlanWrite(&poller, false);
    Unlock();
    while (!run->stopped.load()) {
        poller.Wait(wait);
        if (poller.IsReady(state.writeWake.Descriptor()))
            state.writeWake.Clear();
        state.BeginPass();
        state.MoveWritable(poller);
        bool retrySoon = state.WriteReady();
        state.FinishClosing(poller);
        wait = state.PlanWrite(&poller, retrySoon);
        // Work queued during the pass for handlers it had passed: go round again at once.
        if (state.EndPass())
            wait = 0;
    }
    return 0;
}

int XSocketMgr::State::PlanWrite(brindle::Poller* poller, bool retrySoon) {
    poller->Clear();
    poller->Watch(writeWaitSet, POLLOUT);
    int wait = PlanClosing(poller);
    poller->Watch(writeWake.Descriptor(), POLLIN);
    return retrySoon ? std::min(wait, kRetryMillis) : wait;
}

bool XSocketMgr::State::InPass() const {
    return t_pass == this;
}

void XSocketMgr::State::BeginPass() {
    manager->Lock();
    t_pass = this;
}

bool XSocketMgr::State::EndPass() {
    t_pass = nullptr;
    manager->Unlock();
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

void XSocketMgr::State::MoveWritable(const brindle::Poller& poller) {
    for (uint32_t i = 0; i < writeWait.Count();) {
        XSocketHandler* handler = writeWait.At(i);
        int socket = handler->socket_.load();
        // A handler the full set could not take is writable: only a completed connect
        // enters the list unwatched.
        bool writable = poller.IsReady(socket) || !writeWaitSet.Contains(socket);
        if (!writable || !ready.Reserve()) {
            ++i;
            continue;
        }
        // The last waiting handler moves into place i, which is looked at again.
        writeWaitSet.Remove(socket);
        writeWait.Remove(handler);
        ready.Add(handler);
        Notify(handler, handler->connecting_.exchange(false));
    }
}

bool XSocketMgr::State::WriteReady() {
    bool retrySoon = false;
    for (uint32_t i = 0; i < ready.Count();) {
        XSocketHandler* handler = ready.At(i);
        int result = handler->DoWrite();
        if (result > 0 && !writeWaitSet.Full() && writeWait.Reserve()) {
            // Sent: wait until the socket is writable again. The last ready handler moves
            // into place i, which is looked at again.
            writeWaitSet.Add(handler->socket_.load());
            ready.Remove(handler);
            writeWait.Add(handler);
            continue;
        }
        if (result < 0 && handler->listener_ != nullptr) {
            manager->Disconnect(handler, 0);
            continue;
        }
        // A failed send of a TCP handler is retried; its broken connection is the read
        // thread's to find.
        retrySoon = retrySoon || result != 0 || handler->writeStalled_;
        ++i;
    }
    return retrySoon;
}

// --- Closing list ---

int XSocketMgr::State::PlanClosing(brindle::Poller* poller) {
    uint64_t now = OSBootTime();
    uint64_t wait = kMaxWaitMillis;
    uint32_t watched = 0;
    for (XSocketHandler::ClosingRecord* record = closing; record != nullptr;
         record = record->next) {
        if (record->heldByOpen != nullptr)
            continue;
        if (!TakeQueue(record)) {
            wait = std::min<uint64_t>(wait, kRetryMillis);
        } else if (watched < brindle::SocketSet::kCapacity) {
            poller->Watch(record->socket, POLLOUT);
            ++watched;
        }
        wait = std::min(wait, record->deadline > now ? record->deadline - now : 0);
    }
    return static_cast<int>(wait);
}

void XSocketMgr::State::FinishClosing(const brindle::Poller& poller) {
    uint64_t now = OSBootTime();
    for (XSocketHandler::ClosingRecord** link = &closing; *link != nullptr;) {
        XSocketHandler::ClosingRecord* record = *link;
        bool finished = false;
        if (record->heldByOpen == nullptr) {
            finished = now >= record->deadline;
            // Writable: done when nothing is left, else send what the socket takes. A hard
            // failure ends the record early; it would fail until the deadline.
            if (!finished && record->queueOwner == nullptr && poller.IsReady(record->socket)) {
                finished =
                    record->unsent == nullptr ||
                    XSocketHandler::SendItems(&record->unsent, record->socket, record->udp) == -1;
            }
        }
        if (finished) {
            *link = record->next;
            CloseRecord(record);
        } else {
            link = &record->next;
        }
    }
}
