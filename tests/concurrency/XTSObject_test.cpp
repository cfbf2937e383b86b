// SPDX-License-Identifier: MIT

#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "concurrency/ThreadTestKit.h"
#include "containers/AllocationProbe.h"

namespace {

// Counts its destructions and marks itself dead, so that tests see an object destroyed
// twice or used after destruction (and the sanitizers see the memory).
class Tracked : public XTSObject {
  public:
    static constexpr uint32_t kAlive = 0xA11CE;

    explicit Tracked(std::atomic<int>* destroyed, XLocker* locker = nullptr,
                     XRefList* registry = nullptr)
        : XTSObject(locker, registry), destroyed_(destroyed), magic_(kAlive) {}

    bool Alive() const { return magic_.load() == kAlive; }

  protected:
    ~Tracked() override {
        EXPECT_EQ(magic_.exchange(0), kAlive) << "destroyed twice";
        destroyed_->fetch_add(1);
    }

    std::atomic<int>* destroyed_;

  private:
    std::atomic<uint32_t> magic_;
};

class XTSObjectTest : public ::testing::Test {
  protected:
    std::atomic<int> destroyed_{0};
};

// Runs with the process-wide registry in place.
class XTSObjectInitTest : public XTSObjectTest {
  protected:
    void SetUp() override { XTSObject::Init(); }
    void TearDown() override { XTSObject::Dispose(); }
};

// --- Lookup, release and deletion ---

TEST_F(XTSObjectInitTest, UsesDelayDestructionAndARetiredReferenceFindsNothing) {
    XTSObject::ReleaseObject(nullptr);
    Tracked* object = new Tracked(&destroyed_);
    uint32_t reference = object->GetRef();
    ASSERT_NE(reference, 0u);
    XTSObject::ReleaseObject(object);  // unused: nothing
    ASSERT_EQ(XTSObject::GetObjectA(reference), object);
    ASSERT_EQ(XTSObject::GetObjectA(reference), object);
    EXPECT_EQ(object->IsUsed(), 2);
    object->Delete();
    object->Delete();  // already deleted: nothing
    object->GetMe();   // deleted: takes nothing
    EXPECT_TRUE(object->Deleted());
    EXPECT_EQ(XTSObject::GetObjectA(reference), nullptr);
    XTSObject::ReleaseObject(object);
    EXPECT_TRUE(object->Alive());
    XTSObject::ReleaseObject(object);
    EXPECT_EQ(destroyed_.load(), 1);
    // The freed slot comes back under a new reference.
    Tracked* second = new Tracked(&destroyed_);
    EXPECT_EQ(second->GetRef() & 0xFFFF, reference & 0xFFFF);
    EXPECT_EQ(XTSObject::GetObjectA(reference), nullptr);
    EXPECT_EQ(XTSObject::GetObjectA(0), nullptr);
    second->Delete();  // no uses: at once
    EXPECT_EQ(destroyed_.load(), 2);
}

TEST_F(XTSObjectInitTest, BorrowsTheLockItIsGivenAndOtherwiseOwnsOne) {
    XLocker locker;
    Tracked* borrower = new Tracked(&destroyed_, &locker);
    EXPECT_EQ(borrower->GetLocker(), &locker);
    borrower->Delete();
    threadtest::ExpectRecursiveLock(locker);  // outlives the object
    Tracked* a = new Tracked(&destroyed_);
    Tracked* b = new Tracked(&destroyed_);
    a->Lock();
    EXPECT_TRUE(a->IsLocked());
    EXPECT_FALSE(b->IsLocked());
    a->Unlock();
    a->Delete();
    b->Delete();
}

// --- Registries ---

// Checks in its destructor that it runs under the registry's lock, and enters a successor
// in the same registry, which works because that lock is recursive.
class Inspecting : public Tracked {
  public:
    Inspecting(std::atomic<int>* destroyed, XRefList* registry, bool* lockHeld)
        : Tracked(destroyed, nullptr, registry), registry_(registry), lockHeld_(lockHeld) {}

  protected:
    ~Inspecting() override {
        *lockHeld_ = !threadtest::OtherThreadGetsLock(*registry_, 0);
        Tracked* successor = new Tracked(destroyed_, nullptr, registry_);
        EXPECT_NE(successor->GetRef(), 0u);
        successor->Delete();
    }

