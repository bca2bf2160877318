// srtfva_: validates a host key array and plans the packed record for it.
//
// The plan lays the key units out in row order at the front of the data area,
// one key run for each stretch of keys that touch or overlap, then the rest of
// the row behind them in row order. Its outputs are the move map (key runs
// first, then payload runs) and the key field list, whose positions count from
// the data area; srtfpk_, srtfup_, srtkeyz_ and srtkeyunz_ take both.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "KeyUnits.h"
#include "PackedRecord.h"
#include "isort/sortfile.h"

namespace isort::packed {
namespace {

constexpr INTEGER kValid = 0;
constexpr INTEGER kInvalidKey = 10;

// Keys that the ordering table holds without an allocation.
constexpr std::size_t kFixedOrderKeys = 64;

struct Key {
  INTEGER position;
  INTEGER direction;
  INTEGER width;
};

Key KeyAt(const SI* keys, std::size_t nKeys, std::size_t k) {
  return {keys[k], keys[nKeys + k], keys[2 * nKeys + k]};
}

// Units that a key of `width` bytes (at least 0) covers.
INTEGER UnitsOf(INTEGER width) {
  return static_cast<INTEGER>(KeyUnits(static_cast<std::uint64_t>(width)));
}

// Written so that no sum can overflow, whatever the host passes.
bool IsValid(const Key& key, INTEGER rowWidth) {
  return key.position >= 1 && (key.direction == 1 || key.direction == -1) &&
         key.width >= 0 && key.position <= rowWidth &&
         UnitsOf(key.width) - 1 <= rowWidth - key.position;
}

// The triple that ends a key field list.
void WriteEndTriple(INTEGER* entry) {
  entry[0] = 1;
  entry[1] = -1;
  entry[2] = 1;
}

void ReportFailedCheck(const char* text, INTEGER textLength) {
  static const char kRoutine[] = "SRTFVA";
  const INTEGER routineLength = sizeof kRoutine - 1;
  assert_(&routineLength, kRoutine, &textLength, text,
          static_cast<std::size_t>(routineLength), static_cast<std::size_t>(textLength));
}

}  // namespace
}  // namespace isort::packed

