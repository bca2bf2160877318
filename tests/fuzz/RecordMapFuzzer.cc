// Fuzz target: srtfva_ on arbitrary key arrays.
//
// Input layout (FuzzInput.h; missing bytes read as 0):
//   U8   bit 0: REARR; bits 1-2: how WIDRAW is given: 0 U8, 1 U16,
//        2 minus a U8 (0 or negative), 3 any I64
//   ...  WIDRAW as bits 1-2 say
//   U16  NKEYS = value % 400 - 16 (negative counts included)
//   per key: U8 kind, then the values the kind asks for:
//        bits 0-1 position: 0-1 1 + U16 % min(WIDRAW, 65536), 2 WIDRAW - U8, 3 I64
//        bits 2-4 direction: 1, -1, 1, -1, 0, 2, -2, or 7: I64
//        bits 5-7 width: 0-3 numeric, 4-5 1 + U8, 6 U16, 7 I64
//
// srtfva_ is called as a host calls it: without FILL into arrays of no
// entries, then with FILL into arrays of exactly NMAP pairs and NKEYS + 1
// triples, so that the address sanitizer reports any write past them.
// Checked: the result is 10 exactly when some key is invalid, and then nothing
// is written; both calls give the same counts; without REARR the counts are 0
// and KEYLST names the keys as given; with REARR the map covers every unit of
// the row once, key runs first, each group in row order with gaps between its
// runs, each key run the span of the keys in it, KEYWID its units, and each
// key's triple points at its first unit in the data area; KEYLST ends with
// (1, -1, 1); assert_ is called only where the plan's checks cannot hold: no
// keys on a row of fewer than 0 units.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "isort/sortfile.h"

namespace {
using isort::fuzz::ByteReader;
using isort::fuzz::Require;
std::vector<std::string> reportedChecks;  // the texts passed to assert_
}  // namespace

// The program exports its assert_, so libisort binds to this one.
extern "C" __attribute__((visibility("default"))) void assert_(
    const INTEGER* nameLength, const char* name, const INTEGER* textLength,
    const char* text, std::size_t nameChars, std::size_t textChars) {
  Require(*nameLength == 6 && nameChars == 6 && std::string(name, 6) == "SRTFVA" &&
              *textLength == static_cast<INTEGER>(textChars),
          "assert_ names SRTFVA and passes each length twice");
  reportedChecks.emplace_back(text, textChars);
}

namespace {

struct Key {
  std::int64_t position, direction, width;
};

Key ReadKey(ByteReader& in, std::int64_t rowWidth) {
  static constexpr std::int64_t kDirections[7] = {1, -1, 1, -1, 0, 2, -2};
  const unsigned kind = in.U8();
  const std::int64_t span = std::clamp<std::int64_t>(rowWidth, 1, 65536);
  Key key{};
  if ((kind & 3) < 2) key.position = 1 + in.U16() % span;
  if ((kind & 3) == 2)  // wrapping, as WIDRAW may be the least INTEGER
    key.position =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(rowWidth) - in.U8());
  if ((kind & 3) == 3) key.position = in.I64();
  key.direction = (kind >> 2 & 7) < 7 ? kDirections[kind >> 2 & 7] : in.I64();
  const unsigned width = kind >> 5;
  key.width = width < 4 ? 0 : width < 6 ? 1 + in.U8() : width == 6 ? in.U16() : in.I64();
  return key;
}

// Units of a key of `width` bytes (division truncating toward zero).
__int128 KeyUnits(std::int64_t width) {
  return 1 + (static_cast<__int128>(width) - 1) / 8;
}

bool IsValid(const Key& key, std::int64_t rowWidth) {
  return key.position >= 1 && (key.direction == 1 || key.direction == -1) &&
         key.width >= 0 && key.position + KeyUnits(key.width) - 1 <= rowWidth;
}

