// FileSort::Splitter: takes rows apart into a key part (the key fields in key
// order) and a payload part (every other unit in row order), and joins them
// again. The plan is computed once from the key list and the row width.
#pragma once

#include <vector>

#include "isort/FileSort.h"

class ISORT_NO_EXPORT FileSort::Splitter {
 public:
  // One block move: `count` units starting at row unit `position`.
  struct MoveUnit {
    unsigned int position;
    unsigned int count;
  };

  Splitter(const std::vector<FileSort::SortKey>& keys, unsigned int rowUnits);

  // Gathers the key fields of `row` into `keyPart` and the other units into
  // `payload`.
  void Split(const OBS* row, OBS* keyPart, OBS* payload) const;
  // Scatters a key part and a payload back into `row`.
  void Join(const OBS* keyPart, const OBS* payload, OBS* row) const;

  // Copies the blocks of `plan` from `row` to `to`, end to end.
  void SplitCopy(const OBS* row, OBS* to, const std::vector<MoveUnit>& plan) const;
  // Copies consecutive units of `from` to the blocks of `plan` in `row`.
  void JoinCopy(const OBS* from, OBS* row, const std::vector<MoveUnit>& plan) const;

  unsigned int keyUnits;
  unsigned int payloadUnits;
  std::vector<MoveUnit> keyPlan;      // one block per placed key, in key order
  std::vector<MoveUnit> payloadPlan;  // maximal unclaimed runs, in row order
};
