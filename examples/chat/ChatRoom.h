// SPDX-License-Identifier: MIT
// ChatRoom: the server's state. The history lives in a block file, one flattened message
// store per block, under IDs counting up from 1, so that ascending ID order is the order the
// messages came in. The members are the connected clients that receive new messages.
//
// Threads. The room is used by the socket manager's callbacks (Join from OnConnect, Post
// from OnDataReceived, Leave from OnClose), which run on the read thread under the manager
// lock, except that XSocketMgr::Stop runs the last OnClose calls on the stopping thread; and
// by the main thread around them (Open, Close). The block file has no lock of its own, so
// the room's lock guards it and the member list.
//
// Writing to the block file and sending to every member is done right inside the callback.
// The manager lock is held meanwhile, which holds up every other connection; for a chat
// that is fine, since a block write goes to the page cache and queuing a frame only copies
// it, and it keeps replay and broadcast in one order for everybody. A server with slow
// storage or large replays would hand that work to a thread of its own.
//
// Lock order: manager lock, room lock, a handler's own lock (taken by SendData). The room
// never calls the manager while holding its lock.
#ifndef BRINDLE_EXAMPLES_CHAT_CHATROOM_H_
#define BRINDLE_EXAMPLES_CHAT_CHATROOM_H_

#include <stdint.h>

#include <vector>

#include <brindle/blockfile/XBlockFile.h>
#include <brindle/concurrency/XLocker.h>
#include <brindle/net/XSocketHandler.h>

#include "ChatProtocol.h"

namespace chat {

class ChatRoom {
  public:
    // Opens the history at the portable path `path` read-write, creating an empty one where
    // there is none; a history left by a server that was killed is rebuilt. 0, or the
    // result of XBlockFile::Open.
    int32_t Open(const char* path);
    // Closes the block file, which writes its index back: the file is clean again.
    void Close();
    uint32_t MessageCount();

    // Queues the whole history to `member`, then adds it to the members, in one step under
    // the lock, so that it neither misses nor repeats a message.
    void Join(XSocketHandler* member);
    void Leave(XSocketHandler* member);
    // Stores `message` under the next ID and queues it to every member. The ID, or 0 when
    // it could not be stored.
    uint32_t Post(const Message& message);

  private:
    XLocker lock_;
    XBlockFile history_;
    uint32_t nextId_ = 1;
    std::vector<uint32_t> members_;  // handler references
};

}  // namespace chat

#endif  // BRINDLE_EXAMPLES_CHAT_CHATROOM_H_
