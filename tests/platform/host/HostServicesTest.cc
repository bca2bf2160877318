#include "host/HostServices.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <vector>

#include "isort/platform.h"

namespace {

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

TEST(ByteCodes, EntryHoldsUpperHalfOfCodeMinus100) {
  for (int code = 1; code <= 252; ++code) {
    SCOPED_TRACE(code);
    EXPECT_EQ(IEEEPart1[code], Bits(code - 100.0) >> 32);
    // Every such double has a zero lower half, so the entry alone rebuilds it.
    EXPECT_EQ(Bits(code - 100.0) & 0xFFFFFFFFu, 0u);
  }
  EXPECT_EQ(IEEEPart1[0], 0u);
  EXPECT_EQ(IEEEPart1[253], 0u);
  EXPECT_EQ(IEEEPart1[255], 0u);
}

TEST(GlobalBlock, SecondSlotIsTheLowestDouble) {
  ASSERT_NE(CmnGlb, nullptr);
  EXPECT_EQ(CmnGlb[1], -DBL_MAX);
  EXPECT_EQ(Bits(CmnGlb[1]), 0xFFEFFFFFFFFFFFFFu);
}

TEST(Threads, LimitOverridesProcessorCount) {
  const INTEGER available = getthreads_();
  EXPECT_GE(available, 1);
  isort::platform::SetThreadLimit(7);
  EXPECT_EQ(getthreads_(), 7);
  isort::platform::SetThreadLimit(0);
  EXPECT_EQ(getthreads_(), available);
  EXPECT_GE(getPhysicalCPUCount(), 1u);
  EXPECT_GE(getCoresPerPhysicalCPUCount(), 1u);
}

TEST(Threads, CoreCountOverridesTopology) {
  const unsigned int machine = getPhysicalCPUCount() * getCoresPerPhysicalCPUCount();
  isort::platform::SetCoreCount(6);
  EXPECT_EQ(getPhysicalCPUCount() * getCoresPerPhysicalCPUCount(), 6u);
  isort::platform::SetCoreCount(0);
  EXPECT_EQ(getPhysicalCPUCount() * getCoresPerPhysicalCPUCount(), machine);
}

TEST(Time, CountersRunForward) {
  std::int64_t cpu0, wall0, cpu1, wall1;
  timtot_(&cpu0, &wall0);
  volatile double sink = 0;
  for (int i = 0; i < 20000000; ++i) sink = sink + i;  // about 20 ms of CPU
  timtot_(&cpu1, &wall1);
  EXPECT_GT(cpu1, cpu0);
  EXPECT_GT(wall1, wall0);
}

TEST(Move, CopiesExactlyNUnits) {
  std::vector<OBS> from = {1, 2, 3, 4, 5};
  std::vector<OBS> to(5, -1.0);
  const INTEGER n = 3;
  obmove_(from.data(), to.data(), &n);
  EXPECT_EQ(to, (std::vector<OBS>{1, 2, 3, -1, -1}));
}

TEST(Assert, ReportsRoutineAndCondition) {
  testing::internal::CaptureStderr();
  const INTEGER nameLength = 6, textLength = 14;
  assert_(&nameLength, "SRTFVAxx", &textLength, "JMAP .EQ. NMAPxx", 6, 14);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("SRTFVA: JMAP .EQ. NMAP\n"), std::string::npos) << out;
}

}  // namespace
