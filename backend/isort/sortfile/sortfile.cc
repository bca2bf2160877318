// sortfile_: the host's entry point to the sort engine.
#include "isort/sortfile.h"

#include <cstdint>
#include <new>
#include <vector>

#include "Assertion.h"
#include "FileSort/Comparator.h"
#include "isort/SortFileSorter.h"
#include "vorn/Errors.h"

namespace {

// The entry point's name as its contract checks print it.
constexpr const char* kPrototype =
    "INTEGER sortfile_(void*, INTEGER (*)(void*, OBS*, const INTEGER&), INTEGER "
    "(*)(void*, const OBS*, const INTEGER&), const INTEGER&, const SI*, const INTEGER&, "
    "const INTEGER&, const LOGICAL&, const LOGICAL&, LOGICAL&, INTEGER&)";
constexpr const char* kSource = "backend/isort/sortfile";

void CheckContract(bool holds, const char* expression, unsigned int line) {
  isort::Check(holds, expression, kSource, line, kPrototype);
}

// Keys that do not lie inside a row, or that overlap an earlier key's field,
// cannot be sorted without reading outside the row: they break the host's
// contract like a row width of 0 does.
void CheckKeys(const std::vector<FileSort::SortKey>& keys, unsigned int rowUnits) {
  std::size_t faultyKey = 0;
  const isort::KeyFault fault = isort::FindKeyFault(keys, rowUnits, &faultyKey);
  CheckContract(fault != isort::KeyFault::kOutsideRow, "key inside row", 111);
  CheckContract(fault != isort::KeyFault::kOverlap, "keys do not overlap", 112);
}

std::uint32_t Low32(std::int64_t value) { return static_cast<std::uint32_t>(value); }

}  // namespace

void MakeCSortKeys(const SI* ukeys, unsigned int nukeys,
                   std::vector<FileSort::SortKey>& keys) {
  if (nukeys == 0) return;
  keys.reserve(keys.size() + nukeys);
  for (unsigned int k = 0; k < nukeys; ++k) {
    FileSort::SortKey key;
    key.position = Low32(ukeys[k]) - 1;
    key.direction = ukeys[nukeys + k] > 0 ? 1 : -1;
    key.width = Low32(ukeys[2 * nukeys + k]);
    keys.push_back(key);
  }
}

SortFileSorter::SortFileSorter(const std::vector<FileSort::SortKey>& keys, void* context,
                               isort_get_callback getCallback,
                               isort_put_callback putCallback, INTEGER nvars)
    : FileSort(keys, Low32(nvars), nullptr),
      context(context),
      getCallback(getCallback),
      putCallback(putCallback),
      nvars(Low32(nvars)),
      rowBuffer(nullptr),
      putResult(0) {
  rowBuffer = new OBS[static_cast<std::size_t>(this->nvars)];
}

SortFileSorter::~SortFileSorter() { delete[] rowBuffer; }

const OBS* SortFileSorter::GetRow() {
  return Low32(getCallback(context, rowBuffer, nvars)) == 0 ? rowBuffer : nullptr;
}

void SortFileSorter::PutRow(const OBS* row) {
  putResult = putCallback(context, row, nvars);
  if (putResult != 0) throw Error();
}

extern "C" INTEGER sortfile_(void* context, isort_get_callback get, isort_put_callback put,
                             const INTEGER& nvars, const SI* ukeys, const INTEGER& nukeys,
                             const INTEGER&, const LOGICAL&, const LOGICAL&, LOGICAL& flag10,
                             INTEGER& count11) {
  CheckContract(nvars != 0, "nvars", 108);
  CheckContract(nukeys != 0, "nukeys", 109);
  CheckContract(ukeys != nullptr, "ukeys", 110);

  std::vector<FileSort::SortKey> keys;
  MakeCSortKeys(ukeys, Low32(nukeys), keys);
  CheckKeys(keys, Low32(nvars));

  INTEGER status = 0;
  try {
    SortFileSorter sorter(keys, context, get, put, nvars);
    sorter.Sort();
    status = static_cast<std::int32_t>(sorter.PutResult());
  } catch (const std::bad_alloc&) {
    status = 11;
  } catch (const ErrorText& error) {
    VornErrorMonitor monitor(Reporter);
    monitor.Report(error);
    status = 5;
  } catch (const VornGoToCaller&) {
    status = 14;
  }
  flag10 = 0;
  count11 = 0;
  return status;
}
