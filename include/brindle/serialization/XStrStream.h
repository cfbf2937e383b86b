// SPDX-License-Identifier: MIT
// XStrStream: builds a text in memory from characters, strings, numbers and booleans.
//
// The caller reads the text in place (Buffer) or takes the buffer away (RetreiveBuffer_NF),
// after which the stream starts over. The text is NUL-terminated only by those two calls.
//
// Growth: when a Write would leave fewer than two bytes free, the capacity grows to the
// smallest multiple of a step that is greater than the length needed plus one; the step is
// 1024 while the capacity is below 4 KiB and a quarter of the capacity from then on, with one
// realloc per growth. WriteChar stores directly while there is room and calls Write only when
// the buffer is full, so a class that replaces Write receives every piece of text except
// those characters.
//
// Writers return 0 on success and -1 when the buffer cannot grow (the stream then keeps its
// text and capacity). An initial size below 2 is raised to 2, which keeps room for the NUL.
// If the stream's own buffer cannot be allocated (at construction, on a copy or when
// RetreiveBuffer_NF starts over) the stream is empty with capacity 0: Buffer gives "", and the
// first write allocates.
//
// Copies are deep: a copy owns a buffer of its own with the same text. A copy whose buffer
// cannot be allocated is an empty stream with capacity 0.
#ifndef BRINDLE_SERIALIZATION_XSTRSTREAM_H_
#define BRINDLE_SERIALIZATION_XSTRSTREAM_H_

#include <stdint.h>

#include "brindle/Export.h"

class BRINDLE_API XStrStream {
  public:
    // An empty stream with a buffer of initSize bytes (raised to at least 2).
    explicit XStrStream(uint32_t initSize = 16);
    XStrStream(const XStrStream& other);
    XStrStream& operator=(const XStrStream& other);
    // Frees the buffer.
    virtual ~XStrStream();

    // NUL-terminates the text and returns it, storing its length in *len (len may be null).
    // The stream keeps the text, which stays valid until the next growth, Reset,
    // RetreiveBuffer_NF or destruction; later writes overwrite the NUL.
    virtual const char* Buffer(uint32_t* len);
    // NUL-terminates the text and hands the buffer over, uncopied, storing the length in *len
    // (len may be null); the caller frees it with free. The stream starts over with a fresh
    // buffer of its initial size. Null (length 0) only when the stream had no buffer.
    virtual char* RetreiveBuffer_NF(uint32_t* len);
    // Empties the stream and shrinks its buffer back to the initial size. Should the shrinking
    // fail, the larger buffer is kept.
    virtual void Reset();
    // Appends n characters from text, which may lie inside this stream's own buffer; no NUL
    // is read or written. -1 when the buffer cannot grow, or when text is null and n is not 0.
    virtual int32_t Write(const char* text, uint32_t n);

    // Appends str without its NUL, through Write; a null str appends nothing.
    int32_t WriteStr(const char* str);
    // Appends c: stored directly while there is room, else through Write.
    int32_t WriteChar(char c) {
        if (length + 1 < capacity) {
            buffer[length++] = c;
            return 0;
        }
        return Write(&c, 1);
    }
    // Appends "true" or "false".
    int32_t WriteBool(bool b);
    // Appends value in decimal, with a minus sign when negative.
    int32_t WriteInt(int32_t value);
    // Appends "0x" and value as unsigned 32-bit upper-case hexadecimal (0 gives 0x0).
    int32_t WriteHex(int32_t value);
    // Appends value widened to double in fixed notation with six decimals (1.5 gives
    // 1.500000), however long the text: FLT_MAX gives 46 characters.
    int32_t WriteFloat(float value);

  protected:
    // Allocates a fresh buffer of initSize bytes for an empty stream (capacity 0 on failure).
    void StartOver();

    uint32_t initSize;  // Capacity of a fresh buffer; at least 2.
    uint32_t length;    // Characters written; always below capacity while there is a buffer.
    uint32_t capacity;  // Bytes allocated for buffer; 0 when there is none.
    char* buffer;       // The text, not NUL-terminated between writes; may be null.
};

#endif  // BRINDLE_SERIALIZATION_XSTRSTREAM_H_
