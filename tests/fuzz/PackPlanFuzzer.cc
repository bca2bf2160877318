// Fuzz target: srtfva_ on arbitrary key arrays as a host calls it: without
// FILL into arrays of no entries, then with FILL into exactly NMAP pairs and
// NKEYS + 1 triples, so that the address sanitizer sees a write past them;
// each plan against a model. Input (FuzzInput.h):
//   U8   bit 0: REARR; bits 1-2: WIDRAW as 0 U8, 1 U16, 2 minus a U8, 3 I64
//   ...  WIDRAW
//   U16  NKEYS = value % 400 - 16 (negative counts included)
//   per key: U8 kind, then the values the kind asks for:
//        bits 0-1 position: 0-1 1 + U16 % min(WIDRAW, 65536), 2 WIDRAW - U8, 3 I64
//        bits 2-4 direction: 1, -1, 1, -1, 0, 2, -2, or 7: I64
//        bits 5-7 width: 0-3 numeric, 4-5 1 + U8, 6 U16, 7 I64
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "isort/sortfile.h"

using isort::fuzz::Require;
using Int = __int128;  // any sum of two INTEGERs

namespace {

struct Key {
  Int position, direction, width;
};
Int KeyUnits(Int width) { return 1 + (width - 1) / 8; }  // truncating toward zero

// The plan of valid keys. With REARR: a key run per stretch of units that keys
// cover (touching or overlapping keys share one), in row order, then a payload
// run per stretch of the rest; each key's field where its first unit lands
// among the key runs. Without: no runs, each key where it lies in the row.
struct Plan {
  std::vector<Int> map, keylst;
  Int nkmap = 0, keywid = 0;
};
Plan ModelPlan(const std::vector<Key>& keys, Int rowWidth, bool rearr) {
  std::vector<std::pair<Int, Int>> spans, runs;  // [first unit, end)
  for (const Key& key : keys)
    spans.emplace_back(key.position, key.position + KeyUnits(key.width));
  std::sort(spans.begin(), spans.end());
  for (const auto& [from, end] : spans) {
    if (runs.empty() || from > runs.back().second) runs.emplace_back(from, from);
    runs.back().second = std::max(runs.back().second, end);
  }
  Plan plan;
  std::vector<Int> payload;
  Int next = 1;
  for (const auto& [from, end] : runs) {
    plan.map.insert(plan.map.end(), {from, end - from});
    if (next < from) payload.insert(payload.end(), {next, from - next});
    next = end, plan.keywid += end - from;
  }
  if (next <= rowWidth) payload.insert(payload.end(), {next, rowWidth + 1 - next});
  plan.nkmap = runs.size();
  plan.map.insert(plan.map.end(), payload.begin(), payload.end());
  for (const Key& key : keys) {
    Int at = 1;
    auto run = runs.begin();
    for (; run->second <= key.position; ++run) at += run->second - run->first;
    at = rearr ? at + key.position - run->first : key.position;
    plan.keylst.insert(plan.keylst.end(), {at, key.width, key.direction});
  }
  plan.keylst.insert(plan.keylst.end(), {1, -1, 1});
  return rearr ? plan : Plan{{}, plan.keylst};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::int64_t kDirections[7] = {1, -1, 1, -1, 0, 2, -2};
  isort::fuzz::ByteReader in{data, size};
  const INTEGER flags = in.U8(), how = flags >> 1 & 3, rearr = flags & 1;
  const std::int64_t rowWidth = how == 0   ? in.U8()
                                : how == 1 ? in.U16()
                                : how == 2 ? -static_cast<std::int64_t>(in.U8())
                                           : in.I64();
  const INTEGER nkeys = static_cast<INTEGER>(in.U16() % 400) - 16;
  const std::size_t n = nkeys > 0 ? static_cast<std::size_t>(nkeys) : 0;
  std::vector<Key> keys(n);
  std::vector<SI> host(3 * n);  // column-major, exactly NKEYS rows
  bool valid = true;
  for (std::size_t k = 0; k < n; ++k) {
    const unsigned kind = in.U8(), p = kind & 3, d = kind >> 2 & 7, w = kind >> 5;
    // Position 2 wraps, as WIDRAW may be the least INTEGER.
    host[k] =
        p < 2 ? 1 + in.U16() % std::clamp<std::int64_t>(rowWidth, 1, 65536)
        : p == 2
            ? static_cast<std::int64_t>(static_cast<std::uint64_t>(rowWidth) - in.U8())
            : in.I64();
    host[n + k] = d < 7 ? kDirections[d] : in.I64();
    host[2 * n + k] = w < 4 ? 0 : w < 6 ? 1 + in.U8() : w == 6 ? in.U16() : in.I64();
    const Key& key = keys[k] = {host[k], host[n + k], host[2 * n + k]};
    valid &= key.position >= 1 && (key.direction == 1 || key.direction == -1) &&
             key.width >= 0 && key.position + KeyUnits(key.width) - 1 <= rowWidth;
  }
  const Plan model = valid ? ModelPlan(keys, rowWidth, rearr) : Plan{};

  std::vector<INTEGER> none;  // no entries: a write crashes
  INTEGER nmap = -1, nkmap = -1, keywid = -1;
  const INTEGER counted = srtfva_(nkeys, host.data(), none.data(), none.data(), nmap,
                                  nkmap, keywid, rowWidth, rearr, 0);
  Require(counted == (valid ? 0 : 10) && nmap == static_cast<Int>(model.map.size() / 2) &&
              nkmap == model.nkmap && keywid == model.keywid,
          "without FILL: 10 exactly for an invalid key, and the model's counts");
  constexpr INTEGER kUntouched = 0x5A5A5A5A5A5A5A5A;
  std::vector<INTEGER> map(2 * static_cast<std::size_t>(nmap), kUntouched);
  std::vector<INTEGER> keylst(3 * (n + 1), kUntouched);
  INTEGER nmap2 = -1, nkmap2 = -1, keywid2 = -1;
  const INTEGER result = srtfva_(nkeys, host.data(), keylst.data(), map.data(), nmap2,
                                 nkmap2, keywid2, rowWidth, rearr, 1);
  Require(result == counted && nmap2 == nmap && nkmap2 == nkmap && keywid2 == keywid,
          "FILL changes neither the result nor the counts");
  const auto written = keylst.begin() + static_cast<std::ptrdiff_t>(model.keylst.size());
  Require(std::equal(keylst.begin(), written, model.keylst.begin()) &&
              std::count(written, keylst.end(), kUntouched) == keylst.end() - written &&
              std::equal(map.begin(), map.end(), model.map.begin(), model.map.end()),
          "the map and key field list are the model's; a refusal writes nothing");
  return 0;
}
