// SPDX-License-Identifier: MIT
// XSepStrRecorder: keeps the separated texts that a store reader detaches.
//
// XStoreReader::DetachStrings hands every LocStr or MovStr text of its buffer to the recorder
// of that kind, once per value, and writes the id that Record returns into the value's slot.
// A host derives from this class to keep the texts somewhere of its own; the base keeps
// nothing. Record runs on the thread that called DetachStrings.
#ifndef BRINDLE_SERIALIZATION_XSEPSTRRECORDER_H_
#define BRINDLE_SERIALIZATION_XSEPSTRRECORDER_H_

#include <stdint.h>

#include "brindle/Export.h"

class BRINDLE_API XSepStrRecorder {
  public:
    XSepStrRecorder() = default;
    XSepStrRecorder(const XSepStrRecorder&) = default;
    XSepStrRecorder& operator=(const XSepStrRecorder&) = default;
    virtual ~XSepStrRecorder();

    // Keeps `text` (valid only during the call) and returns the id under which a resolver
    // will find it again. The base keeps nothing and returns 0.
    virtual uint32_t Record(const char* text);
};

#endif  // BRINDLE_SERIALIZATION_XSEPSTRRECORDER_H_
