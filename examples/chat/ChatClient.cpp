// SPDX-License-Identifier: MIT

#include "ChatClient.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include <brindle/concurrency/OSBootTime.h>
#include <brindle/net/XSocketMgr.h>

#include "FrameHandler.h"

namespace chat {

namespace {

constexpr uint32_t kConnectMilliseconds = 10000;
constexpr uint64_t kNoDeadline = UINT64_MAX;
// The events the inbox holds before the connection leaves frames for later.
constexpr size_t kInboxLimit = 256;
// The bytes the manager keeps for the connection when it leaves frames for later: at that
// limit it stops reading, and TCP holds the server back.
constexpr uint32_t kKeptLimit = 4 * kMaxFrame;

// What the connection tells the main thread.
struct Event {
    enum Kind { kMessage, kStored, kEnded } kind = kEnded;
    uint32_t id = 0;      // kMessage, kStored
    Message message;      // kMessage
    std::string problem;  // kEnded
};

// Carries events from the connection's callbacks, which run on the manager's threads, to
// the main thread, which waits for them together with the stop signals. The callbacks only
// queue: printing and deciding happen on the main thread, so a slow terminal never holds up
// the manager. The inbox holds kInboxLimit messages; when it is full the connection leaves
// the frames that come for later (the manager keeps them, and stops reading at its receive
// limit), and once the main thread has taken half of them it resumes the connection's
// reading. So a slow terminal costs a bounded amount of memory, and the server sees a
// client that does not keep up.
class Inbox {
  public:
    enum Result { kGot, kStopped, kTimedOut };

    Inbox() : wake_(eventfd(0, EFD_CLOEXEC)) {}
    ~Inbox() {
        if (wake_ >= 0)
            close(wake_);
    }
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    bool Ready() const { return wake_ >= 0; }
    // The connection whose reading Next resumes; it must outlive the calls of Next.
    void Follow(XSocketHandler* connection) { connection_ = connection; }

    // Any thread. Events that end the connection are always taken; others only while the
    // inbox has room: false when it has none.
    bool Push(Event event) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (event.kind != Event::kEnded && events_.size() >= kInboxLimit) {
            deferred_ = true;
            return false;
        }
        events_.push_back(std::move(event));
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) != sizeof one) {
            // Only a full counter refuses the write, and then a wake is pending anyway.
        }
        return true;
    }

    // Takes the oldest event, waiting for one until `deadline` (on OSBootTime's clock)
    // unless `stopFd` becomes readable first.
    Result Next(int stopFd, uint64_t deadline, Event* event) {
        for (;;) {
            bool got = false;
            bool resume = false;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (!events_.empty()) {
                    *event = std::move(events_.front());
                    events_.pop_front();
                    got = true;
                    resume = deferred_ && events_.size() <= kInboxLimit / 2;
                    if (resume)
                        deferred_ = false;
                }
            }
            // Without the inbox's lock, which the manager's read thread takes under its own.
            if (resume && connection_ != nullptr)
                connection_->ResumeReading();
            if (got)
                return kGot;
            const uint64_t now = OSBootTime();
            if (now >= deadline)
                return kTimedOut;
            const int timeout = deadline == kNoDeadline
                                    ? -1
                                    : static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX));
            pollfd ready[2] = {{stopFd, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(ready, 2, timeout) < 0 && errno != EINTR)
                return kStopped;  // waiting itself fails: give up as if stopped
            if (ready[0].revents != 0)
                return kStopped;
            uint64_t count = 0;
            if (ready[1].revents != 0 && read(wake_, &count, sizeof count) != sizeof count) {
                // Nothing to do: the queue is checked again either way.
            }
        }
    }

  private:
    const int wake_;  // an eventfd, written once per event
    XSocketHandler* connection_ = nullptr;
    std::mutex mutex_;
    std::deque<Event> events_;
    bool deferred_ = false;  // a frame was left for later since the last resume
};

// The client's end of the connection: hands what the server sends to the inbox.
class ServerEnd : public FrameHandler {
  public:
    ServerEnd(sockaddr_in* server, int socket, bool udp, void* inbox)
        : FrameHandler(server, socket, udp, inbox), inbox_(static_cast<Inbox*>(inbox)) {
        SetConnectTimeout(kConnectMilliseconds);
        SetReceiveLimit(kKeptLimit);
    }