void CheckPlan(const std::vector<Key>& keys, std::int64_t rowWidth, const INTEGER* map,
               INTEGER nmap, INTEGER nkmap, INTEGER keywid, const INTEGER* keylst) {
  Require(0 <= nkmap && nkmap <= nmap, "0 <= NKMAP <= NMAP");
  struct Run {
    __int128 position, end, data, firstKey, lastKeyEnd;
  };
  std::vector<Run> runs;
  __int128 data = 1, keyUnits = 0;
  for (INTEGER i = 0; i < nmap; ++i) {
    const __int128 position = map[2 * i], count = map[2 * i + 1];
    Require(count >= 1 && position >= 1 && position + count - 1 <= rowWidth,
            "every pair holds units of the row");
    Require(i == 0 || i == nkmap || runs.back().end < position,
            "the runs of a group lie in row order with gaps between them");
    runs.push_back({position, position + count, data, position + count, position});
    data += count;
    if (i < nkmap) keyUnits += count;
  }
  Require(keyUnits == keywid, "KEYWID is the units of the key runs");
  std::vector<Run> byRow = runs;
  std::sort(byRow.begin(), byRow.end(),
            [](const Run& a, const Run& b) { return a.position < b.position; });
  __int128 next = 1;
  for (const Run& run : byRow) {
    Require(run.position == next, "the map covers every unit of the row once");
    next = run.end;
  }
  Require(next == std::max<__int128>(rowWidth, 0) + 1, "the map reaches the row's end");

  const auto keyRunsEnd = runs.begin() + nkmap;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const Key& key = keys[k];
    const __int128 end = key.position + KeyUnits(key.width);
    const auto run = std::find_if(runs.begin(), keyRunsEnd, [&](const Run& r) {
      return r.position <= key.position && key.position < r.end;
    });
    Require(run != keyRunsEnd && end <= run->end, "every key lies inside one key run");
    const INTEGER* triple = keylst + 3 * k;
    Require(triple[0] == run->data + (key.position - run->position) &&
                triple[1] == key.width && triple[2] == key.direction,
            "each key's triple points at its first unit in the data area");
    run->firstKey = std::min(run->firstKey, static_cast<__int128>(key.position));
    run->lastKeyEnd = std::max(run->lastKeyEnd, end);
  }
  for (auto run = runs.begin(); run != keyRunsEnd; ++run)
    Require(run->firstKey == run->position && run->lastKeyEnd == run->end,
            "every key run is the span of its keys");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const unsigned flags = in.U8();
  const LOGICAL rearr = flags & 1;
  std::int64_t rowWidth;
  switch (flags >> 1 & 3) {
    case 0:
      rowWidth = in.U8();
      break;
    case 1:
      rowWidth = in.U16();
      break;
    case 2:
      rowWidth = -static_cast<std::int64_t>(in.U8());
      break;
    default:
      rowWidth = in.I64();
      break;
  }
  const INTEGER nkeys = static_cast<INTEGER>(in.U16() % 400) - 16;
  const std::size_t n = nkeys > 0 ? static_cast<std::size_t>(nkeys) : 0;
  std::vector<Key> keys;
  bool allValid = true;
  std::vector<SI> hostKeys(3 * n);  // column-major, exactly NKEYS rows
  for (std::size_t k = 0; k < n; ++k) {
    keys.push_back(ReadKey(in, rowWidth));
    allValid &= IsValid(keys.back(), rowWidth);
    hostKeys[k] = keys[k].position;
    hostKeys[n + k] = keys[k].direction;
    hostKeys[2 * n + k] = keys[k].width;
  }

  reportedChecks.clear();
  const LOGICAL noFill = 0, fill = 1;
  std::vector<INTEGER> none;  // no entries: a write crashes or is reported
  INTEGER nmap = -1, nkmap = -1, keywid = -1;
  const INTEGER counted = srtfva_(nkeys, hostKeys.data(), none.data(), none.data(), nmap,
                                  nkmap, keywid, rowWidth, rearr, noFill);
  Require(counted == (allValid ? 0 : 10), "10 exactly when a key is invalid");
  Require(reportedChecks.empty(), "no check is reported without FILL");
  Require(counted == 0 && rearr != 0
              ? nmap >= 0 && nmap <= 2 * static_cast<INTEGER>(n) + 1
              : nmap == 0 && nkmap == 0 && keywid == 0,
          "the counts are those of a plan, or 0");

  constexpr INTEGER kUntouched = 0x5A5A5A5A5A5A5A5A;
  std::vector<INTEGER> map(2 * static_cast<std::size_t>(nmap), kUntouched);
  std::vector<INTEGER> keylst(3 * (n + 1), kUntouched);
  INTEGER nmap2 = -1, nkmap2 = -1, keywid2 = -1;
  const INTEGER result = srtfva_(nkeys, hostKeys.data(), keylst.data(), map.data(), nmap2,
                                 nkmap2, keywid2, rowWidth, rearr, fill);
  Require(result == counted && nmap2 == nmap && nkmap2 == nkmap && keywid2 == keywid,
          "FILL changes neither the result nor the counts");
  if (result != 0) {
    Require(std::count(keylst.begin(), keylst.end(), kUntouched) ==
                static_cast<std::ptrdiff_t>(keylst.size()),
            "a refused key array writes nothing");
    Require(reportedChecks.empty(), "a refused key array reports no check");
    return 0;
  }
  const INTEGER* end = keylst.data() + 3 * n;
  Require(end[0] == 1 && end[1] == -1 && end[2] == 1, "KEYLST ends with (1, -1, 1)");
  if (rearr == 0) {
    for (std::size_t k = 0; k < n; ++k)
      Require(keylst[3 * k] == keys[k].position && keylst[3 * k + 1] == keys[k].width &&
                  keylst[3 * k + 2] == keys[k].direction,
              "without REARR, KEYLST names the keys where they lie in the row");
  } else {
    CheckPlan(keys, rowWidth, map.data(), nmap, nkmap, keywid, keylst.data());
  }
  // With no keys on a row of fewer than 0 units the payload walk cannot end at
  // WIDRAW + 1, and the routine says so; on every other valid input the checks
  // hold.
  const bool cannotHold = rearr != 0 && rowWidth < 0;
  Require(reportedChecks == (cannotHold ? std::vector<std::string>{"NXTIN .EQ. WIDRAW+1",
                                                                   "OUTPOS .EQ. WIDRAW+1"}
                                        : std::vector<std::string>{}),
          "assert_ is called only where a check cannot hold");
  return 0;
}
