// SPDX-License-Identifier: MIT
// Portable path names and the registry of directory aliases.
//
// Block files are named by portable paths: slash-separated names that begin with a slash, or
// with a directory alias, four characters between square brackets ("[APPL]/users.db") that
// stand for a registered directory. On Linux the portable form of a native path is a slash
// followed by the native path, so "/tmp/a.db" is "//tmp/a.db" and "data/x.db" is "/data/x.db".
//
// Every path buffer these functions write holds kPortablePathSize bytes. Input that would not
// fit is refused, never written past the buffer: the functions without a result then write
// an empty string, and XBlockFile::Create and XBlockFile::Open return ENAMETOOLONG.
//
// The registry fills itself on first use with one alias, "APPL" (code 0x4150504C), for the
// directory that holds the running executable. That first use may happen on several threads
// at once; registering and looking up aliases is safe from any thread at any time. Aliases
// are never removed: a code registered twice is found in its newest registration.
#ifndef BRINDLE_BLOCKFILE_PORTABLEPATH_H_
#define BRINDLE_BLOCKFILE_PORTABLEPATH_H_

#include <stddef.h>
#include <stdint.h>

#include "brindle/Export.h"

// Size in bytes of every path buffer, the terminating NUL included.
constexpr size_t kPortablePathSize = 1024;

// Writes the native form of `portable` into `native` (kPortablePathSize bytes): a leading
// alias is expanded (an alias that cannot be expanded is left as it stands), the first
// character is dropped and the rest copied. "/" and "" give "". A null or over-long
// `portable` (kPortablePathSize bytes or more) gives "".
BRINDLE_API void PortableToNativePath(const char* portable, char* native);

// Writes the portable form of `native` into `portable` (kPortablePathSize bytes): a slash,
// then `native`. "" gives "/". A null `native`, or one too long for the slash to be added,
// gives "".
BRINDLE_API void NativeToPortablePath(const char* native, char* portable);

// Writes the portable full file name of the running executable into `out`
// (kPortablePathSize bytes); "" when the system cannot tell it or it does not fit.
BRINDLE_API void GetAppPortablePath(char* out);

// Writes the portable directory of the running executable, without a trailing slash, into
// `out` (kPortablePathSize bytes); "" when it cannot be learned.
BRINDLE_API void GetAppPortableDir(char* out);

// Registers "APPL" for the executable's directory, once per process however often and from
// however many threads it is called. Every other function of the registry calls it first.
// When the directory cannot be learned, "APPL" stays unregistered.
BRINDLE_API void InitPathAliases();

// Registers `dir` (a portable path) for the four-character `code`, whose first character is
// its most significant byte. Does nothing for a null `dir` or when memory runs out.
BRINDLE_API void RegisterPathAlias(uint32_t code, const char* dir);

// The directory registered most recently for `code`, or null. The text lives as long as the
// process.
BRINDLE_API const char* FindPathAlias(uint32_t code);

// Replaces, in place, a leading alias of `path` (a kPortablePathSize-byte buffer) by its
// directory, again and again while the result begins with an alias. True when nothing is
// left to expand (also for a path that does not begin with an alias). False, with `path`
// restored to what it was on entry, when a code has no directory, when a result would need
// more than kPortablePathSize bytes, when aliases still lead to aliases after 16 rounds (a
// cycle), or when `path` is null or already over-long.
BRINDLE_API bool ExpandPathAliases(char* path);

#endif  // BRINDLE_BLOCKFILE_PORTABLEPATH_H_
