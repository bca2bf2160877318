// The engine's order is the literal algorithms' order on every input: on
// batches where a NaN key makes the comparison intransitive and under a
// locale's collation, where only the record quicksort and the heap merge
// define it, as well as on the batches it sorts faster.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <random>
#include <string>

#include "FileSort/RadixSort.h"
#include "FileSort/RecordSort.h"
#include "Model.h"
#include "TestHooks.h"
#include "VectorSort.h"
#include "WorkDir.h"
#include "isort/platform.h"

namespace isort::testing {
namespace {

// Switches LC_COLLATE for the scope; the collators made inside take it up.
class CollateLocale {
 public:
  explicit CollateLocale(const char* name) : saved_(std::setlocale(LC_COLLATE, nullptr)) {
    switched_ = std::setlocale(LC_COLLATE, name) != nullptr;
  }
  ~CollateLocale() { std::setlocale(LC_COLLATE, saved_.c_str()); }
  bool switched() const { return switched_; }

 private:
  std::string saved_;
  bool switched_ = false;
};

// A number from a few values, or (with `nan`) as often a NaN: a NaN between
// two values ties with both, which makes the order intransitive.
double Number(std::mt19937_64& random, bool nan) {
  if (nan && random() % 3 == 0) return random() % 2 ? std::nan("") : -std::nan("7");
  const double values[] = {-0.0, 0.0, -1.5, 2.0, 1e300, -INFINITY};
  return random() % 4 == 0 ? values[random() % 6] : static_cast<double>(random() % 5);
}

// Bytes whose byte order and en_US collation differ ("B" < "a" by bytes,
// "a" < "B" by the locale), blank padded.
void Text(std::mt19937_64& random, unsigned int width, OBS* field) {
  static const char letters[] = {'a', 'B', 'b', 'A', ' ', '\xc3'};
  char bytes[16];
  std::memset(bytes, ' ', sizeof bytes);
  const unsigned int used = static_cast<unsigned int>(random() % (width + 1));
  for (unsigned int i = 0; i < used; ++i) bytes[i] = letters[random() % 6];
  std::memcpy(field, bytes, (width + 7) / 8 * 8);
}

// Rows of which every unit belongs to a key: numbers (some of them holding
// NaNs with `nan`) and strings of up to 16 bytes, keys in any order and
// direction. Without a payload, a batch holds exactly the rows its budget
// pays for, which the model needs.
DataSet AllKeyRows(std::mt19937_64& random, std::size_t rows, bool nan, bool strings) {
  DataSet set;
  const unsigned int fields = 1 + random() % 3;
  std::vector<FileSort::SortKey> keys;
  for (unsigned int f = 0; f < fields; ++f) {
    const unsigned int width = strings && random() % 2 ? 1 + random() % 16 : 0;
    keys.push_back({set.units, random() % 2 ? 1 : -1, width});
    set.units += width <= 8 ? 1 : 2;
  }
  std::shuffle(keys.begin(), keys.end(), random);
  set.keys = keys;
  set.rows.resize(rows * set.units);
  for (std::size_t r = 0; r < rows; ++r) {
    for (const FileSort::SortKey& key : keys) {
      OBS* field = &set.rows[r * set.units + key.position];
      if (key.width == 0) {
        *field = Number(random, nan);
      } else {
        Text(random, key.width, field);
      }
    }
  }
  return set;
}

// The rows of a data set as records: the key part in key order and a tag.
std::vector<OBS> Records(const DataSet& set, std::vector<FileSort::SortKey>* recordKeys) {
  recordKeys->clear();
  unsigned int unit = 0;
  for (const FileSort::SortKey& key : set.keys) {
    recordKeys->push_back({unit, key.direction, key.width});
    unit += key.width <= 8 ? 1 : 2;
  }
  std::vector<OBS> records;
  for (std::size_t r = 0; r < set.RowCount(); ++r) {
    for (const FileSort::SortKey& key : set.keys) {
      const unsigned int units = key.width <= 8 ? 1 : 2;
      records.insert(records.end(), set.Row(r) + key.position, set.Row(r) + key.position + units);
    }
    records.push_back(FromBits(r * 3 + 1));  // tags grow with the input, with gaps
  }
  return records;
}

// Each batch comes out as the record quicksort leaves it, whichever way it
// was sorted; and the fast ways are taken exactly where the order is total.
TEST(SortBatch, EveryPathGivesTheQuicksortsOrder) {
  std::mt19937_64 random(41);
  int paths[3] = {};
  for (int round = 0; round < 240; ++round) {
    const bool nan = round % 3 == 0, locale = round % 4 == 3, sorted = round % 5 == 1;
    CollateLocale scope(locale ? "en_US.UTF-8" : "C");
    if (locale && !scope.switched()) GTEST_SKIP() << "the en_US.UTF-8 locale is not installed";
    const std::size_t rows = round % 2 ? random() % 40 : 100 + random() % 3000;
    DataSet set = AllKeyRows(random, rows, nan, locale || round % 2);
    std::vector<FileSort::SortKey> recordKeys;
    std::vector<OBS> records = Records(set, &recordKeys);
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
    if (sorted) records = modelSorted(records);  // already in the order the model gives
    const std::vector<OBS> wanted = modelSorted(records);
    const BatchSortPath path = SortBatch(records.data(), rows, width, comparator, order,
                                         KeyWords(recordKeys));
    SCOPED_TRACE(::testing::Message() << "round " << round << ", rows " << rows);
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
    } else {
      EXPECT_NE(path, BatchSortPath::kQuicksort);
    }
    ++paths[static_cast<int>(path)];
  }
  for (int count : paths) EXPECT_GT(count, 10);  // every path was driven
}

// End to end, over batch sizes, thread counts and merges in one pass or
// many: exactly the order of the literal algorithms, NaN keys and locale
// strings included.
TEST(FileSort, DeliversTheLiteralAlgorithmsOrder) {
  WorkDir dir;
  std::mt19937_64 random(43);
  platform::SetCoreCount(8);
  platform::SetFileBufferSize(4096);
  const std::uint64_t footprint = FileSort::WorkFile("probe").Footprint();
  for (int round = 0; round < 60; ++round) {
    const bool locale = round % 3 == 2;
    CollateLocale scope(locale ? "en_US.UTF-8" : "C");
    if (locale && !scope.switched()) GTEST_SKIP() << "the en_US.UTF-8 locale is not installed";
    const DataSet set = AllKeyRows(random, 50 + random() % 1500, true, locale || round % 2);
    const unsigned int threads = 2 + round % 3;  // a sort never runs on fewer than two
    const std::size_t batchRows = 2 + random() % 400;
    const std::uint64_t recordBytes = (set.units + 1) * 8;
    // Budgets that merge every run at once, and ones that cannot.
    const std::uint64_t budget = round % 2 ? batchRows * recordBytes * threads
                                           : (set.RowCount() / batchRows + 3) * footprint;
    const std::size_t rows = std::max<std::uint64_t>(1, budget / threads / recordBytes);
    platform::SetThreadLimit(threads);
    VectorSort sort(set, nullptr, budget);
    sort.Sort();
    VORNMBCollator collator;
    collator.Init();
    SCOPED_TRACE(::testing::Message() << "round " << round << ", batches of " << rows);
    EXPECT_EQ(FirstDifference(ModelSort(set, collator, rows, budget, footprint), sort.output,
                              set.units),
              -1);
  }
  platform::SetFileBufferSize(0);
  platform::SetThreadLimit(0);
  EXPECT_TRUE(dir.Clean());
}

}  // namespace
}  // namespace isort::testing