  private:
    XRefList* registry_;
    bool* lockHeld_;
};

// An object of a registry of the caller's is found only through it, and destroyed under its
// lock by Delete or by the release of its last use. A registry that cannot hold it (wrong
// element size, or full) leaves it with reference 0.
TEST_F(XTSObjectTest, PrivateRegistryIsSearchedOnlyWhenPassedAndOneWithoutRoomGivesReference0) {
    XTSObject::Init();
    XRefList mine(sizeof(void*), true);
    for (bool byRelease : {false, true}) {
        bool lockHeld = false;
        Inspecting* object = new Inspecting(&destroyed_, &mine, &lockHeld);
        ASSERT_NE(object->GetRef(), 0u);
        EXPECT_EQ(XTSObject::GetObjectA(object->GetRef(), nullptr), nullptr);
        if (byRelease) {
            EXPECT_EQ(XTSObject::GetObjectA(object->GetRef(), &mine), object);
        }
        object->Delete();
        EXPECT_EQ(destroyed_.load(), 2);  // with its successor; a use held delays it
        if (byRelease)
            object->ReleaseMe();
        EXPECT_TRUE(lockHeld);
        EXPECT_TRUE(mine.IsEmpty());
    }
    EXPECT_EQ(destroyed_.load(), 4);
    XTSObject::Dispose();

    XRefList wrongSize(4, true);
    XRefList full(sizeof(void*), true);
    full.Preallocate(65535);
    while (full.CreateItem(nullptr) != nullptr) {
    }
    for (XRefList* registry : {&wrongSize, &full}) {
        Tracked* misfit = new Tracked(&destroyed_, nullptr, registry);
        EXPECT_EQ(misfit->GetRef(), 0u);
        EXPECT_EQ(XTSObject::GetObjectA(0, registry), nullptr);
        misfit->GetMe();
        EXPECT_EQ(misfit->IsUsed(), 0);
        misfit->ReleaseMe();
        misfit->Delete();
    }
    EXPECT_TRUE(wrongSize.IsEmpty());
    EXPECT_EQ(destroyed_.load(), 6);
}

TEST_F(XTSObjectTest, EveryFailedAllocationInConstructionLeavesAWorkingObject) {
    int made = 0;
    allocationtest::SweepAllocationFailures(
        [&] { return new Tracked(&destroyed_); },
        [&](Tracked* object, bool) {
            ++made;
            object->Lock();
            EXPECT_TRUE(object->IsLocked());
            object->Unlock();
            if (object->GetRef() != 0) {
                EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
                XTSObject::ReleaseObject(object);
            }
            object->Delete();
            XTSObject::Dispose();
            EXPECT_EQ(XTSObject::Registry(), nullptr);
            EXPECT_EQ(destroyed_.load(), made);
        });
}

// Init and Dispose nest, and an object built with no registry while there is none makes one
// by an Init of its own. The last Dispose ends the process-wide registry at once, but objects
// still in it keep it until the last of them goes.
TEST_F(XTSObjectTest, InitAndDisposeNestAndLiveObjectsKeepTheirRegistry) {
    XTSObject::Dispose();  // unbalanced: nothing
    DebgFailAllocation(1);
    XTSObject::Init();
    EXPECT_EQ(XTSObject::Registry(), nullptr);
    Tracked* deletedFirst = new Tracked(&destroyed_);  // Init without Dispose
    XRefList* registry = XTSObject::Registry();
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(registry->ElelemSize(), sizeof(void*));
    Tracked* inUse = new Tracked(&destroyed_);
    ASSERT_EQ(XTSObject::GetObjectA(inUse->GetRef()), inUse);
    XTSObject::Init();
    XTSObject::Dispose();
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), registry);
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), nullptr);
    EXPECT_EQ(XTSObject::GetObjectA(deletedFirst->GetRef()), nullptr);
    deletedFirst->GetMe();  // their own registry still works for them
    EXPECT_EQ(deletedFirst->IsUsed(), 1);
    deletedFirst->Delete();
    deletedFirst->ReleaseMe();
    inUse->Delete();
    EXPECT_EQ(destroyed_.load(), 1);
    XTSObject::ReleaseObject(inUse);  // the last object: its registry goes with it
    EXPECT_EQ(destroyed_.load(), 2);
    XTSObject::Init();  // a fresh registry
    EXPECT_NE(XTSObject::Registry(), nullptr);
    XTSObject::Dispose();
}

