// SPDX-License-Identifier: MIT
// The library's allocation functions.
//
// All library memory comes from these wrappers, so that the DebgFailAllocation hook can make
// any chosen allocation fail. They never throw: failure is a null result.
#ifndef BRINDLE_PLATFORM_ALLOC_H_
#define BRINDLE_PLATFORM_ALLOC_H_

#include <stddef.h>

#include <new>
#include <utility>

namespace brindle {

// True when the hook has decided that this allocation fails. Each call counts one
// allocation; callers that allocate by other means call it once per allocation.
bool AllocationShouldFail();

void* Malloc(size_t size);
// Like realloc: on failure the old block is untouched and still owned by the caller.
void* Realloc(void* block, size_t size);
// Copies text into a new malloc block; null for null text or when memory runs out.
char* Strdup(const char* text);

// Constructs a T with nothrow new; null when memory runs out.
template <class T, class... Args>
T* New(Args&&... args) {
    if (AllocationShouldFail())
        return nullptr;
    return new (std::nothrow) T(std::forward<Args>(args)...);
}

// An array of count default-constructed Ts with nothrow new[]; null when memory runs out.
template <class T>
T* NewArray(size_t count) {
    if (AllocationShouldFail())
        return nullptr;
    return new (std::nothrow) T[count];
}

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_ALLOC_H_
