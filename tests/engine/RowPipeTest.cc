// The pipe of the final merge: every row put comes out once, in order, on the
// calling thread; a failure on either side ends both and reaches the caller,
// the producer's after every row it put; and a sort whose host refuses a row
// in the final merge stops there with nothing left on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "FileSort/RowPipe.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "VectorSort.h"

namespace isort::testing {
namespace {

// The value of unit `u` of row `r`: every unit of every row differs.
OBS UnitOf(std::size_t r, std::size_t u) { return static_cast<OBS>(r * 1000 + u); }

// Puts `rows` rows of `units` units, then throws `failure` unless null.
template <typename Failure>
void PutRows(RowPipe& pipe, std::size_t rows, std::size_t units, const Failure* failure) {
  std::vector<OBS> row(units);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t u = 0; u < units; ++u) row[u] = UnitOf(r, u);
    pipe.Put(row.data());
  }
  if (failure != nullptr) throw *failure;
}

// The rows that reached delivery, and on which thread.
struct Delivered {
  explicit Delivered(std::size_t units) : units(units) {}
  std::size_t units;
  std::vector<OBS> rows;
  bool elsewhere = false;
  std::thread::id caller = std::this_thread::get_id();
  void operator()(const OBS* row) {
    elsewhere |= std::this_thread::get_id() != caller;
    rows.insert(rows.end(), row, row + units);
  }
  // The index of the first row that is not the rth row put; -1 if none.
  long long FirstWrongRow() const {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i] != UnitOf(i / units, i % units))
        return static_cast<long long>(i / units);
    }
    return -1;
  }
};

TEST(RowPipe, DeliversEveryRowOnceInOrderOnTheCallingThread) {
  // Widths of one unit, an odd one, and one that fills a chunk with a
  // single row; counts of none, a part of a chunk and many rings' worth.
  for (const std::size_t units : {1, 37, 32768}) {
    for (const std::size_t rows : {0, 5, 200000}) {
      if (units * rows > 50000000) continue;
      SCOPED_TRACE(::testing::Message() << rows << " rows of " << units << " units");
      RowPipe pipe(units);
      Delivered delivered{units};
      const std::exception* none = nullptr;
      ASSERT_TRUE(pipe.Run([&](RowPipe& into) { PutRows(into, rows, units, none); },
                           std::ref(delivered)));
      EXPECT_EQ(delivered.rows.size(), rows * units);
      EXPECT_EQ(delivered.FirstWrongRow(), -1);
      EXPECT_FALSE(delivered.elsewhere);
    }
  }
}

// What the final merge hands over: each row as its key part and its
// payload, joined on the calling thread, through the pipe where there is a
// core to spare and straight through where there is none.
TEST(RowPipe, HandsOverBothPartsOfEveryRowWithOrWithoutASpareCore) {
  for (const unsigned int cores : {1u, 2u}) {
    platform::SetCoreCount(cores);
    for (const auto& [firstUnits, secondUnits] :
         {std::pair<std::size_t, std::size_t>{3, 8}, {1, 0}, {5, 37}}) {
      SCOPED_TRACE(::testing::Message()
                   << cores << " cores, parts of " << firstUnits << " and " << secondUnits);
      const std::size_t rows = 50000;
      Delivered delivered{firstUnits + secondUnits};
      std::vector<OBS> row(firstUnits + secondUnits);
      RowPipe::HandOver(
          firstUnits, secondUnits,
          [&](auto handOn) {
            for (std::size_t r = 0; r < rows; ++r) {
              for (std::size_t u = 0; u < row.size(); ++u) row[u] = UnitOf(r, u);
              handOn(row.data(), row.data() + firstUnits);
            }
          },
          [&](const OBS* first, const OBS* second) {
            std::vector<OBS> joined(first, first + firstUnits);
            joined.insert(joined.end(), second, second + secondUnits);
            delivered(joined.data());
          });
      EXPECT_EQ(delivered.rows.size(), rows * (firstUnits + secondUnits));
      EXPECT_EQ(delivered.FirstWrongRow(), -1);
      EXPECT_FALSE(delivered.elsewhere);
    }
  }
  platform::SetCoreCount(0);
}

TEST(RowPipe, ProducersFailureComesAfterEveryRowItPut) {
  for (const std::size_t rows : {0, 1, 12345}) {
    SCOPED_TRACE(::testing::Message() << rows << " rows");
    RowPipe pipe(10);
    Delivered delivered{10};
    const std::bad_alloc failure;
    EXPECT_THROW(pipe.Run([&](RowPipe& into) { PutRows(into, rows, 10, &failure); },
                          std::ref(delivered)),
                 std::bad_alloc);
    EXPECT_EQ(delivered.rows.size(), rows * 10);
    EXPECT_EQ(delivered.FirstWrongRow(), -1);
  }
}

