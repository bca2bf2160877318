// The record routines against plain models of the record format: the plan of
// srtfva_, the codes and code groups of srtfpk_, the trimming of string key
// fields, and random rows packed through random plans and unpacked again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/HostServices.h"
#include "isort/sortfile.h"

namespace {

using Units = std::vector<std::uint64_t>;
using Ints = std::vector<INTEGER>;
constexpr std::uint64_t kBlanks = 0x2020202020202020u;
constexpr INTEGER kUnset = -777;

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  return bits;
}
std::uint64_t Missing() { return Bits(CmnGlb[1]); }

// A control unit from its codes, the first at the lowest address.
std::uint64_t Control(std::vector<unsigned char> codes) {
  codes.resize(8, 0);
  std::uint64_t unit;
  std::memcpy(&unit, codes.data(), 8);
  return unit;
}

// A host key array (column-major) from (position, direction, width) triples.
using Key = std::array<SI, 3>;
std::vector<SI> HostKeys(const std::vector<Key>& keys) {
  const std::size_t n = keys.size();
  std::vector<SI> host(3 * n);
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t i = 0; i < 3; ++i) host[i * n + k] = keys[k][i];
  return host;
}

SI KeyUnits(SI width) { return std::max<SI>(1, (width + 7) / 8); }

struct Plan {
  INTEGER result, nmap, nkmap, keywid;
  Ints map, keylst;
};
auto Tie(const Plan& p) {
  return std::tie(p.result, p.nmap, p.nkmap, p.keywid, p.map, p.keylst);
}

// srtfva_ as a host calls it: without FILL to learn the counts, then with
// FILL. Both calls must agree; the first writes no array, the second nothing
// past the map's NMAP pairs and the list's NKEYS + 1 triples, and a refused key
// array (10) gets counts of 0 and nothing written.
Plan PlanKeys(const std::vector<SI>& keys, INTEGER widraw, bool rearr = true) {
  const INTEGER nkeys = static_cast<INTEGER>(keys.size() / 3);
  const LOGICAL r = rearr, counting = 0, filling = 1;
  const Ints untouched(4 * keys.size() + 8, kUnset);
  Ints map = untouched, keylst = untouched;
  Plan counted{}, plan{};
  counted.result = srtfva_(nkeys, keys.data(), keylst.data(), map.data(), counted.nmap,
                           counted.nkmap, counted.keywid, widraw, r, counting);
  EXPECT_TRUE(map == untouched && keylst == untouched) << "written without FILL";
  plan.result = srtfva_(nkeys, keys.data(), keylst.data(), map.data(), plan.nmap,
                        plan.nkmap, plan.keywid, widraw, r, filling);
  EXPECT_EQ(Tie(counted), Tie(plan)) << "FILL false and true disagree";
  EXPECT_TRUE(plan.result == 0 || (plan.nmap | plan.nkmap | plan.keywid) == 0);
  const auto mapEnd = map.begin() + (plan.result ? 0 : 2 * plan.nmap);
  const auto listEnd = keylst.begin() + (plan.result ? 0 : nkeys + 1) * 3;
  EXPECT_EQ(std::count(mapEnd, map.end(), kUnset), map.end() - mapEnd) << "written past";
  EXPECT_EQ(std::count(listEnd, keylst.end(), kUnset), keylst.end() - listEnd);
  plan.map.assign(map.begin(), mapEnd);
  plan.keylst.assign(keylst.begin(), listEnd);
  return plan;
}