extern "C" {

INTEGER srtfva_(const INTEGER& nkeys, const SI* keys, INTEGER* keylst, INTEGER* map,
                INTEGER& nmap, INTEGER& nkmap, INTEGER& keywid, const INTEGER& widraw,
                const LOGICAL& rearr, const LOGICAL& fill) {
  using namespace isort::packed;
  nmap = 0;
  nkmap = 0;
  keywid = 0;
  const std::size_t nKeys = nkeys > 0 ? static_cast<std::size_t>(nkeys) : 0;
  const INTEGER rowWidth = widraw;
  const bool filling = fill != 0;

  // Every key is examined, also after an invalid one.
  bool valid = true;
  for (std::size_t k = 0; k < nKeys; ++k) {
    valid &= IsValid(KeyAt(keys, nKeys, k), rowWidth);
  }
  if (!valid) return kInvalidKey;

  if (rearr == 0) {
    if (filling) {
      for (std::size_t k = 0; k < nKeys; ++k) {
        const Key key = KeyAt(keys, nKeys, k);
        keylst[3 * k] = key.position;
        keylst[3 * k + 1] = key.width;
        keylst[3 * k + 2] = key.direction;
      }
      WriteEndTriple(keylst + 3 * nKeys);
    }
    return kValid;
  }

  // The order of the keys by position. More than 64 keys are accepted: the
  // ordering is then sized to the key count on the heap, so a host with many
  // keys gets its plan rather than a refusal it cannot tell from a bad key.
  // Should even that small allocation fail, the keys are refused with 10 and
  // nothing written, which is all the host can be told.
  std::size_t fixedOrder[kFixedOrderKeys];
  std::unique_ptr<std::size_t[]> heapOrder;
  std::size_t* order = fixedOrder;
  if (nKeys > kFixedOrderKeys) {
    heapOrder.reset(new (std::nothrow) std::size_t[nKeys]);
    if (!heapOrder) return kInvalidKey;
    order = heapOrder.get();
  }
  // Insertion by exchanges: each key is carried down past every key with a
  // strictly greater position, so keys at one position keep their key order.
  for (std::size_t k = 0; k < nKeys; ++k) {
    order[k] = k;
    for (std::size_t j = k; j > 0 && keys[order[j - 1]] > keys[order[j]]; --j) {
      const std::size_t swap = order[j - 1];
      order[j - 1] = order[j];
      order[j] = swap;
    }
  }

  // Key runs, in row order. Positions are at most the row width, so these sums
  // stay in range for every row width but the largest INTEGER; unsigned
  // arithmetic keeps even that one defined.
  std::uint64_t end = 0;       // first row unit after the units covered so far
  std::uint64_t runStart = 0;  // data-area position of the current key run
  std::uint64_t runPosition = 0;
  std::uint64_t keyWidth = 0;
  INTEGER nRuns = 0;
  for (std::size_t i = 0; i < nKeys; ++i) {
    const std::size_t k = order[i];
    const Key key = KeyAt(keys, nKeys, k);
    const std::uint64_t position = static_cast<std::uint64_t>(key.position);
    const std::uint64_t reach =
        position + static_cast<std::uint64_t>(UnitsOf(key.width));
    if (end < position) {
      if (filling) {
        map[2 * nRuns] = key.position;
        map[2 * nRuns + 1] = UnitsOf(key.width);
      }
      ++nRuns;
      runPosition = position;
      runStart = keyWidth + 1;
      keyWidth += reach - position;
      end = reach;
    } else if (reach > end) {
      keyWidth += reach - end;
      if (filling) map[2 * (nRuns - 1) + 1] = static_cast<INTEGER>(reach - runPosition);
      end = reach;
    }
    if (filling) {
      keylst[3 * k] = static_cast<INTEGER>(runStart + position - runPosition);
      keylst[3 * k + 1] = key.width;
      keylst[3 * k + 2] = key.direction;
    }
  }

  // One payload run in front of each key run but one that starts at unit 1,
  // and one behind the last key run when units remain there.
  const std::uint64_t lastRow = rowWidth > 0 ? static_cast<std::uint64_t>(rowWidth) : 0;
  INTEGER nPairs = 2 * nRuns;
  if (nKeys > 0 && keys[order[0]] == 1) --nPairs;
  if (nKeys > 0 ? end <= lastRow : rowWidth >= 1) ++nPairs;
  nkmap = nRuns;
  nmap = nPairs;
  keywid = static_cast<INTEGER>(keyWidth);
  if (!filling) return kValid;

  // Payload runs: every stretch of the row that no key run covers, in row
  // order. The three checks below guard the plan's arithmetic; they hold for
  // every valid key array on a row of 0 units or more.
  std::uint64_t nextIn = 1;
  std::uint64_t outPosition = keyWidth + 1;
  INTEGER nBuilt = nRuns;
  for (INTEGER run = 0; run < nRuns; ++run) {
    const std::uint64_t position = static_cast<std::uint64_t>(map[2 * run]);
    if (nextIn < position) {
      map[2 * nBuilt] = static_cast<INTEGER>(nextIn);
      map[2 * nBuilt + 1] = static_cast<INTEGER>(position - nextIn);
      ++nBuilt;
      outPosition += position - nextIn;
      nextIn = position;
    }
    nextIn += static_cast<std::uint64_t>(map[2 * run + 1]);
  }
  if (nextIn <= lastRow) {
    map[2 * nBuilt] = static_cast<INTEGER>(nextIn);
    map[2 * nBuilt + 1] = static_cast<INTEGER>(lastRow + 1 - nextIn);
    ++nBuilt;
    outPosition += lastRow + 1 - nextIn;
    nextIn = lastRow + 1;
  }

  // Compared modulo 2^64, which equals the plain comparison for every value
  // that the sums above can reach.
  const std::uint64_t rowEnd = static_cast<std::uint64_t>(rowWidth) + 1;
  if (nextIn != rowEnd) ReportFailedCheck("NXTIN .EQ. WIDRAW+1", 19);
  if (rowEnd != outPosition) ReportFailedCheck("OUTPOS .EQ. WIDRAW+1", 20);
  if (nPairs != nBuilt) ReportFailedCheck("JMAP .EQ. NMAP", 14);

  WriteEndTriple(keylst + 3 * nKeys);
  return kValid;
}

}  // extern "C"
