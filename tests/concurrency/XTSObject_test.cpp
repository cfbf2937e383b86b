#include <brindle/brindle.h>
#include <brindle/concurrency/XTSObject.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

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
    void Touch() { touches_.fetch_add(1, std::memory_order_relaxed); }

  protected:
    ~Tracked() override {
        EXPECT_EQ(magic_.exchange(0), kAlive) << "destroyed twice";
        destroyed_->fetch_add(1);
    }

  private:
    std::atomic<int>* destroyed_;
    std::atomic<uint32_t> magic_;
    std::atomic<uint32_t> touches_{0};
};

class XTSObjectTest : public ::testing::Test {
  protected:
    void SetUp() override { XTSObject::Init(); }
    void TearDown() override { XTSObject::Dispose(); }

    std::atomic<int> destroyed_{0};
};

// --- Lookup, release and deletion ---

TEST_F(XTSObjectTest, LookupCountsAUseAndReleaseGivesItBack) {
    Tracked* object = new Tracked(&destroyed_);
    ASSERT_NE(object->GetRef(), 0u);
    EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
    EXPECT_EQ(object->IsUsed(), 1);
    XTSObject::ReleaseObject(object);
    EXPECT_EQ(object->IsUsed(), 0);
    EXPECT_EQ(destroyed_.load(), 0);
    EXPECT_EQ(XTSObject::GetObjectA(object->GetRef(), nullptr), object);
    XTSObject::ReleaseObject(object);
    object->Delete();
}

TEST_F(XTSObjectTest, DeleteWithoutUsesDestroysAtOnce) {
    Tracked* object = new Tracked(&destroyed_);
    uint32_t reference = object->GetRef();
    object->Delete();
    EXPECT_EQ(destroyed_.load(), 1);
    EXPECT_EQ(XTSObject::GetObjectA(reference), nullptr);
}

TEST_F(XTSObjectTest, DeleteWithUsesWaitsForTheLastRelease) {
    Tracked* object = new Tracked(&destroyed_);
    uint32_t reference = object->GetRef();
    ASSERT_EQ(XTSObject::GetObjectA(reference), object);
    ASSERT_EQ(XTSObject::GetObjectA(reference), object);
    object->Delete();
    EXPECT_TRUE(object->Deleted());
    EXPECT_EQ(XTSObject::GetObjectA(reference), nullptr);
    object->Delete();  // already deleted: nothing
    EXPECT_EQ(object->IsUsed(), 2);
    XTSObject::ReleaseObject(object);
    EXPECT_EQ(destroyed_.load(), 0);
    EXPECT_TRUE(object->Alive());
    XTSObject::ReleaseObject(object);
    EXPECT_EQ(destroyed_.load(), 1);
}

TEST_F(XTSObjectTest, OwnerPatternGetMeDeleteReleaseMe) {
    Tracked* object = new Tracked(&destroyed_);
    object->GetMe();
    EXPECT_EQ(object->IsUsed(), 1);
    object->Delete();
    EXPECT_EQ(destroyed_.load(), 0);
    object->GetMe();  // deleted: takes nothing
    EXPECT_EQ(object->IsUsed(), 1);
    object->ReleaseMe();
    EXPECT_EQ(destroyed_.load(), 1);
}

TEST_F(XTSObjectTest, ReleaseOfNullOrOfAnUnusedObjectDoesNothing) {
    XTSObject::ReleaseObject(nullptr);
    Tracked* object = new Tracked(&destroyed_);
    XTSObject::ReleaseObject(object);
    EXPECT_EQ(object->IsUsed(), 0);
    EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
    EXPECT_EQ(object->IsUsed(), 1);
    object->Delete();
    XTSObject::ReleaseObject(object);
    EXPECT_EQ(destroyed_.load(), 1);
}

TEST_F(XTSObjectTest, ReferencesOfOtherObjectsAndStaleReferencesFindNothingElse) {
    Tracked* first = new Tracked(&destroyed_);
    uint32_t stale = first->GetRef();
    first->Delete();
    Tracked* second = new Tracked(&destroyed_);  // reuses the slot under a new generation
    EXPECT_EQ(second->GetRef() & 0xFFFF, stale & 0xFFFF);
    EXPECT_NE(second->GetRef(), stale);
    EXPECT_EQ(XTSObject::GetObjectA(stale), nullptr);
    EXPECT_EQ(XTSObject::GetObjectA(0), nullptr);
    second->Delete();
}

