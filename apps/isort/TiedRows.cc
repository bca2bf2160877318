#include "TiedRows.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "SortErrors.h"

namespace isort::app {

TiedRows::TiedRows(const RowLayout& layout, const ScratchFile& codes,
                   std::function<void(const OBS*)> write)
    : layout_(layout),
      codes_(codes),
      write_(std::move(write)),
      rowUnits_(layout.rowUnits()) {}

void TiedRows::Put(const OBS* row) {
  const unsigned int tied = layout_.TiedUnits(row);
  if (!held_.empty()) {
    if (tied == tiedUnits_ && std::memcmp(row, held_.data(), tied * sizeof(OBS)) == 0) {
      Hold(row);
      return;
    }
    WriteHeld();
  }
  if (tied == 0) {
    write_(row);
    return;
  }
  tiedUnits_ = tied;
  Hold(row);
}

void TiedRows::Finish() {
  if (!held_.empty()) WriteHeld();
}

void TiedRows::Count(std::uint64_t bytes) {
  heldBytes_ += bytes;
  if (heldBytes_ > kHeldBytes) {
    throw CannotSort("more than " + std::to_string(held_.size() / rowUnits_) +
                     " rows tie on the first bytes of a long key value and would take more "
                     "than " + std::to_string(kHeldBytes >> 20) +
                     " MiB to put in order beside the memory budget");
  }
}

void TiedRows::Hold(const OBS* row) {
  Count(rowUnits_ * sizeof(OBS));
  held_.insert(held_.end(), row, row + rowUnits_);
}

const std::string& TiedRows::Code(const OBS* row, std::size_t key) {
  const std::size_t keys = wholeCodes_.size() / (held_.size() / rowUnits_);
  const std::size_t slot =
      static_cast<std::size_t>(row - held_.data()) / rowUnits_ * keys + key;
  if (codeRead_[slot] == 0) {
    const auto [offset, length] = layout_.CodePlace(row, key);
    Count(length);
    std::string& code = wholeCodes_[slot];
    code.resize(static_cast<std::size_t>(length));
    codes_.ReadAt(offset, code.size(), code.data());
    codeRead_[slot] = 1;
  }
  return wholeCodes_[slot];
}

void TiedRows::WriteHeld() {
  const std::size_t rows = held_.size() / rowUnits_;
  if (rows > 1) {
    const std::size_t keys = layout_.engineKeys().size();  // at least the key count
    wholeCodes_.assign(rows * keys, std::string());
    codeRead_.assign(rows * keys, 0);
    std::vector<std::size_t> order(rows);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto code = [this](const OBS* row, std::size_t key) -> const std::string& {
      return Code(row, key);
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return layout_.Compare(held_.data() + a * rowUnits_, held_.data() + b * rowUnits_,
                             code) < 0;
    });
    for (std::size_t r : order) write_(held_.data() + r * rowUnits_);
  } else {
    write_(held_.data());
  }
  held_.clear();
  wholeCodes_.clear();
  codeRead_.clear();
  heldBytes_ = 0;
}

}  // namespace isort::app
