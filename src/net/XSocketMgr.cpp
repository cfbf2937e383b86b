// SPDX-License-Identifier: MIT
// The manager's life: Init and Dispose, Start and Stop, disconnecting and the address
// functions.
#include "brindle/net/XSocketMgr.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "brindle/concurrency/OSBootTime.h"
#include "brindle/concurrency/XThread.h"
#include "net/SocketMgrState.h"
#include "platform/Alloc.h"

std::atomic<XSocketMgr*> XSocketMgr::s_Current{nullptr};
std::atomic<uint32_t> XSocketMgr::s_CurrentIP{0};
std::atomic<char*> XSocketMgr::s_CurrentDNSName{nullptr};

namespace {

// Guards the Init count and the manager Init made.
pthread_mutex_t g_initMutex = PTHREAD_MUTEX_INITIALIZER;
int32_t g_initCount = 0;
XSocketMgr* g_made = nullptr;

}  // namespace

void XSocketMgr::Init() {
    pthread_mutex_lock(&g_initMutex);
    if (g_initCount < INT32_MAX && ++g_initCount == 1)
        XTSObject::Init();
    // Also retried by later calls when the first could not make the manager.
    if (g_made == nullptr) {
        g_made = brindle::New<XSocketMgr>();
        if (g_made != nullptr && g_made->state_ == nullptr) {
            delete g_made;
            g_made = nullptr;
        }
    }
    pthread_mutex_unlock(&g_initMutex);
}

void XSocketMgr::Dispose() {
    pthread_mutex_lock(&g_initMutex);
    if (g_initCount > 0 && --g_initCount == 0) {
        delete g_made;
        g_made = nullptr;
        XTSObject::Dispose();
        free(s_CurrentDNSName.exchange(nullptr));
    }
    pthread_mutex_unlock(&g_initMutex);
}

XSocketMgr* XSocketMgr::Current() {
    return s_Current.load();
}

XSocketMgr::XSocketMgr() : startCount_(0), state_(brindle::New<State>(this)) {
    if (state_ != nullptr && !state_->Ready()) {
        delete state_;
        state_ = nullptr;
    }
    s_Current.store(this);
    if (state_ != nullptr)
        signals_.SetPostObserver(State::OnSignalPosted, state_);
    s_CurrentIP.store(brindle::LocalHostAddress());
}

XSocketMgr::~XSocketMgr() {
    signals_.SetPostObserver(nullptr, nullptr);
    if (state_ != nullptr) {
        startLock_.Lock();
        if (Run* run = state_->run) {
            run->stopped.store(true);
            state_->readWake.Signal();
            state_->writeWake.Signal();
            State::EndRun(run);
            state_->run = nullptr;
        }
        state_->running.store(false);
        state_->EndRetiredRuns();
        startLock_.Unlock();
        state_->ReleaseAll();
        delete state_;
    }
    XSocketMgr* self = this;
    s_Current.compare_exchange_strong(self, nullptr);
}

void XSocketMgr::Start() {
    startLock_.Lock();
    int32_t count = startCount_.load();
    if (count < INT32_MAX) {
        startCount_.store(++count);
        if (count == 1 && state_ != nullptr) {
            // Threads a Stop on a manager thread left ending; never waited for on one.
            if (!state_->OnManagerThread())
                state_->EndRetiredRuns();
            state_->run = state_->StartRun();
            state_->running.store(true);
        }
    }
    startLock_.Unlock();
}

void XSocketMgr::Stop() {
    startLock_.Lock();
    int32_t count = startCount_.load();
    bool last = count == 1 && state_ != nullptr;
    if (count > 0)
        startCount_.store(count - 1);
    if (last) {
        State& state = *state_;
        // From here on nothing enters the lists, so that the disconnects below end: an Open
        // made from an OnClose fails.
        state.running.store(false);
        if (Run* run = state.run) {
            bool onManagerThread = state.OnManagerThread();
            state.run = nullptr;
            run->stopped.store(true);
            state.readWake.Signal();
            state.WakeWriter();
            // The other thread may wait for a lock this thread holds: leave the run to be
            // joined by the next Start or the last Dispose.
            if (onManagerThread) {
                run->next = state.retired;
                state.retired = run;
            } else {
                State::EndRun(run);
                state.EndRetiredRuns();
            }
        }
    }
    // Released before the manager lock is taken: a callback holding the manager lock may
    // call Stop, so the start lock is never held while the manager lock is wanted.
    startLock_.Unlock();
    if (last) {
        state_->DisconnectAll();
        Lock();
        state_->DropClosing(false);
        Unlock();
    }
}

bool XSocketMgr::IsRunning() const {
    return state_ != nullptr && state_->running.load();
}

int32_t XSocketMgr::Open(const char* name, uint16_t port, bool udp, XSocketFactory factory,
                         void* context, uint32_t* reference) {
    return Open(ResolveAddress(name), port, udp, factory, context, reference);
}