// --- Locks ---

TEST_F(XTSObjectTest, BorrowedLockIsUsedAndSurvivesTheObject) {
    XLocker locker;
    Tracked* object = new Tracked(&destroyed_, &locker);
    EXPECT_EQ(object->GetLocker(), &locker);
    object->Lock();
    EXPECT_TRUE(locker.IsLocked());
    EXPECT_TRUE(object->IsLocked());
    object->Unlock();
    object->Delete();
    ASSERT_EQ(destroyed_.load(), 1);
    EXPECT_TRUE(locker.Lock(0));
    locker.Unlock();
}

TEST_F(XTSObjectTest, OwnLockIsPrivateToTheObject) {
    Tracked* a = new Tracked(&destroyed_);
    Tracked* b = new Tracked(&destroyed_);
    ASSERT_NE(a->GetLocker(), nullptr);
    EXPECT_NE(a->GetLocker(), b->GetLocker());
    a->Lock();
    EXPECT_TRUE(a->Lock(0));  // recursive for its holder
    bool otherGotIt = true;
    std::thread other([&] { otherGotIt = a->Lock(10); });
    other.join();
    EXPECT_FALSE(otherGotIt);
    EXPECT_FALSE(b->IsLocked());
    a->Unlock();
    a->Unlock();
    a->Delete();
    b->Delete();
}

// --- Registries ---

TEST(XTSObjectRegistry, InitAndDisposeNest) {
    EXPECT_EQ(XTSObject::Registry(), nullptr);
    XTSObject::Dispose();  // unbalanced: nothing
    XTSObject::Init();
    XRefList* registry = XTSObject::Registry();
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(registry->ElelemSize(), sizeof(void*));
    XTSObject::Init();
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), registry);
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), nullptr);
}

TEST(XTSObjectRegistry, ObjectBuiltBeforeInitMakesTheRegistryItself) {
    std::atomic<int> destroyed{0};
    ASSERT_EQ(XTSObject::Registry(), nullptr);
    Tracked* object = new Tracked(&destroyed);
    ASSERT_NE(XTSObject::Registry(), nullptr);
    EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
    XTSObject::ReleaseObject(object);
    object->Delete();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_NE(XTSObject::Registry(), nullptr);  // no Dispose balances that Init
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), nullptr);
}

TEST(XTSObjectRegistry, PrivateRegistryIsSearchedOnlyWhenPassed) {
    std::atomic<int> destroyed{0};
    XTSObject::Init();
    XRefList mine(sizeof(void*), true);
    Tracked* object = new Tracked(&destroyed, nullptr, &mine);
    ASSERT_NE(object->GetRef(), 0u);
    EXPECT_EQ(mine.Count(), 1);
    EXPECT_EQ(XTSObject::GetObjectA(object->GetRef(), nullptr), nullptr);
    EXPECT_EQ(XTSObject::GetObjectA(object->GetRef(), &mine), object);
    object->Delete();
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_TRUE(mine.IsEmpty());
    object->ReleaseMe();
    EXPECT_EQ(destroyed.load(), 1);
    XTSObject::Dispose();
}

TEST(XTSObjectRegistry, ObjectThatCannotBeEnteredGetsReference0AndDeleteDestroysIt) {
    std::atomic<int> destroyed{0};
    XRefList wrongSize(4, true);
    Tracked* misfit = new Tracked(&destroyed, nullptr, &wrongSize);
    EXPECT_EQ(misfit->GetRef(), 0u);
    EXPECT_TRUE(wrongSize.IsEmpty());
    EXPECT_EQ(XTSObject::GetObjectA(0, &wrongSize), nullptr);
    misfit->GetMe();
    EXPECT_EQ(misfit->IsUsed(), 0);
    misfit->ReleaseMe();
    misfit->Delete();
    EXPECT_EQ(destroyed.load(), 1);

    XRefList full(sizeof(void*), true);
    full.Preallocate(65535);
    while (full.CreateItem(nullptr) != nullptr) {
    }
    Tracked* extra = new Tracked(&destroyed, nullptr, &full);
    EXPECT_EQ(extra->GetRef(), 0u);
    extra->Delete();
    EXPECT_EQ(destroyed.load(), 2);
}

