// The prefaulting helper: it faults in every page of both areas without
// changing a byte, while another thread writes them; and a sort whose first
// batch loads with the helper running gives the oracle's rows.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "FileSort/Prefaulter.h"
#include "VectorSort.h"

namespace isort::testing {
namespace {

// Fresh private memory, unmapped at the end of the test.
class Mapping {
 public:
  explicit Mapping(std::size_t bytes) : bytes_(bytes) {
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
    data_ = memory == MAP_FAILED ? nullptr : static_cast<unsigned char*>(memory);
  }
  ~Mapping() {
    if (data_ != nullptr) ::munmap(data_, bytes_);
  }
  unsigned char* data() const { return data_; }
  std::size_t bytes() const { return bytes_; }

  // Pages of the mapping that are not resident.
  std::size_t MissingPages() const {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((bytes_ + page - 1) / page);
    if (::mincore(data_, bytes_, resident.data()) != 0) return resident.size();
    std::size_t missing = 0;
    for (unsigned char flags : resident) missing += (flags & 1) == 0;
    return missing;
  }

 private:
  std::size_t bytes_;
  unsigned char* data_;
};

TEST(Prefaulter, FaultsInBothAreasAndKeepsWhatTheLoaderWrites) {
  // Sizes that are not multiples of a page or of a step, the second area
  // larger than the first.
  Mapping first(5 * (1 << 20) + 12345);
  Mapping second(23 * (1 << 20) + 777);
  ASSERT_TRUE(first.data() != nullptr && second.data() != nullptr);
  isort::Prefaulter prefaulter;
  prefaulter.Start({first.data() + 100, first.bytes() - 100}, {second.data(), second.bytes()});
  // The loader writes every 1000th byte while the helper runs.
  for (std::size_t i = 0; i < second.bytes(); i += 1000) {
    if (i < first.bytes()) first.data()[i] = static_cast<unsigned char>(i / 1000 % 251 + 1);
    second.data()[i] = static_cast<unsigned char>(i / 1000 % 241 + 1);
    prefaulter.Reached(i * first.bytes() / second.bytes());
  }
  prefaulter.Reached(first.bytes());
  prefaulter.Finish();
  EXPECT_FALSE(prefaulter.Running());
  EXPECT_EQ(first.MissingPages(), 0u);
  EXPECT_EQ(second.MissingPages(), 0u);
  for (std::size_t i = 0; i < second.bytes(); ++i) {
    const unsigned char expected = i % 1000 != 0 ? 0 : static_cast<unsigned char>(i / 1000 % 241 + 1);
    ASSERT_EQ(second.data()[i], expected) << i;
    if (i >= first.bytes()) continue;
    const unsigned char expectedFirst =
        i % 1000 != 0 ? 0 : static_cast<unsigned char>(i / 1000 % 251 + 1);
    ASSERT_EQ(first.data()[i], expectedFirst) << i;
  }

  // An empty second area: only the first is faulted in.
  Mapping only(3 * (1 << 20));
  prefaulter.Start({only.data(), only.bytes()}, {});
  prefaulter.Reached(only.bytes());
  prefaulter.Finish();
  EXPECT_EQ(only.MissingPages(), 0u);
}

// The helper faults in the step after the loader's and no further.
TEST(Prefaulter, StaysAStepAheadOfTheLoader) {
  const std::size_t reached = std::size_t{8} << 20;
  Mapping area(std::size_t{64} << 20);
  isort::Prefaulter prefaulter;
  prefaulter.Start({area.data(), area.bytes()}, {});
  prefaulter.Reached(reached);
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const auto residentBytes = [&] { return area.bytes() - area.MissingPages() * page; };
  // Waits until the helper has caught up with the loader, or gives up after
  // a few seconds; then gives it time to run on too far.
  const std::size_t step = isort::Prefaulter::kStep;
  for (int wait = 0; wait < 5000 && residentBytes() < reached + step; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  prefaulter.Stop();
  EXPECT_GE(residentBytes(), reached + step);
  EXPECT_LE(residentBytes(), reached + 2 * step);
}

// What the loader did not use goes back to the system, from the huge page
// after its last one; the bytes it wrote stay. A store that moved meanwhile
// is left alone.
TEST(Prefaulter, GivesBackWhatTheLoaderDidNotUse) {
  Mapping records(std::size_t{16} << 20);
  Mapping store(std::size_t{12} << 20);
  const std::size_t used = (std::size_t{5} << 20) + 333;
  isort::Prefaulter prefaulter;
  prefaulter.Start({records.data(), records.bytes()}, {store.data(), store.bytes()});
  for (std::size_t i = 0; i < used; ++i) records.data()[i] = static_cast<unsigned char>(i % 253 + 1);
  prefaulter.Reached(records.bytes());
  prefaulter.Finish();
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const auto keptUpTo = [&](const Mapping& area) {
    const auto start = reinterpret_cast<std::uintptr_t>(area.data());
    const std::uintptr_t step = isort::Prefaulter::kStep;
    return (start + used + step - 1) / step * step - start;
  };

  prefaulter.GiveBack(used, used, store.data() + page);  // the store has "moved"
  EXPECT_EQ(records.MissingPages() * page, records.bytes() - keptUpTo(records));
  EXPECT_EQ(store.MissingPages(), 0u);
  for (std::size_t i = 0; i < used; ++i) {
    ASSERT_EQ(records.data()[i], static_cast<unsigned char>(i % 253 + 1)) << i;
  }
  prefaulter.GiveBack(used, used, store.data());
  EXPECT_EQ(store.MissingPages() * page, store.bytes() - keptUpTo(store));
}

// Batches of these sorts pass the row at which the helper starts; with a
// payload and without one, as one batch delivered directly and as several runs.
TEST(Prefaulter, SortsWithTheHelperMatchTheOracle) {
  std::mt19937_64 random(7);
  for (const bool payloadless : {false, true}) {
    DataSet set = RandomDataSet(random, 150000, DataSetShape{4, 10, 1, 3, 40, 1000});
    if (payloadless) {  // three numeric units, all of them keys
      set.units = 3;
      set.keys = {{0, 1, 0}, {1, -1, 0}, {2, 1, 0}};
      set.rows.resize(150000 * 3);
      for (OBS& unit : set.rows) unit = static_cast<double>(random() % 1000);
    }
    const std::vector<OBS> expected = OracleSort(set);
    // Two threads: a share of about 120,000 rows at the raw row size.
    const std::uint64_t severalBatches = 2 * 120000 * (set.units + 1) * 8;
    for (const std::uint64_t budget : {std::uint64_t{0}, severalBatches}) {
      SCOPED_TRACE(::testing::Message() << "payloadless " << payloadless << " budget " << budget);
      FileSort::Statistics statistics;
      VectorSort sort(set, &statistics, budget);
      sort.Sort();
      EXPECT_EQ(FirstDifference(expected, sort.output, set.units), -1);
      std::uint64_t largest = 0;
      for (const auto& batch : statistics.sorts) largest = std::max<std::uint64_t>(largest, batch.rows);
      EXPECT_GT(largest, 65536u) << "the helper started";
      EXPECT_EQ(statistics.sorts.size() > 1, budget != 0) << "as many batches as meant";
    }
  }
}

}  // namespace
}  // namespace isort::testing
