// SPDX-License-Identifier: MIT

#include "brindle/concurrency/XTSObject.h"

#include <pthread.h>
#include <string.h>

#include "concurrency/SharedRegistry.h"
#include "platform/Alloc.h"

std::atomic<XRefList*> XTSObject::s_Registry{nullptr};
int32_t XTSObject::s_InitCount = 0;

namespace {

// Guards s_InitCount and the replacement of s_Registry. Never held while waiting for a
// registry's lock, so a destructor running under a registry's lock may build objects.
pthread_mutex_t g_initMutex = PTHREAD_MUTEX_INITIALIZER;

brindle::SharedRegistry* AsShared(XRefList* registry) {
    return dynamic_cast<brindle::SharedRegistry*>(registry);
}

// Shared by the objects whose own lock could not be allocated.
XLocker& FallbackLocker() {
    static XLocker locker;
    return locker;
}

void LockList(XRefList* list) {
    if (list != nullptr)
        list->Lock();
}

void UnlockList(XRefList* list) {
    if (list != nullptr)
        list->Unlock();
}

// Takes one member off a shared registry (nothing for a registry of the caller's), and
// destroys the registry when it has been retired and this was its last member. Called only
// once the caller has let go of the registry's lock: from the moment the last member has left,
// a concurrent Dispose may destroy the registry.
void LeaveRegistry(XRefList* registry) {
    brindle::SharedRegistry* shared = AsShared(registry);
    if (shared != nullptr && shared->Leave())
        delete registry;
}

}  // namespace

void XTSObject::InitLocked() {
    if (s_InitCount < INT32_MAX)
        ++s_InitCount;
    if (s_Registry.load(std::memory_order_relaxed) == nullptr)
        s_Registry.store(brindle::New<brindle::SharedRegistry>(), std::memory_order_release);
}

void XTSObject::Init() {
    pthread_mutex_lock(&g_initMutex);
    InitLocked();
    pthread_mutex_unlock(&g_initMutex);
}

void XTSObject::Dispose() {
    XRefList* retired = nullptr;
    pthread_mutex_lock(&g_initMutex);
    if (s_InitCount > 0 && --s_InitCount == 0) {
        retired = s_Registry.load(std::memory_order_relaxed);
        s_Registry.store(nullptr, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_initMutex);
    if (retired != nullptr && AsShared(retired)->Retire())
        delete retired;
}

XRefList* XTSObject::Registry() {
    return s_Registry.load(std::memory_order_acquire);
}

XTSObject::XTSObject(XLocker* locker, XRefList* registry)
    : reference_(0),
      locker_(locker),
      registry_(nullptr),
      useCount_(0),
      deleted_(false),
      lockerBorrowed_(locker != nullptr) {
    if (locker_ == nullptr) {
        locker_ = brindle::New<XLocker>();
        if (locker_ == nullptr) {
            locker_ = &FallbackLocker();
            lockerBorrowed_ = true;
        }
    }
    if (registry == nullptr) {
        // Joined while still the process-wide registry, so a Dispose on another thread
        // cannot destroy it before the object is entered.
        pthread_mutex_lock(&g_initMutex);
        if (s_Registry.load(std::memory_order_relaxed) == nullptr)
            InitLocked();
        registry = s_Registry.load(std::memory_order_relaxed);
        if (registry != nullptr)
            AsShared(registry)->Join();
        pthread_mutex_unlock(&g_initMutex);
    } else if (brindle::SharedRegistry* shared = AsShared(registry)) {
        shared->Join();
    }
    Register(registry);
}

void XTSObject::Register(XRefList* registry) {
    if (registry == nullptr)
        return;
    if (registry->ElelemSize() == sizeof(XTSObject*)) {
        registry->Lock();
        XTSObject* self = this;
        void* item = registry->CreateItem(&reference_);
        if (item != nullptr) {
            memcpy(item, &self, sizeof self);
            registry_ = registry;
        }
        registry->Unlock();
    }
    if (registry_ == nullptr) {
        reference_ = 0;
        LeaveRegistry(registry);
    }
}

XTSObject::~XTSObject() {
    if (!lockerBorrowed_)
        delete locker_;
}

void XTSObject::Delete() {
    XRefList* registry = registry_;
    LockList(registry);
    if (deleted_.exchange(true, std::memory_order_acq_rel)) {
        UnlockList(registry);
        return;
    }
    if (registry != nullptr)
        registry->RemoveItem(reference_);
    // The destroyed object stays a member of its registry until the lock is let go.
    bool destroyed = useCount_.load(std::memory_order_relaxed) == 0;
    if (destroyed)
        delete this;
    UnlockList(registry);
    if (destroyed)
        LeaveRegistry(registry);
}

XTSObject* XTSObject::Lookup(uint32_t reference, XRefList* registry) {
    if (registry == nullptr || registry->ElelemSize() != sizeof(XTSObject*))
        return nullptr;
    registry->Lock();
    XTSObject* object = nullptr;
    if (void* item = registry->GetItem(reference)) {
        memcpy(&object, item, sizeof object);
        if (object->deleted_.load(std::memory_order_relaxed))
            object = nullptr;
        else
            object->useCount_.fetch_add(1, std::memory_order_relaxed);
    }
    registry->Unlock();
    return object;
}

XTSObject* XTSObject::GetObjectA(uint32_t reference, XRefList* registry) {
    return Lookup(reference, registry != nullptr ? registry : Registry());
}

void XTSObject::ReleaseObject(XTSObject* object) {
    if (object == nullptr)
        return;
    XRefList* registry = object->registry_;
    LockList(registry);
    bool destroyed = false;
    uint32_t uses = object->useCount_.load(std::memory_order_relaxed);
    if (uses > 0) {
        object->useCount_.store(uses - 1, std::memory_order_relaxed);
        destroyed = uses == 1 && object->deleted_.load(std::memory_order_relaxed);
        if (destroyed)
            delete object;
    }
    UnlockList(registry);
    if (destroyed)
        LeaveRegistry(registry);
}

void XTSObject::GetMe() {
    Lookup(reference_, registry_);
}

void XTSObject::ReleaseMe() {
    ReleaseObject(this);
}
