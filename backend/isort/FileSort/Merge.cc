// Merging the sorted runs: planning the passes within the memory budget, and
// the heap merge of one pass.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "FileSort/Data.h"
#include "FileSort/Stopwatch.h"

namespace {

// The memory one open handle on `file` costs.
std::uint32_t Footprint(const FileSort::WorkFile* file) {
  return static_cast<std::uint32_t>(file->Footprint());
}

}  // namespace

void FileSort::Data::Merge() {
  while (!sequences.empty()) {
    std::deque<SeqReader> readers;
    int timeA = 0;
    int timeB = 0;
    {
      Stopwatch stopwatch(&timeA, &timeB);
      auto outputFile = std::make_unique<WorkFile>("merge");
      Sequence output(outputFile.get());

      const std::uint32_t outputFootprint = Footprint(outputFile.get());
      const std::size_t fanIn = PassFanIn(outputFootprint, FinalFanIn(outputFootprint));
      for (std::size_t i = 0; i < fanIn; ++i) {
        readers.emplace_back(sequences.front());
        readers.back().Rewind();
        sequences.pop_front();
      }
      ClearWorkfiles();
      DoMerge(readers, output);

      if (!sequences.empty()) {
        workFiles.reserve(workFiles.size() + 1);
        sequences.push_back(output);
        workFiles.push_back(outputFile.release());
      }
    }
    if (statistics != nullptr) {
      const std::uint64_t outputBytes =
          sequences.empty() ? 0 : static_cast<std::uint64_t>(sequences.back().Size());
      statistics->merges.push_back({outputBytes,
                                    static_cast<std::uint32_t>(readers.size()),
                                    timeB, timeA});
    }
  }
}

std::size_t FileSort::Data::FinalFanIn(std::uint32_t outputFootprint) const {
  // How many runs, taken from the back, a final pass could read beside the
  // output handle counted twice.
  std::size_t runs = 0;
  std::uint64_t cost = static_cast<std::uint32_t>(2 * outputFootprint);
  for (auto run = sequences.rbegin(); run != sequences.rend(); ++run) {
    cost += Footprint(run->file);
    if (cost > memoryTarget) break;
    ++runs;
  }
  return runs;
}

std::size_t FileSort::Data::PassFanIn(std::uint32_t outputFootprint,
                                      std::size_t finalFanIn) const {
  const std::size_t waiting = sequences.size();
  if (finalFanIn == waiting) return waiting;
  // A pass that cannot take every run takes at most waiting + 2 - finalFanIn
  // of them from the front, leaving finalFanIn - 1 for the next pass.
  const std::size_t limit = std::min(waiting + 2 - finalFanIn, waiting);
  std::uint64_t cost = outputFootprint;
  std::size_t runs = 0;
  for (const Sequence& run : sequences) {
    if (runs >= limit) break;
    cost += Footprint(run.file);
    if (cost > memoryTarget) break;
    ++runs;
  }
  // Whatever the footprints, a pass takes two runs when two or more wait:
  // a pass of fewer would never reduce their number.
  return std::max(runs, std::min<std::size_t>(waiting, 2));
}

void FileSort::Data::DoMerge(std::deque<SeqReader>& readers, Sequence& output) {
  const bool finalPass = sequences.empty();
  const unsigned int keyUnits = splitter.keyUnits;
  const unsigned int payloadUnits = splitter.payloadUnits;
  const std::less<MergeEntry> sortsAfter;

  std::vector<MergeEntry> heap;
  heap.reserve(readers.size());
  for (SeqReader& reader : readers) {
    reader.Allocate(keyUnits, payloadUnits);
    if (reader.Read()) {
      heap.push_back({&reader, &comparator});
      std::push_heap(heap.begin(), heap.end(), sortsAfter);
    }
  }
  std::unique_ptr<OBS[]> row;
  if (finalPass) row.reset(new OBS[rowUnits]);
  isort::RunWriter writer(output, keyUnits, payloadUnits);

  while (!heap.empty()) {
    SeqReader* reader = heap.front().reader;
    std::pop_heap(heap.begin(), heap.end(), sortsAfter);
    heap.pop_back();
    if (finalPass) {
      splitter.Join(reader->key.get(), reader->payload.get(), row.get());
      owner->PutRow(row.get());
    } else {
      OBS* record = reader->key.get();
      std::uint64_t batch;
      std::memcpy(&batch, record + keyUnits, sizeof batch);
      writer.Append(record, batch, reader->payload.get());
    }
    if (reader->Read()) {
      heap.push_back({reader, &comparator});
      std::push_heap(heap.begin(), heap.end(), sortsAfter);
    }
  }
}