// The plan from the units that the keys cover: a key run for each stretch of
// covered units, a payload run for each stretch of the rest, key runs first;
// a key's field lies where its first unit lands among the key runs.
Plan ModelPlan(const std::vector<SI>& keys, INTEGER widraw) {
  const std::size_t n = keys.size() / 3;
  std::vector<bool> covered(static_cast<std::size_t>(widraw) + 2, false);
  for (std::size_t k = 0; k < n; ++k)
    for (SI u = 0; u < KeyUnits(keys[2 * n + k]); ++u) covered[keys[k] + u] = true;
  Plan plan{};
  Ints payload, at(covered.size(), 0);
  for (INTEGER u = 1, v; u <= widraw; u = v) {
    for (v = u; v <= widraw && covered[v] == covered[u]; ++v)
      if (covered[v]) at[v] = ++plan.keywid;
    Ints& runs = covered[u] ? plan.map : payload;
    runs.insert(runs.end(), {u, v - u});
  }
  plan.nkmap = static_cast<INTEGER>(plan.map.size() / 2);
  plan.map.insert(plan.map.end(), payload.begin(), payload.end());
  plan.nmap = static_cast<INTEGER>(plan.map.size() / 2);
  for (std::size_t k = 0; k < n; ++k)
    plan.keylst.insert(plan.keylst.end(), {at[keys[k]], keys[2 * n + k], keys[n + k]});
  plan.keylst.insert(plan.keylst.end(), {1, -1, 1});
  return plan;
}

// The code of a unit: missing, blanks, a literal when the lower half is used,
// the integers -99 to 151 (code = value + 100), else a literal.
unsigned ModelCode(std::uint64_t v) {
  double d;
  std::memcpy(&d, &v, 8);
  if (v == Missing()) return 255;
  if (v == kBlanks) return 254;
  if (static_cast<std::uint32_t>(v) != 0) return 253;
  if (d == std::trunc(d) && d >= -99 && d <= 151 && (d != 0 || v == 0))  // not -0.0
    return static_cast<unsigned>(d + 100);
  return 253;
}

// The record of a row: length, header, the plain pairs' units, then for a
// compressed record the rest as groups of a control unit and its literals;
// string key fields trimmed (a NUL for the first trailing blank) if `trim`.
Units ModelPack(const Units& row, const Plan& plan, bool compressed, std::uint64_t header,
                bool trim) {
  Units record = {0, header}, payload;
  for (INTEGER p = 0; p < plan.nmap; ++p) {
    Units& to = compressed && p >= plan.nkmap ? payload : record;
    const auto from = row.begin() + (plan.map[2 * p] - 1);
    to.insert(to.end(), from, from + plan.map[2 * p + 1]);
  }
  for (std::size_t g = 0; g < payload.size(); g += 8) {
    std::vector<unsigned char> codes;
    Units literals;
    for (std::size_t i = g; i < std::min(g + 8, payload.size()); ++i) {
      codes.push_back(static_cast<unsigned char>(ModelCode(payload[i])));
      if (codes.back() == 253) literals.push_back(payload[i]);
    }
    record.push_back(Control(codes));
    record.insert(record.end(), literals.begin(), literals.end());
  }
  record[0] = record.size();
  for (std::size_t t = 0; trim && plan.keylst[t + 1] >= 0; t += 3) {
    char* field = reinterpret_cast<char*>(&record[1 + plan.keylst[t]]);
    INTEGER end = plan.keylst[t + 1];
    if (end == 0 || field[end - 1] != ' ') continue;
    while (end > 0 && field[end - 1] == ' ') --end;
    field[end] = '\0';
  }
  return record;
}

// srtfpk_ into a buffer of room for every unit and a control unit per eight,
// filled with a pattern that must survive behind the record's length.
Units Pack(const Units& row, const Plan& plan, INTEGER flags, std::uint64_t header) {
  constexpr std::uint64_t kPattern = 0x5A5A5A5A5A5A5A5Au;
  Units record(2 + row.size() + (row.size() + 7) / 8, kPattern);
  OBS hdrval;
  std::memcpy(&hdrval, &header, 8);
  srtfpk_(reinterpret_cast<const OBS*>(row.data()), reinterpret_cast<OBS*>(record.data()),
          hdrval, plan.map.data(), plan.keylst.data(), plan.nmap, plan.nkmap, flags);
  const std::size_t length = std::min<std::size_t>(record[0], record.size());
  EXPECT_EQ(length, record[0]) << "a length past the largest record";
  EXPECT_TRUE(std::all_of(record.begin() + static_cast<std::ptrdiff_t>(length),
                          record.end(),
                          [](std::uint64_t unit) { return unit == kPattern; }))
      << "written behind the record";
  record.resize(length);
  return record;
}

