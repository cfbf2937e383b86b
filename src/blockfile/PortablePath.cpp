// SPDX-License-Identifier: MIT

#include "brindle/blockfile/PortablePath.h"

#include <string.h>

#include "blockfile/FileCalls.h"
#include "blockfile/PathConversion.h"

namespace {

// Copies `from` into `to`, turning every `separator` into `replacement`, with the NUL.
void CopyReplacing(const char* from, char* to, char separator, char replacement) {
    for (; *from != '\0'; ++from, ++to)
        *to = *from == separator ? replacement : *from;
    *to = '\0';
}

}  // namespace

namespace brindle {

bool ConvertPortableToNative(const char* portable, char* native) {
    if (portable == nullptr || strnlen(portable, kPortablePathSize) == kPortablePathSize) {
        native[0] = '\0';
        return false;
    }
    char work[kPortablePathSize];
    if (portable[0] == '[') {
        strcpy(work, portable);
        // A failed expansion leaves the path as it was; it is converted as it stands.
        ExpandPathAliases(work);
        portable = work;
    }
    if (portable[0] == '\0') {
        native[0] = '\0';
        return true;
    }
    CopyReplacing(portable + 1, native, '/', kNativeSeparator);
    return true;
}

}  // namespace brindle

void PortableToNativePath(const char* portable, char* native) {
    if (native != nullptr)
        brindle::ConvertPortableToNative(portable, native);
}

void NativeToPortablePath(const char* native, char* portable) {
    if (portable == nullptr)
        return;
    // Room is needed for the leading slash and the NUL.
    if (native == nullptr || strnlen(native, kPortablePathSize - 1) == kPortablePathSize - 1) {
        portable[0] = '\0';
        return;
    }
    portable[0] = '/';
    CopyReplacing(native, portable + 1, brindle::kNativeSeparator, '/');
}

void GetAppPortablePath(char* out) {
    if (out == nullptr)
        return;
    char native[kPortablePathSize];
    if (!brindle::GetExecutableName(native, sizeof native)) {
        out[0] = '\0';
        return;
    }
    NativeToPortablePath(native, out);
}

void GetAppPortableDir(char* out) {
    if (out == nullptr)
        return;
    GetAppPortablePath(out);
    char* lastSlash = strrchr(out, '/');
    if (lastSlash != nullptr)
        *lastSlash = '\0';
}
