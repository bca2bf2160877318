#include "FileSort/Comparator.h"

#include <stdexcept>
#include <string>

namespace isort {

namespace {

// Walks the keys in order, claiming their units; calls `place` for every key
// whose first unit is still free. Stops at the first fault.
template <typename Place>
KeyFault WalkKeys(const std::vector<FileSort::SortKey>& keys, unsigned int rowUnits,
                  std::size_t* faultyKey, Place place) {
  std::vector<bool> claimed(rowUnits, false);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const FileSort::SortKey& key = keys[k];
    *faultyKey = k;
    const std::uint64_t units = KeyUnits(key);
    if (std::uint64_t{key.position} + units > rowUnits) return KeyFault::kOutsideRow;
    if (claimed[key.position]) continue;  // the same field given again
    for (std::uint64_t u = 1; u < units; ++u) {
      if (claimed[key.position + u]) return KeyFault::kOverlap;
    }
    for (std::uint64_t u = 0; u < units; ++u) claimed[key.position + u] = true;
    place(key);
  }
  return KeyFault::kNone;
}

}  // namespace

KeyFault FindKeyFault(const std::vector<FileSort::SortKey>& keys, unsigned int rowUnits,
                      std::size_t* faultyKey) {
  return WalkKeys(keys, rowUnits, faultyKey, [](const FileSort::SortKey&) {});
}

std::vector<FileSort::SortKey> PlacedKeys(const std::vector<FileSort::SortKey>& keys,
                                          unsigned int rowUnits) {
  std::vector<FileSort::SortKey> placed;
  placed.reserve(keys.size());
  std::size_t k = 0;
  const KeyFault fault = WalkKeys(keys, rowUnits, &k, [&placed](const FileSort::SortKey& key) {
    placed.push_back(key);
  });
  const std::string which = "sort key " + std::to_string(k + 1);
  if (fault == KeyFault::kOutsideRow) {
    throw std::invalid_argument(which + " does not lie inside a row of " +
                                std::to_string(rowUnits) + " units");
  }
  if (fault == KeyFault::kOverlap) {
    throw std::invalid_argument(which + " overlaps the field of an earlier key");
  }
  return placed;
}

}  // namespace isort

FileSort::Comparator::Comparator(const std::vector<FileSort::SortKey>& keys)
    : keys(keys) {
  collator.Init();
}

FileSort::Comparator::Comparator(const Comparator& other)
    : collator(other.collator), keys(other.keys) {}

FileSort::Comparator::~Comparator() = default;

bool FileSort::Comparator::StringsCompareAsBytes() const {
  return VORN_CollatorComparesBytes != nullptr && VORN_CollatorComparesBytes(collator);
}

namespace isort {

RecordOrder::RecordOrder(const FileSort::Comparator& comparator)
    : comparator_(&comparator), comparesBytes_(true) {
  for (const FileSort::SortKey& key : comparator.Keys()) {
    fields_.push_back({key.width, static_cast<std::uint32_t>(KeyUnits(key)), key.direction < 0});
    if (key.width != 0) comparesBytes_ = comparator.StringsCompareAsBytes();
  }
}

std::size_t RecordOrder::NumericKeyCount() const {
  for (const Field& field : fields_) {
    if (field.width != 0) return 0;
  }
  return fields_.size();
}

}  // namespace isort