// Units that take every road of the code choice.
std::uint64_t RandomUnit(std::mt19937_64& random) {
  const std::uint64_t r = random(), small = (r >> 8) % 400;
  const std::uint64_t kinds[8] = {
      Bits(small - 130.0), Bits(small - 129.5), Missing(), kBlanks,
      r & 1 << 8 ? 0 : Bits(-0.0),
      // lower half 0, the exponent of a small integer, any upper mantissa bits
      (r >> 8 & 1) << 63 | (1023 + (r >> 9) % 9) << 52 | (r >> 13 & 0xFFFFF) << 32,
      IEEEPart1[(r >> 8) % 256] << 32, random()};  // random(): NaN patterns, bytes
  return kinds[r % 8];
}
// 8 bytes of text without a NUL, ending in 0 to 8 blanks.
std::uint64_t RandomText(std::mt19937_64& random) {
  const std::uint64_t keep = ~std::uint64_t{0} >> 8 * (random() % 8);
  return random() % 9 == 0 ? kBlanks : ((random() | kBlanks) & keep) | (kBlanks & ~keep);
}

// Valid random keys. With `separate`, no two string keys share a unit: the
// NUL that trims one field could otherwise end the other's text.
std::vector<SI> RandomKeys(std::mt19937_64& random, INTEGER widraw, std::size_t n,
                           SI maxWidth, bool separate) {
  std::vector<Key> keys;
  std::vector<bool> text(static_cast<std::size_t>(widraw) + 1, false);
  for (std::size_t tries = 0; keys.size() < n && tries < 20 * n; ++tries) {
    const SI width = random() % 2 ? 1 + static_cast<SI>(random() % maxWidth) : 0;
    if (KeyUnits(width) > widraw) continue;
    const SI position = 1 + static_cast<SI>(random() % (widraw - KeyUnits(width) + 1));
    const auto from = text.begin() + position, to = from + KeyUnits(width);
    if (separate && width > 0 && std::count(from, to, true) > 0) continue;
    if (separate && width > 0) std::fill(from, to, true);
    keys.push_back({position, random() % 2 ? 1 : -1, width});
  }
  return HostKeys(keys);
}

// Plans `keys` against the model, then packs `rows` random rows plain and
// compressed: each record must be the model's, unit for unit, and unpack to
// its row, leaving the record's key fields restored.
Plan ExpectRoundTrips(std::mt19937_64& random, const std::vector<SI>& keys,
                      INTEGER widraw, int rows) {
  const Plan plan = PlanKeys(keys, widraw);
  EXPECT_EQ(Tie(plan), Tie(ModelPlan(keys, widraw)));
  const std::size_t n = keys.size() / 3;
  for (int r = 0; r < rows && !testing::Test::HasFailure(); ++r) {
    Units row(static_cast<std::size_t>(widraw));
    for (std::uint64_t& unit : row) unit = RandomUnit(random);
    for (std::size_t k = 0; k < n; ++k)
      for (SI u = 0; keys[2 * n + k] > 0 && u < KeyUnits(keys[2 * n + k]); ++u)
        row[keys[k] - 1 + u] = RandomText(random);
    for (INTEGER flags : {0, 1}) {
      const std::uint64_t header = random();
      Units record = Pack(row, plan, flags, header);
      EXPECT_EQ(record, ModelPack(row, plan, flags, header, true)) << "flags " << flags;
      Units back(row.size(), 0xDEADBEEFu);
      srtfup_(reinterpret_cast<OBS*>(record.data()), reinterpret_cast<OBS*>(back.data()),
              plan.map.data(), plan.keylst.data(), plan.nmap, plan.nkmap, flags);
      EXPECT_EQ(back, row) << "flags " << flags;
      EXPECT_EQ(record, ModelPack(row, plan, flags, header, false)) << "flags " << flags;
    }
  }
  return plan;
}

