// SPDX-License-Identifier: MIT
// SharedRegistry: the process-wide registry of XTSObject, which outlives its last Dispose
// for as long as objects are entered in it.
#ifndef BRINDLE_CONCURRENCY_SHAREDREGISTRY_H_
#define BRINDLE_CONCURRENCY_SHAREDREGISTRY_H_

#include <stdint.h>

#include <atomic>

#include "brindle/containers/XRefList.h"

namespace brindle {

// A thread-safe list of object pointers that counts its members (objects entered or about
// to be) and knows whether it has been retired. Exactly one of the calls below reports the
// moment it is both retired and empty, and that caller destroys it.
class SharedRegistry : public XRefList {
  public:
    SharedRegistry() : XRefList(sizeof(void*), true), state_(0) {}

    // One more member. Only while the registry is still the process-wide one, or while the
    // caller already has a member of it.
    void Join() { state_.fetch_add(kMember, std::memory_order_relaxed); }
    // One member fewer; true when the registry is retired and this was its last member. The
    // caller must no longer hold the registry's lock nor touch it afterwards (unless true):
    // once the last member has left, the Retire of a concurrent Dispose destroys it.
    bool Leave() { return state_.fetch_sub(kMember, std::memory_order_acq_rel) == kMember + 1; }
    // Marks the registry retired; true when it has no member.
    bool Retire() { return state_.fetch_or(1, std::memory_order_acq_rel) == 0; }

  private:
    static constexpr uint32_t kMember = 2;
    // Members times kMember, plus 1 once retired.
    std::atomic<uint32_t> state_;
};

}  // namespace brindle

#endif  // BRINDLE_CONCURRENCY_SHAREDREGISTRY_H_