TEST(RowPipe, DeliveryFailureStopsTheProducer) {
  // The producer would put rows for ever: only the pipe can stop it.
  RowPipe pipe(10);
  std::size_t delivered = 0;
  EXPECT_THROW(pipe.Run(
                   [](RowPipe& into) {
                     const std::vector<OBS> row(10);
                     for (;;) into.Put(row.data());
                   },
                   [&](const OBS*) {
                     if (++delivered == 5000) throw std::runtime_error("refused");
                   }),
               std::runtime_error);
  EXPECT_EQ(delivered, 5000u);
}

// Rows that wait for the calling thread's side work, as the rows of a batch
// wait for the buckets sorted before them: the side work is done while rows
// are delivered, and done to its end before a delivery failure passes on
// (the producer would wait for it for ever).
TEST(RowPipe, SideWorkRunsWhileRowsWaitForIt) {
  constexpr std::size_t kRows = 100000;
  constexpr std::size_t kRowsPerStep = 1000;
  for (const std::size_t refuse : {std::size_t{2500}, kRows + 1}) {
    SCOPED_TRACE(::testing::Message() << "refusing row " << refuse);
    std::mutex lock;
    std::condition_variable changed;
    std::size_t steps = 0;
    const auto sideWork = [&] {
      // Slower than the rows: they keep waiting for it.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      {
        const std::lock_guard<std::mutex> hold(lock);
        if (steps == kRows / kRowsPerStep) return false;
        ++steps;
      }
      changed.notify_all();
      return true;
    };
    const auto produce = [&](RowPipe& into) {
      std::vector<OBS> row(3);
      for (std::size_t r = 0; r < kRows; ++r) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return steps > r / kRowsPerStep; });
        hold.unlock();
        for (std::size_t u = 0; u < 3; ++u) row[u] = UnitOf(r, u);
        into.Put(row.data());
      }
    };
    Delivered delivered{3};
    const auto deliver = [&](const OBS* row) {
      if (delivered.rows.size() / 3 + 1 == refuse) throw std::runtime_error("refused");
      delivered(row);
    };
    RowPipe pipe(3);
    if (refuse <= kRows) {
      EXPECT_THROW(pipe.Run(produce, deliver, sideWork), std::runtime_error);
    } else {
      ASSERT_TRUE(pipe.Run(produce, deliver, sideWork));
    }
    EXPECT_EQ(delivered.rows.size(), std::min(kRows, refuse - 1) * 3);
    EXPECT_EQ(delivered.FirstWrongRow(), -1);
    EXPECT_EQ(steps, kRows / kRowsPerStep);
  }
}

// A host that refuses the nth row it is handed.
class RefusingSort : public VectorSort {
 public:
  RefusingSort(const DataSet& set, std::uint64_t budget, std::size_t refuse)
      : VectorSort(set, &statistics, budget), refuse_(refuse) {}
  void PutRow(const OBS* row) override {
    if (++handed_ == refuse_) throw std::runtime_error("refused");
    VectorSort::PutRow(row);
  }
  FileSort::Statistics statistics;

 private:
  std::size_t refuse_;
  std::size_t handed_ = 0;
};

// A sort whose host refuses a row stops there, with the rows before it
// delivered and nothing left on disk: in a final merge, and in the one batch
// that is sorted while its rows are delivered.
TEST(RowPipe, SortStopsAtTheRowTheHostRefuses) {
  WorkDir dir;
  std::mt19937_64 random(17);
  const DataSet set = RandomDataSet(random, 70000, DataSetShape{2, 12, 1, 3, 40, 1000});
  const std::vector<OBS> expected = OracleSort(set);
  // A share of about 6,000 rows at the raw row size: several runs; and the
  // default budget: one batch.
  const std::uint64_t budget = 2 * 6000 * (set.units + 1) * 8;
  for (const bool merged : {true, false}) {
    for (const std::size_t refuse :
         {std::size_t{1}, std::size_t{31337}, set.RowCount() + 1}) {
      SCOPED_TRACE(::testing::Message()
                   << "refusing row " << refuse << (merged ? " of a merge" : ""));
      RefusingSort sort(set, merged ? budget : 0x20000000, refuse);
      const bool refused = refuse <= set.RowCount();
      if (refused) {
        EXPECT_THROW(sort.Sort(), std::runtime_error);
      } else {
        sort.Sort();
      }
      EXPECT_EQ(sort.statistics.sorts.size() > 1, merged);
      std::vector<OBS> before = expected;
      before.resize((refused ? refuse - 1 : set.RowCount()) * set.units);
      EXPECT_EQ(FirstDifference(before, sort.output, set.units), -1);
      EXPECT_EQ(sort.output.size(), before.size());
    }
  }
  EXPECT_TRUE(dir.Clean());
}

}  // namespace
}  // namespace isort::testing
