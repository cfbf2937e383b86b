// SPDX-License-Identifier: MIT
// XRect: a plain rectangle of four 32-bit edges.
#ifndef BRINDLE_CONTAINERS_XRECT_H_
#define BRINDLE_CONTAINERS_XRECT_H_

#include <stdint.h>

#include "brindle/Export.h"

struct BRINDLE_API XRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;

    // Copies all four fields in order and returns this rectangle.
    XRect& operator=(const XRect& other) = default;
};

#endif  // BRINDLE_CONTAINERS_XRECT_H_
