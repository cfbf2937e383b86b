// A short host program that uses each subsystem of the library and prints what it did.
#include <stdio.h>

#include "Tour.h"

int main() {
    printf("Brindle tour\n");
    TourContainers();
    TourStrings();
    TourConcurrency();
    printf("tour complete\n");
    return 0;
}
