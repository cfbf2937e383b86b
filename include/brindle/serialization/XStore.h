// SPDX-License-Identifier: MIT
// XStore: a store that can be changed and flattened again.
//
// An XStore reads a flattened buffer exactly as XStoreReader does until its first change.
// The first change unflattens the buffer into an editable form, a sorted list of named
// XStoreRecords; from then on every read and change goes to the editable form, and
// GetData_NF flattens it into a new buffer (native byte order, separated strings attached,
// pad bytes zeroed). Taking a buffer (SetData, SetAllocatedData, SetEmpty) drops the
// editable form and every change not yet flattened.
//
// Every change either succeeds completely or fails and changes nothing: running out of
// memory while copying an argument, growing a value list or building the editable form makes
// the change return false. Texts and blobs passed in are always copied; the caller's
// arguments are never taken over.
//
// A version counter counts changes: +1 for every SetData, SetAllocatedData and SetEmpty, for
// every successful Add or Set function and RemoveValue, and for every RemoveEntry once the
// editable form exists (a missing name included). Failed changes, reads and flattening leave
// it alone. It is 32-bit and wraps to 0.
//
// Unflattening keeps every entry of the buffer, in name order: one of a type number the
// library does not know keeps its count but no values (flattened, it is written with count
// 0), and one without values takes new ones like any other. Names out of order are sorted. A
// LocStr or MovStr text of a buffer whose strings were detached becomes the text its
// resolver gives (SetStrResolver), or "" without one.
//
// Untrusted buffers: a store unflattens only a buffer that it can copy out whole, at a cost
// linear in its size: one in which every name, value and separated text lies inside the
// buffer, the pieces follow one another in table order without overlapping, and no name is
// repeated (XStoreReader::IsValidData, which also wants the names in order, describes the
// rules). Any other buffer is read exactly as XStoreReader reads it, and every change fails
// (returns false, counts no version), since it could not keep the buffer's entries. So the
// editable form never holds more than the buffer did, and flattening it without changes
// gives at most the buffer's size (plus, for detached texts, what the resolvers give).
//
// Building and lookups: a changed store finds a name by one probe of a hash index over all
// its names (made at the first lookup after unflattening). Names added since name order was
// last needed (IndEntry, GetData_NF, RemoveEntry and RemoveValue of a last value) are sorted
// then all at once, so building a store of N names costs O(N log N), in any order of names.
//
// Not copyable: copying a store is refused rather than done half-way.
//
// No lock: even reads change the editable form (it sorts itself lazily and remembers its last
// hit), so every call on one store must be serialised by the caller.
#ifndef BRINDLE_SERIALIZATION_XSTORE_H_
#define BRINDLE_SERIALIZATION_XSTORE_H_

#include <stdint.h>

#include "brindle/Export.h"
#include "brindle/serialization/XStoreReader.h"
#include "brindle/serialization/XStoreRecord.h"

namespace brindle {
namespace store {
class EditableForm;
}  // namespace store
}  // namespace brindle

class BRINDLE_API XStore : public XStoreReader {
  public:
    // Takes `data` as XStoreReader does; version 0, no editable form.
    XStore(const void* data = 0, bool copy = true);
    XStore(const XStore&) = delete;
    XStore& operator=(const XStore&) = delete;
    ~XStore() override;

    // Drops the editable form, takes `data` as XStoreReader::SetData does, and counts a
    // version. SetAllocatedData comes here through the virtual slot.
    void SetData(const void* data, bool copy) override;
    // SetData(0, true): the store is empty.
    void SetEmpty();
    uint32_t GetVersion() const { return version_; }
    void ResetVersion() { version_ = 0; }

    // With an editable form, a new malloc buffer holding it flattened, in name order; without
    // one, a copy of the held buffer (or an empty store). `*size` (when not null) receives the
    // size before the allocation is tried. Null when memory runs out, or when the store would
    // not fit in 4 GiB (then `*size` is 0). The caller frees the result.
    void* GetData_NF(uint32_t* size) override;
    // Does nothing: a store never detaches its separated strings.
    void DetachStrings(XSepStrRecorder* locRecorder, XSepStrRecorder* movRecorder) override;

