// SPDX-License-Identifier: MIT

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <brindle/brindle.h>

#include "Tour.h"

void TourBlockFile() {
    printf("\n== block file ==\n");
    const char* path = "[APPL]/tour.db";
    char native[kPortablePathSize];
    PortableToNativePath(path, native);
    remove(native);  // a block file is never created over an existing one
    if (XBlockFile::Create(path) != 0) {
        printf("cannot create %s\n", native);
        return;
    }
    printf("created %s as %s\n", path, native);

    XBlockFile file;
    file.Open(path, false);
    const char* words[] = {"alpha", "beta, a little longer", "gamma"};
    for (uint32_t id = 1; id <= 3; ++id)
        file.WriteBlock(id * 10, words[id - 1], static_cast<uint32_t>(strlen(words[id - 1])));
    uint32_t fresh = file.UniqueID();
    file.WriteBlock(fresh, "unique", 6);
    printf("wrote %u blocks (one under the fresh ID %u)\n", file.BlockCount(), fresh);

    char buf[64];
    int32_t got = file.ReadBlock(20, buf, sizeof buf - 1);
    buf[got < 0 ? 0 : got] = '\0';
    printf("block 20 holds \"%s\" (%d bytes)\n", buf, file.BlockLen(20));

    file.DeleteBlock(10);
    printf("deleted block 10; %u blocks left\n", file.BlockCount());
    file.Compact(false);
    for (uint32_t pos = 0; pos < file.BlockCount(); ++pos) {
        uint32_t id = 0;
        file.GetIndBlockID(pos, &id);
        uint32_t len = 0;
        char* data = static_cast<char*>(file.ReadIndBlock_NF(pos, &len));
        printf("  after compaction: block %u = \"%.*s\"\n", id, static_cast<int>(len),
               data != nullptr ? data : "");
        free(data);
    }
    file.Close();

    XBlockFile reader;
    int32_t opened = reader.Open(path, true);
    printf("reopened read-only: %s, %u blocks\n", opened == 0 ? "ok" : "failed",
           reader.BlockCount());
}
