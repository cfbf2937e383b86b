// SPDX-License-Identifier: MIT

#include <stdio.h>
#include <unistd.h>

#include <brindle/brindle.h>

#include "Tour.h"

namespace {

// A shared object that says when it is destroyed.
class Greeter : public XTSObject {
  public:
    explicit Greeter(const char* name) : name_(name) {}
    const char* Name() const { return name_; }

  protected:
    ~Greeter() override { printf("  %s destroyed after its last use\n", name_); }

  private:
    const char* name_;
};

void Ring(int32_t reason, void* text, void*, void*, void*) {
    printf("  soft signal fired (reason %d): %s\n", reason, static_cast<const char*>(text));
}

}  // namespace

void TourSharedObjects() {
    printf("\n== reference list, shared objects, soft signals ==\n");

    XRefList list(sizeof(int32_t), false);
    int32_t value = 7;
    uint32_t first = list.AddItem(&value);
    list.RemoveItem(first);
    uint32_t second = list.AddItem(&value);
    printf(
        "reference list: first item 0x%08x, removed; its slot reused as 0x%08x; "
        "old reference finds %s\n",
        first, second, list.GetItem(first) == nullptr ? "nothing" : "something");

    XTSObject::Init();
    Greeter* greeter = new Greeter("greeter");
    uint32_t reference = greeter->GetRef();
    Greeter* found = static_cast<Greeter*>(XTSObject::GetObjectA(reference));
    printf("shared object 0x%08x looked up: %s, uses %d\n", reference, found->Name(),
           found->IsUsed());
    greeter->Delete();
    printf("deleted while in use: lookup now gives %s\n",
           XTSObject::GetObjectA(reference) == nullptr ? "null" : "the object");
    XTSObject::ReleaseObject(found);
    XTSObject::Dispose();

    SoftSignalMgr signals;
    uint32_t id = signals.Post(20, Ring, const_cast<char*>("twenty milliseconds later"), nullptr,
                               nullptr, nullptr);
    printf("soft signal 0x%08x posted; Idle says %llu ms to go\n", id,
           static_cast<unsigned long long>(signals.Idle()));
    while (signals.IsWaiting(id)) {
        uint64_t wait = signals.Idle();
        if (wait != 0)
            usleep(static_cast<useconds_t>(wait * 1000));
    }
}