TEST(RecordPlan, WorkedExample) {
  const std::vector<SI> keys = HostKeys({{7, 1, 0}, {2, -1, 12}, {4, 1, 0}});
  const Ints map = {2, 3, 7, 1, 1, 1, 5, 2, 8, 3};
  const Ints keylst = {4, 0, 1, 1, 12, -1, 3, 0, 1, 1, -1, 1};
  EXPECT_EQ(Tie(PlanKeys(keys, 10)), Tie(Plan{0, 5, 2, 4, map, keylst}));
  // Without REARR the list names the keys where they lie in the row.
  const Ints inRow = {7, 0, 1, 2, 12, -1, 4, 0, 1, 1, -1, 1};
  EXPECT_EQ(Tie(PlanKeys(keys, 10, false)), Tie(Plan{0, 0, 0, 0, {}, inRow}));
}

// Every key is examined: a bad key at any index refuses the array.
TEST(RecordPlan, EachKindOfInvalidKeyAtEveryIndexIsRefused) {
  const std::vector<Key> valid = {{3, 1, 0}, {1, -1, 16}, {8, 1, 8}, {5, -1, 0}};
  // Positions outside the row, a string past it, directions other than 1 and
  // -1, a negative width.
  const std::vector<Key> invalid = {{0, 1, 0}, {-4, 1, 0}, {11, 1, 0}, {9, 1, 17},
                                    {3, 0, 0}, {3, 2, 0},  {3, -2, 8}, {3, 1, -1}};
  for (const auto& bad : invalid)
    for (std::size_t index = 0; index < valid.size(); ++index)
      for (bool rearr : {true, false}) {
        std::vector<Key> keys = valid;
        keys[index] = bad;
        SCOPED_TRACE(testing::PrintToString(keys) + (rearr ? " rearr" : ""));
        EXPECT_EQ(PlanKeys(HostKeys(keys), 10, rearr).result, 10);
      }
  // Made valid, the same keys pass, so each refusal above is the bad key's.
  EXPECT_EQ(PlanKeys(HostKeys(valid), 10).result, 0);
  EXPECT_EQ(PlanKeys(HostKeys({{9, 1, 16}}), 10).result, 0);  // ends at the last unit
}

// More than 64 keys: srtfva_ sizes its ordering to the key count, so they get
// their plan rather than a refusal.
TEST(RecordPlan, MoreThanSixtyFourKeysArePlanned) {
  std::mt19937_64 random(23);
  for (INTEGER n : {64, 65, 200, 1000})
    ExpectRoundTrips(random, RandomKeys(random, 4 * n, n, 60, true), 4 * n, 2);
}

TEST(RecordPack, CodeOfEachKindOfUnit) {
  const auto PackedCode = [](std::uint64_t v) {  // the first code of a record of one
    return Pack({v}, Plan{0, 1, 0, 0, {1, 1}, {1, -1, 1}}, 1, 0).at(2) & 0xFF;
  };
  const std::vector<std::pair<double, unsigned>> examples = {
      {1.0, 101},   {-99.0, 1},   {151.0, 251},   {-1.0, 99},   {-98.0, 2},
      {7.0, 107},   {128.0, 228}, {0.0, 100},     {152.0, 253}, {-100.0, 253},
      {0.5, 253},   {3.5, 253},   {1e300, 253},   {-0.0, 253},  {1.5, 253},
      {-99.5, 253}, {255.0, 253}, {-DBL_MAX, 255}};
  for (const auto& [value, code] : examples)
    EXPECT_EQ(PackedCode(Bits(value)), code) << value;
  EXPECT_EQ(PackedCode(kBlanks), 254u);  // eight blanks, also in a numeric field
  // The system-missing value wins over every other code.
  const double saved = CmnGlb[1];
  for (std::uint64_t missing : {Bits(1.0), kBlanks, std::uint64_t{0}, Bits(0.5)}) {
    std::memcpy(&CmnGlb[1], &missing, 8);
    EXPECT_EQ(PackedCode(missing), 255u) << std::hex << missing;
  }
  EXPECT_EQ(PackedCode(Bits(-DBL_MAX)), 253u);  // no longer the missing value
  CmnGlb[1] = saved;
}

