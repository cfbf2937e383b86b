// SPDX-License-Identifier: MIT
// Path conversion with a result, for the block file's own use.
#ifndef BRINDLE_BLOCKFILE_PATHCONVERSION_H_
#define BRINDLE_BLOCKFILE_PATHCONVERSION_H_

namespace brindle {

// PortableToNativePath that tells whether it succeeded: false (with `native` set to "") for a
// null or over-long `portable`.
bool ConvertPortableToNative(const char* portable, char* native);

}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_PATHCONVERSION_H_
