// SPDX-License-Identifier: MIT
// XTSObject: base class of objects that several threads use and any of them may destroy.
//
// Each object enters itself in a registry (an XRefList of object pointers) when it is built
// and is known by the reference it gets there (GetRef). A thread that wants to use an object
// looks it up with GetObjectA, which counts a use, and gives the use back with
// ReleaseObject. Delete withdraws the reference at once, so no later lookup finds the
// object, but the object is destroyed only when the last outstanding use is given back:
// destruction happens in whichever comes last, Delete with no use outstanding or the
// ReleaseObject that returns the last use after Delete. Either way it runs exactly once,
// with the registry's lock held (a derived destructor may use the registry: the lock is
// recursive).
//
// The deleted flag and the use count are read and changed only under the registry's lock,
// so a Delete racing a ReleaseObject can neither leak the object nor destroy it twice.
//
// The usual way for an owner to destroy an object other threads may be using:
//     object->GetMe(); object->Delete(); object->ReleaseMe();
//
// The process-wide registry is made by Init and destroyed by the Dispose that balances the
// first Init; pairs nest and may be called from any thread. An object built with no
// registry while none exists calls Init itself, and no Dispose balances that. When the last
// Dispose comes while objects are still entered, the registry stops being the process-wide
// one at once (lookups with a null registry find nothing) and is destroyed when its last
// object is. Lookups with a null registry must not race with the Dispose that ends it.
//
// An object that cannot be entered in a registry (none could be made, it is full, or it is
// not a list of pointer-sized items) gets reference 0: no lookup finds it, its use count
// stays 0, and Delete destroys it at once. An object whose own lock cannot be allocated
// shares a process-wide fallback lock instead, so its Lock still excludes.
//
// Private registries: an object built with a registry of the caller's (an XRefList of
// pointer-sized items, built thread-safe when threads share it) is found only by passing
// that registry to GetObjectA. The caller keeps such a registry alive while it holds
// objects. Objects are not copyable.
#ifndef BRINDLE_CONCURRENCY_XTSOBJECT_H_
#define BRINDLE_CONCURRENCY_XTSOBJECT_H_

#include <stdint.h>

#include <atomic>

#include "brindle/Export.h"
#include "brindle/concurrency/XLocker.h"
#include "brindle/containers/XRefList.h"

class BRINDLE_API XTSObject {
  public:
    // Adds one to the Init count and makes the process-wide registry when there is none
    // (it stays null when it cannot be allocated; a later Init tries again).
    static void Init();
    // Takes one from the Init count; the call that brings it to 0 ends the process-wide
    // registry (see above). A Dispose with no Init outstanding does nothing.
    static void Dispose();
    // The process-wide registry, or null.
    static XRefList* Registry();

    // Enters the object in `registry`, or in the process-wide one when null (calling Init
    // when there is none). `locker` is borrowed: the object uses it and never destroys it;
    // with none the object makes and owns its own lock. The object can be found from the
    // moment this returns, before a derived constructor has run.
    explicit XTSObject(XLocker* locker = nullptr, XRefList* registry = nullptr);

    XTSObject(const XTSObject&) = delete;
    XTSObject& operator=(const XTSObject&) = delete;

    // Withdraws the reference and marks the object deleted; destroys it when no use is
    // outstanding, else the last ReleaseObject does. Nothing on an object already deleted.
    // The caller must know the object is alive: hold a use, or be its sole owner.
    virtual void Delete();

    // The object the reference names in `registry` (the process-wide one when null), with
    // one more use counted; null when the reference names nothing or a deleted object.
    static XTSObject* GetObjectA(uint32_t reference, XRefList* registry = nullptr);
    // Gives back one use; destroys the object when it is deleted and this was its last use.
    // Nothing for null or for an object with no use outstanding.
    static void ReleaseObject(XTSObject* object);

    // Takes a use of the object itself unless it is deleted; reports nothing. A caller that
    // may call it on a deleted object tests Deleted first, since ReleaseMe without a use
    // taken gives back another holder's use.
    void GetMe();
    // ReleaseObject(this).
    void ReleaseMe();

    bool Deleted() const { return deleted_.load(std::memory_order_acquire); }
    // Uses outstanding; read without the registry's lock, so a hint under concurrency.
    int IsUsed() const { return static_cast<int>(useCount_.load(std::memory_order_relaxed)); }
    // The reference in the registry; 0 when the object could not be entered.
    uint32_t GetRef() const { return reference_; }

    // The object's own lock, which the base class never takes itself.
    XLocker* GetLocker() const { return locker_; }
    void Lock() { locker_->Lock(); }
    bool Lock(uint32_t milliseconds) { return locker_->Lock(milliseconds); }
    void Unlock() { locker_->Unlock(); }
    bool IsLocked() const { return locker_->IsLocked(); }

  protected:
    // Destroys the lock if the object owns it; leaves the registry alone. Objects are
    // destroyed only through Delete and ReleaseObject.
    virtual ~XTSObject();

  private:
    // Init with the process-wide mutex already held.
    static void InitLocked();
    // Looks the reference up in registry and counts a use.
    static XTSObject* Lookup(uint32_t reference, XRefList* registry);
    // Enters the object in registry; leaves it unregistered when that fails.
    void Register(XRefList* registry);

    uint32_t reference_;
    XLocker* locker_;
    XRefList* registry_;
    // Changed only under the registry's lock; atomic so the unlocked readers are defined.
    std::atomic<uint32_t> useCount_;
    std::atomic<bool> deleted_;
    bool lockerBorrowed_;

    static std::atomic<XRefList*> s_Registry;
    // Guarded by a process-wide mutex.
    static int32_t s_InitCount;
};

#endif  // BRINDLE_CONCURRENCY_XTSOBJECT_H_
