// SPDX-License-Identifier: MIT
// Builds a flattened store from a small JSON object.
//
// Each member becomes one entry named by its key, with one value or, for an array, one value
// per element (an array must not be empty, and its elements must all be of one kind):
//
//     integer in the 32-bit signed range   Int
//     number with a fraction or exponent   Float (an array mixing both is all Float)
//     true, false                          Bool
//     "text"                               String
//     {"blob": "0a1b"}                     Blob of the bytes the hex digits give
//     {"locstr": "text"}, {"movstr": ..}   LocStr, MovStr
//     {"float": 2} or {"float": "nan"}     Float ("nan", "inf" and "-inf" name the
//                                          values JSON has no number for)
//
// Texts and names are the bytes of the JSON strings after their escapes are undone; they
// cannot hold NUL. The text that `brindle store dump --json` writes reads back to the same
// store.
#ifndef BRINDLE_TOOLS_BRINDLE_STOREJSON_H_
#define BRINDLE_TOOLS_BRINDLE_STOREJSON_H_

#include <stdint.h>

#include <string>
#include <vector>

namespace cli {

// Parses `json` and flattens the store it describes into `flat`. Returns "" on success, or
// what is wrong and where ("line 3, column 7: ...").
std::string StoreFromJson(const std::string& json, std::vector<uint8_t>* flat);

}  // namespace cli

#endif  // BRINDLE_TOOLS_BRINDLE_STOREJSON_H_
