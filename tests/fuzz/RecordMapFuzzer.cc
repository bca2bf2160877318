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
// Each input calls srtfva_ twice, as a host does: with FILL false to learn the
// counts, then with FILL true into MAP and KEYLST arrays of exactly the sizes
// those counts give (NMAP pairs, NKEYS + 1 triples), so that the address
// sanitizer sees any write past them. The first call gets empty arrays, which
// it must not touch at all. Checked against the rules of the record plan:
//   - the result is 0 or 10, and 10 exactly when some key is invalid;
//   - both calls agree on the result and the three counts;
//   - on 10 the counts are 0 and nothing is written;
//   - without REARR the counts are 0 and KEYLST names the keys where they lie;
//   - with REARR the map covers every unit of the row exactly once, key runs
//     first and payload runs behind them, each group in row order and no two
//     runs of a group touching; KEYWID is the key runs' units; every key lies
//     inside one key run and its KEYLST triple points at its own first unit in
//     the data area; KEYLST ends with (1, -1, 1);
//   - assert_ is called only where the plan's checks cannot hold: no keys and
//     a row of fewer than 0 units.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "isort/sortfile.h"

namespace {

using isort::fuzz::ByteReader;
using isort::fuzz::Require;

// The check texts that srtfva_ reported through assert_ during one call.
std::vector<std::string> reportedChecks;

}  // namespace

// Replaces the host's assert_ (the program exports it, so libisort binds to
// this one): a failed check of the plan is a finding unless the input makes it
// unavoidable.
extern "C" __attribute__((visibility("default"))) void assert_(
    const INTEGER* nameLength, const char* name, const INTEGER* textLength, const char* text,
    std::size_t nameChars, std::size_t textChars) {
  Require(*nameLength == 6 && nameChars == 6 && std::string(name, 6) == "SRTFVA",
          "assert_ names the routine SRTFVA");
  Require(*textLength > 0 && static_cast<std::size_t>(*textLength) == textChars,
          "assert_ passes the text's length twice");
  reportedChecks.emplace_back(text, textChars);
}

