// SPDX-License-Identifier: MIT
// The library's header, then Xlib's, in one program with xlib_first.cpp.
#include <stdio.h>
#include <string.h>

#include <brindle/brindle.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

int XlibFirst();

int main() {
    const char* display = XDisplayName(nullptr);  // the one a host would open; none is needed
    XString name(display);
    XPoint origin = {0, 0};
    const bool ok =
        XlibFirst() == 4 && origin.x == 0 && name.GetLength() == static_cast<int>(strlen(display));
    printf(ok ? "xlib host ok\n" : "xlib host failed\n");
    return ok ? 0 : 1;
}
