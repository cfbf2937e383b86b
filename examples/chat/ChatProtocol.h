// SPDX-License-Identifier: MIT
// The chat protocol: the frames that travel between a chat server and its clients, and the
// message they carry.
//
// Wire format. A TCP connection carries frames back to back, in both directions. Each frame
// is one XOutput stream, so its integers are in the sender's byte order and its first word,
// the stream mark, tells the receiver whether to reverse them:
//
//   offset  size  field
//   0       4     "STRM" mark (XOutput::kMark in the sender's byte order)
//   4       4     frame length L in bytes, all fields included: a multiple of 4, from 20
//                 to kMaxFrame
//   8       4     kind: kPost, kMessage or kStored
//   12      4     message ID: the number the server stored the message under; 0 in a post
//   16      4     store length S
//   20      S     a flattened XStore (none when S is 0), zero-padded to L
//
// A post (client to server) carries the store {"sender", "text"}; the server answers it
// with kStored, holding the new message's ID (0 when it could not be stored) and no store.
// A message (server to client) carries the store {"sender", "time", "text"} exactly as the
// server keeps it in its block file; "time" is the server's clock in seconds since 1970, as
// an unsigned 32-bit value. A sender has at most kMaxSender bytes and a text at most
// kMaxText, neither has ASCII control characters, and UTF-8 passes through. A receiver
// drops the connection at the first frame that breaks any of this.
#ifndef BRINDLE_EXAMPLES_CHAT_CHATPROTOCOL_H_
#define BRINDLE_EXAMPLES_CHAT_CHATPROTOCOL_H_

#include <stdint.h>

#include <string>

#include <brindle/net/XSocketHandler.h>
#include <brindle/serialization/XOutput.h>

namespace chat {

constexpr uint32_t kMaxSender = 64;
constexpr uint32_t kMaxText = 4096;
// Large enough for any valid message, small enough that a receiver can refuse a lying length
// before buffering it.
constexpr uint32_t kMaxFrame = 16384;
// The fixed fields in front of the store.
constexpr uint32_t kFrameHeader = 20;

enum FrameKind : uint32_t {
    kPost = 1,     // client to server: a new message
    kMessage = 2,  // server to client: a stored message, replayed or new
    kStored = 3,   // server to client: the poster's message is stored under this ID
};

// One frame as read off the wire. `store` points into the bytes it was read from.
struct Frame {
    uint32_t kind = 0;
    uint32_t id = 0;
    const void* store = nullptr;
    uint32_t storeLength = 0;
    uint32_t length = 0;  // of the whole frame
};

enum FrameStatus { kFrameComplete, kFramePartial, kFrameBad, kFrameTooLong };

// Reads the frame at the start of `size` received bytes. kFrameComplete fills `*frame`;
// kFramePartial means the bytes so far begin a frame that has not fully arrived; kFrameBad
// means they can never be one (no mark, a length below 20 or not a multiple of 4, fields
// that disagree with the length); kFrameTooLong, known as soon as the first 8 bytes are in,
// means the length is over kMaxFrame, which `frame->length` then holds.
FrameStatus ReadFrame(const void* data, uint32_t size, Frame* frame);

// Writes one frame into `out`, a stream just made or Reset. False when the store would not
// fit a frame or the stream failed.
bool WriteFrame(XOutput* out, FrameKind kind, uint32_t id, const void* store, uint32_t storeLength);

// Writes one frame and queues it to `to`. False when it could not be written or queued (the
// handler is disconnected, memory runs out).
bool SendFrame(XSocketHandler* to, FrameKind kind, uint32_t id, const void* store,
               uint32_t storeLength);
// Queues a written frame to `to`; false as above.
bool SendFrame(XSocketHandler* to, XOutput* frame);

// The peer's address and port, for messages: "127.0.0.1:40000".
std::string PeerName(XSocketHandler* peer);

// A message as people see it.
struct Message {
    std::string sender;
    uint32_t time = 0;  // seconds since 1970; unused in a post
    std::string text;
};

// True for a sender and a text the protocol allows: not empty, within the limits, without
// ASCII control characters (so every message prints as one line).
bool IsAcceptable(const std::string& sender, const std::string& text);

// Flattens `message` into a new malloc block (with "time" when `withTime`), its size in
// `*size`; null when memory runs out.
void* FlattenMessage_NF(const Message& message, bool withTime, uint32_t* size);

// Reads a flattened message of exactly `length` bytes, in either byte order. False when the
// bytes are not a store, a field is missing or has another type, or the sender or text is
// not acceptable.
bool ReadMessage(const void* store, uint32_t length, bool withTime, Message* message);

}  // namespace chat

#endif  // BRINDLE_EXAMPLES_CHAT_CHATPROTOCOL_H_