TEST(XTSObjectRegistry, MissingRegistryLeavesObjectsUnregisteredButUsable) {
    std::atomic<int> destroyed{0};
    DebgFailAllocation(1);
    XTSObject::Init();
    EXPECT_EQ(XTSObject::Registry(), nullptr);
    Tracked* object = new Tracked(&destroyed);  // Init in the constructor makes it
    EXPECT_NE(object->GetRef(), 0u);
    object->Delete();
    XTSObject::Dispose();
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), nullptr);

    // The object's lock comes first, then the registry: fail the registry.
    DebgFailAllocation(2);
    Tracked* orphan = new Tracked(&destroyed);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(orphan->GetRef(), 0u);
    EXPECT_EQ(XTSObject::GetObjectA(0), nullptr);
    orphan->Delete();
    EXPECT_EQ(destroyed.load(), 2);
    XTSObject::Dispose();
}

TEST(XTSObjectRegistry, EveryFailedAllocationInConstructionLeavesAWorkingObject) {
    std::atomic<int> destroyed{0};
    for (uint32_t nth = 1;; ++nth) {
        ASSERT_EQ(XTSObject::Registry(), nullptr);
        DebgFailAllocation(nth);
        Tracked* object = new Tracked(&destroyed);
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        ASSERT_NE(object->GetLocker(), nullptr);
        object->Lock();
        EXPECT_TRUE(object->IsLocked());
        object->Unlock();
        if (object->GetRef() != 0) {
            EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
            XTSObject::ReleaseObject(object);
        }
        object->Delete();
        EXPECT_EQ(destroyed.load(), static_cast<int>(nth));
        XTSObject::Dispose();
        if (!fired)
            break;
    }
}

TEST(XTSObjectRegistry, DisposeWhileObjectsLiveKeepsTheirRegistryUntilTheLastGoes) {
    std::atomic<int> destroyed{0};
    XTSObject::Init();
    Tracked* deletedLater = new Tracked(&destroyed);
    Tracked* inUse = new Tracked(&destroyed);
    ASSERT_EQ(XTSObject::GetObjectA(inUse->GetRef()), inUse);
    XTSObject::Dispose();
    EXPECT_EQ(XTSObject::Registry(), nullptr);
    EXPECT_EQ(XTSObject::GetObjectA(deletedLater->GetRef()), nullptr);
    // Their own registry still works for them.
    deletedLater->GetMe();
    EXPECT_EQ(deletedLater->IsUsed(), 1);
    deletedLater->ReleaseMe();
    deletedLater->Delete();
    EXPECT_EQ(destroyed.load(), 1);
    inUse->Delete();
    EXPECT_EQ(destroyed.load(), 1);
    XTSObject::ReleaseObject(inUse);  // the last object: its registry goes with it
    EXPECT_EQ(destroyed.load(), 2);

    XTSObject::Init();  // a fresh registry
    EXPECT_NE(XTSObject::Registry(), nullptr);
    XTSObject::Dispose();
}

// A destructor that checks it runs under the registry's lock, and uses the registry.
class Inspecting : public XTSObject {
  public:
    Inspecting(XRefList* registry, std::atomic<int>* destroyed, bool* lockHeld)
        : XTSObject(nullptr, registry),
          registry_(registry),
          destroyed_(destroyed),
          lockHeld_(lockHeld) {}

  protected:
    ~Inspecting() override {
        std::thread other([this] {
            *lockHeld_ = !registry_->Lock(0);
            if (!*lockHeld_)
                registry_->Unlock();
        });
        other.join();
        // Enter a successor in the same registry: the lock is recursive.
        Tracked* successor = new Tracked(destroyed_, nullptr, registry_);
        EXPECT_NE(successor->GetRef(), 0u);
        successor->Delete();
    }

  private:
    XRefList* registry_;
    std::atomic<int>* destroyed_;
    bool* lockHeld_;
};

