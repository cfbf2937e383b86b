// SPDX-License-Identifier: MIT
// A minimal host: includes the umbrella header and calls into the installed library.
#include <stdio.h>

#include <brindle/brindle.h>

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
