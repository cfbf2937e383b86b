// SPDX-License-Identifier: MIT
// XOutput: writes a binary stream of 32-bit integers, strings and runs of bytes.
//
// The stream begins with the 32-bit mark 0x5354524D ("STRM") in the writer's byte order, so
// that XInput can tell whether to reverse integers. Every item starts at a multiple of 4:
//
//   integer       4 bytes, native byte order
//   string        its characters and NUL, zero-padded to a multiple of 4
//   run of bytes  the bytes, zero-padded to a multiple of 4; never byte-swapped
//
// The stream carries no type tags or lengths: writer and reader agree on the sequence of
// items. The buffer grows to the smallest multiple of 1024 above what a write needs, with one
// realloc per growth.
//
// Errors are sticky. When an allocation fails, or a write or SetOffset asks for a stream
// longer than 4 GiB, or a run of bytes has a null source, the buffer is released, Error() becomes
// -1 and stays there (Reset does not clear it): later writes are ignored and GetData returns null.
// A caller therefore checks Error() or GetData once, after writing the whole stream.
//
// Copies are deep: a copy owns a buffer of its own with the same contents. A copy whose
// buffer cannot be allocated is in the error state.
#ifndef BRINDLE_SERIALIZATION_XOUTPUT_H_
#define BRINDLE_SERIALIZATION_XOUTPUT_H_

#include <stdint.h>

#include "brindle/Export.h"

class BRINDLE_API XOutput {
  public:
    // The mark at offset 0, as a native 32-bit integer.
    static constexpr uint32_t kMark = 0x5354524D;

    // Starts a stream with a buffer of initSize bytes, raised to at least 1024.
    explicit XOutput(uint32_t initSize = 1024);
    XOutput(const XOutput& other);
    XOutput& operator=(const XOutput& other);
    // Frees the buffer.
    virtual ~XOutput();

    // The stream and its length in *len (len may be null). The buffer stays owned by this
    // object and is valid until the next write that grows it, Reset or destruction. In the
    // error state: null, with 0 in *len.
    virtual void* GetData(uint32_t* len);
    // Starts a new stream (a fresh buffer of initSize bytes holding the mark). Does not clear
    // an earlier error; a failed allocation sets it.
    virtual void Reset();
    // Appends len bytes, zero-padded to a multiple of 4; they may lie inside this stream's own
    // buffer. Ignored in the error state; see the class comment for the writes that set it.
    virtual void Write(void* bytes, uint32_t len);
    // Write for bytes the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    void Write(const T* bytes, uint32_t len) {
        Write(brindle::ReadOnlyBytes(bytes), len);
    }

    // Appends value as a 4-byte native integer, through Write.
    void WriteInt(uint32_t value);
    // Same as WriteInt: booleans travel as full 32-bit integers, unchanged.
    void WriteBool(uint32_t value);
    // Appends str and its NUL, through Write. A null str is written as the empty string, so
    // that the reader still finds an item where it expects one.
    void WriteStr(const char* str);

    // Length of the stream: where the next item goes.
    uint32_t GetOffset() { return writePos; }
    // Moves the write position, and with it the stream's length: later items are written
    // from there. Moving back, typically to a placeholder written earlier, leaves the bytes
    // beyond in the buffer, so that moving forward again to the old end brings them back.
    // Moving beyond the furthest byte written since the last Reset grows the stream over
    // zero bytes, so it never exposes bytes that were not written; when the buffer cannot
    // grow, the stream fails as a write does. Ignored in the error state.
    void SetOffset(uint32_t offset);
    // 0, or -1 once the stream has failed (see the class comment).
    int32_t Error() { return error; }

  protected:
    // Releases the buffer and enters the sticky error state.
    void Fail();
    // Grows the buffer to hold `need` bytes (to the smallest multiple of 1024 above it);
    // false, having failed the stream, when it cannot.
    bool Reserve(uint64_t need);

    uint32_t initSize;   // Capacity that Reset allocates; at least 1024.
    uint32_t writePos;   // Where the next item goes; also the stream's length.
    uint32_t capacity;   // Bytes allocated for buffer.
    uint8_t* buffer;     // The stream; null only in the error state.
    int32_t error;       // 0, or -1 once the stream has failed.
    uint32_t highWater;  // End of the furthest byte written since Reset; bytes beyond are unset.
};

#endif  // BRINDLE_SERIALIZATION_XOUTPUT_H_
