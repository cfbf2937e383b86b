// SPDX-License-Identifier: MIT
// The manager's bookkeeping: handler lists, the read watch with its waiting line, and the
// notice line of the write thread.
#include <stdlib.h>
#include <string.h>

#include "net/SocketMgrState.h"
#include "platform/Alloc.h"

// --- Handler lists ---

XSocketMgr::State::HandlerList::~HandlerList() {
    free(items_);
}

bool XSocketMgr::State::HandlerList::Contains(const XSocketHandler* handler) const {
    return handler->listSlots_[list_] != kNoPlace;
}

bool XSocketMgr::State::HandlerList::Reserve(uint32_t count) {
    if (count <= capacity_)
        return true;
    if (count > UINT32_MAX / sizeof(XSocketHandler*) - kGrowStep)
        return false;
    uint32_t capacity = (count + kGrowStep - 1) / kGrowStep * kGrowStep;
    void* grown = brindle::Realloc(items_, capacity * sizeof(XSocketHandler*));
    if (grown == nullptr)
        return false;
    items_ = static_cast<XSocketHandler**>(grown);
    capacity_ = capacity;
    return true;
}

bool XSocketMgr::State::HandlerList::Add(XSocketHandler* handler) {
    if (Contains(handler))
        return true;
    if (count_ == UINT32_MAX || !Reserve(count_ + 1))
        return false;
    handler->listSlots_[list_] = count_;
    items_[count_++] = handler;
    return true;
}

void XSocketMgr::State::HandlerList::Remove(XSocketHandler* handler) {
    uint32_t place = handler->listSlots_[list_];
    if (place == kNoPlace)
        return;
    XSocketHandler* last = items_[--count_];
    items_[place] = last;
    last->listSlots_[list_] = place;
    handler->listSlots_[list_] = kNoPlace;
}

// --- Read watch ---

void XSocketMgr::State::ReadWatch::Add(Link* link, int socket, uint64_t word) {
    link->socket = socket;
    link->word = word;
    if (waiting_ == 0 && Watch(link))
        return;
    link->waiting = true;
    link->older = newest_;
    link->newer = nullptr;
    if (newest_ != nullptr)
        newest_->newer = link;
    else
        oldest_ = link;
    newest_ = link;
    ++waiting_;
}

bool XSocketMgr::State::ReadWatch::Watch(Link* link) {
    if ((limit_ != 0 && watched_ >= limit_) || !poll_.Add(link->socket, EPOLLIN, link->word))
        return false;
    link->watched = true;
    ++watched_;
    return true;
}

void XSocketMgr::State::ReadWatch::Remove(Link* link) {
    if (link->waiting) {
        (link->older != nullptr ? link->older->newer : oldest_) = link->newer;
        (link->newer != nullptr ? link->newer->older : newest_) = link->older;
        link->waiting = false;
        --waiting_;
        return;
    }
    if (!link->watched)
        return;
    poll_.Remove(link->socket);
    link->watched = false;
    --watched_;
    WatchWaiting();
}

void XSocketMgr::State::ReadWatch::SetLimit(uint32_t limit) {
    limit_ = limit;
    WatchWaiting();
}

void XSocketMgr::State::ReadWatch::WatchWaiting() {
    while (oldest_ != nullptr && Watch(oldest_)) {
        Link* link = oldest_;
        oldest_ = link->newer;
        (oldest_ != nullptr ? oldest_->older : newest_) = nullptr;
        link->waiting = false;
        --waiting_;
    }
}

// --- Notice line ---

bool XSocketMgr::State::NoticeLine::Push(XSocketHandler* handler) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (handler->noticed_ || handler->writeState_.load() == XSocketHandler::kWriteOut)
        return false;
    bool wasEmpty = oldest_ == nullptr;
    handler->noticed_ = true;
    handler->noticeOlder_ = newest_;
    handler->noticeNewer_ = nullptr;
    (newest_ != nullptr ? newest_->noticeNewer_ : oldest_) = handler;
    newest_ = handler;
    return wasEmpty;
}

void XSocketMgr::State::NoticeLine::Remove(XSocketHandler* handler) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!handler->noticed_)
        return;
    (handler->noticeOlder_ != nullptr ? handler->noticeOlder_->noticeNewer_ : oldest_) =
        handler->noticeNewer_;
    (handler->noticeNewer_ != nullptr ? handler->noticeNewer_->noticeOlder_ : newest_) =
        handler->noticeOlder_;
    handler->noticed_ = false;
}

void XSocketMgr::State::NoticeLine::Drain(HandlerList* list) {
    std::lock_guard<std::mutex> hold(mutex_);
    while (oldest_ != nullptr && list->Add(oldest_)) {
        oldest_->noticed_ = false;
        oldest_ = oldest_->noticeNewer_;
        (oldest_ != nullptr ? oldest_->noticeOlder_ : newest_) = nullptr;
    }
}