namespace {

struct Key {
  std::int64_t position;
  std::int64_t direction;
  std::int64_t width;
};

std::int64_t ReadRowWidth(ByteReader& in, unsigned mode) {
  switch (mode) {
    case 0: return in.U8();
    case 1: return in.U16();
    case 2: return -static_cast<std::int64_t>(in.U8());
    default: return in.I64();
  }
}

Key ReadKey(ByteReader& in, std::int64_t rowWidth) {
  static constexpr std::int64_t kDirections[7] = {1, -1, 1, -1, 0, 2, -2};
  const unsigned kind = in.U8();
  Key key{};
  const std::int64_t span = rowWidth < 1 ? 1 : (rowWidth > 65536 ? 65536 : rowWidth);
  switch (kind & 3) {
    case 0:
    case 1: key.position = 1 + static_cast<std::int64_t>(in.U16()) % span; break;
    case 2: key.position = static_cast<std::int64_t>(
                static_cast<std::uint64_t>(rowWidth) - in.U8()); break;
    default: key.position = in.I64(); break;
  }
  const unsigned direction = (kind >> 2) & 7;
  key.direction = direction < 7 ? kDirections[direction] : in.I64();
  const unsigned width = kind >> 5;
  if (width < 4) {
    key.width = 0;
  } else if (width < 6) {
    key.width = 1 + static_cast<std::int64_t>(in.U8());
  } else if (width == 6) {
    key.width = in.U16();
  } else {
    key.width = in.I64();
  }
  return key;
}

// Units of a key of `width` bytes (division truncating toward zero).
__int128 KeyUnits(std::int64_t width) { return 1 + (static_cast<__int128>(width) - 1) / 8; }

bool IsValid(const Key& key, std::int64_t rowWidth) {
  return key.position >= 1 && (key.direction == 1 || key.direction == -1) && key.width >= 0 &&
         static_cast<__int128>(key.position) + KeyUnits(key.width) - 1 <= rowWidth;
}

constexpr INTEGER kUntouched = static_cast<INTEGER>(0x5A5A5A5A5A5A5A5Aull);

// A zero-length allocation still has an address the sanitizer guards.
std::unique_ptr<INTEGER[]> Array(std::size_t entries) {
  std::unique_ptr<INTEGER[]> array(new INTEGER[entries]);
  std::fill(array.get(), array.get() + entries, kUntouched);
  return array;
}

bool AllUntouched(const INTEGER* array, std::size_t entries) {
  return std::all_of(array, array + entries, [](INTEGER v) { return v == kUntouched; });
}

void CheckPlan(const std::vector<Key>& keys, std::int64_t rowWidth, const INTEGER* map,
               INTEGER nmap, INTEGER nkmap, INTEGER keywid, const INTEGER* keylst) {
  Require(nmap >= 0 && nkmap >= 0 && nkmap <= nmap, "0 <= NKMAP <= NMAP");
  struct Run {
    __int128 position, count, dataStart;
  };
  std::vector<Run> runs;
  __int128 dataPosition = 1;
  __int128 keyUnits = 0;
  for (INTEGER i = 0; i < nmap; ++i) {
    const Run run{map[2 * i], map[2 * i + 1], dataPosition};
    Require(run.count >= 1, "every map pair holds at least one unit");
    Require(run.position >= 1 && run.position + run.count - 1 <= rowWidth,
            "every map pair lies inside the row");
    dataPosition += run.count;
    if (i < nkmap) keyUnits += run.count;
    runs.push_back(run);
  }
  Require(keyUnits == keywid, "KEYWID is the units of the key runs");
  // Each group in row order, no two of its runs touching (touching key runs
  // are joined; payload runs are whole stretches between key runs).
  for (INTEGER i = 1; i < nmap; ++i) {
    if (i == nkmap) continue;
    Require(runs[i - 1].position + runs[i - 1].count < runs[i].position,
            "runs of a group in row order, separated by a gap");
  }
  std::vector<Run> byRow = runs;
  std::sort(byRow.begin(), byRow.end(),
            [](const Run& a, const Run& b) { return a.position < b.position; });
  __int128 next = 1;
  for (const Run& run : byRow) {
    Require(run.position == next, "the map covers every row unit exactly once");
    next += run.count;
  }
  Require(next == (rowWidth > 0 ? static_cast<__int128>(rowWidth) + 1 : 1),
          "the map reaches the end of the row");

  std::vector<bool> runHasKeyStart(static_cast<std::size_t>(nkmap), false);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const Key& key = keys[k];
    const INTEGER* triple = keylst + 3 * k;
    Require(triple[1] == key.width && triple[2] == key.direction,
            "KEYLST carries each key's width and direction");
    bool found = false;
    for (INTEGER i = 0; i < nkmap && !found; ++i) {
      const Run& run = runs[i];
      if (key.position < run.position || key.position >= run.position + run.count) continue;
      found = true;
      Require(key.position + KeyUnits(key.width) <= run.position + run.count,
              "a key's units lie inside one key run");
      Require(triple[0] == run.dataStart + (key.position - run.position),
              "KEYLST points at the key's first unit in the data area");
      if (key.position == run.position) runHasKeyStart[static_cast<std::size_t>(i)] = true;
    }
    Require(found, "every key lies in a key run");
  }
  for (bool opened : runHasKeyStart) Require(opened, "every key run starts where a key starts");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const unsigned flags = in.U8();
  const LOGICAL rearr = flags & 1;
  const std::int64_t rowWidth = ReadRowWidth(in, (flags >> 1) & 3);
  const INTEGER nkeys = static_cast<INTEGER>(in.U16() % 400) - 16;
  const std::size_t nKeys = nkeys > 0 ? static_cast<std::size_t>(nkeys) : 0;
  std::vector<Key> keys;
  bool allValid = true;
  for (std::size_t k = 0; k < nKeys; ++k) {
    keys.push_back(ReadKey(in, rowWidth));
    allValid &= IsValid(keys.back(), rowWidth);
  }
  // Column-major, exactly NKEYS rows of 3.
  std::unique_ptr<SI[]> hostKeys(new SI[3 * nKeys]);
  for (std::size_t k = 0; k < nKeys; ++k) {
    hostKeys[k] = keys[k].position;
    hostKeys[nKeys + k] = keys[k].direction;
    hostKeys[2 * nKeys + k] = keys[k].width;
  }

