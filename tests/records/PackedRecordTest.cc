// The record routines against models of the record format, and as a host sees
// them: exported names, calls into this program's obmove_ and assert_.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "Bits.h"
#include "host/HostServices.h"
#include "isort/sortfile.h"

using Units = std::vector<std::uint64_t>;
using Ints = std::vector<INTEGER>;        // SI too
static Ints moves;                        // the unit count of each obmove_ call
static std::vector<std::string> asserts;  // "NAME: condition" of each assert_ call

extern "C" __attribute__((visibility("default"))) void obmove_(const OBS* from, OBS* to,
                                                               const INTEGER* n) {
  moves.push_back(*n);
  std::memmove(to, from, static_cast<std::size_t>(*n) * sizeof(OBS));
}
extern "C" __attribute__((visibility("default"))) void assert_(
    const INTEGER* nameLength, const char* name, const INTEGER* textLength,
    const char* text, std::size_t nameChars, std::size_t textChars) {
  EXPECT_TRUE(*nameLength == INTEGER(nameChars) && *textLength == INTEGER(textChars));
  asserts.push_back(std::string(name, nameChars) + ": " + std::string(text, textChars));
}

namespace {

constexpr std::uint64_t kBlanks = 0x2020202020202020u;

using isort::testing::BitCast;
using isort::testing::Bits;
std::uint64_t Missing() { return Bits(CmnGlb[1]); }
std::uint64_t Control(std::array<unsigned char, 8> c) { return BitCast<std::uint64_t>(c); }
SI KeyUnits(SI width) { return std::max<SI>(1, (width + 7) / 8); }

struct Plan {
  INTEGER result, nmap, nkmap, keywid;
  Ints map, keylst;
};
auto Tie(const Plan& p) {
  return std::tie(p.result, p.nmap, p.nkmap, p.keywid, p.map, p.keylst);
}

// srtfva_ without FILL, then with: both agree, the first writes nothing, the
// second nothing past NMAP pairs and NKEYS + 1 triples, a refusal (10) nothing.
Plan PlanKeys(const Ints& keys, INTEGER widraw, bool rearr = true) {
  const INTEGER nkeys = static_cast<INTEGER>(keys.size() / 3);
  const Ints untouched(4 * keys.size() + 8, -777);
  Ints map = untouched, keylst = untouched;
  Plan counted{}, plan{};
  counted.result = srtfva_(nkeys, keys.data(), keylst.data(), map.data(), counted.nmap,
                           counted.nkmap, counted.keywid, widraw, rearr, 0);
  EXPECT_TRUE(map == untouched && keylst == untouched) << "written without FILL";
  plan.result = srtfva_(nkeys, keys.data(), keylst.data(), map.data(), plan.nmap,
                        plan.nkmap, plan.keywid, widraw, rearr, 1);
  EXPECT_EQ(Tie(counted), Tie(plan)) << "FILL false and true disagree";
  EXPECT_TRUE(plan.result == 0 || (plan.nmap | plan.nkmap | plan.keywid) == 0);
  const auto mapEnd = map.begin() + (plan.result ? 0 : 2 * plan.nmap);
  const auto listEnd = keylst.begin() + (plan.result ? 0 : nkeys + 1) * 3;
  EXPECT_TRUE(std::equal(mapEnd, map.end(), untouched.begin()) &&
              std::equal(listEnd, keylst.end(), untouched.begin()))
      << "written past the plan";
  plan.map.assign(map.begin(), mapEnd);
  plan.keylst.assign(keylst.begin(), listEnd);
  return plan;
}

// Missing, blanks, the integers -99 to 151 but -0.0 (value + 100), else literal.
unsigned ModelCode(std::uint64_t v) {
  const double d = BitCast<double>(v);
  if (v == Missing() || v == kBlanks) return v == Missing() ? 255 : 254;
  const bool coded = static_cast<std::uint32_t>(v) == 0 && d == std::trunc(d) && d >= -99;
  return coded && d <= 151 && (d != 0 || v == 0) ? static_cast<unsigned>(d + 100) : 253;
}

// A record, key fields untrimmed; coded pairs as groups of a control unit and literals.
Units ModelPack(const Units& row, const Plan& plan, bool coded, std::uint64_t header) {
  Units record = {0, header}, payload;
  for (INTEGER p = 0; p < plan.nmap; ++p) {
    Units& to = coded && p >= plan.nkmap ? payload : record;
    const auto from = row.begin() + (plan.map[2 * p] - 1);
    to.insert(to.end(), from, from + plan.map[2 * p + 1]);
  }
  for (std::size_t g = 0; g < payload.size(); g += 8) {
    std::array<unsigned char, 8> codes{};
    Units literals;
    for (std::size_t i = g; i < std::min(g + 8, payload.size()); ++i)
      if ((codes[i - g] = ModelCode(payload[i])) == 253) literals.push_back(payload[i]);
    record.push_back(Control(codes));
    record.insert(record.end(), literals.begin(), literals.end());
  }
  record[0] = record.size();
  return record;
}

// srtfpk_ into room for every unit and a control unit per eight, all kept.
Units Pack(const Units& row, const Plan& plan, INTEGER flags, std::uint64_t header) {
  constexpr std::uint64_t kPattern = 0x5A5A5A5A5A5A5A5Au;
  Units record(2 + row.size() + (row.size() + 7) / 8, kPattern);
  srtfpk_(reinterpret_cast<const OBS*>(row.data()), reinterpret_cast<OBS*>(record.data()),
          BitCast<OBS>(header), plan.map.data(), plan.keylst.data(), plan.nmap, plan.nkmap,
          flags);
  const std::size_t length = std::min<std::size_t>(record[0], record.size());
  EXPECT_TRUE(length == record[0] && Units(record.begin() + length, record.end()) ==
                                         Units(record.size() - length, kPattern))
      << "a length or a write past the largest record";
  record.resize(length);
  return record;
}

// Integers and halves around the coded range, missing, blanks, zeros, a lower
// half of 0, host patterns, any bits: every road of the code choice.
std::uint64_t RandomUnit(std::mt19937_64& random) {
  const std::uint64_t r = random(), s = r >> 8, host = IEEEPart1[s % 256] << 32;
  const std::uint64_t low0 =
      (s & 1) << 63 | (1023 + (s >> 1) % 9) << 52 | (s >> 5) << 44 >> 12;
  const double small = s % 400 - 130.0;
  const std::uint64_t kinds[8] = {
      Bits(small), Bits(small + 0.5), Missing(), kBlanks, s & 1 ? 0 : Bits(-0.0), low0,
      host,        random()};
  return kinds[r % 8];
}

// Valid random keys as the host passes them; with `separate` no two string
// keys share a unit, as the NUL that trims one could end the other's text.
Ints RandomKeys(std::mt19937_64& random, INTEGER widraw, std::size_t n, bool separate) {
  Ints keys(3 * n);
  std::vector<bool> text(static_cast<std::size_t>(widraw) + 1, false);
  for (std::size_t k = 0; k < n;) {  // a numeric key always fits
    const SI width = random() % 2 ? 1 + static_cast<SI>(random() % 60) : 0;
    if (KeyUnits(width) > widraw) continue;
    const SI position = 1 + static_cast<SI>(random() % (widraw - KeyUnits(width) + 1));
    const auto from = text.begin() + position, to = from + KeyUnits(width);
    if (separate && width > 0 && std::count(from, to, true) > 0) continue;
    if (separate && width > 0) std::fill(from, to, true);
    keys[k] = position, keys[n + k] = random() % 2 ? 1 : -1, keys[2 * n + k++] = width;
  }
  return keys;
}

// FLAGS as a host may pass them to srtfpk_ and srtfup_, plain and compressed:
// only bit 0 asks for compression. Beside each, a flag for SrtUnpack, which
// takes any value but 0 as compressed.
const struct {
  INTEGER flags;
  int unpackFlag;
} kFlags[2][4] = {{{0, 0}, {2, 0}, {INTEGER{1} << 32, 0}, {INT64_MIN, 0}},
                  {{1, 1}, {3, 2}, {-1, -1}, {(INTEGER{1} << 32) + 1, INT32_MIN}}};

// Plans `keys`, packs `rows` random rows plain and compressed: each record is
// the model's trimmed by srtkeyz_, and unpacks (srtfup_ or SrtUnpack) to its
// row, restoring its key fields, each where the key list says. String key
// units are text without a NUL ending in 0 to 8 blanks.
Plan RoundTrips(std::mt19937_64& random, const Ints& keys, INTEGER widraw, int rows) {
  const Plan plan = PlanKeys(keys, widraw);
  const std::size_t n = keys.size() / 3;
  EXPECT_EQ(plan.result, 0);
  for (int r = 0; r < rows && !testing::Test::HasFailure(); ++r) {
    Units row(static_cast<std::size_t>(widraw));
    for (std::uint64_t& unit : row) unit = RandomUnit(random);
    for (std::size_t k = 0; k < n; ++k)
      for (SI u = 0; keys[2 * n + k] > 0 && u < KeyUnits(keys[2 * n + k]); ++u) {
        const std::uint64_t keep = ~std::uint64_t{0} >> 8 * (random() % 8);
        row[keys[k] - 1 + u] =
            random() % 9 ? ((random() | kBlanks) & keep) | (kBlanks & ~keep) : kBlanks;
      }
    for (bool compressed : {false, true}) {
      const auto [flags, unpackFlag] = kFlags[compressed][random() % 4];
      const std::uint64_t header = random();
      const Units model = ModelPack(row, plan, compressed, header);
      Units record = Pack(row, plan, flags, header), trimmed = model, back(row.size());
      srtkeyz_(reinterpret_cast<OBS*>(trimmed.data()), plan.keylst.data());
      EXPECT_EQ(record, trimmed) << "flags " << flags;
      OBS* const to = reinterpret_cast<OBS*>(back.data());
      if (random() % 2) {
        srtfup_(reinterpret_cast<OBS*>(record.data()), to, plan.map.data(), plan.keylst.data(),
                plan.nmap, plan.nkmap, flags);
      } else {
        SrtUnpack(reinterpret_cast<OBS*>(record.data() + 2), to, plan.map.data(),
                  plan.keylst.data(), static_cast<int>(plan.nmap), static_cast<int>(plan.nkmap),
                  unpackFlag);
      }
      EXPECT_TRUE(back == row && record == model) << "flags " << flags << ", " << unpackFlag;
      for (std::size_t k = 0; k < n; ++k)
        for (SI u = 0; u < KeyUnits(keys[2 * n + k]); ++u)
          EXPECT_EQ(record[1 + plan.keylst[3 * k] + u], row[keys[k] - 1 + u]);
    }
  }
  return plan;
}

// The worked example, with and without REARR (keys as they lie in the row);
// then each kind of bad key (position outside the row, string past it,
// direction not 1 or -1, negative width) at any index among valid ones.
TEST(RecordPlan, WorkedExampleAndEachKindOfInvalidKeyAtEveryIndex) {
  const Ints keys = {7, 2, 4, 1, -1, 1, 0, 12, 0};  // positions, directions, widths
  const Ints map = {2, 3, 7, 1, 1, 1, 5, 2, 8, 3};
  const Ints keylst = {4, 0, 1, 1, 12, -1, 3, 0, 1, 1, -1, 1};
  EXPECT_EQ(Tie(PlanKeys(keys, 10)), Tie(Plan{0, 5, 2, 4, map, keylst}));
  const Ints inRow = {7, 0, 1, 2, 12, -1, 4, 0, 1, 1, -1, 1};
  EXPECT_EQ(Tie(PlanKeys(keys, 10, false)), Tie(Plan{0, 0, 0, 0, {}, inRow}));
  const Ints valid = {3, 1, 8, 9, 1, -1, 1, -1, 0, 16, 8, 16};
  EXPECT_EQ(PlanKeys(valid, 10).result, 0);
  const Ints bad = {0, 1, 0, -4, 1, 0, 11, 1,  0, 9, 1, 17,
                    3, 0, 0, 3,  2, 0, 3,  -2, 8, 3, 1, -1};
  for (std::size_t b = 0; b < bad.size(); b += 3)
    for (std::size_t index = 0; index < 4; ++index)
      for (bool rearr : {true, false}) {
        Ints keys = valid;
        for (std::size_t c = 0; c < 3; ++c) keys[4 * c + index] = bad[b + c];
        SCOPED_TRACE(testing::PrintToString(keys) + (rearr ? " rearr" : ""));
        EXPECT_EQ(PlanKeys(keys, 10, rearr).result, 10);
      }
}

// Codes that the packer never writes, in a record made by hand: 252 is a table
// entry like 1 to 251, and a 0 within a pair's count writes nothing and leaves
// the output where it is. Codes run on from one pair to the next.
TEST(RecordUnpack, CodesThePackerNeverWrites) {
  const std::uint64_t untouched = Bits(-7.25);
  const Ints map = {1, 1, 2, 3, 6, 2};  // a plain unit, then 3 and 2 coded units
  Units record = {0, 0, Bits(42.0), Control({252, 0, 253, 0, 101, 0, 0, 0}), Bits(0.5)};
  Units row(7, untouched);
  srtfup_(reinterpret_cast<OBS*>(record.data()), reinterpret_cast<OBS*>(row.data()), map.data(),
          Ints{1, -1, 1}.data(), 3, 1, 1);
  EXPECT_EQ(row, (Units{Bits(42.0), Bits(152.0), Bits(0.5), untouched, untouched, Bits(1.0),
                        untouched}));
}

// Random keys (every other set separate and packed) under several missing
// values, over 64 keys (planned,
// not refused), no failed check; payload and key runs of 999 and 1000 units:
// obmove_ copies only the longer, packing and unpacking, and not if coded.
TEST(RecordRoundTrip, RandomRowsThroughRandomPlans) {
  std::mt19937_64 random(2024);
  asserts.clear();
  // The system-missing value, set to values that have codes of their own, wins.
  const double saved = CmnGlb[1];
  const std::uint64_t missing[] = {Bits(saved), Bits(1.0), kBlanks, 0, Bits(0.5)};
  for (int i = 0; i < 4000 && !HasFailure(); ++i) {
    const INTEGER widraw = 1 + static_cast<INTEGER>(random() % 40), rows = i % 2 ? 0 : 4;
    SCOPED_TRACE(i);
    CmnGlb[1] = BitCast<double>(missing[i / 2 % 5]);
    RoundTrips(random, RandomKeys(random, widraw, random() % 9, rows > 0), widraw, rows);
  }
  CmnGlb[1] = saved;
  for (INTEGER n : {64, 65, 200, 1000})
    RoundTrips(random, RandomKeys(random, 4 * n, n, true), 4 * n, 2);
  EXPECT_TRUE(asserts.empty());
  moves.clear();
  EXPECT_EQ(RoundTrips(random, Ints{1000, 1, 0}, 2000, 3).map,
            (Ints{1000, 1, 1, 999, 1001, 1000}));
  EXPECT_EQ(moves, Ints(3 * 2, 1000));  // plain only
  moves.clear();
  const Plan runs = RoundTrips(random, Ints{2, 2000, 1, -1, 7992, 8000}, 3100, 3);
  EXPECT_EQ(runs.map, (Ints{2, 999, 2000, 1000, 1, 1, 1001, 999, 3000, 101}));
  EXPECT_EQ(moves, Ints(3 * 4, 1000));  // plain and compressed
}

// A NUL for a field's first trailing blank; blanks from its first NUL.
TEST(KeyTrim, TrimAndRestoreExamples) {
  const std::string nul(1, '\0'), header(16, ' '), tail(8, '#');
  const std::vector<std::tuple<INTEGER, std::string, std::string, std::string>> cases = {
      {8, "AB      ", "AB" + nul + "     ", "AB      "},
      {8, "        ", nul + "       ", "        "},
      {8, "A B     ", "A B" + nul + "    ", "A B     "},
      {5, "ABCDE   ", "ABCDE   ", "ABCDE   "},  // the blanks lie past its width
      {8, "XY" + nul + "Z   Q", "XY" + nul + "Z   Q", "XY      "}};
  for (const auto& [width, before, trimmed, restored] : cases) {
    const Ints keylst = {1, width, 1, 1, -1, 1};
    std::string record = header + before + tail;
    srtkeyz_(reinterpret_cast<OBS*>(record.data()), keylst.data());
    EXPECT_EQ(record, header + trimmed + tail);
    srtkeyunz_(reinterpret_cast<OBS*>(record.data()), keylst.data());
    EXPECT_EQ(record, header + restored + tail);
  }
}

// Names hidden by mistake would only show when a host is loaded; helpers and
// the engine's internal classes stay hidden. No keys on a row of under 0 units: both checks fail in order, and
// the list still ends.
TEST(HostCalls, ExportedNamesAndFailedPlanChecks) {
  void* library = dlopen(ISORT_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  Dl_info info{};
  for (const char* name :
       {"srtkeyz_", "srtkeyunz_", "SrtUnpack", "srtfup_", "srtfpk_", "srtfva_", "sortfile_",
        // MakeCSortKeys(const SI*, unsigned, std::vector<FileSort::SortKey>&)
        "_Z13MakeCSortKeysPKljRSt6vectorIN8FileSort7SortKeyESaIS3_EE", "_ZN8FileSort4SortEv",
        "_ZN8FileSort15SetMemoryTargetEm", "_ZN8FileSort8SetNRowsEx"})
    EXPECT_TRUE(dladdr(dlsym(library, name), &info) &&
                std::strstr(info.dli_fname, "libisort.so"))
        << name;
  for (const char* name : {"_ZN5isort7records13TrimKeyFieldsEPdPKl", "_ZN8FileSort4Data5MergeEv"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
  Ints list(3);
  INTEGER n;
  asserts.clear();
  EXPECT_EQ(srtfva_(0, nullptr, list.data(), nullptr, n, n, n, -2, 1, 1), 0);
  EXPECT_EQ(asserts, (std::vector<std::string>{"SRTFVA: NXTIN .EQ. WIDRAW+1",
                                               "SRTFVA: OUTPOS .EQ. WIDRAW+1"}));
  EXPECT_EQ(list, (Ints{1, -1, 1}));
}

}  // namespace
