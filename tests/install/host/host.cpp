// SPDX-License-Identifier: MIT
// A minimal host: includes the umbrella header and calls into the installed library.
#include <stdio.h>

#include <brindle/brindle.h>

// The umbrella header leaves out what a host includes only on purpose: the test hooks, and
// the geometry types, whose names Xlib uses too.
#if defined(BRINDLE_DEBG_H_) || defined(BRINDLE_CONTAINERS_XPOINT_H_) || \
    defined(BRINDLE_CONTAINERS_XRECT_H_)
#error "brindle/brindle.h includes Debg.h, XPoint.h or XRect.h"
#endif

int main() {
    XList list(0);
    int value = 7;
    XLocker lock;
    lock.Lock();
    bool ok = list.AddItem(&value) == 0 && lock.IsLocked() && OSBootTime() > 0;
    lock.Unlock();
    printf(ok ? "host ok\n" : "host failed\n");
    return ok ? 0 : 1;
}
