#include "TiedRows.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "SortErrors.h"

namespace isort::app {
namespace {

// Codes are compared with a held one a piece at a time.
constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 20;

}  // namespace

TiedRows::TiedRows(const RowLayout& layout, const ScratchFile& codes,
                   std::string workDirectory, std::function<void(const OBS*)> write)
    : layout_(layout),
      codes_(codes),
      workDirectory_(std::move(workDirectory)),
      write_(std::move(write)),
      rowUnits_(layout.rowUnits()),
      keyUnits_(layout.keyPartUnits()),
      keys_(layout.keyCount()),
      row_(layout.rowUnits()) {}

void TiedRows::Put(const OBS* row) {
  const unsigned int tied = layout_.TiedUnits(row);
  if (members_ != 0) {
    if (tied == tiedUnits_ && std::memcmp(row, keyParts_.data(), tied * sizeof(OBS)) == 0) {
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
  if (members_ != 0) WriteHeld();
}

void TiedRows::Count(std::uint64_t bytes) {
  heldBytes_ += bytes;
  if (heldBytes_ > kHeldBytes) {
    throw CannotSort(std::to_string(members_) +
                     " rows and more tie on the first bytes of long key values, whose "
                     "distinct values take more than " +
                     std::to_string(kHeldBytes >> 20) +
                     " MiB to put in order beside the memory budget");
  }
}

bool TiedRows::CodeEquals(const std::string& code, std::uint64_t offset, std::uint64_t length) {
  if (code.size() != length) return false;
  for (std::uint64_t done = 0; done < length;) {
    const auto size = static_cast<std::size_t>(std::min(length - done, kPieceBytes));
    piece_.resize(size);
    codes_.ReadAt(offset + done, size, piece_.data());
    if (std::memcmp(piece_.data(), code.data() + done, size) != 0) return false;
    done += size;
  }
  return true;
}

// 64-bit FNV-1a, to find a held code that may equal a new one.
std::uint64_t TiedRows::HashCode(std::uint64_t offset, std::uint64_t length) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (std::uint64_t done = 0; done < length;) {
    const auto size = static_cast<std::size_t>(std::min(length - done, kPieceBytes));
    piece_.resize(size);
    codes_.ReadAt(offset + done, size, piece_.data());
    for (char c : piece_) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    done += size;
  }
  return hash;
}

std::uint32_t TiedRows::CodeOf(const OBS* row, std::size_t key) {
  const auto [offset, length] = layout_.CodePlace(row, key);
  if (length == 0) return kNoCode;
  const std::uint64_t hash = HashCode(offset, length) ^ key;
  const auto [first, last] = byHash_.equal_range(hash);
  for (auto held = first; held != last; ++held) {
    const std::string& code = wholeCodes_[held->second];
    // A code of one piece is still in piece_.
    const bool equal = length <= kPieceBytes
                           ? code.size() == length &&
                                 std::memcmp(code.data(), piece_.data(), code.size()) == 0
                           : CodeEquals(code, offset, length);
    if (equal) return held->second;
  }
  Count(length);
  std::string code(static_cast<std::size_t>(length), '\0');
  codes_.ReadAt(offset, code.size(), code.data());
  wholeCodes_.push_back(std::move(code));
  const auto id = static_cast<std::uint32_t>(wholeCodes_.size() - 1);
  byHash_.emplace(hash, id);
  return id;
}

void TiedRows::Hold(const OBS* row) {
  Count(keyUnits_ * sizeof(OBS) + keys_ * sizeof(std::uint32_t));
  keyParts_.insert(keyParts_.end(), row, row + keyUnits_);
  for (std::size_t k = 0; k < keys_; ++k) codeIds_.push_back(CodeOf(row, k));
  if (spill_ == nullptr && (rows_.size() + rowUnits_) * sizeof(OBS) > kHeldRowBytes) {
    spill_ = std::make_unique<ScratchFile>(workDirectory_, "a work file");
    spill_->Append(std::string_view(reinterpret_cast<const char*>(rows_.data()),
                                    rows_.size() * sizeof(OBS)));
    std::vector<OBS>().swap(rows_);
  }
  if (spill_ != nullptr) {
    spill_->Append(std::string_view(reinterpret_cast<const char*>(row), rowUnits_ * sizeof(OBS)));
  } else {
    rows_.insert(rows_.end(), row, row + rowUnits_);
  }
  ++members_;
}

void TiedRows::WriteHeld() {
  std::vector<std::size_t> order(members_);
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto code = [this](const OBS* keyPart, std::size_t key) -> const std::string& {
    const auto member = static_cast<std::size_t>(keyPart - keyParts_.data()) / keyUnits_;
    return wholeCodes_[codeIds_[member * keys_ + key]];
  };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return layout_.Compare(keyParts_.data() + a * keyUnits_, keyParts_.data() + b * keyUnits_,
                           code) < 0;
  });
  if (spill_ != nullptr) spill_->Flush();
  for (std::size_t m : order) {
    if (spill_ == nullptr) {
      write_(rows_.data() + m * rowUnits_);
    } else {
      spill_->ReadAt(m * rowUnits_ * sizeof(OBS), rowUnits_ * sizeof(OBS),
                     reinterpret_cast<char*>(row_.data()));
      write_(row_.data());
    }
  }
  members_ = 0;
  keyParts_.clear();
  codeIds_.clear();
  wholeCodes_.clear();
  byHash_.clear();
  rows_.clear();
  spill_.reset();
  heldBytes_ = 0;
}

}  // namespace isort::app
