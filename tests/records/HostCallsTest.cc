// The calls that the record routines make into the host: obmove_ for runs of
// more than 999 units, and assert_ for a failed check of srtfva_.
//
// This program defines obmove_ and assert_ itself. The library resolves them
// when it is loaded, and a definition in the program comes before the one in
// libisort_platform, so the calls land here, as they would land in a host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RecordModel.h"
#include "isort/sortfile.h"

namespace {

struct MoveCall {
  const OBS* from;
  OBS* to;
  INTEGER n;
};
std::vector<MoveCall> moves;

struct AssertCall {
  INTEGER nameLength;
  std::string name;
  INTEGER textLength;
  std::string text;
  std::size_t nameChars;
  std::size_t textChars;
};
std::vector<AssertCall> asserts;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void obmove_(const OBS* from, OBS* to,
                                                    const INTEGER* n) {
  moves.push_back({from, to, *n});
  if (*n > 0) std::memmove(to, from, static_cast<std::size_t>(*n) * sizeof(OBS));
}

__attribute__((visibility("default"))) void assert_(
    const INTEGER* nameLength, const char* name, const INTEGER* textLength,
    const char* text, std::size_t nameChars, std::size_t textChars) {
  asserts.push_back(
      {*nameLength, std::string(name, static_cast<std::size_t>(*nameLength)), *textLength,
       std::string(text, static_cast<std::size_t>(*textLength)), nameChars, textChars});
}

}  // extern "C"

namespace {

using namespace records_test;

// Map: a key run of `keyCount` units at unit 1, then a payload run of
// `payloadCount` units behind it.
struct TwoRuns {
  TwoRuns(INTEGER keyCount, INTEGER payloadCount)
      : row(static_cast<std::size_t>(keyCount + payloadCount)),
        map{1, keyCount, keyCount + 1, payloadCount} {
    for (std::size_t i = 0; i < row.size(); ++i)
      row[i] = static_cast<double>(i % 300) + 0.5;
    record.resize(2 + row.size() + row.size() / 8 + 1);
  }
  void Pack(INTEGER flags) {
    srtfpk_(row.data(), record.data(), 0.0, map.data(), kNoKeyFields.data(), 2, 1, flags);
  }
  void Unpack(INTEGER flags) {
    back.assign(row.size(), 0.0);
    srtfup_(record.data(), back.data(), map.data(), kNoKeyFields.data(), 2, 1, flags);
  }
  std::vector<OBS> row, record, back;
  std::vector<INTEGER> map;
};

TEST(HostMove, RunsUpTo999UnitsAreCopiedDirectly) {
  TwoRuns runs(999, 999);
  moves.clear();
  runs.Pack(0);
  runs.Unpack(0);
  EXPECT_TRUE(moves.empty());
  EXPECT_EQ(std::memcmp(runs.back.data(), runs.row.data(), runs.row.size() * 8), 0);
}

TEST(HostMove, LongerRunsGoThroughTheHost) {
  TwoRuns runs(1000, 1001);
  moves.clear();
  runs.Pack(0);
  ASSERT_EQ(moves.size(), 2u);
  OBS* data = runs.record.data() + 2;
  EXPECT_EQ(moves[0].from, runs.row.data());
  EXPECT_EQ(moves[0].to, data);
  EXPECT_EQ(moves[0].n, 1000);
  EXPECT_EQ(moves[1].from, runs.row.data() + 1000);
  EXPECT_EQ(moves[1].to, data + 1000);
  EXPECT_EQ(moves[1].n, 1001);

  moves.clear();
  runs.Unpack(0);
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[0].from, data);
  EXPECT_EQ(moves[0].to, runs.back.data());
  EXPECT_EQ(moves[0].n, 1000);
  EXPECT_EQ(moves[1].from, data + 1000);
  EXPECT_EQ(moves[1].to, runs.back.data() + 1000);
  EXPECT_EQ(std::memcmp(runs.back.data(), runs.row.data(), runs.row.size() * 8), 0);
}

TEST(HostMove, CodedRunsAreNeverMoved) {
  TwoRuns runs(1000, 1000);
  moves.clear();
  runs.Pack(1);
  runs.Unpack(1);
  // Only the plain key run, once each way.
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[0].n, 1000);
  EXPECT_EQ(moves[1].n, 1000);
  EXPECT_EQ(std::memcmp(runs.back.data(), runs.row.data(), runs.row.size() * 8), 0);
}

TEST(HostAssert, FailedChecksNameTheRoutineAndTheCondition) {
  asserts.clear();
  std::vector<INTEGER> keylst(3), map(2);
  INTEGER nmap, nkmap, keywid;
  const INTEGER nkeys = 0, widraw = -2;
  const LOGICAL yes = 1;
  EXPECT_EQ(srtfva_(nkeys, nullptr, keylst.data(), map.data(), nmap, nkmap, keywid,
                    widraw, yes, yes),
            0);
  ASSERT_EQ(asserts.size(), 2u);
  EXPECT_EQ(asserts[0].nameLength, 6);
  EXPECT_EQ(asserts[0].name, "SRTFVA");
  EXPECT_EQ(asserts[0].textLength, 19);
  EXPECT_EQ(asserts[0].text, "NXTIN .EQ. WIDRAW+1");
  EXPECT_EQ(asserts[0].nameChars, 6u);
  EXPECT_EQ(asserts[0].textChars, 19u);
  EXPECT_EQ(asserts[1].name, "SRTFVA");
  EXPECT_EQ(asserts[1].textLength, 20);
  EXPECT_EQ(asserts[1].text, "OUTPOS .EQ. WIDRAW+1");
  EXPECT_EQ(asserts[1].textChars, 20u);
  EXPECT_EQ(keylst, (std::vector<INTEGER>{1, -1, 1}));

  asserts.clear();
  const std::vector<SI> keys = HostKeys({{2, 1, 0}, {5, -1, 16}});
  std::vector<INTEGER> keylst2(9), map2(10);
  const INTEGER two = 2, width = 9;
  EXPECT_EQ(srtfva_(two, keys.data(), keylst2.data(), map2.data(), nmap, nkmap, keywid,
                    width, yes, yes),
            0);
  EXPECT_TRUE(asserts.empty());
}

}  // namespace
