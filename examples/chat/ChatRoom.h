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
// that is fine, since a block write goes to the page cache and sending a frame only copies
// it (or hands it to the socket at once), and it keeps replay and broadcast in one order for
// everybody. A server with slow storage would hand that work to a thread of its own.
//
// Memory. A client that does not keep up costs the server the bytes queued for it and not
// yet sent (XSocketHandler::QueuedBytes). The history goes to a joining client a window at a
// time, the next part each time its queue has drained (OnReadyToWrite), so a long history
// costs no more than the window; a member that falls more than kMaxLag behind the new
// messages is dropped, with a line on stderr. A client that never reads thus costs at most
// about kMaxLag, however much is posted.
//
// Lock order: manager lock, room lock, a handler's own lock (taken by SendData). The room
// never calls the manager while holding its lock.
#ifndef BRINDLE_EXAMPLES_CHAT_CHATROOM_H_
#define BRINDLE_EXAMPLES_CHAT_CHATROOM_H_

#include <stdint.h>

#include <map>
#include <vector>

#include <brindle/blockfile/XBlockFile.h>
#include <brindle/concurrency/XLocker.h>
#include <brindle/net/XSocketHandler.h>

#include "ChatProtocol.h"

namespace chat {

// How much of the history may wait to be sent to a joining client before the room waits
// for it to take some.
constexpr uint32_t kReplayWindow = 64 * 1024;
// How far a member may fall behind the new messages before it is dropped.
constexpr uint32_t kMaxLag = 1024 * 1024;

class ChatRoom {
  public:
    // Opens the history at the portable path `path` read-write, creating an empty one where
    // there is none; a history left by a server that was killed is rebuilt. 0, or the
    // result of XBlockFile::Open.
    int32_t Open(const char* path);
    // Closes the block file, which writes its index back: the file is clean again.
    void Close();
    uint32_t MessageCount();

    // Starts replaying the history to `member`, which becomes a member once it has been
    // given all of it, so that it neither misses nor repeats a message.
    void Join(XSocketHandler* member);
    // Queues the next messages of the history to a joining `member` while less than
    // kReplayWindow waits for it; once the history is all queued, adds it to the members.
    // Nothing for a member or a stranger.
    void Replay(XSocketHandler* member);
    void Leave(XSocketHandler* member);
    // Stores `message` under the next ID and queues it to every member, dropping the ones
    // more than kMaxLag behind. The ID, or 0 when it could not be stored.
    uint32_t Post(const Message& message);

  private:
    XLocker lock_;
    XBlockFile history_;
    uint32_t nextId_ = 1;
    std::vector<uint32_t> members_;  // handler references
    // Joining clients by handler reference: the position in the history to send next.
    std::map<uint32_t, uint32_t> joining_;
};

}  // namespace chat

#endif  // BRINDLE_EXAMPLES_CHAT_CHATROOM_H_