TEST(XTSObjectRegistry, DestructionRunsUnderTheRegistryLockEitherWay) {
    std::atomic<int> destroyed{0};
    XRefList registry(sizeof(void*), true);
    bool lockHeld = false;
    Inspecting* byDelete = new Inspecting(&registry, &destroyed, &lockHeld);
    byDelete->Delete();
    EXPECT_TRUE(lockHeld);
    lockHeld = false;
    Inspecting* byRelease = new Inspecting(&registry, &destroyed, &lockHeld);
    byRelease->GetMe();
    byRelease->Delete();
    byRelease->ReleaseMe();
    EXPECT_TRUE(lockHeld);
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_TRUE(registry.IsEmpty());
}

// --- Threads ---

TEST(XTSObjectThreads, InitAndDisposeFromManyThreads) {
    std::atomic<int> destroyed{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                XTSObject::Init();
                Tracked* object = new Tracked(&destroyed);
                EXPECT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
                object->Delete();
                XTSObject::ReleaseObject(object);
                XTSObject::Dispose();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(destroyed.load(), kThreads * kRounds);
    EXPECT_EQ(XTSObject::Registry(), nullptr);
}

// Many threads look objects up, use and release them, delete them (holding a use, as an
// owner does) and make new ones, all at once. Every object is destroyed exactly once and
// never used after destruction.
TEST(XTSObjectThreads, LookupsReleasesAndDeletesRaceSafely) {
    XTSObject::Init();
    constexpr int kObjects = 64;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<int> destroyed{0};
    std::atomic<int> created{0};
    std::vector<std::atomic<uint32_t>> references(kObjects);
    for (std::atomic<uint32_t>& reference : references) {
        reference = (new Tracked(&destroyed))->GetRef();
        created++;
    }
    std::atomic<int> deadSeen{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t + 1);
            for (int i = 0; i < kRounds; ++i) {
                std::atomic<uint32_t>& reference = references[random() % kObjects];
                XTSObject* found = XTSObject::GetObjectA(reference.load());
                if (found == nullptr)
                    continue;
                Tracked* object = static_cast<Tracked*>(found);
                if (!object->Alive())
                    deadSeen++;
                object->Touch();
                switch (random() % 8) {
                    case 0: {
                        // Retire it and put a new object in its place, unless another
                        // thread has already done so.
                        object->Delete();
                        Tracked* fresh = new Tracked(&destroyed);
                        created++;
                        uint32_t expected = object->GetRef();
                        if (!reference.compare_exchange_strong(expected, fresh->GetRef()))
                            fresh->Delete();
                        break;
                    }
                    case 1: {
                        // Hold a second use across another thread's chance to delete.
                        XTSObject* again = XTSObject::GetObjectA(object->GetRef());
                        std::this_thread::yield();
                        XTSObject::ReleaseObject(again);
                        break;
                    }
                    default:
                        break;
                }
                if (!object->Alive())
                    deadSeen++;
                XTSObject::ReleaseObject(object);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(deadSeen.load(), 0);
    for (std::atomic<uint32_t>& reference : references) {
        XTSObject* object = XTSObject::GetObjectA(reference.load());
        if (object != nullptr) {
            object->Delete();
            XTSObject::ReleaseObject(object);
        }
    }
    EXPECT_EQ(destroyed.load(), created.load());
    EXPECT_TRUE(XTSObject::Registry()->IsEmpty());
    XTSObject::Dispose();
}

// Delete and the last release race from two threads: exactly one of them destroys. The
// deleting owner holds a use in even rounds; in odd rounds it is the sole owner and holds
// none, so only the registry's lock decides who destroys.
TEST(XTSObjectThreads, DeleteRacingTheLastReleaseDestroysExactlyOnce) {
    XTSObject::Init();
    std::atomic<int> destroyed{0};
    constexpr int kRounds = 2000;
    for (int i = 0; i < kRounds; ++i) {
        bool ownerHoldsUse = i % 2 == 0;
        Tracked* object = new Tracked(&destroyed);
        if (ownerHoldsUse)
            object->GetMe();
        ASSERT_EQ(XTSObject::GetObjectA(object->GetRef()), object);
        std::atomic<bool> go{false};
        std::thread user([&] {
            while (!go.load()) {
            }
            XTSObject::ReleaseObject(object);
        });
        go = true;
        object->Delete();
        if (ownerHoldsUse)
            object->ReleaseMe();
        user.join();
        ASSERT_EQ(destroyed.load(), i + 1);
    }
    XTSObject::Dispose();
}

}  // namespace