// Eight payload units fill one control unit, the literals behind it in code
// order; a ninth starts a second group. The payload lies in two pairs, whose
// codes run on from one to the next.
TEST(RecordPack, ControlUnitsOf8And9PayloadUnits) {
  const Units row = {Bits(42.5), Bits(1.0), Bits(0.5), kBlanks,     Missing(),
                     Bits(2.0),  Bits(3.5), Bits(0.0), Bits(-99.0), Bits(1e300)};
  const std::uint64_t first = Control({101, 253, 254, 255, 102, 253, 100, 1});
  EXPECT_EQ(Pack(row, Plan{0, 3, 1, 1, {1, 1, 2, 3, 5, 5}, {1, -1, 1}}, 1, 9),
            (Units{6, 9, Bits(42.5), first, Bits(0.5), Bits(3.5)}));
  EXPECT_EQ(Pack(row, Plan{0, 3, 1, 1, {1, 1, 2, 3, 5, 6}, {1, -1, 1}}, 1, 9),
            (Units{8, 9, Bits(42.5), first, Bits(0.5), Bits(3.5), Control({253}),
                   Bits(1e300)}));
}

// Random key arrays against the coverage model, with and without FILL
// (PlanKeys); every other one has separate string keys and packs rows.
TEST(RecordRoundTrip, RandomRowsThroughRandomPlans) {
  std::mt19937_64 random(2024);
  for (int i = 0; i < 4000 && !HasFailure(); ++i) {
    const INTEGER widraw = 1 + static_cast<INTEGER>(random() % 40);
    const bool separate = i % 2 == 0;
    SCOPED_TRACE(i);
    ExpectRoundTrips(random, RandomKeys(random, widraw, random() % 9, 40, separate),
                     widraw, separate ? 4 : 0);
  }
}

// Runs of up to 999 units are copied by the library, longer ones by the
// host's obmove_: payload runs of 999 and 1000 units, then key runs.
TEST(RecordRoundTrip, RunsOf999And1000Units) {
  std::mt19937_64 random(99);
  const Plan payload = ExpectRoundTrips(random, HostKeys({{1000, 1, 0}}), 2000, 3);
  EXPECT_EQ(payload.map, (Ints{1000, 1, 1, 999, 1001, 1000}));
  const Plan keys =
      ExpectRoundTrips(random, HostKeys({{2, 1, 999 * 8}, {2000, -1, 8000}}), 3100, 3);
  EXPECT_EQ(keys.map, (Ints{2, 999, 2000, 1000, 1, 1, 1001, 999, 3000, 101}));
}

// srtkeyz_ puts a NUL in place of a field's first trailing blank; srtkeyunz_
// blanks a field from its first NUL. Bytes outside the field stay.
TEST(KeyTrim, TrimAndRestoreExamples) {
  const std::string nul(1, '\0');
  const std::vector<std::tuple<INTEGER, std::string, std::string, std::string>> cases = {
      {8, "AB      ", "AB" + nul + "     ", "AB      "},
      {8, "        ", nul + "       ", "        "},
      {8, "A B     ", "A B" + nul + "    ", "A B     "},
      {5, "ABCDE   ", "ABCDE   ", "ABCDE   "},  // the blanks lie past its width
      {8, "XY" + nul + "Z   Q", "XY" + nul + "Z   Q", "XY      "}};
  for (const auto& [width, before, trimmed, restored] : cases) {
    const Ints keylst = {1, width, 1, 1, -1, 1};
    const std::string header(16, ' '), tail(8, '#');
    std::vector<OBS> record(4);
    const auto bytes = [&] {
      return std::string(reinterpret_cast<char*>(record.data()), 32);
    };
    std::memcpy(record.data(), (header + before + tail).data(), 32);
    srtkeyz_(record.data(), keylst.data());
    EXPECT_EQ(bytes(), header + trimmed + tail);
    srtkeyunz_(record.data(), keylst.data());
    EXPECT_EQ(bytes(), header + restored + tail);
  }
}

}  // namespace
