// SPDX-License-Identifier: MIT

#include "ChatProtocol.h"

#include <arpa/inet.h>

#include <brindle/net/XSocketMgr.h>
#include <brindle/serialization/XInput.h>
#include <brindle/serialization/XStore.h>

namespace chat {

namespace {

uint32_t Padded(uint32_t size) {
    return (size + 3) & ~3u;
}

bool IsPrintable(const std::string& text, uint32_t limit) {
    if (text.empty() || text.size() > limit)
        return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

}  // namespace

FrameStatus ReadFrame(const void* data, uint32_t size, Frame* frame) {
    if (size >= 4 && !XInput::IsDataValid(data, size))
        return kFrameBad;
    if (size < 8)
        return kFramePartial;
    XInput in(data, 8);
    const uint32_t length = in.ReadInt();
    frame->length = length;
    if (length > kMaxFrame)
        return kFrameTooLong;
    if (length < kFrameHeader || length % 4 != 0)
        return kFrameBad;
    if (size < length)
        return kFramePartial;
    in.SetData(data, length);
    in.ReadInt();  // the length, read above
    frame->kind = in.ReadInt();
    frame->id = in.ReadInt();
    frame->storeLength = in.ReadInt();
    frame->store = in.ReadData(frame->storeLength);
    if (in.Overrun() || Padded(frame->storeLength) != length - kFrameHeader)
        return kFrameBad;
    return kFrameComplete;
}

bool WriteFrame(XOutput* out, FrameKind kind, uint32_t id, const void* store,
                uint32_t storeLength) {
    if (storeLength > kMaxFrame - kFrameHeader)
        return false;
    out->WriteInt(kFrameHeader + Padded(storeLength));
    out->WriteInt(kind);
    out->WriteInt(id);
    out->WriteInt(storeLength);
    if (storeLength > 0)
        out->Write(store, storeLength);
    return out->Error() == 0;
}

bool SendFrame(XSocketHandler* to, FrameKind kind, uint32_t id, const void* store,
               uint32_t storeLength) {
    XOutput frame;
    return WriteFrame(&frame, kind, id, store, storeLength) && SendFrame(to, &frame);
}

bool SendFrame(XSocketHandler* to, XOutput* frame) {
    uint32_t length = 0;
    void* data = frame->GetData(&length);
    return data != nullptr && to->SendData(data, length) == 0;
}

std::string PeerName(XSocketHandler* peer) {
    sockaddr_in address = {};
    peer->GetRemoteAddress(&address);
    return std::string(XSocketMgr::IPString(address.sin_addr.s_addr)) + ":" +
           std::to_string(ntohs(address.sin_port));
}

bool IsAcceptable(const std::string& sender, const std::string& text) {
    return IsPrintable(sender, kMaxSender) && IsPrintable(text, kMaxText);
}

void* FlattenMessage_NF(const Message& message, bool withTime, uint32_t* size) {
    XStore store;
    if (!store.AddString("sender", message.sender.c_str()) ||
        !store.AddString("text", message.text.c_str()) ||
        (withTime && !store.AddInt("time", static_cast<int32_t>(message.time)))) {
        return nullptr;
    }
    return store.GetData_NF(size);
}

bool ReadMessage(const void* store, uint32_t length, bool withTime, Message* message) {
    if (store == nullptr || !XStoreReader::IsValidData(store, length))
        return false;
    XStoreReader reader(store, true);  // a copy: the bytes may be unaligned or borrowed
    const char* sender = nullptr;
    const char* text = nullptr;
    int32_t time = 0;
    if (!reader.GetString("sender", &sender, 0) || !reader.GetString("text", &text, 0) ||
        (withTime && !reader.GetInt("time", &time, 0))) {
        return false;
    }
    message->sender = sender;
    message->text = text;
    message->time = static_cast<uint32_t>(time);
    return IsAcceptable(message->sender, message->text);
}

}  // namespace chat
