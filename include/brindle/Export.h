// SPDX-License-Identifier: MIT
// Symbol visibility for the shared library.
//
// The library is built with hidden visibility: only declarations marked BRINDLE_API are
// exported from libbrindle.so. Hosts include this header indirectly and need not care.
#ifndef BRINDLE_EXPORT_H_
#define BRINDLE_EXPORT_H_

#define BRINDLE_API __attribute__((visibility("default")))

#endif  // BRINDLE_EXPORT_H_
