// SPDX-License-Identifier: MIT

#include <stdio.h>

#include <brindle/brindle.h>

#include "Tour.h"

void TourContainers() {
    printf("\n== containers ==\n");
    static const char* kWords[] = {"alpha", "beta", "gamma"};
    XList list(0);
    for (const char* word : kWords)
        list.AddItem(const_cast<char*>(word));
    list.InsertItem(const_cast<char*>("first"), 0);
    printf("XList holds %u items, 'beta' at index %u\n", list.Count(),
           list.IndexOf(const_cast<char*>(kWords[1])));
    list.DoForEach(
        [](const void* item, void*) { printf("  %s\n", static_cast<const char*>(item)); }, nullptr);
}
