// SPDX-License-Identifier: MIT
// FrameHandler: a socket handler that speaks in frames (ChatProtocol.h). Both ends of a chat
// connection derive from it.
//
// OnDataReceived hands each whole frame to OnFrame, in order, and returns how many bytes
// those frames took, so the handler keeps a frame that has only partly arrived and offers it
// again, completed, with the bytes that follow. OnFrame may also leave a frame for later:
// the manager keeps it, and what follows it, up to the handler's receive limit, and offers
// it again with the next bytes or after ResumeReading. A peer that breaks the protocol
// (bytes that are not a frame, a frame over kMaxFrame, a frame OnFrame refuses) is told to
// OnProtocolError and disconnected at once; nothing it sent is read any further.
#ifndef BRINDLE_EXAMPLES_CHAT_FRAMEHANDLER_H_
#define BRINDLE_EXAMPLES_CHAT_FRAMEHANDLER_H_

#include <brindle/net/XSocketHandler.h>

#include "ChatProtocol.h"

namespace chat {

// What OnFrame did with a frame.
enum FrameAnswer { kFrameTaken, kFrameLater, kFrameRefused };

class FrameHandler : public XSocketHandler {
  protected:
    using XSocketHandler::XSocketHandler;

    // Handles one frame: kFrameTaken; kFrameLater to leave it, and the frames after it, for
    // later; kFrameRefused when it is not a frame this end accepts. Runs where
    // OnDataReceived runs: the manager's read thread, under the manager lock.
    virtual FrameAnswer OnFrame(const Frame& frame) = 0;
    // Tells what was wrong with the peer's bytes, just before it is disconnected.
    virtual void OnProtocolError(const char* problem) = 0;

  private:
    uint32_t OnDataReceived(void* data, uint32_t size, sockaddr_in* from) final;
    // Reports what was wrong to OnProtocolError and disconnects the peer.
    void Refuse(FrameStatus status, const Frame& frame);
};

}  // namespace chat

#endif  // BRINDLE_EXAMPLES_CHAT_FRAMEHANDLER_H_
