// The standard workloads W1 to W4: deterministic rows generated on the fly,
// and a checker that proves a sorted stream of them is complete and in order.
//
// Every unit of row i is a pure function of (i, column), so rows can be
// generated in any order and the checker can rebuild any row from its id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "isort/platform.h"
#include "isort/types.h"

namespace isort::workloads {

enum class Workload { W1, W2, W3, W4 };

struct Key {
  unsigned int position;  // first unit, from 0
  int direction;          // +1 ascending, -1 descending
  unsigned int width;     // 0 numeric, else string bytes
};

struct Layout {
  const char* name;
  std::uint64_t defaultRows;
  unsigned int units;     // units per row
  std::vector<Key> keys;  // in priority order
  // The host key array (column-major positions from 1, directions, widths).
  std::vector<SI> HostKeys() const;
};

// Parses "W1".."W4" (case-insensitive); false when unknown.
bool ParseWorkload(const std::string& text, Workload* workload);
const Layout& LayoutOf(Workload workload);

// The host's system-missing value, which 5% of c6 holds.
using platform::kSystemMissing;

// Fills `row` (LayoutOf(workload).units units) with row `index`.
void GenerateRow(Workload workload, std::uint64_t index, OBS* row);

// Yields rows 0 .. rows-1 in order.
class Generator {
 public:
  Generator(Workload workload, std::uint64_t rows);
  // Fills `row` with the next row; false when all rows have been generated.
  bool Next(OBS* row);
  std::uint64_t rows() const { return rows_; }
  std::uint64_t produced() const { return next_; }
  Workload workload() const { return workload_; }

 private:
  Workload workload_;
  std::uint64_t rows_;
  std::uint64_t next_ = 0;
};

// Order-independent checksum of a multiset of rows.
std::uint64_t RowHash(const OBS* row, unsigned int units);

// Checks a sorted stream: every row is one that the generator makes (rebuilt
// from its id in unit 1), each id appears once, consecutive rows are in key
// order with equal keys in ascending id, and the count is complete.
class Checker {
 public:
  Checker(Workload workload, std::uint64_t rows);
  void Take(const OBS* row);
  // True when every row arrived exactly once and in order.
  bool Passed() const;
  // Why the check failed (empty when it passed).
  std::string Failure() const;
  std::uint64_t taken() const { return taken_; }
  std::uint64_t checksum() const { return checksum_; }
  // The checksum that all rows of the workload give.
  std::uint64_t ExpectedChecksum() const;

 private:
  void Fail(const std::string& why);

  Workload workload_;
  const Layout& layout_;
  std::uint64_t rows_;
  std::uint64_t taken_ = 0;
  std::uint64_t checksum_ = 0;
  std::vector<OBS> previous_;
  std::vector<OBS> expected_;
  std::vector<std::uint8_t> seen_;
  std::string failure_;
};

// Compares two rows by the layout's keys (strings as unsigned bytes), then by
// id; negative, 0 or positive.
int CompareRows(const Layout& layout, const OBS* a, const OBS* b);

}  // namespace isort::workloads
