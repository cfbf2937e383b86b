// SPDX-License-Identifier: MIT
// Xlib's headers, then the library's: a desktop host may include them in either order.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <brindle/brindle.h>

// Uses Xlib's XPoint beside the library's containers.
int XlibFirst() {
    XPoint corner = {3, 4};
    XList points(0);
    points.AddItem(&corner);
    return static_cast<XPoint*>(points.GetItem(0))->y;
}
