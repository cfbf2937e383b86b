// SPDX-License-Identifier: MIT
// Symbol visibility for the shared library, and the one helper the headers share.
//
// The library is built with hidden visibility: only declarations marked BRINDLE_API are
// exported from libbrindle.so. Hosts include this header indirectly and need not care.
#ifndef BRINDLE_EXPORT_H_
#define BRINDLE_EXPORT_H_

#define BRINDLE_API __attribute__((visibility("default")))

namespace brindle {

// Where a function takes the caller's bytes as `void*` but only reads them (XOutput::Write,
// XSocketHandler::SendData and others), a template overload beside it takes any pointer to
// const (a string literal, a `const char*`, `std::string::data()`) and passes it on through
// this cast. The overload is a template so that a null pointer constant (`nullptr`, `NULL`,
// `0`) still picks the `void*` function, as it always has.
inline void* ReadOnlyBytes(const void* bytes) {
    return const_cast<void*>(bytes);
}

}  // namespace brindle

#endif  // BRINDLE_EXPORT_H_
