#include "host/HostServices.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cfloat>
#include <cstring>
#include <vector>

#include "Bits.h"
#include "TestHooks.h"
#include "isort/platform.h"

namespace {

using isort::testing::Bits;

// Byte code c (1 to 252) holds the upper half of the double c - 100.
TEST(HostServices, TablesUnitMoverAndAssert) {
  for (int code = 0; code < 256; ++code) {
    const bool used = code >= 1 && code <= 252;
    EXPECT_EQ(IEEEPart1[code], used ? Bits(code - 100.0) >> 32 : 0u) << code;
  }
  ASSERT_NE(CmnGlb, nullptr);
  EXPECT_EQ(Bits(CmnGlb[1]), Bits(-DBL_MAX));
  std::vector<OBS> from = {1, 2, 3, 4, 5}, to(5, -1.0);
  const INTEGER n = 3, nameLength = 6, textLength = 14;
  obmove_(from.data(), to.data(), &n);
  EXPECT_EQ(to, (std::vector<OBS>{1, 2, 3, -1, -1}));
  testing::internal::CaptureStderr();
  assert_(&nameLength, "SRTFVAxx", &textLength, "JMAP .EQ. NMAPxx", 6, 14);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("SRTFVA: JMAP .EQ. NMAP\n"), std::string::npos) << out;
}

// The clocks: FileSort.TimeFiguresFollowTheirPhase.
TEST(HostServices, CountsFollowTheMachineAndTheSettings) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_EQ(getthreads_(), CPU_COUNT(&set)) << "the processors this process may use";
  isort::platform::SetThreadLimit(7);
  EXPECT_EQ(getthreads_(), 7);
  isort::platform::SetThreadLimit(0);
  EXPECT_EQ(getthreads_(), CPU_COUNT(&set));
  const unsigned int machine = getPhysicalCPUCount() * getCoresPerPhysicalCPUCount();
  EXPECT_TRUE(getPhysicalCPUCount() >= 1 && machine >= 1);
  isort::platform::SetCoreCount(6);
  EXPECT_EQ(getPhysicalCPUCount() * getCoresPerPhysicalCPUCount(), 6u);
  isort::platform::SetCoreCount(0);
  EXPECT_EQ(getPhysicalCPUCount() * getCoresPerPhysicalCPUCount(), machine);
}

}  // namespace
