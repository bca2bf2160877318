// A FileSort over the rows of a data set in memory. Being part of the
// engine's tests, it reaches the sort's shared state, to set a budget below
// the floor that clients get.
#pragma once

#include "FileSort/Data.h"
#include "Oracle.h"

namespace isort::testing {

class VectorSort : public FileSort {
 public:
  // A `memoryTarget` of 0 keeps the default; any other is set as it is.
  VectorSort(const DataSet& set, Statistics* statistics, std::uint64_t memoryTarget = 0)
      : FileSort(set.keys, set.units, statistics), set_(set) {
    if (memoryTarget != 0) data->memoryTarget = memoryTarget;
  }
  // The sort's shared state.
  Data& State() { return *data; }
  const OBS* GetRow() override { return next_ == set_.RowCount() ? nullptr : set_.Row(next_++); }
  void PutRow(const OBS* row) override { output.insert(output.end(), row, row + set_.units); }

  std::vector<OBS> output;

 private:
  const DataSet& set_;
  std::size_t next_ = 0;
};

}  // namespace isort::testing
