// Every create, write, read and seek of a work file fails in turn: each sort
// either completes correctly or ends in an ErrorText that names the system's
// reason, with no work file left.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "Oracle.h"
#include "VectorSort.h"
#include "WorkDir.h"
#include "isort/FileSort.h"
#include "isort/platform.h"
#include "streams/FaultInjection.h"
#include "vorn/Errors.h"

namespace isort::testing {
namespace {

using platform::faults::FileCall;

struct Kind {
  FileCall call;
  int error;
  const char* name;
};

TEST(FileFaultSweep, EveryWorkFileCallFailsInTurn) {
  WorkDir dir;
  std::mt19937_64 random(81);
  DataSetShape shape;
  shape.maxUnits = 8;
  DataSet set = RandomDataSet(random, 2000, shape);
  if (set.keys.empty()) set.keys.push_back({0, -1, set.variables[0].width});
  const std::vector<OBS> expected = OracleSort(set);
  const std::uint64_t budget = 150 * (set.units + 1) * 8 * 2;  // about 150 rows a batch
  platform::SetFileBufferSize(512);  // many calls per run; several passes

  const Kind kinds[] = {{FileCall::kCreate, EMFILE, "create"},
                        {FileCall::kWrite, ENOSPC, "write"},
                        {FileCall::kRead, EIO, "read"},
                        {FileCall::kSeek, EINVAL, "seek"}};
  for (const Kind& kind : kinds) {
    int injected = 0;
    for (unsigned long nth = 1;; ++nth) {
      SCOPED_TRACE(::testing::Message() << kind.name << " call " << nth);
      platform::faults::FailNthFileCall(kind.call, nth, kind.error);
      bool completed = false;
      try {
        VectorSort sort(set, nullptr, budget);
        sort.Sort();
        ASSERT_EQ(FirstDifference(expected, sort.output, set.units), -1);
        completed = true;
      } catch (const ErrorText& error) {
        ++injected;
        ASSERT_NE(error.Text().find(std::strerror(kind.error)), std::string::npos) << error.Text();
        ASSERT_EQ(error.Detail(), kind.error);
      }
      platform::faults::ClearFileFaults();
      ASSERT_TRUE(dir.Clean());
      if (completed) break;  // the sort makes fewer such calls than nth
      ASSERT_LT(nth, 100000u);
    }
    RecordProperty(kind.name, injected);
    EXPECT_GT(injected, 0) << kind.name;
  }
  platform::SetFileBufferSize(64 * 1024);
}

}  // namespace
}  // namespace isort::testing
