// isort sort: sorts a CSV file of any size by one or more columns, through the
// engine, in bounded memory.
#pragma once

#include <cstdint>
#include <string>

#include "Progress.h"

namespace isort::app {

struct CsvSortOptions {
  std::string keys;          // --by "age:desc,name,3"; empty: every column in order
  std::uint64_t memory = 0;  // --memory; 0: the engine's default budget
  unsigned int threads = 0;  // --threads; 0: the processors available
  std::string tmpdir;        // --tmpdir; empty: TMPDIR, else /tmp
  std::string output;        // -o; empty: standard output
  std::string input = "-";   // a file name, or "-" for standard input
};

// Exit statuses of isort sort.
enum CsvSortStatus {
  kSorted = 0,
  kBadInput = 2,     // the input is not CSV as expected, or a key column is unknown
  kCannotSort = 3,   // reading, writing or sorting failed (I/O, memory)
};

// Sorts as `options` say; reports failures on standard error as
// "isort: FILE:LINE: what" and returns a CsvSortStatus.
int SortCsv(const CsvSortOptions& options, Progress& progress);

}  // namespace isort::app
