// A standard workload as a sort's input and its checker as the output, for
// both ways a host sorts: FileSort, and sortfile_'s two callbacks.
#pragma once

#include <cstdint>
#include <vector>

#include "isort/FileSort.h"
#include "isort/sortfile.h"
#include "workloads/Workloads.h"

namespace isort::workloads {

inline std::vector<FileSort::SortKey> EngineKeys(Workload workload) {
  std::vector<FileSort::SortKey> keys;
  for (const Key& key : LayoutOf(workload).keys) {
    keys.push_back({key.position, key.direction, key.width});
  }
  return keys;
}

// Rows from the generator in; each row out goes to the checker.
class WorkloadSort : public FileSort {
 public:
  WorkloadSort(Workload workload, std::uint64_t rows, Statistics* statistics = nullptr)
      : FileSort(EngineKeys(workload), LayoutOf(workload).units, statistics),
        checker(workload, rows),
        generator(workload, rows),
        row_(LayoutOf(workload).units) {}

  const OBS* GetRow() override { return generator.Next(row_.data()) ? row_.data() : nullptr; }
  void PutRow(const OBS* sorted) override { checker.Take(sorted); }

  Checker checker;
  Generator generator;

 private:
  std::vector<OBS> row_;
};

// The host side of sortfile_: context for the two callbacks below.
struct WorkloadHost {
  Generator generator;
  Checker checker;
  std::uint64_t refuseAt = UINT64_MAX;  // the put callback fails at this row
  LOGICAL flag10 = 1;                   // sortfile_'s arguments 10 and 11
  INTEGER count11 = 1;

  WorkloadHost(Workload workload, std::uint64_t rows)
      : generator(workload, rows), checker(workload, rows) {}

  static INTEGER Get(void* context, OBS* row, const INTEGER&) {
    return static_cast<WorkloadHost*>(context)->generator.Next(row) ? 0 : 1;
  }
  static INTEGER Put(void* context, const OBS* row, const INTEGER&) {
    auto& host = *static_cast<WorkloadHost*>(context);
    if (host.checker.taken() == host.refuseAt) return -5;
    host.checker.Take(row);
    return 0;
  }

  // Sorts all rows through sortfile_ and returns its status.
  INTEGER Sort() {
    const Layout& layout = LayoutOf(generator.workload());
    const std::vector<SI> keys = layout.HostKeys();
    const INTEGER nvars = layout.units;
    const auto nukeys = static_cast<INTEGER>(layout.keys.size());
    const INTEGER unused = 0;
    return sortfile_(this, &Get, &Put, nvars, keys.data(), nukeys, unused, unused, unused,
                     flag10, count11);
  }
};

}  // namespace isort::workloads
