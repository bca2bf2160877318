// The in-memory sort of one batch: an in-place quicksort of fixed-width
// records that lie end to end in one buffer.
#pragma once

#include <cstdint>

#include "isort/FileSort.h"

namespace isort {

// Sorts `n` records of `width` units starting at `records` so that `compare`
// gives 0 or less for every record against the one after it. Moves records
// only by exchanging them whole; allocates nothing. n < 2^31.
void SortRecords(OBS* records, std::uint64_t n, std::uint64_t width,
                 const FileSort::Comparator* compare);

}  // namespace isort
