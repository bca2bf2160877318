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

      const std::uint64_t budget = memoryTarget;
      const std::uint32_t o = Footprint(outputFile.get());
      const std::size_t n = sequences.size();

      // k: how many runs, taken from the back, a final pass could read
      // beside the output handle counted twice.
      std::size_t k = 0;
      {
        std::uint64_t s = static_cast<std::uint32_t>(2 * o);
        for (auto run = sequences.rbegin(); run != sequences.rend(); ++run) {
          s += Footprint(run->file);
          if (s > budget) break;
          ++k;
        }
      }
      // m: the runs this pass takes from the front. A pass that cannot take
      // them all takes at most n + 2 - k, leaving k - 1 for the next pass.
      std::size_t m = n;
      if (k != n) {
        const std::size_t limit = std::min(n + 2 - k, n);
        std::uint64_t s = o;
        m = 0;
        for (const Sequence& run : sequences) {
          if (m >= limit) break;
          s += Footprint(run.file);
          if (s > budget) break;
          ++m;
        }
      }
      // Whatever the footprints, a pass takes two runs when two or more wait:
      // a pass of fewer would never reduce their number.
      m = std::max(m, std::min<std::size_t>(n, 2));

      for (std::size_t i = 0; i < m; ++i) {
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

  while (!heap.empty()) {
    SeqReader* reader = heap.front().reader;
    std::pop_heap(heap.begin(), heap.end(), sortsAfter);
    heap.pop_back();
    if (finalPass) {
      splitter.Join(reader->key.get(), reader->payload.get(), row.get());
      owner->PutRow(row.get());
    } else {
      OBS& tag = reader->key[keyUnits];
      std::uint64_t ordinal;
      std::memcpy(&ordinal, &tag, sizeof ordinal);
      tag = static_cast<double>(ordinal) - 99.0;
      output.WriteCompressed(reader->key.get(), keyUnits + 1);
      if (payloadUnits != 0) output.WriteCompressed(reader->payload.get(), payloadUnits);
    }
    if (reader->Read()) {
      heap.push_back({reader, &comparator});
      std::push_heap(heap.begin(), heap.end(), sortsAfter);
    }
  }
}
