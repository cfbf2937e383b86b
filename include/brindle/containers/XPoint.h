// SPDX-License-Identifier: MIT
// XPoint: a plain pair of 32-bit coordinates.
#ifndef BRINDLE_CONTAINERS_XPOINT_H_
#define BRINDLE_CONTAINERS_XPOINT_H_

#include <stdint.h>

#include "brindle/Export.h"

struct BRINDLE_API XPoint {
    int32_t x;
    int32_t y;

    // Copies both fields in order and returns this point.
    XPoint& operator=(const XPoint& other) = default;
};

#endif  // BRINDLE_CONTAINERS_XPOINT_H_