  const INTEGER widraw = rowWidth;
  reportedChecks.clear();
  INTEGER nmap = -1, nkmap = -1, keywid = -1;
  const LOGICAL noFill = 0, fill = 1;
  {
    auto noMap = Array(0);
    auto noKeyList = Array(0);
    const INTEGER result = srtfva_(nkeys, hostKeys.get(), noKeyList.get(), noMap.get(), nmap,
                                   nkmap, keywid, widraw, rearr, noFill);
    Require(result == 0 || result == 10, "the result is 0 or 10");
    Require((result == 0) == allValid, "10 exactly when a key is invalid");
    Require(reportedChecks.empty(), "no check is reported without FILL");
    if (result != 0 || rearr == 0) {
      Require(nmap == 0 && nkmap == 0 && keywid == 0, "the counts are 0");
    }
    Require(nmap >= 0 && nmap < (INTEGER{1} << 32), "NMAP is a pair count");
  }

  const std::size_t mapEntries = 2 * static_cast<std::size_t>(nmap);
  const std::size_t listEntries = 3 * (nKeys + 1);
  auto map = Array(mapEntries);
  auto keylst = Array(listEntries);
  INTEGER nmap2 = -1, nkmap2 = -1, keywid2 = -1;
  const INTEGER result = srtfva_(nkeys, hostKeys.get(), keylst.get(), map.get(), nmap2, nkmap2,
                                 keywid2, widraw, rearr, fill);
  Require(result == 0 || result == 10, "the result is 0 or 10");
  Require((result == 0) == allValid, "10 exactly when a key is invalid");
  Require(nmap2 == nmap && nkmap2 == nkmap && keywid2 == keywid,
          "FILL does not change the counts");

  if (result != 0) {
    Require(AllUntouched(map.get(), mapEntries) && AllUntouched(keylst.get(), listEntries),
            "a refused key array writes nothing");
    Require(reportedChecks.empty(), "a refused key array reports no check");
    return 0;
  }
  const INTEGER* end = keylst.get() + 3 * nKeys;
  Require(end[0] == 1 && end[1] == -1 && end[2] == 1, "KEYLST ends with (1, -1, 1)");

  if (rearr == 0) {
    for (std::size_t k = 0; k < nKeys; ++k) {
      const INTEGER* triple = keylst.get() + 3 * k;
      Require(triple[0] == keys[k].position && triple[1] == keys[k].width &&
                  triple[2] == keys[k].direction,
              "without REARR, KEYLST names the keys where they lie in the row");
    }
    Require(reportedChecks.empty(), "without REARR no check is reported");
    return 0;
  }

  CheckPlan(keys, rowWidth, map.get(), nmap, nkmap, keywid, keylst.get());
  // With no keys on a row of fewer than 0 units, the payload walk cannot end
  // at WIDRAW + 1, and the routine says so; on every other valid input the
  // checks hold.
  const std::vector<std::string> expected =
      rowWidth < 0 ? std::vector<std::string>{"NXTIN .EQ. WIDRAW+1", "OUTPOS .EQ. WIDRAW+1"}
                   : std::vector<std::string>{};
  Require(reportedChecks == expected, "assert_ is called only where a check cannot hold");
  return 0;
}