int32_t XSocketMgr::Close(uint32_t reference) {
    XSocketHandler* handler = XSocketHandler::GetXSocketHandler(reference);
    if (handler == nullptr)
        return -1;
    handler->Close(0);
    XSocketHandler::ReleaseXSocketHandler(handler);
    return 0;
}

void XSocketMgr::Disconnect(XSocketHandler* handler, uint32_t linger) {
    if (handler == nullptr || state_ == nullptr || handler->socket_.load() == -1)
        return;
    State& state = *state_;
    Lock();
    // Tested again under the lock: only the thread that sets the socket to -1 goes on.
    int socket = handler->socket_.exchange(-1);
    if (socket == -1) {
        Unlock();
        return;
    }
    state.Withdraw(handler);
    bool handedOff = false;
    XSocketListener* delivering = state.LeaveListener(handler, &handedOff);
    bool inOpen = state.connecting.Contains(handler);
    if (inOpen) {
        state.connecting.Remove(handler);
        brindle::AbortSocket(socket);
    }
    bool managed = handler->managed_;
    state.QueueClosing(handler, socket, linger, inOpen, managed);
    if (managed) {
        handler->managed_ = false;
        --state.members;
    }
    bool connecting = handler->connecting_.load();
    Unlock();
    state.WakeWriter();

    // A UDP listener's handler in a delivery: its thread calls OnClose and lets go of the
    // handler once the delivery returns; or this waits for it to return.
    if (handedOff)
        return;
    if (delivering != nullptr)
        State::AwaitDelivery(delivering);
    if (connecting)
        handler->OnConnectFailed(0);
    else
        handler->OnClose(0);
    if (managed) {
        handler->Delete();
        state.LetGo(handler);
    } else {
        handler->GetMe();
        handler->Delete();
        handler->ReleaseMe();
    }
}

void XSocketMgr::Idle() {}

uint32_t XSocketMgr::ResolveAddress(const char* name) {
    if (name == nullptr)
        return 0;
    if (isalpha(static_cast<unsigned char>(name[0])))
        return brindle::LookupHost(name);
    char* known = s_CurrentDNSName.load();
    uint32_t current = s_CurrentIP.load();
    if (known != nullptr && strcmp(known, name) == 0)
        return current;
    uint32_t address = inet_addr(name);
    if (known == nullptr && address == current) {
        char* copy = brindle::Strdup(name);
        char* expected = nullptr;
        if (copy != nullptr && !s_CurrentDNSName.compare_exchange_strong(expected, copy))
            free(copy);
    }
    return address;
}

char* XSocketMgr::IPString(uint32_t address) {
    in_addr value;
    value.s_addr = address;
    return inet_ntoa(value);
}

uint32_t XSocketMgr::GetCurrentIP() {
    return s_CurrentIP.load();
}

// --- Runs ---

XSocketMgr::Run* XSocketMgr::State::StartRun() {
    Run* run = brindle::New<Run>(manager);
    if (run == nullptr)
        return nullptr;
    run->readThread =
        SpawnXThread("XSocketMgr::ReadThread()", ReadEntry, run, ThreadPriorityNormal);
    ResumeXThread(run->readThread);
    run->writeThread =
        SpawnXThread("XSocketMgr::WriteThread()", WriteEntry, run, ThreadPriorityNormal);
    ResumeXThread(run->writeThread);
    return run;
}

void XSocketMgr::State::EndRun(Run* run) {
    for (void* thread : {run->readThread, run->writeThread}) {
        if (thread != nullptr) {
            WaitForXThread(thread);
            KillXThread(thread);
        }
    }
    delete run;
}

void XSocketMgr::State::EndRetiredRuns() {
    while (Run* run = retired) {
        retired = run->next;
        EndRun(run);
    }
}

bool XSocketMgr::State::OnManagerThread() const {
    uint32_t self = brindle::CurrentThreadId();
    for (const Run* at : {run, retired}) {
        for (; at != nullptr; at = at->next) {
            if (at->readThreadId.load() == self || at->writeThreadId.load() == self)
                return true;
        }
    }
    return false;
}

void XSocketMgr::State::OnSignalPosted(void* state) {
    static_cast<State*>(state)->readWake.Signal();
}

void XSocketMgr::State::DisconnectAll() {
    for (;;) {
        manager->Lock();
        HandlerList* list = handlers.Count() > 0 ? &handlers : &connecting;
        XSocketHandler* handler = list->Count() > 0 ? list->At(0) : nullptr;
        if (handler != nullptr)
            handler->GetMe();
        manager->Unlock();
        if (handler == nullptr)
            return;
        manager->Disconnect(handler, 0);
        handler->ReleaseMe();
    }
}

