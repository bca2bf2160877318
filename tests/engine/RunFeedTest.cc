// The helper that writes rows in key order to their run: every row put is
// written once, in order, whole; the payload bytes it reports are exact, and
// the bound before them never falls short; a failure in writing reaches the
// loading thread, and a feed given up midway stops without writing the rest.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "FileSort/RunFeed.h"
#include "TestHooks.h"

namespace isort::testing {
namespace {

OBS UnitOf(std::size_t r, std::size_t u) { return static_cast<OBS>(r * 100 + u); }

TEST(RunFeed, WritesEveryRowInOrderAndCountsItsBytes) {
  platform::SetCoreCount(2);
  for (const std::uint64_t rows : {1ull, 7ull, 5000ull, 200000ull}) {
    const std::size_t recordUnits = 3, payloadUnits = 5;
    std::vector<OBS> written;
    std::uint64_t bytes = 0;
    RunFeed feed(recordUnits, payloadUnits, 50, rows, [&](OBS* record, const OBS* payload) {
      written.insert(written.end(), record, record + recordUnits);
      written.insert(written.end(), payload, payload + payloadUnits);
      const std::uint64_t rowBytes = static_cast<std::uint64_t>(record[0]) % 50;
      bytes += rowBytes;
      return rowBytes;
    });
    ASSERT_TRUE(feed.Start());
    std::vector<OBS> expected;
    std::vector<OBS> row(recordUnits + payloadUnits);
    std::uint64_t sum = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t u = 0; u < row.size(); ++u) row[u] = UnitOf(r, u);
      feed.Put(row.data(), row.data() + recordUnits);
      expected.insert(expected.end(), row.begin(), row.end());
      sum += static_cast<std::uint64_t>(row[0]) % 50;
      ASSERT_GE(feed.PayloadBytesAtMost(), sum) << "row " << r;
    }
    EXPECT_EQ(feed.PayloadBytes(), sum);
    EXPECT_EQ(feed.PayloadBytesAtMost(), sum);
    EXPECT_EQ(bytes, sum);
    EXPECT_EQ(written, expected) << rows << " rows";
  }
  platform::SetCoreCount(0);
}

TEST(RunFeed, AFailureInWritingReachesTheLoadingThread) {
  platform::SetCoreCount(2);
  for (const std::uint64_t failAt : {0ull, 3ull, 70000ull}) {
    std::uint64_t written = 0;
    RunFeed feed(2, 1, 30, 1000000, [&](OBS*, const OBS*) -> std::uint64_t {
      if (written == failAt) throw std::runtime_error("disk full");
      ++written;
      return 1;
    });
    ASSERT_TRUE(feed.Start());
    const OBS row[3] = {1, 2, 3};
    std::uint64_t put = 0;
    try {
      for (; put < 1000000; ++put) feed.Put(row, row + 2);
      feed.PayloadBytes();
      ADD_FAILURE() << "the failure did not pass on";
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), "disk full");
    }
    EXPECT_EQ(written, failAt);
    EXPECT_LT(put, 1000000u) << "the loading thread went on to the end";
  }
  platform::SetCoreCount(0);
}

TEST(RunFeed, GivenUpMidwayItStopsWithoutWritingTheRest) {
  platform::SetCoreCount(2);
  std::atomic<std::uint64_t> written{0};
  {
    RunFeed feed(1, 0, 8, 1000000, [&](OBS*, const OBS*) -> std::uint64_t {
      ++written;
      return 0;
    });
    ASSERT_TRUE(feed.Start());
    const OBS row[1] = {1};
    for (int r = 0; r < 500000; ++r) feed.Put(row, row + 1);
  }
  EXPECT_LT(written.load(), 500000u) << "the rows still in the ring were written";
  platform::SetCoreCount(0);
}

}  // namespace
}  // namespace isort::testing