  private:
    // A frame the full inbox cannot take is left for later, with the frames after it.
    FrameAnswer OnFrame(const Frame& frame) override {
        Event event;
        event.id = frame.id;
        if (frame.kind == kStored)
            event.kind = Event::kStored;
        else if (frame.kind == kMessage &&
                 ReadMessage(frame.store, frame.storeLength, true, &event.message))
            event.kind = Event::kMessage;
        else
            return kFrameRefused;
        return inbox_->Push(std::move(event)) ? kFrameTaken : kFrameLater;
    }
    void OnProtocolError(const char* problem) override {
        End(std::string("the server sent ") + problem);
    }
    void OnConnectFailed(uint32_t) override { End("the connection failed"); }
    void OnClose(uint32_t) override { End("the server closed the connection"); }

    void End(std::string problem) {
        Event event;
        event.problem = std::move(problem);
        inbox_->Push(std::move(event));
    }

    Inbox* const inbox_;
};

XSocketHandler* MakeServerEnd(sockaddr_in* server, int socket, bool udp, void* inbox) {
    return new ServerEnd(server, socket, udp, inbox);
}

// The process's socket manager with one connection to the server, for the life of the
// object. `inbox` must outlive it.
class Connection {
  public:
    Connection(const char* host, uint16_t port, Inbox* inbox) {
        XSocketMgr::Init();
        XSocketMgr::Current()->Start();
        uint32_t reference = 0;
        if (inbox->Ready() &&
            XSocketMgr::Current()->Open(host, port, false, MakeServerEnd, inbox, &reference) == 0)
            server_ = XSocketHandler::GetXSocketHandler(reference);
        if (server_ == nullptr)
            fprintf(stderr, "brindle-chat: cannot connect to %s:%u\n", host, port);
    }
    // Closes the connection, dropping what was not sent, and shuts the manager down.
    ~Connection() {
        if (server_ != nullptr) {
            server_->Close(0);
            XSocketHandler::ReleaseXSocketHandler(server_);
        }
        XSocketMgr::Current()->Stop();
        XSocketMgr::Dispose();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The server's end, with a use held; null when the connection could not be made.
    XSocketHandler* Server() const { return server_; }

  private:
    XSocketHandler* server_ = nullptr;
};

int Problem(const char* host, uint16_t port, const char* problem) {
    fprintf(stderr, "brindle-chat: %s:%u: %s\n", host, port, problem);
    return 1;
}

void PrintLine(const Message& message) {
    const time_t when = message.time;
    tm local = {};
    char stamp[32] = "?";
    if (localtime_r(&when, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    printf("%s %s: %s\n", stamp, message.sender.c_str(), message.text.c_str());
    fflush(stdout);
}

}  // namespace

int RunSend(const char* host, uint16_t port, const Message& message, int stopFd) {
    Inbox inbox;
    Connection connection(host, port, &inbox);
    if (connection.Server() == nullptr)
        return 1;
    inbox.Follow(connection.Server());
    uint32_t size = 0;
    void* store = FlattenMessage_NF(message, false, &size);
    const bool sent = store != nullptr && SendFrame(connection.Server(), kPost, 0, store, size);
    free(store);
    if (!sent)
        return Problem(host, port, "the message could not be sent");
    const uint64_t deadline = OSBootTime() + kAnswerSeconds * 1000;
    Event event;
    for (;;) {
        const Inbox::Result result = inbox.Next(stopFd, deadline, &event);
        if (result == Inbox::kStopped)
            return Problem(host, port, "interrupted before the server stored the message");
        if (result == Inbox::kTimedOut)
            return Problem(host, port, "the server did not store the message in time");
        if (event.kind == Event::kEnded)
            return Problem(host, port, event.problem.c_str());
        if (event.kind == Event::kStored)
            return event.id != 0 ? 0 : Problem(host, port, "the server could not store it");
    }
}

int RunTail(const char* host, uint16_t port, int stopFd) {
    Inbox inbox;
    Connection connection(host, port, &inbox);
    if (connection.Server() == nullptr)
        return 1;
    inbox.Follow(connection.Server());
    Event event;
    while (inbox.Next(stopFd, kNoDeadline, &event) == Inbox::kGot) {
        if (event.kind == Event::kEnded)
            return Problem(host, port, event.problem.c_str());
        if (event.kind == Event::kMessage)
            PrintLine(event.message);
    }
    return 0;
}

}  // namespace chat
