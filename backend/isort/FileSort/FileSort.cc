#include "isort/FileSort.h"

#include <algorithm>
#include <new>

#include "FileSort/Data.h"
#include "FileSort/Stopwatch.h"
#include "host/HostServices.h"
#include "mtxp/Driver.h"

FileSort::Stopwatch::Stopwatch(int* first, int* second)
    : firstTarget(first), secondTarget(second) {
  timtot_(&firstStart, &secondStart);
}

FileSort::Stopwatch::~Stopwatch() {
  std::int64_t first;
  std::int64_t second;
  timtot_(&first, &second);
  if (firstTarget != nullptr) {
    *firstTarget = static_cast<std::int32_t>(static_cast<std::uint32_t>(first) -
                                             static_cast<std::uint32_t>(firstStart));
  }
  if (secondTarget != nullptr) {
    *secondTarget = static_cast<std::int32_t>(static_cast<std::uint32_t>(second) -
                                              static_cast<std::uint32_t>(secondStart));
  }
}

FileSort::FileSort(const std::vector<SortKey>& keys, unsigned int rowUnits,
                   Statistics* statistics)
    : data(nullptr) {
  data = new Data(keys, rowUnits, statistics, this);
}

FileSort::~FileSort() { delete data; }

void FileSort::SetNRows(long long rows) { data->rowCount = rows; }

void FileSort::SetMemoryTarget(unsigned long bytes) {
  data->memoryTarget = std::max<std::uint64_t>(bytes, Data::kDefaultMemoryTarget);
}

namespace {

// The threads the host allows, at most one per core, and never fewer than two
// (one loads while the other sorts).
unsigned int ChooseThreads() {
  const auto allowed = static_cast<unsigned int>(getthreads_());
  const unsigned int cores = getPhysicalCPUCount() * getCoresPerPhysicalCPUCount();
  const unsigned int threads = std::min(allowed, cores);
  return threads <= 1 ? 2 : threads;
}

}  // namespace

void FileSort::Sort() {
  unsigned int threads = ChooseThreads();
  // A sort known to fit in memory needs no second thread.
  const std::uint64_t fullSize = std::uint64_t{static_cast<unsigned int>(data->rowUnits + 1)} *
                                 static_cast<std::uint64_t>(data->rowCount) * 8;
  if (data->rowCount >= 0 && data->memoryTarget > fullSize) threads = 1;
  data->threadCount = threads;

  int timeA = 0;
  int timeB = 0;
  {
    Stopwatch stopwatch(&timeA, &timeB);
    mtxp::Driver(data, static_cast<int>(threads));
  }
  if (data->outOfMemory.load()) throw std::bad_alloc();
  if (data->failed.load()) throw ErrorText(data->errorText);
  if (data->statistics != nullptr) {
    data->statistics->threads = threads;
    data->statistics->timeB = timeB;
    data->statistics->timeA = timeA;
  }
  data->Merge();
}
