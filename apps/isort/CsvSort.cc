#include "CsvSort.h"

#include <cstdio>

namespace isort::app {

int SortCsv(const CsvSortOptions&, Progress&) {
  std::fprintf(stderr, "isort: sort is not built yet\n");
  return kCannotSort;
}

}  // namespace isort::app
