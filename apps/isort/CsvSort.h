// isort sort: sorts a CSV file of any size by one or more columns, through the
// engine, in bounded memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Progress.h"

namespace isort::app {

struct CsvSortOptions {
  std::vector<std::string> keys;     // --by lists; none: every column in order
  bool reverse = false;              // -r
  std::vector<std::string> missing;  // --missing texts
  char delimiter = ',';              // -t
  bool noHeader = false;             // --no-header
  std::uint64_t memory = 0;  // --memory; 0: the engine's default budget
  unsigned int threads = 0;  // --threads; 0: the processors available
  std::string tmpdir;        // --tmpdir; empty: TMPDIR, else /tmp
  std::string output;        // -o; empty: standard output
  std::string input = "-";   // a file name, or "-" for standard input
};

// Exit statuses of isort sort.
enum CsvSortStatus {
  kSorted = 0,
  kBadInput = 2,     // the input is not CSV as expected, a key column is unknown, or
                     // a :num column holds something else
  kCannotSort = 3,   // reading, writing or sorting failed (I/O, memory, a record
                     // longer than the budget allows)
};

// Sorts as `options` say; reports failures on standard error as
// "isort: FILE:LINE: what" and returns a CsvSortStatus.
int SortCsv(const CsvSortOptions& options, Progress& progress);

}  // namespace isort::app
