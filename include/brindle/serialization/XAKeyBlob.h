// SPDX-License-Identifier: MIT
// XAKeyBlob: a set of named blobs that flattens into one buffer and is rebuilt from one.
//
// Each entry is a byte string (the blob) stored under a unique, case-sensitive name. Entries
// stay sorted by name, comparing unsigned bytes (so "B" sorts before "a" and a name before its
// extensions); the Ind functions address them by position in that order.
//
// Flat form: integers are unsigned 32-bit in the writer's byte order and every field starts at
// a multiple of 4:
//
//   offset 0   mark 0xB0AAB033
//   offset 4   number N of entries
//   offset 8   N entries in name order, each: the name and its NUL, padded to a multiple
//              of 4; the blob's length L; the blob's L bytes, padded to a multiple of 4.
//
// An empty set is 8 bytes. The writer zeroes the pad bytes; a reader ignores them.
//
// SetData copies the flat buffer once and points the entries into that copy, allocating
// nothing per entry. GetData returns that copy (or the previous flat form) untouched while no
// entry has changed, and otherwise builds a new flat form in one allocation of the exact size;
// after it no entry owns memory of its own. Entries stored by SetBlob own copies of their
// name and bytes; other entries keep pointing into the old flat buffer, which stays allocated
// until the next GetData rebuild or SetData.
//
// SetData accepts a flat form written in either byte order and converts the other order to
// native (mark, count and lengths) in its copy. It refuses, with false and an empty set, a
// buffer shorter than 8 bytes, a wrong mark, entries or names running past the given size,
// names that are not in strictly ascending order, and a failed allocation. Bytes after the
// last entry are kept but ignored.
//
// Copies are deep: a copy owns copies of every name and blob. A copy whose memory cannot be
// allocated is an empty set.
//
// Pointers returned by GetBlob, GetIndBlob, GetIndBlobName and GetData belong to the set and
// are valid until the set next changes, builds its flat form or is destroyed.
#ifndef BRINDLE_SERIALIZATION_XAKEYBLOB_H_
#define BRINDLE_SERIALIZATION_XAKEYBLOB_H_

#include <stdint.h>

#include "brindle/Export.h"

// One blob of an XAKeyBlob. Name and bytes are either private copies that the entry owns
// (released with free) or point into the set's flat buffer.
struct BRINDLE_API BlobEntry {
    char* blobName;     // The NUL-terminated name.
    uint8_t* blobData;  // The blob's bytes; never null, also for an empty blob.
    uint32_t blobSize;  // The blob's length.
    bool ownsName;      // blobName is a private copy.
    bool ownsData;      // blobData is a private copy.
};

class BRINDLE_API XAKeyBlob {
  public:
    // The mark at offset 0 of the flat form, as a native 32-bit integer.
    static constexpr uint32_t kMark = 0xB0AAB033;

    // An empty set with room for 16 entries.
    XAKeyBlob();
    XAKeyBlob(const XAKeyBlob& other);
    XAKeyBlob& operator=(const XAKeyBlob& other);
    // Frees every entry, the flat buffer and the entry array.
    virtual ~XAKeyBlob();

    // Replaces the whole set by the contents of a flat form of size bytes (copied; data stays
    // the caller's, and may lie inside this set, as GetData's result does). False, leaving the
    // set empty, for the buffers listed in the class comment.
    bool SetData(void* data, uint32_t size);
    // SetData for bytes the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    bool SetData(const T* data, uint32_t size) {
        return SetData(brindle::ReadOnlyBytes(data), size);
    }
    // The flat form of the set and its length in *size (size may be null). A new set gives the
    // 8-byte empty form; a set emptied by a failed SetData gives null and 0 until the next
    // SetBlob; a flat form that cannot be allocated (or would pass 4 GiB) gives null and 0 and
    // leaves the set as it was.
    void* GetData(uint32_t* size);
    // Stores a copy of size bytes from data under a copy of name, replacing a blob of that
    // name in its position. Nothing changes if name is null, data is null with size not 0, or
    // memory runs out; StoreBlob tells when.
    void SetBlob(const char* name, void* data, uint32_t size);
    // SetBlob for bytes the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    void SetBlob(const char* name, const T* data, uint32_t size) {
        StoreBlob(name, data, size);
    }
    // SetBlob that tells whether it stored the blob: false, with the set unchanged, for a
    // null name, null data with size not 0, or memory that runs out.
    bool StoreBlob(const char* name, const void* data, uint32_t size);
    // The blob stored under name, inside the set, with its length in *size (size may be null);
    // null, *size untouched, when there is none.
    void* GetBlob(const char* name, uint32_t* size);
    // Removes the blob stored under name, if any.
    void RemoveBlob(const char* name);
    // Number of blobs.
    uint32_t BlobCount() { return entryCount; }
    // The name at position pos in name order; null if pos is not below BlobCount().
    const char* GetIndBlobName(uint32_t pos);
    // The blob at position pos and its length in *size (size may be null); null, *size
    // untouched, if pos is not below BlobCount().
    const void* GetIndBlob(uint32_t pos, uint32_t* size);
    // Removes the blob at position pos; nothing happens if pos is not below BlobCount().
    void RemoveIndBlob(uint32_t pos);

  protected:
    // Frees every owned name and blob and the flat buffer; the set is then empty and in sync
    // (flatValid). The entry array stays allocated.
    void FreeData();
    // Binary search for name: its position with *found true, or the position at which it
    // would be inserted with *found false.
    uint32_t InsertPos(const char* name, bool* found);
    // Converts the flat buffer held in flat, written in the other byte order, to native order:
    // count, every length and, last, the mark. At the first entry that runs past flatSize it
    // stops and leaves the mark foreign, so that SetData refuses the buffer.
    void Swap();

    uint8_t* flat;           // The flat buffer (SetData's copy or GetData's build), or null.
    uint32_t flatSize;       // Its length.
    uint32_t entryCapacity;  // Entries allocated.
    uint32_t entryCount;     // Entries in use.
    BlobEntry* entries;      // Sorted by name, ascending.
    bool flatValid;          // flat is the flat form of the current entries.

  private:
    // Makes room for one more entry; false when the array cannot grow.
    bool ReserveEntry();
    // Takes the entries apart from the native-order flat buffer; false when it is malformed.
    bool ParseFlat();
};

#endif  // BRINDLE_SERIALIZATION_XAKEYBLOB_H_
