// SPDX-License-Identifier: MIT
// XStoreReader: the read-only view of one flattened store buffer.
//
// A flattened store is one self-describing byte buffer: a 20-byte header (magic 0x73746F72,
// reserved word, total size, strings offset, entry count), a table of XStoreEntry records
// sorted by name, a value area holding each entry's name and values, and a strings area with
// the texts of LocStr and MovStr values. Every number is a 32-bit word in the byte order of
// the machine that wrote it. A reader on the other byte order converts the buffer once, in
// place, when it takes it; MustSwap then reports true.
//
// Lookups are a binary search of the entry table: nothing is parsed ahead. Int, Float, Bool,
// LocStr and MovStr values are found directly. Value k of a String or Blob entry lies behind
// the k values before it: for k below 8 it is found by stepping over those, but for larger k
// the reader notes, beside the buffer, where each value of the entry begins, in one walk over
// the entry the first time, and finds it in O(1) from then on. So reading every value of an
// entry by index costs time linear in its size, not quadratic. This departs from a reader that
// never allocates: the offsets take 4 bytes per value, never more than the buffer's size in
// all, and are dropped with the buffer; without memory for them values are found by stepping,
// as before.
// Names, texts and blob data are handed out as pointers into the buffer, valid until the
// buffer is dropped (next SetData or SetAllocatedData, or destruction).
//
// Untrusted buffers. Taking a buffer checks its header only: the total size must be at least
// 20 and cover the entry table, and the strings offset must be 0 or lie between the end of
// the entry table and the total size; otherwise the reader stays empty, as for a wrong
// magic. Everything else (offsets, counts, blob lengths, names, slots) is checked when it is
// used, so a lying buffer never makes the reader touch a byte outside [buffer, buffer + total
// size): a value that does not lie wholly inside the buffer cannot be read (the getter
// fails), and a LocStr or MovStr text must lie wholly inside the strings area. No read costs
// more than time linear in the buffer's size, whatever the buffer claims. Converting a
// buffer of the other byte order converts only what lies inside it, each word at most once.
// The caller still promises that a buffer holds at least its header's total size in bytes.
// IsValidData with the real length tells that, and whether the buffer is well formed as a
// whole; taking a buffer does not look beyond its header, so a reader also reads buffers
// that are not, as far as each read can go. Borrowed buffers need no particular alignment.
//
// Copying: a copy of a reader that owns its buffer owns a copy of that buffer (and is empty
// if that copy cannot be allocated); a copy of a reader that borrows its buffer borrows the
// same memory. Resolvers are shared, never owned.
//
// No lock: several threads may read one reader at once (the offsets of values are noted
// without a lock, safely), but SetData, SetAllocatedData, DetachStrings, SetStrResolver and
// assignment must not overlap any other call on it.
#ifndef BRINDLE_SERIALIZATION_XSTOREREADER_H_
#define BRINDLE_SERIALIZATION_XSTOREREADER_H_

#include <stdint.h>

#include <atomic>

#include "brindle/Export.h"
#include "brindle/serialization/XSepStrRecorder.h"
#include "brindle/serialization/XSepStrResolver.h"
#include "brindle/serialization/XStoreEntry.h"
#include "brindle/serialization/XStoreType.h"

namespace brindle {
namespace store {
class ValueIndex;
}  // namespace store
}  // namespace brindle

class BRINDLE_API XStoreReader {
  public:
    // Starts empty, without resolvers, then takes `data` as SetData(data, copy) does.
    XStoreReader(const void* data = 0, bool copy = true);
    XStoreReader(const XStoreReader& other);
    XStoreReader& operator=(const XStoreReader& other);
    // Drops the buffer, freeing it when owned.
    virtual ~XStoreReader();

    // Drops the current buffer (freeing it when owned) and takes `data`. With `copy` true the
    // reader reads and owns a malloc copy of the header's total size in bytes; with `copy`
    // false it reads the caller's memory in place, converting it there if it comes from the
    // other byte order, and the caller keeps it alive and unchanged meanwhile. A null
    // `data`, a wrong magic, a header that fails the checks above or a failed copy leave the
    // reader empty; nothing is reported. A rejected buffer is never changed.
    virtual void SetData(const void* data, bool copy);
    // Takes over a malloc block: reads it in place through SetData(data, false) and frees it
    // with the reader; a block the reader rejects is freed at once. Either way the caller no
    // longer owns `data`.
    virtual void SetAllocatedData(void* data);
    // A new malloc copy of the buffer as the reader holds it (converted, detached), or a new
    // 20-byte empty store when the reader is empty. Stores the size in `*size` when `size`
    // is not null, before allocating; returns null when the allocation fails. The caller
    // frees the result.
    virtual void* GetData_NF(uint32_t* size);
    // Hands the text of every LocStr value to `locRecorder` and of every MovStr value to
    // `movRecorder`, in table and value order, writes each returned id into the value's slot,
    // then cuts the strings area off: the total size becomes the old strings offset and the
    // strings offset 0. The buffer is changed in place, a borrowed one included. Does nothing
    // on an empty reader, on a buffer already detached, or when the recorder of a kind that
    // has values is null. A slot whose text lies outside the strings area is recorded as "".
    virtual void DetachStrings(XSepStrRecorder* locRecorder, XSepStrRecorder* movRecorder);

