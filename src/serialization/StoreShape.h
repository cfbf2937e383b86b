// SPDX-License-Identifier: MIT
// Checks a whole flattened store buffer, in time linear in its size.
//
// A buffer is well formed when everything it describes lies inside it, once:
//   - each entry's name ends (NUL and padding included) inside the value area, which runs
//     from the end of the entry table to the strings offset (or to the total size while the
//     strings are detached);
//   - the values of each entry of a known type lie inside the value area: Int, Float, Bool,
//     LocStr and MovStr one word each, each String its text with NUL and padding, each Blob
//     its length word, bytes and padding;
//   - these pieces follow one another in table order, each entry's name before its values,
//     without overlapping;
//   - while the strings are attached, the text of every LocStr and MovStr slot lies inside
//     the strings area, and the texts follow one another in table and value order without
//     overlapping;
//   - the names stand in strictly ascending byte order.
// The values of an entry with no values, or of a type the library does not know, are not
// looked at. What such a buffer holds is at most its size in names, values and texts, so
// copying it out costs no more than the buffer itself.
#ifndef BRINDLE_SERIALIZATION_STORESHAPE_H_
#define BRINDLE_SERIALIZATION_STORESHAPE_H_

#include <stdint.h>

namespace brindle {
namespace store {

enum class Shape {
    kMalformed,  // some piece lies outside its area or overlaps another
    kUnsorted,   // every piece is sound, but the names are not strictly ascending
    kWellFormed,
};

// Checks `buffer`, whose header has passed HeaderIsSound. `wordsReversed`: the buffer is in
// the other byte order and not converted; `slotsReversed`: its LocStr and MovStr slots are
// (as they stay after conversion).
Shape CheckShape(const uint8_t* buffer, bool wordsReversed, bool slotsReversed);

}  // namespace store
}  // namespace brindle

#endif  // BRINDLE_SERIALIZATION_STORESHAPE_H_
