// SPDX-License-Identifier: MIT
// Word access to byte buffers that need not be aligned, and byte-order reversal. Every
// format of the library reads and writes its 32-bit words through these.
#ifndef BRINDLE_PLATFORM_BYTES_H_
#define BRINDLE_PLATFORM_BYTES_H_

#include <stdint.h>
#include <string.h>

namespace brindle {

// The 32-bit word at `at`, in the host's byte order.
inline uint32_t LoadWord(const void* at) {
    uint32_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

// Writes a 32-bit word at `at`, in the host's byte order.
inline void StoreWord(void* at, uint32_t word) {
    memcpy(at, &word, sizeof word);
}

inline uint32_t ReverseWord(uint32_t word) {
    return __builtin_bswap32(word);
}

// Reverses the bytes of the word at `at` in place.
inline void ReverseWordAt(void* at) {
    StoreWord(at, ReverseWord(LoadWord(at)));
}

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_BYTES_H_
