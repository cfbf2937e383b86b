// SPDX-License-Identifier: MIT
// The tour visits each subsystem in turn; each visit prints what it did.
#ifndef BRINDLE_EXAMPLES_TOUR_TOUR_H_
#define BRINDLE_EXAMPLES_TOUR_TOUR_H_

void TourContainers();
void TourStrings();
void TourStore();
void TourMutableStore();
void TourStreams();
void TourBlockFile();
void TourConcurrency();
void TourSharedObjects();
void TourNetwork();

#endif  // BRINDLE_EXAMPLES_TOUR_TOUR_H_
