// The engine's order is the literal algorithms' order on every input: on
// batches where a NaN key makes the comparison intransitive and under a
// locale's collation, where only the record quicksort and the heap merge
// define it, as well as on the batches it sorts faster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "FileSort/RadixSort.h"
#include "FileSort/RecordSort.h"
#include "CollateLocale.h"
#include "Model.h"
#include "TestHooks.h"
#include "VectorSort.h"
#include "TempDir.h"
#include "isort/platform.h"

namespace isort::testing {
namespace {

// Rows for the model: 1 to 4 units, strings of up to 16 bytes.
DataSet ModelRows(std::mt19937_64& random, std::size_t rows) {
  DataSetShape shape{1, 4};
  shape.maxWidth = 16;
  shape.allKeys = true;
  return RandomDataSet(random, rows, shape);
}

// The radix sort bucket by bucket, a helper thread sorting beside this one.
void SortStepped(OBS* records, std::uint64_t rows, std::uint64_t width, const KeyWords& words,
                 const RecordOrder& order) {
  SteppedRadixSort steps(records, rows, width, words, order);
  std::thread helper([&steps] { steps.SortTheRest(); });
  steps.WaitForSorted(rows);
  helper.join();
}

// Each batch comes out as the record quicksort leaves it, whichever way it
// was sorted; and the fast ways are taken exactly where the order is total.
TEST(SortBatch, EveryPathGivesTheQuicksortsOrder) {
  std::mt19937_64 random(41);
  int paths[4] = {};
  for (int round = 0; round < 240; ++round) {
    const bool locale = round % 4 == 3, sorted = round % 5 == 1;
    // In order but for a few records, each moved a place (`nearly`) or some
    // far across the batch (`far`).
    const bool nearly = round % 10 == 2 || round % 10 == 4, far = round % 10 == 7;
    CollateLocale scope;
    if (!scope.Switch(locale ? "en_US.UTF-8" : "C")) GTEST_SKIP() << "no en_US.UTF-8 locale";
    const std::size_t rows =
        far ? 1000 + random() % 3000 : round % 2 && !nearly ? random() % 40 : 100 + random() % 3000;
    DataSet set = ModelRows(random, rows);
    // Records hold the keys in key order, here the rows' order, then a tag.
    std::sort(set.keys.begin(), set.keys.end(),
              [](const auto& a, const auto& b) { return a.position < b.position; });
    const std::vector<FileSort::SortKey>& recordKeys = set.keys;
    std::vector<OBS> records;
    for (std::size_t r = 0; r < rows; ++r) {
      records.insert(records.end(), set.Row(r), set.Row(r) + set.units);
      records.push_back(FromBits(r * 3 + 1));  // tags grow with the input, with gaps
    }
    const std::uint64_t width = set.units + 1;
    const FileSort::Comparator comparator(recordKeys);
    const RecordOrder order(comparator);
    VORNMBCollator collator;
    collator.Init();
    const ModelOrder model(recordKeys, collator);
    const auto modelSorted = [&](const std::vector<OBS>& input) {
      std::vector<ModelRecord> order;
      for (std::size_t r = 0; r < rows; ++r) {
        std::uint64_t tag;
        std::memcpy(&tag, &input[r * width + width - 1], sizeof tag);
        order.push_back({&input[r * width], tag});
      }
      ModelQuicksort(order.data(), order.size(), model);
      std::vector<OBS> out;
      for (const ModelRecord& record : order) out.insert(out.end(), record.row, record.row + width);
      return out;
    };
    if (sorted || nearly || far) records = modelSorted(records);  // in the model's order
    const auto moveRecord = [&](std::size_t from, std::size_t to) {
      const auto at = [&](std::size_t r) { return records.begin() + r * width; };
      from < to ? std::rotate(at(from), at(from + 1), at(to + 1))
                : std::rotate(at(to), at(from), at(from + 1));
    };
    for (std::size_t r = 0; nearly && r + 1 < rows; r += 50 + random() % 50) moveRecord(r, r + 1);
    for (std::size_t moved = 0; far && moved < rows / 64; ++moved) {
      moveRecord(random() % rows, random() % rows);
    }
    const std::vector<OBS> wanted = modelSorted(records);
    // Every third round as the batch that ends an input: bucket by bucket.
    const bool stepped = round % 3 == 0;
    const KeyWords words(recordKeys);
    BatchSortPath path = BatchSortPath::kRadix;
    if (stepped) {
      path = SortBatchUnlessRadix(records.data(), rows, width, comparator, order);
      if (path == BatchSortPath::kRadix) SortStepped(records.data(), rows, width, words, order);
    } else {
      path = SortBatch(records.data(), rows, width, comparator, order, words);
    }
    SCOPED_TRACE(::testing::Message() << "round " << round << ", rows " << rows
                                      << (stepped ? ", bucket by bucket" : ""));
    ASSERT_EQ(FirstDifference(wanted, records, static_cast<unsigned int>(width)), -1);
    bool anyNaN = false;
    for (std::size_t r = 0; r < rows; ++r) {
      for (const FileSort::SortKey& key : recordKeys) {
        anyNaN |= key.width == 0 && std::isnan(records[r * width + key.position]);
      }
    }
    const bool anyString = std::any_of(recordKeys.begin(), recordKeys.end(),
                                       [](const FileSort::SortKey& key) { return key.width != 0; });
    if (anyNaN || (locale && anyString)) {
      EXPECT_EQ(path, BatchSortPath::kQuicksort);
    } else if (sorted || rows < 2) {
      EXPECT_EQ(path, BatchSortPath::kAlreadyInOrder);
    } else if (nearly) {
      EXPECT_EQ(path, BatchSortPath::kNearlyInOrder);
    } else if (far) {
      EXPECT_EQ(path, BatchSortPath::kRadix) << "moving records far is left to the radix sort";
    } else {
      EXPECT_NE(path, BatchSortPath::kQuicksort);
    }
    ++paths[static_cast<int>(path)];
  }
  for (int count : paths) EXPECT_GT(count, 10);  // every path was driven
}

// The radix sort bucket by bucket, while another thread reads the records
// sorted so far, gives the order of the whole sort at once, also where one
// bucket holds nearly every record, level after level (W1's first key), and
// where records tie in every key but the tag.
TEST(SortBatch, RadixBucketByBucketGivesTheOrderOfTheWhole) {
  std::mt19937_64 random(47);
  const std::vector<FileSort::SortKey> keys = {{0, 1, 0}, {1, -1, 0}, {2, 1, 12}};
  const std::uint64_t width = 5;  // two numbers, a string of 12 bytes, the tag
  const FileSort::Comparator comparator(keys);
  const RecordOrder order(comparator);
  const KeyWords words(keys);
  for (const int shape : {0, 1, 2}) {
    const std::size_t rows = 300000;
    std::vector<OBS> records(rows * width);
    for (std::size_t r = 0; r < rows; ++r) {
      OBS* record = &records[r * width];
      const bool rare = random() % 1000 == 0;
      record[0] = shape == 0 ? static_cast<double>(random() % 100000) - 5e4 : rare ? 1.0 : 7.0;
      record[1] = shape == 2 ? 3.0 : static_cast<double>(random() % (rare ? 1000 : 4));
      char text[16] = {};
      for (int c = 0; c < 12 && shape != 2; ++c) text[c] = "ab"[random() % 2];
      std::memcpy(record + 2, text, 16);
      record[4] = FromBits(rows - r);
    }
    std::vector<OBS> whole = records;
    RadixSortRecords(whole.data(), rows, width, words, order);
    SCOPED_TRACE(::testing::Message() << "shape " << shape);
    for (std::size_t r = 1; r < rows; ++r) {
      ASSERT_LT(order(&whole[(r - 1) * width], &whole[r * width]), 0) << "record " << r;
    }

    SteppedRadixSort steps(records.data(), rows, width, words, order);
    std::thread sorter([&steps] { steps.SortTheRest(); });
    for (std::size_t checked = 0; checked < rows;) {
      const std::size_t ready = std::min<std::size_t>(rows, checked + 4999);
      steps.WaitForSorted(ready);
      // Records reported sorted must be final already: compare them now.
      EXPECT_EQ(std::memcmp(&records[checked * width], &whole[checked * width],
                            (ready - checked) * width * sizeof(OBS)),
                0)
          << "records " << checked << " to " << ready;
      checked = ready;
    }
    sorter.join();
    EXPECT_EQ(FirstDifference(whole, records, static_cast<unsigned int>(width)), -1);
  }
}

// Sorts `set` on `threads` parts within `budget` and expects the model's
// order for batches of `rows` rows, in the collation of the current locale.
void ExpectModelOrder(const DataSet& set, unsigned int threads, std::uint64_t budget,
                      std::size_t rows, std::uint64_t footprint) {
  platform::SetThreadLimit(threads);
  VectorSort sort(set, nullptr, budget);
  sort.Sort();
  VORNMBCollator collator;
  collator.Init();
  SCOPED_TRACE(::testing::Message() << "batches of " << rows);
  EXPECT_EQ(FirstDifference(ModelSort(set, collator, rows, budget, footprint), sort.output,
                            set.units),
            -1);
}

// End to end, over batch sizes, thread counts and merges in one pass or
// many: exactly the order of the literal algorithms, NaN keys and locale
// strings included; every fifth round on a machine of one core, where no
// helper threads sort or deliver.
TEST(FileSort, DeliversTheLiteralAlgorithmsOrder) {
  WorkDir dir;
  std::mt19937_64 random(43);
  platform::SetFileBufferSize(4096);
  const std::uint64_t footprint = FileSort::WorkFile("probe").Footprint();
  for (int round = 0; round < 60; ++round) {
    const bool oneCore = round % 5 == 4;
    platform::SetCoreCount(oneCore ? 1 : 8);
    CollateLocale scope;
    if (!scope.Switch(round % 3 == 2 ? "en_US.UTF-8" : "C")) GTEST_SKIP() << "no en_US.UTF-8";
    const DataSet set = ModelRows(random, 50 + random() % 1500);
    // A sort never runs on fewer than two parts, nor on more than one a core.
    const unsigned int threads = oneCore ? 2 : 2 + round % 3;
    const std::size_t batchRows = 2 + random() % 400;
    const std::uint64_t recordBytes = (set.units + 1) * 8;
    // Budgets that merge every run at once, and ones that cannot.
    const std::uint64_t budget = round % 2 ? batchRows * recordBytes * threads
                                           : (set.RowCount() / batchRows + 3) * footprint;
    const std::size_t rows = std::max<std::uint64_t>(1, budget / threads / recordBytes);
    SCOPED_TRACE(::testing::Message() << "round " << round);
    ExpectModelOrder(set, threads, budget, rows, footprint);
  }
  platform::SetFileBufferSize(0);
  platform::SetThreadLimit(0);
  platform::SetCoreCount(0);
  EXPECT_TRUE(dir.Clean());
}

// A batch after the first whose rows come in order goes straight into its
// run, unsorted; only where no sort could change it. Rows that a NaN ties
// with their neighbours while the numbers descend (9, NaN, 8, NaN, ...) are
// in order pair by pair, yet the quicksort reorders them; rows in key order
// but for one late in a batch take every row before it back into the batch.
TEST(FileSort, BatchesInOrderSkipTheSortOnlyWhereNoSortChangesThem) {
  WorkDir dir;
  std::mt19937_64 random(47);
  platform::SetFileBufferSize(4096);
  const std::uint64_t footprint = FileSort::WorkFile("probe").Footprint();
  CollateLocale scope;
  ASSERT_TRUE(scope.Switch("C"));
  platform::SetCoreCount(8);
  for (int round = 0; round < 30; ++round) {
    const int shape = round % 3;  // 0: in order; 1: one row out of place; 2: NaNs between
    DataSet set;
    set.units = 2;
    set.keys = {{0, +1, 0}, {1, +1, 0}};
    const std::size_t n = 200 + random() % 2000;
    for (std::size_t i = 0; i < n; ++i) {
      const double first = shape == 2 ? (i % 2 ? std::nan("") : static_cast<double>(n - i))
                                      : static_cast<double>(i / 3);
      set.rows.push_back(first);
      set.rows.push_back(static_cast<double>(i));
    }
    const std::size_t batchRows = 20 + random() % 150;  // so that a second batch follows
    if (shape == 1) {
      const std::size_t late = batchRows + 1 + random() % (n - batchRows - 1);
      std::swap_ranges(&set.rows[2 * late], &set.rows[2 * late + 2], &set.rows[2 * late - 2]);
    }
    const unsigned int threads = 2 + round % 3;
    SCOPED_TRACE(::testing::Message() << "round " << round);
    ExpectModelOrder(set, threads, batchRows * (set.units + 1) * 8 * threads, batchRows,
                     footprint);
  }
  platform::SetFileBufferSize(0);
  platform::SetThreadLimit(0);
  platform::SetCoreCount(0);
  EXPECT_TRUE(dir.Clean());
}

// What a sort says of its batches and runs: rows of each batch (in the
// order the batches were filed, which the threads decide, so sorted),
// bytes of the runs, merge passes.
std::vector<std::uint64_t> BatchFigures(const FileSort::Statistics& stats) {
  std::vector<std::uint64_t> figures;
  for (const FileSort::SortStatistics& batch : stats.sorts) figures.push_back(batch.rows);
  std::sort(figures.begin(), figures.end());
  figures.push_back(stats.totalRows);
  figures.push_back(stats.runBytes);
  figures.push_back(stats.merges.size());
  return figures;
}

// Later batches in key order go straight into their runs, written by a
// helper once they have come in order a while (RunFeed). The same sort on a
// machine of one core, where the loading thread writes them itself, gives
// the same rows and the same batches: batches that end at the payload limit
// (the payloads compress worse as the input goes on), and ones that a row
// out of place or a NaN key turns back after the helper has started.
TEST(FileSort, BatchesInOrderEndAndTurnBackAsOnOneCore) {
  WorkDir dir;
  std::mt19937_64 random(53);
  platform::SetThreadLimit(2);
  for (int round = 0; round < 12; ++round) {
    const int shape = round % 3;  // 0: in order; 1: one pair swapped late; 2: a NaN key late
    DataSet set;
    set.units = 6;
    set.keys = std::vector<FileSort::SortKey>{{0, +1, 0}, {1, -1, 0}};
    const std::size_t n = 20000 + random() % 20000;
    for (std::size_t i = 0; i < n; ++i) {
      set.rows.push_back(static_cast<double>(i / 2));
      set.rows.push_back(static_cast<double>(1 - i % 2));  // descending
      for (unsigned int u = 2; u < set.units; ++u) {
        set.rows.push_back(i < n / 3 ? static_cast<double>(random() % 100) : FromBits(random()));
      }
    }
    const std::size_t late = n * 3 / 4 + random() % (n / 8);
    if (shape == 1) {
      std::swap_ranges(&set.rows[late * set.units], &set.rows[(late + 1) * set.units],
                       &set.rows[(late - 1) * set.units]);
    } else if (shape == 2) {
      set.rows[late * set.units] = std::nan("");
    }
    const std::uint64_t batchRows = 3000 + random() % 6000;
    const std::uint64_t budget = batchRows * (set.units + 1) * 8 * 2;
    SCOPED_TRACE(::testing::Message() << "round " << round << ", " << n << " rows");
    std::vector<OBS> outputs[2];
    std::vector<std::uint64_t> figures[2];
    for (int cores = 0; cores < 2; ++cores) {
      platform::SetCoreCount(cores == 0 ? 1 : 8);
      FileSort::Statistics stats;
      VectorSort sort(set, &stats, budget);
      sort.Sort();
      outputs[cores] = std::move(sort.output);
      figures[cores] = BatchFigures(stats);
    }
    EXPECT_EQ(figures[1], figures[0]);
    EXPECT_EQ(FirstDifference(outputs[0], outputs[1], set.units), -1);
    if (shape != 2) {
      EXPECT_EQ(FirstDifference(OracleSort(set), outputs[1], set.units), -1);
    }
  }
  platform::SetThreadLimit(0);
  platform::SetCoreCount(0);
  EXPECT_TRUE(dir.Clean());
}

// A batch in key order ends where the same rows loaded into the store would
// end it, also where a file keeps payload groups in another form than
// memory: narrow payloads, here of equal size coded, so that the same rows
// shuffled make the same batches. Both on one core and with a helper.
TEST(FileSort, BatchesInOrderEndWhereTheStoreWould) {
  WorkDir dir;
  std::mt19937_64 random(59);
  platform::SetThreadLimit(2);
  for (int round = 0; round < 4; ++round) {
    DataSet sorted;
    sorted.units = 5;
    sorted.keys = std::vector<FileSort::SortKey>{{0, +1, 0}};
    const std::size_t n = 20000 + random() % 20000;
    for (std::size_t i = 0; i < n; ++i) {
      sorted.rows.push_back(static_cast<double>(i));
      for (unsigned int u = 1; u < sorted.units; ++u) {
        sorted.rows.push_back(static_cast<double>(1 + random() % 200));
      }
    }
    DataSet shuffled = sorted;
    for (std::size_t i = n - 1; i > 0; --i) {
      const std::size_t j = random() % (i + 1);
      std::swap_ranges(&shuffled.rows[i * 5], &shuffled.rows[i * 5 + 5], &shuffled.rows[j * 5]);
    }
    const std::uint64_t budget = (3000 + random() % 3000) * (sorted.units + 1) * 8 * 2;
    platform::SetCoreCount(round % 2 == 0 ? 1 : 8);
    SCOPED_TRACE(::testing::Message() << "round " << round << ", " << n << " rows");
    std::vector<std::uint64_t> figures[2];
    const DataSet* sets[2] = {&sorted, &shuffled};
    for (int s = 0; s < 2; ++s) {
      FileSort::Statistics stats;
      VectorSort sort(*sets[s], &stats, budget);
      sort.Sort();
      EXPECT_EQ(FirstDifference(sorted.rows, sort.output, sorted.units), -1);
      figures[s] = BatchFigures(stats);
    }
    EXPECT_GT(figures[0].size(), 5u) << "a single batch";
    EXPECT_EQ(figures[0], figures[1]);
  }
  platform::SetThreadLimit(0);
  platform::SetCoreCount(0);
  EXPECT_TRUE(dir.Clean());
}

}  // namespace
}  // namespace isort::testing
