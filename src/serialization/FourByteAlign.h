// SPDX-License-Identifier: MIT
// Padding rule shared by the binary stream and the named blob set: every item starts at a
// multiple of 4 bytes.
#ifndef BRINDLE_SERIALIZATION_FOURBYTEALIGN_H_
#define BRINDLE_SERIALIZATION_FOURBYTEALIGN_H_

#include <stdint.h>

namespace brindle {

// n raised to the next multiple of 4. Computed in 64 bits so that lengths close to 4 GiB do
// not wrap to a small value.
inline uint64_t PaddedSize(uint64_t n) {
    return (n + 3) & ~uint64_t{3};
}

}  // namespace brindle

#endif  // BRINDLE_SERIALIZATION_FOURBYTEALIGN_H_
