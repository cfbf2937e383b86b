// SPDX-License-Identifier: MIT

#include "ChatRoom.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace chat {

namespace {

// Holds an XLocker for one scope.
class Holding {
  public:
    explicit Holding(XLocker& lock) : lock_(lock) { lock_.Lock(); }
    ~Holding() { lock_.Unlock(); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

  private:
    XLocker& lock_;
};

}  // namespace

int32_t ChatRoom::Open(const char* path) {
    Holding hold(lock_);
    XBlockFile::Create(path);  // refused when the file exists; Open reports any other trouble
    const int32_t result = history_.Open(path, false);
    const uint32_t count = history_.BlockCount();
    uint32_t last = 0;
    if (result == 0 && count > 0)
        history_.GetIndBlockID(count - 1, &last);
    nextId_ = last + 1;
    return result;
}

void ChatRoom::Close() {
    Holding hold(lock_);
    history_.Close();
}

uint32_t ChatRoom::MessageCount() {
    Holding hold(lock_);
    return history_.BlockCount();
}

void ChatRoom::Join(XSocketHandler* member) {
    {
        Holding hold(lock_);
        joining_[member->GetRef()] = 0;
    }
    Replay(member);
}

void ChatRoom::Replay(XSocketHandler* member) {
    Holding hold(lock_);
    const auto joining = joining_.find(member->GetRef());
    if (joining == joining_.end())
        return;
    uint32_t& next = joining->second;
    const uint32_t count = history_.BlockCount();
    bool sent = true;
    for (; next < count && sent && member->QueuedBytes() < kReplayWindow; ++next) {
        uint32_t id = 0;
        uint32_t length = 0;
        void* store = history_.ReadIndBlock_NF(next, &length);
        if (store != nullptr && history_.GetIndBlockID(next, &id) == 0)
            sent = SendFrame(member, kMessage, id, store, length);
        free(store);
    }
    if (next == count) {
        joining_.erase(joining);
        members_.push_back(member->GetRef());
    }
}

void ChatRoom::Leave(XSocketHandler* member) {
    Holding hold(lock_);
    members_.erase(std::remove(members_.begin(), members_.end(), member->GetRef()), members_.end());
    joining_.erase(member->GetRef());
}

uint32_t ChatRoom::Post(const Message& message) {
    uint32_t size = 0;
    void* store = FlattenMessage_NF(message, true, &size);
    XOutput frame;
    std::vector<uint32_t> laggards;
    uint32_t id = 0;
    {
        Holding hold(lock_);
        id = nextId_;
        const bool stored = store != nullptr && id != 0 &&
                            WriteFrame(&frame, kMessage, id, store, size) &&
                            history_.WriteBlock(id, store, size) == 0;
        free(store);
        if (!stored)
            return 0;
        ++nextId_;
        for (uint32_t reference : members_) {
            // A member that has just been disconnected is no longer found.
            XSocketHandler* member = XSocketHandler::GetXSocketHandler(reference);
            if (member != nullptr && member->QueuedBytes() > kMaxLag)
                laggards.push_back(reference);
            else if (member != nullptr)
                SendFrame(member, &frame);
            XSocketHandler::ReleaseXSocketHandler(member);
        }
    }
    // Closed without the room's lock: their OnClose leaves the room.
    for (uint32_t reference : laggards) {
        XSocketHandler* member = XSocketHandler::GetXSocketHandler(reference);
        if (member == nullptr)
            continue;
        fprintf(stderr, "brindle-chat: client %s fell more than %u MiB behind; disconnected\n",
                PeerName(member).c_str(), kMaxLag >> 20);
        member->Close(0);
        XSocketHandler::ReleaseXSocketHandler(member);
    }
    return id;
}

}  // namespace chat