void XSocketMgr::State::ReleaseAll() {
    for (;;) {
        manager->Lock();
        XSocketListener* listener = tcpListeners != nullptr ? tcpListeners : udpListeners;
        manager->Unlock();
        if (listener == nullptr)
            break;
        manager->StopListening(listener);
    }
    DisconnectAll();
}

// --- State ---

XSocketMgr::State::State(XSocketMgr* owner)
    : manager(owner),
      readWatch(s_SocketLimit.load()),
      wakesWatched(readWatch.Poll().Add(readWake.Descriptor(), EPOLLIN, SocketTable::kWakeWord) &&
                   writePoll.Add(writeWake.Descriptor(), EPOLLIN, SocketTable::kWakeWord)) {}

XSocketMgr::State::~State() {
    DropClosing(true);
}

bool XSocketMgr::State::Ready() const {
    return wakesWatched;
}

void XSocketMgr::State::Withdraw(XSocketHandler* handler) {
    handlers.Remove(handler);
    pending.Remove(handler);
    retry.Remove(handler);
    reoffers.Remove(handler);
    arming.Remove(handler);
    readWatch.Remove(&handler->readLink_);
    // Out first: a sender that still saw the handler connected pushes it onto the notice
    // line either before it leaves the line here or not at all (the line refuses it).
    handler->writeState_.store(XSocketHandler::kWriteOut);
    notices.Remove(handler);
    if (handler->writeWatched_.exchange(false))
        GiveWritePlace();
}

// --- Closing list ---

void XSocketMgr::State::QueueClosing(XSocketHandler* handler, int socket, uint32_t linger,
                                     bool inOpen, bool inWritePoll) {
    XSocketHandler::ClosingRecord* record = handler->closing_;
    handler->closing_ = nullptr;
    record->deadline = OSBootTime() + linger;
    record->socket = socket;
    record->udp = handler->udp_;
    record->heldByOpen = inOpen ? handler : nullptr;
    record->inWritePoll = inWritePoll;
    // A report from the handler's time is dropped: the socket has a new owner.
    record->word = sockets.Enter(socket, SocketTable::kClosing, record);
    // The queue is taken over under the handler's lock, which is only tried here; when it
    // is busy, the write thread tries again, holding a use of the handler meanwhile.
    handler->GetMe();
    record->queueOwner = handler;
    TakeQueue(record, false);
    record->next = closing;
    closing = record;
    WatchClosing(record);
}

bool XSocketMgr::State::TakeQueue(XSocketHandler::ClosingRecord* record, bool wait) {
    XSocketHandler* owner = record->queueOwner;
    if (owner == nullptr)
        return true;
    if (wait)
        owner->Lock();
    else if (!owner->Lock(0))
        return false;
    record->unsent = owner->oldest_.exchange(nullptr);
    owner->newest_ = nullptr;
    owner->queuedBytes_.store(0);
    owner->Unlock();
    record->queueOwner = nullptr;
    XTSObject::ReleaseObject(owner);
    return true;
}

void XSocketMgr::State::WatchClosing(XSocketHandler::ClosingRecord* record) {
    if (record->watched || record->heldByOpen != nullptr || record->queueOwner != nullptr ||
        record->word == SocketTable::kWakeWord)
        return;
    // Level-triggered: reported as long as it is writable, until it is closed.
    bool watched = record->inWritePoll ? writePoll.Modify(record->socket, EPOLLOUT, record->word)
                                       : writePoll.Add(record->socket, EPOLLOUT, record->word);
    record->inWritePoll = record->inWritePoll || watched;
    record->watched = watched;
}

void XSocketMgr::State::ReleaseHeld(const XSocketHandler* handler) {
    for (XSocketHandler::ClosingRecord* record = closing; record != nullptr;
         record = record->next) {
        if (record->heldByOpen == handler) {
            record->heldByOpen = nullptr;
            WakeWriter();
            return;
        }
    }
}

void XSocketMgr::State::CloseRecord(XSocketHandler::ClosingRecord* record) {
    // Data dropped: a reset tells the peer that its stream was cut, where an end of stream
    // would pass for a complete one.
    if (record->inWritePoll)
        writePoll.Remove(record->socket);
    sockets.Leave(record->socket);
    if (record->unsent != nullptr && !record->udp)
        brindle::ResetSocket(record->socket);
    else
        brindle::CloseSocket(record->socket);
    XSocketHandler::FreeItems(record->unsent);
    delete record;
}

void XSocketMgr::State::DropClosing(bool all) {
    for (XSocketHandler::ClosingRecord** link = &closing; *link != nullptr;) {
        XSocketHandler::ClosingRecord* record = *link;
        if (record->heldByOpen != nullptr && !all) {
            link = &record->next;
            continue;
        }
        *link = record->next;
        // Waits for a sender that may still be using the socket.
        TakeQueue(record, true);
        CloseRecord(record);
    }
}
