// SPDX-License-Identifier: MIT
// Constants and byte-order helpers of the block file format.
#ifndef BRINDLE_BLOCKFILE_BLOCKFORMAT_H_
#define BRINDLE_BLOCKFILE_BLOCKFORMAT_H_

#include <stdint.h>
#include <string.h>

#include "brindle/blockfile/XBlockFile.h"
#include "platform/Bytes.h"

namespace brindle {
namespace blockfile {

using Record = _XBlockFile_BlockRec;

constexpr uint32_t kMagic = 0x45766141;  // "AavE" read as a little-endian integer
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
constexpr uint32_t kFreeFlag = 0xFFFFFFFF;
constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kRecordSize = 16;
constexpr uint32_t kFirstSlot = 8;
constexpr uint32_t kNewFileSize = 28;
// The shortest file that Open reads: the header and 8 more bytes.
constexpr uint32_t kMinFileSize = 16;
// The largest `len` of a used record: its data length must fit a signed 32-bit result.
constexpr uint32_t kMaxUsedLen = 0x7FFFFFFF;
// The largest dataEnd: the index offset written in the trailer, dataEnd + 4, must fit 32 bits.
constexpr uint64_t kMaxDataEnd = 0xFFFFFFF8;
// The fewest records by which a growing array of records grows.
constexpr uint32_t kGrowth = 4;
constexpr uint32_t kNoRecord = 0xFFFFFFFF;

static_assert(sizeof(Record) == kRecordSize, "records are 16 bytes on disk");

// Zeros for padding a slot to its size, and for a header that no scan accepts.
inline constexpr uint8_t kZeros[16] = {};

constexpr bool kHostIsLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// The size of the slot of a record whose `len` is given: `len` raised to a multiple of 16.
inline uint64_t SlotSize(uint32_t len) {
    return (uint64_t{len} + 15) & ~uint64_t{15};
}

// The length to which a change cuts the file: just after the end marker at `dataEnd`, but
// never below kMinFileSize, so that a file whose data is empty still opens after a crash
// (the bytes behind the marker are not read).
inline uint64_t CutLength(uint32_t dataEnd) {
    return uint64_t{dataEnd} + 4 > kMinFileSize ? uint64_t{dataEnd} + 4 : kMinFileSize;
}

inline bool IsSlotOffset(uint64_t offset) {
    return offset % 16 == kFirstSlot;
}

inline uint32_t ToLittleEndian(uint32_t value) {
    return kHostIsLittleEndian ? value : ReverseWord(value);
}

inline uint32_t LoadLittle32(const uint8_t* bytes) {
    return ToLittleEndian(LoadWord(bytes));
}

inline void StoreLittle32(uint8_t* bytes, uint32_t value) {
    StoreWord(bytes, ToLittleEndian(value));
}

// Converts records between host and disk byte order, in place (either way: the conversion
// is its own inverse). Nothing to do on a little-endian host.
inline void SwapRecordsForDisk(Record* records, uint32_t count) {
    if (kHostIsLittleEndian)
        return;
    for (uint32_t i = 0; i < count; ++i) {
        records[i].offset = ToLittleEndian(records[i].offset);
        records[i].id = ToLittleEndian(records[i].id);
        records[i].len = ToLittleEndian(records[i].len);
        records[i].freeFlag = ToLittleEndian(records[i].freeFlag);
    }
}

// Grows `*records` by half its capacity (kGrowth records at least) when `count` has reached
// `*capacity`, so that filling an array costs O(1) per record; false (array untouched) when
// memory runs out or the count cannot grow further.
bool ReserveRecord(Record** records, uint32_t count, uint32_t* capacity);

}  // namespace blockfile
}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_BLOCKFORMAT_H_
