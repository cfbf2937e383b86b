// SPDX-License-Identifier: MIT

#include <stdio.h>
#include <stdlib.h>

#include <brindle/brindle.h>

#include "Tour.h"

void TourMutableStore() {
    printf("\n== mutable store ==\n");
    XStore store;
    store.AddString("title", "Brindle");
    store.AddInt("port", 8080);
    store.AddInt("port", 8081);
    store.AddFloat("ratio", 0.75f);
    store.AddBool("secure", true);
    const unsigned char key[] = {0xDE, 0xAD, 0xBE, 0xEF};
    store.AddBlob("key", key, sizeof key);
    store.AddLocStr("greeting", "hello");
    store.SetInt("port", 9090, 1);
    printf("built %u entries in %u changes\n", store.EntryCount(), store.GetVersion());

    uint32_t size = 0;
    void* flat = store.GetData_NF(&size);
    if (flat == nullptr)
        return;
    printf("flattened to %u bytes\n", size);

    XStoreReader reader;
    reader.SetAllocatedData(flat);
    for (uint32_t i = 0; i < reader.EntryCount(); ++i) {
        XStoreType type = XStoreTypeNone;
        const char* name = reader.IndEntry(i, &type);
        printf("  %-8s type %d, %u value(s)\n", name, static_cast<int>(type),
               reader.ValueCount(name));
    }
    printf("read back: title '%s', ports %d and %d, greeting '%s', key of %d bytes\n",
           reader.ReadString("title", "?", 0), reader.ReadInt("port", 0, 0),
           reader.ReadInt("port", 0, 1), reader.ReadString("greeting", "?", 0),
           reader.GetBlobLen("key", 0));
}