    // Reads, from the editable form when there is one, else from the held buffer. In the
    // editable form, LocStr and MovStr values hold their texts and no resolver is asked.
    uint32_t EntryCount() override;
    const char* IndEntry(uint32_t index, XStoreType* type) override;
    uint32_t ValueCount(const char* name) override;
    XStoreType EntryType(const char* name) override;
    bool GetInt(const char* name, int32_t* value, uint32_t index) override;
    bool GetFloat(const char* name, float* value, uint32_t index) override;
    bool GetBool(const char* name, bool* value, uint32_t index) override;
    bool GetString(const char* name, const char** value, uint32_t index) override;
    bool GetBlob(const char* name, const void** data, uint32_t* length, uint32_t index) override;

    // Add functions append one value to the entry `name`, creating it when missing; they fail
    // when the entry has another type. Set functions replace value `index`; on a missing entry
    // index 0 creates it, and they fail for an index at or beyond the value count or another
    // type. A null name or text, or null blob data with a length above 0, fails.
    bool AddInt(const char* name, int32_t value);
    bool SetInt(const char* name, int32_t value, uint32_t index);
    bool AddFloat(const char* name, float value);
    bool SetFloat(const char* name, float value, uint32_t index);
    bool AddBool(const char* name, bool value);
    bool SetBool(const char* name, bool value, uint32_t index);
    bool AddString(const char* name, const char* text);
    bool SetString(const char* name, const char* text, uint32_t index);
    bool AddLocStr(const char* name, const char* text);
    bool SetLocStr(const char* name, const char* text, uint32_t index);
    bool AddMovStr(const char* name, const char* text);
    bool SetMovStr(const char* name, const char* text, uint32_t index);
    // Blobs of up to 0xFFFFFFFB bytes (the length word must fit beside them).
    bool AddBlob(const char* name, const void* data, uint32_t length);
    bool SetBlob(const char* name, const void* data, uint32_t length, uint32_t index);

    // Removes the entry with all its values. Counts a version even when the name is missing
    // (and then returns false), provided the editable form exists or can be made.
    virtual bool RemoveEntry(const char* name);
    // Removes value `index`; later values move down one index. Removing the last value
    // removes the entry. False for a missing name or index.
    virtual bool RemoveValue(const char* name, uint32_t index);

  protected:
    // The shared steps of the functions above. `value` carries the 32-bit word for Int,
    // Float and Bool and otherwise a malloc text or blob block, which the store owns once the
    // call succeeds (and the caller still owns when it fails).
    bool AddVal(const char* name, XStoreType type, void* value);
    bool SetVal(const char* name, XStoreType type, void* value, uint32_t index);
    // Value `index` of an entry of exactly `type`, in the same form.
    bool GetVal(const char* name, XStoreType type, void** value, uint32_t index);
    // Builds the editable form from the held buffer. Leaves the store as it was (no
    // editable form) when the buffer cannot be unflattened whole or memory runs out.
    void Unflatten();

  private:
    // Makes sure the editable form exists; false when it cannot be made.
    bool MakeEditable();
    // GetVal of an Int, Float or Bool value, as its word.
    bool GetWord(const char* name, XStoreType type, uint32_t* word, uint32_t index);
    // The editable record of `name`, or null.
    XStoreRecord* FindRecord(const char* name);
    // Add or Set of a value the store has just copied, freeing the copy when that fails.
    bool StoreCopy(const char* name, XStoreType type, void* copy, bool append, uint32_t index);

    // The editable form, or null while the store reads its buffer.
    brindle::store::EditableForm* editable_;
    uint32_t version_;
};

#endif  // BRINDLE_SERIALIZATION_XSTORE_H_
