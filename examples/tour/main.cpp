// SPDX-License-Identifier: MIT
// A short host program that uses each subsystem of the library and prints what it did.
#include <stdio.h>

#include "Tour.h"

int main() {
    printf("Brindle tour\n");
    TourContainers();
    TourStrings();
    TourStore();
    TourMutableStore();
    TourStreams();
    TourBlockFile();
    TourConcurrency();
    TourSharedObjects();
    TourNetwork();
    printf("\ntour complete\n");
    return 0;
}
