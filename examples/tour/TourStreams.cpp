// SPDX-License-Identifier: MIT

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <brindle/brindle.h>

#include "Tour.h"

void TourStreams() {
    printf("\n== streams ==\n");
    XOutput out;
    out.WriteInt(2026);
    out.WriteStr("brindle");
    out.WriteBool(1);
    uint32_t len = 0;
    void* data = out.GetData(&len);
    XInput in(data, len);
    uint32_t year = in.ReadInt();
    const char* name = in.ReadStr();
    bool flag = in.ReadBool();
    printf("XOutput wrote %u bytes; XInput read back %u, \"%s\", %s (overrun: %s)\n", len, year,
           name, flag ? "true" : "false", in.Overrun() ? "yes" : "no");

    XStrStream text;
    text.WriteStr("pi is about ");
    text.WriteFloat(3.14159f);
    text.WriteStr(", 255 is ");
    text.WriteHex(255);
    char* taken = text.RetreiveBuffer_NF(nullptr);
    printf("XStrStream built: %s\n", taken);
    free(taken);

    XAKeyBlob set;
    set.SetBlob("zeta", "last", 4);
    set.SetBlob("alpha", "first", 5);
    uint32_t flatSize = 0;
    void* flat = set.GetData(&flatSize);
    XAKeyBlob back;
    back.SetData(flat, flatSize);
    printf("XAKeyBlob flattened %u blobs into %u bytes and read back:\n", set.BlobCount(),
           flatSize);
    for (uint32_t i = 0; i < back.BlobCount(); ++i) {
        uint32_t size = 0;
        const char* blob = static_cast<const char*>(back.GetIndBlob(i, &size));
        printf("  %s = %.*s\n", back.GetIndBlobName(i), static_cast<int>(size), blob);
    }
}
