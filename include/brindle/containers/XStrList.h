// SPDX-License-Identifier: MIT
// XStrList: a pointer list (XList) whose items are NUL-terminated strings.
//
// An owning list (the default) copies what AddStr gives it into malloc blocks and releases
// with free whatever it removes, empties or still holds when destroyed. A non-owning list
// holds the caller's pointers and never frees them.
//
// Every XList operation remains available and works on the pointers alone: InsertItem,
// SetItem, RemoveItem and the like neither copy nor free anything, even in an owning list.
// The string operations skip null items that such calls may have stored.
//
// Copying a list copies its strings when it owns them and its pointers when it does not, so
// no string is ever released by two lists. A copy that runs out of memory is an empty list.
// The list has no lock; it belongs to one thread at a time.
#ifndef BRINDLE_CONTAINERS_XSTRLIST_H_
#define BRINDLE_CONTAINERS_XSTRLIST_H_

#include <stdint.h>

#include "brindle/Export.h"
#include "brindle/containers/XList.h"

class BRINDLE_API XStrList : public XList {
  public:
    // An empty list with XList's default capacity of 256.
    explicit XStrList(bool ownsStrings = true);
    XStrList(const XStrList& other);
    XStrList& operator=(const XStrList& other);
    // Empties the list (freeing owned strings) and releases the array.
    ~XStrList() override;

    // Owning list: frees every string with free, from the last to the first, taking each out
    // of the count before freeing it. Otherwise: forgets every pointer.
    void Empty() override;

    // Owning list: adds a copy of s, of the whole NUL-terminated text when n is negative, or
    // of its first n bytes plus a NUL otherwise (the copy stops early at a NUL within them).
    // Non-owning list: adds s itself and ignores n. Returns the new index, or kNoIndex when s
    // is null, memory runs out or the array cannot grow (nothing is then kept).
    uint32_t AddStr(const char* s, int32_t n = -1);
    // Adds s itself. An owning list takes it over and will release it with free, so s must
    // then be a malloc block. kNoIndex, with s still the caller's, when s is null or the
    // array cannot grow.
    uint32_t AddAllocatedStr(const char* s);

    // Index of the first string, from 0 up, whose text equals s byte for byte; kNoIndex if
    // none or s is null.
    uint32_t IndexOfStr(const char* s) const;
    // Removes the first string whose text equals s, as RemoveStr by index does; false if none.
    bool RemoveStr(const char* s);
    // Removes the string at index, freeing it in an owning list; false, with nothing freed,
    // for an index outside the list.
    bool RemoveStr(uint32_t index);
    // Keeps RemoveStr(0) and other int indices from being ambiguous with the text form.
    bool RemoveStr(int index) { return RemoveStr(static_cast<uint32_t>(index)); }
    // Takes the string at index out of the list without freeing it; the caller now owns it
    // (a malloc block in an owning list). Null, with nothing changed, for an index outside
    // the list.
    char* RemoveWithoutFreeingStr(uint32_t index);
    // The string at index, still owned by the list; null for an index outside the list.
    char* GetStr(uint32_t index) const;

    bool OwnsStrings() const { return ownsStrings_; }

  private:
    // Adds copies of (or, when not owning, the pointers of) other's strings; on failure the
    // list is emptied.
    void CopyStrings(const XStrList& other);

    bool ownsStrings_;
};

#endif  // BRINDLE_CONTAINERS_XSTRLIST_H_
