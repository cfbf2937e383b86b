// SPDX-License-Identifier: MIT
// XInput: reads back a binary stream written by XOutput, item by item.
//
// The reader never copies: strings and runs of bytes are returned as pointers into the
// caller's stream, which must outlive them. When the mark shows that the writer had the other
// byte order, every integer is byte-reversed; strings and runs of bytes never are.
//
// Reads are bounded by the length given to SetData. A read that would run past the end of
// the stream (an integer or run of bytes longer than what is left, a string whose NUL is not
// inside the stream), and any read of a stream shorter than its 4-byte mark, is refused:
// ReadInt and ReadBool give 0/false, ReadStr gives "" (a valid empty string, not part of the
// stream) and ReadData gives null. The first refusal sets Overrun(), which stays set until the
// next SetData, and every later read is refused too, so a caller may read a whole record and
// test Overrun() once at the end.
//
// The object owns nothing, so copies simply share the caller's stream.
#ifndef BRINDLE_SERIALIZATION_XINPUT_H_
#define BRINDLE_SERIALIZATION_XINPUT_H_

#include <stdint.h>

#include "brindle/Export.h"

class BRINDLE_API XInput {
  public:
    // No stream: every read is refused until SetData.
    XInput();
    // Binds the reader to len bytes at data (see SetData).
    XInput(const void* data, uint32_t len);
    // Releases nothing: the stream belongs to the caller.
    virtual ~XInput();

    // True when the first 4 bytes at data, read as a native integer, are the mark in either
    // byte order. data must point to at least 4 bytes; null gives false.
    static bool IsDataValid(const void* data);
    // The same check for a buffer of known length: false when len is below 4.
    static bool IsDataValid(const void* data, uint32_t len);

    // Binds the reader to len bytes at data, positioned after the mark, and clears Overrun().
    // The byte order is taken from the mark, which is not otherwise validated (callers use
    // IsDataValid). With fewer than 4 bytes, or null data, nothing is read and Overrun() is
    // set at once.
    virtual void SetData(const void* data, uint32_t len);
    // The next 4 bytes as an integer, byte-reversed when NeedSwap(); 0 when refused.
    virtual uint32_t ReadInt();
    // The next string, inside the stream; skips it and its padding. "" when refused.
    virtual const char* ReadStr();
    // The next len bytes, inside the stream; skips them and their padding. null when refused.
    // ReadData(0) gives a valid pointer to the current position and skips nothing.
    virtual void* ReadData(uint32_t len);

    // True when ReadInt gives a value other than 0.
    bool ReadBool();
    // True when the stream was written in the other byte order.
    bool NeedSwap() { return swapBytes; }
    // True once a read has been refused since the last SetData (see the class comment).
    bool Overrun() { return overrun; }

  protected:
    // Refuses the current read: sets overrun, which also refuses every later read.
    void Refuse() { overrun = true; }

    uint32_t readPos;        // Offset of the next item.
    uint32_t dataLen;        // Length of the stream.
    const uint8_t* dataPtr;  // The caller's stream; not owned.
    bool swapBytes;          // The writer had the other byte order.
    bool overrun;            // A read was refused since SetData.
};

#endif  // BRINDLE_SERIALIZATION_XINPUT_H_