// --- Threads ---

TEST_F(XTSObjectTest, InitAndDisposeFromManyThreads) {
    threadtest::RunThreads(4, [&](int) {
        for (int i = 0; i < 300; ++i) {
            XTSObject::Init();
            Tracked* object = new Tracked(&destroyed_);
            EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
            object->Delete();
            XTSObject::ReleaseObject(object);
            XTSObject::Dispose();
        }
    });
    EXPECT_EQ(destroyed_.load(), 4 * 300);
    EXPECT_EQ(XTSObject::Registry(), nullptr);
}

// Many threads look objects up, use and release them, delete them (holding a use, as an
// owner does) and make new ones, all at once. Every object is destroyed exactly once and
// never used after destruction.
TEST_F(XTSObjectInitTest, LookupsReleasesAndDeletesRaceSafely) {
    std::atomic<int> created{64};
    std::vector<std::atomic<uint32_t>> references(64);
    for (std::atomic<uint32_t>& reference : references)
        reference = (new Tracked(&destroyed_))->GetRef();
    threadtest::RunThreads(4, [&](int t) {
        std::mt19937 random(t + 1);
        for (int i = 0; i < 20000; ++i) {
            std::atomic<uint32_t>& reference = references[random() % references.size()];
            Tracked* object = static_cast<Tracked*>(XTSObject::GetObjectA(reference.load()));
            if (object == nullptr)
                continue;
            EXPECT_TRUE(object->Alive());
            uint32_t action = random() % 8;
            if (action == 0) {
                // Retire it and put a new object in its place, unless another thread
                // has already done so.
                object->Delete();
                Tracked* fresh = new Tracked(&destroyed_);
                created++;
                uint32_t expected = object->GetRef();
                if (!reference.compare_exchange_strong(expected, fresh->GetRef()))
                    fresh->Delete();
            } else if (action == 1) {
                // Hold a second use across another thread's chance to delete.
                XTSObject* again = XTSObject::GetObjectA(object->GetRef());
                std::this_thread::yield();
                XTSObject::ReleaseObject(again);
            }
            EXPECT_TRUE(object->Alive());
            XTSObject::ReleaseObject(object);
        }
    });
    for (std::atomic<uint32_t>& reference : references) {
        XTSObject* object = XTSObject::GetObjectA(reference.load());
        object->Delete();
        XTSObject::ReleaseObject(object);
    }
    EXPECT_EQ(destroyed_.load(), created.load());
    EXPECT_TRUE(XTSObject::Registry()->IsEmpty());
}

// An object's Delete, the release of its last use and the Dispose that ends its registry
// race from three threads. Exactly one of Delete and the release destroys the object; the
// registry, retired by Dispose, goes with the object, whoever comes last, and nobody touches
// it afterwards. The owner deletes holding a use of its own or none; a user holds a use or
// none.
TEST_F(XTSObjectTest, DeleteTheLastReleaseAndTheLastDisposeRaceSafely) {
    for (int i = 0; i < 2000; ++i) {
        bool ownerHoldsUse = i & 1;
        bool userHoldsUse = i & 2;
        XTSObject::Init();
        Tracked* object = new Tracked(&destroyed_);
        if (ownerHoldsUse)
            object->GetMe();
        if (userHoldsUse) {
            ASSERT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
        }
        threadtest::StartLine start(3);
        threadtest::RunThreads(3, [&](int role) {
            start.Wait();
            if (role == 0) {
                object->Delete();
                if (ownerHoldsUse)
                    object->ReleaseMe();
            } else if (role == 1 && userHoldsUse) {
                XTSObject::ReleaseObject(object);
            } else if (role == 2) {
                XTSObject::Dispose();
            }
        });
        ASSERT_EQ(destroyed_.load(), i + 1);
        ASSERT_EQ(XTSObject::Registry(), nullptr);
    }
}

}  // namespace