    // The number of entries; 0 when empty.
    virtual uint32_t EntryCount();
    // The name of the entry at `index` in table (name) order, with its type in `*type` when
    // `type` is not null. Null, leaving `*type` alone, when the reader is empty, `index` is
    // not below EntryCount, or the name does not end inside the buffer.
    virtual const char* IndEntry(uint32_t index, XStoreType* type);
    // The entry's value count as stored; 0 when the name is not there.
    virtual uint32_t ValueCount(const char* name);
    // The entry's type number as stored; XStoreTypeNone when the name is not there.
    virtual XStoreType EntryType(const char* name);

    // The typed getters: each finds `name` and returns true with value `index` in its
    // outputs (those not null). It returns false and writes nothing when the name is missing,
    // `index` is not below the value count, the entry's type is not one it accepts, or the
    // value does not lie inside the buffer.
    //
    // Int: the word.
    virtual bool GetInt(const char* name, int32_t* value, uint32_t index);
    // Float: the word's bit pattern, exactly (NaNs included).
    virtual bool GetFloat(const char* name, float* value, uint32_t index);
    // Bool: true for any word other than 0.
    virtual bool GetBool(const char* name, bool* value, uint32_t index);
    // String, LocStr and MovStr: a pointer to the text. For LocStr and MovStr, the resolver
    // of the kind, when set, gives the text for the stored slot (whatever it returns, null
    // included); without one, the text in the strings area while attached, else "".
    virtual bool GetString(const char* name, const char** value, uint32_t index);
    // Blob: the length B and a pointer to its first byte (not null, also when B is 0).
    virtual bool GetBlob(const char* name, const void** data, uint32_t* length, uint32_t index);

    // Getters with a fallback, through the virtual getters above: the value, or the default
    // when the getter fails.
    int32_t ReadInt(const char* name, int32_t defaultValue, uint32_t index);
    bool ReadBool(const char* name, bool defaultValue, uint32_t index);
    float ReadFloat(const char* name, float defaultValue, uint32_t index);
    const char* ReadString(const char* name, const char* defaultValue, uint32_t index);
    // The blob's data, or null; `*length` is written only on success.
    const void* ReadBlob(const char* name, uint32_t* length, uint32_t index);
    // The blob's length, or -1 when there is no such blob value.
    int32_t GetBlobLen(const char* name, uint32_t index);

    // True when `data` starts with the magic in either byte order and, unless `length` is
    // 0xFFFFFFFF (length unknown: only the magic is read), `length` is the header's total
    // size and the whole buffer is well formed:
    //   - the header passes the checks that SetData makes;
    //   - every entry's name (NUL and padding included) lies in the value area, between the
    //     entry table and the strings offset (or the total size once detached);
    //   - so do the values of every entry of the seven value types: a word each for Int,
    //     Float, Bool, LocStr and MovStr, text with NUL and padding for String, length word,
    //     bytes and padding for Blob (values of other type numbers are not looked at);
    //   - these pieces follow one another in table order, each entry's name before its
    //     values, without overlapping;
    //   - while attached, the text of every LocStr and MovStr slot lies in the strings area,
    //     the texts following one another in table and value order without overlapping;
    //   - the names stand in strictly ascending order.
    // A reader finds every entry of a well-formed buffer, and an XStore can change it. Every
    // buffer the library writes is well formed. With a known length the whole buffer is
    // read, in time linear in its size; a known `length` below 20 is refused without
    // reading. Null `data` is not valid.
    static bool IsValidData(const void* data, uint32_t length);
    // True when the held buffer came in the other byte order and was converted when taken.
    bool MustSwap() { return converted_; }
    // Sets the resolvers of LocStr and MovStr texts (null: none for that kind). Not owned;
    // they stay in force for every later buffer until changed.
    void SetStrResolver(XSepStrResolver* locResolver, XSepStrResolver* movResolver);

  protected:
    // The entry record named `name`, or null when it is missing or the reader is empty. The
    // record lies in the buffer; when a borrowed buffer is not 4-byte aligned, read its
    // fields with memcpy.
    XStoreEntry* Entry(const char* name);
    // GetString without resolvers: LocStr and MovStr values give their text in the strings
    // area while attached and "" once detached. For a derived store that copies texts out.
    bool GetBufferString(const char* name, const char** value, uint32_t index);
    // Converts the held buffer, whose magic reads reversed, to the native byte order in
    // place and sets the converted flag. LocStr and MovStr slots keep the writer's order.
    void Swap();

    // The buffer, or null when the reader is empty.
    uint8_t* buffer_;
    // Start of the value area and of the entry table; meaningful only while buffer_ is set.
    uint8_t* valueArea_;
    uint8_t* entryTable_;
    // Resolvers for LocStr and for MovStr texts; not owned.
    XSepStrResolver* locResolver_;
    XSepStrResolver* movResolver_;
    // The reader frees the buffer.
    bool ownsBuffer_;
    // The buffer came in the other byte order and was converted.
    bool converted_;

  private:
    // Frees the buffer if owned and forgets it.
    void Release();
    // Forgets where the values of the buffer begin, after the buffer changed.
    void ForgetValues();
    // Points the reader at `buffer`, which has passed the header checks.
    void Hold(uint8_t* buffer, bool owned);

    // Where the values of String and Blob entries begin, noted as they are first read; null
    // until then.
    std::atomic<brindle::store::ValueIndex*> values_;
};

#endif  // BRINDLE_SERIALIZATION_XSTOREREADER_H_
