// SPDX-License-Identifier: MIT

#include "FrameHandler.h"

#include <stdio.h>

namespace chat {

uint32_t FrameHandler::OnDataReceived(void* data, uint32_t size, sockaddr_in*) {
    const char* bytes = static_cast<const char*>(data);
    uint32_t used = 0;
    while (used < size) {
        Frame frame;
        const FrameStatus status = ReadFrame(bytes + used, size - used, &frame);
        if (status == kFramePartial)
            break;
        const FrameAnswer answer = status == kFrameComplete ? OnFrame(frame) : kFrameRefused;
        if (answer == kFrameLater)
            break;
        if (answer == kFrameRefused) {
            Refuse(status, frame);
            return size;  // all of it: nothing more of this peer is read
        }
        used += frame.length;
    }
    return used;
}

void FrameHandler::Refuse(FrameStatus status, const Frame& frame) {
    char problem[80];
    if (status == kFrameTooLong)
        snprintf(problem, sizeof problem, "a frame of %u bytes, over the limit of %u", frame.length,
                 kMaxFrame);
    else if (status == kFrameBad)
        snprintf(problem, sizeof problem, "bytes that are not a chat frame");
    else
        snprintf(problem, sizeof problem, "a frame of kind %u that is not valid here", frame.kind);
    OnProtocolError(problem);
    Close(0);
}

}  // namespace chat
