#include "FileSort/Data.h"

#include <cmath>
#include <set>

#include "FileSort/Sorter.h"

FileSort::Data::Data(const std::vector<FileSort::SortKey>& keys, unsigned int rowUnits,
                     FileSort::Statistics* statistics, FileSort* owner)
    : rowUnits(rowUnits),
      owner(owner),
      splitter(isort::PlacedKeys(keys, rowUnits), rowUnits),
      comparator(isort::PlacedKeys(keys, rowUnits)),
      statistics(statistics) {}

FileSort::Data::~Data() {
  for (WorkFile* file : workFiles) delete file;
}

mtxp::ProblemPartBase* FileSort::Data::MakePart() { return new Sorter(this); }

std::uint64_t FileSort::Data::PayloadBytesPerRow(std::uint64_t beforeAnyRow) const {
  if (rowsLoaded == 0.0) return beforeAnyRow;
  return static_cast<std::uint64_t>(std::ceil(packedBytes / rowsLoaded));
}

std::uint64_t FileSort::Data::BatchSize(std::uint64_t bytes) const {
  // Until a batch has been loaded, a payload is taken at its raw size.
  const auto payloadEstimate =
      static_cast<std::uint32_t>(PayloadBytesPerRow(splitter.payloadUnits * 8));
  const std::uint32_t rowCost = payloadEstimate + splitter.keyUnits * 8 + 8;
  return bytes / rowCost;
}

FileSort::WorkFile* FileSort::Data::NewWorkFile() {
  workFiles.reserve(workFiles.size() + 1);
  WorkFile* file = new WorkFile("sort");
  workFiles.push_back(file);
  return file;
}

void FileSort::Data::ClearWorkfiles() {
  // A sorter writes all its runs into one file and a pass may take only some
  // of them: a file that a waiting run lies in must keep Data's handle, which
  // that run will copy when its pass comes.
  std::set<const WorkFile*> holdingWaitingRuns;
  for (const Sequence& run : sequences) holdingWaitingRuns.insert(run.file);
  std::size_t index = 0;
  while (index < workFiles.size()) {
    WorkFile* file = workFiles[index];
    if (file->IsShared() && holdingWaitingRuns.count(file) == 0) {
      delete file;
      workFiles.erase(workFiles.begin() + static_cast<std::ptrdiff_t>(index));
    } else {
      ++index;
    }
  }
}

void FileSort::Data::RecordOutOfMemory() { outOfMemory.store(true); }

void FileSort::Data::RecordError(const ErrorText& error) {
  try {
    std::lock_guard<std::mutex> hold(errorLock);
    errorText = error;
  } catch (const std::bad_alloc&) {
    // Not even the error's text could be kept.
    outOfMemory.store(true);
    return;
  }
  failed.store(true);
}
