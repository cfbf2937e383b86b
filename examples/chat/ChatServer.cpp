// SPDX-License-Identifier: MIT

#include "ChatServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <brindle/blockfile/PortablePath.h>
#include <brindle/net/XSocketMgr.h>

#include "ChatRoom.h"
#include "FrameHandler.h"

namespace chat {

namespace {

// The server's end of one client connection.
class Member : public FrameHandler {
  public:
    Member(sockaddr_in* peer, int socket, bool udp, void* room)
        : FrameHandler(peer, socket, udp, room), room_(static_cast<ChatRoom*>(room)) {}

  private:
    int32_t OnConnect() override {
        room_->Join(this);
        return 0;
    }
    // The client has taken what was queued: the next part of the history.
    void OnReadyToWrite() override { room_->Replay(this); }
    void OnClose(uint32_t) override { room_->Leave(this); }

    // Stores a post and tells the poster its ID (0 when it failed); refuses any other frame.
    FrameAnswer OnFrame(const Frame& frame) override {
        Message message;
        if (frame.kind != kPost || !ReadMessage(frame.store, frame.storeLength, false, &message))
            return kFrameRefused;
        message.time = static_cast<uint32_t>(::time(nullptr));
        const uint32_t id = room_->Post(message);
        if (id == 0)
            fprintf(stderr, "brindle-chat: a message from %s could not be stored\n",
                    message.sender.c_str());
        SendFrame(this, kStored, id, nullptr, 0);
        return kFrameTaken;
    }

    void OnProtocolError(const char* problem) override {
        fprintf(stderr, "brindle-chat: client %s sent %s; disconnected\n", PeerName(this).c_str(),
                problem);
    }

    ChatRoom* const room_;
};

XSocketHandler* MakeMember(sockaddr_in* peer, int socket, bool udp, void* room) {
    return new Member(peer, socket, udp, room);
}

void WaitReadable(int fd) {
    pollfd wait = {fd, POLLIN, 0};
    while (poll(&wait, 1, -1) < 0 && errno == EINTR) {
    }
}

}  // namespace

int RunServer(uint32_t address, uint16_t port, const char* history, int stopFd) {
    char native[kPortablePathSize];
    PortableToNativePath(history, native);
    ChatRoom room;
    const int32_t opened = room.Open(history);
    if (opened != 0) {
        fprintf(stderr, "brindle-chat: %s: %s\n", native,
                opened == -1 ? "not a chat history, or damaged" : strerror(opened));
        return 1;
    }
    XSocketMgr::Init();
    XSocketMgr* manager = XSocketMgr::Current();
    manager->Start();
    uint16_t bound = port;
    XSocketListener* listener =
        manager->StartListening(address, port, false, MakeMember, &room, &bound);
    if (listener != nullptr) {
        printf("brindle-chat: listening on port %u, %u messages in %s\n", bound,
               room.MessageCount(), native);
        fflush(stdout);
        WaitReadable(stopFd);
        manager->StopListening(listener);
    } else {
        fprintf(stderr, "brindle-chat: cannot listen on %s port %u\n",
                XSocketMgr::IPString(address), port);
    }
    manager->Stop();
    XSocketMgr::Dispose();
    room.Close();
    return listener != nullptr ? 0 : 1;
}

}  // namespace chat
