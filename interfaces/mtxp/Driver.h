// The parallel batch driver: runs the parts of a problem on worker threads.
//
// Contract, per part: LoadBatch; after true, ProcessBatch before the part's
// next LoadBatch; until LoadBatch returns false; then Combine once; then the
// part is destroyed. The LoadBatch calls of all parts never overlap each
// other; ProcessBatch may overlap other parts' work; Combine and part
// destruction never overlap each other or a LoadBatch. When Driver returns,
// every part has been destroyed and every thread joined.
#pragma once

#include "vorn/Api.h"

namespace mtxp {

class VORN_API ProblemPartBase {
 public:
  virtual ~ProblemPartBase();
  // Loads the next batch; false when this part has nothing more to do.
  virtual bool LoadBatch() = 0;
  // Works on the batch that the last LoadBatch loaded.
  virtual void ProcessBatch() = 0;
  // Called once after the part's last batch.
  virtual void Combine() = 0;
};

class VORN_API ProblemBase {
 public:
  virtual ~ProblemBase();
  // Makes a new part; the caller owns it.
  virtual ProblemPartBase* MakePart() = 0;
};

// Runs `problem` with `threads` parts (at least one), one per thread. An
// exception that leaves a part operation stops further batches; every part is
// still destroyed, every thread joined, and the first such exception is raised
// again on the calling thread.
VORN_API void Driver(ProblemBase* problem, int threads);

}  // namespace mtxp
