// SPDX-License-Identifier: MIT
// XSepStrResolver: turns the ids of separated texts back into texts.
//
// A reader given a resolver (XStoreReader::SetStrResolver) asks it for the text of every
// LocStr or MovStr value of its kind that GetString reads, passing the value's slot as it is
// stored: the id a recorder gave once the strings are detached, or the offset into the
// strings area while they are attached. A host derives from this class; the base knows no
// texts. Resolve runs on the thread that called GetString.
#ifndef BRINDLE_SERIALIZATION_XSEPSTRRESOLVER_H_
#define BRINDLE_SERIALIZATION_XSEPSTRRESOLVER_H_

#include <stdint.h>

#include "brindle/Export.h"

class BRINDLE_API XSepStrResolver {
  public:
    XSepStrResolver() = default;
    XSepStrResolver(const XSepStrResolver&) = default;
    XSepStrResolver& operator=(const XSepStrResolver&) = default;
    virtual ~XSepStrResolver();

    // The text recorded under `id`. The reader hands whatever this returns, null included, to
    // its caller unchanged, so it must stay valid as long as the caller may use it. The base
    // returns the empty string "" for every id.
    virtual const char* Resolve(uint32_t id);
};

#endif  // BRINDLE_SERIALIZATION_XSEPSTRRESOLVER_H_
