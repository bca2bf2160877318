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

// 64-bit FNV-1a, to find a distinct code that may equal a new one; leaves a
// code of one piece in piece_.
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

// The byte order of two codes, held or read a piece at a time.
int TiedRows::CompareCodes(const Code& x, const Code& y) {
  if (x.held && y.held) return x.bytes.compare(y.bytes);
  const std::uint64_t common = std::min(x.length, y.length);
  for (std::uint64_t done = 0; done < common;) {
    const auto size = static_cast<std::size_t>(std::min(common - done, kPieceBytes));
    const char* a = x.bytes.data() + done;
    const char* b = y.bytes.data() + done;
    if (!x.held) {
      piece_.resize(size);
      codes_.ReadAt(x.offset + done, size, piece_.data());
      a = piece_.data();
    }
    if (!y.held) {
      otherPiece_.resize(size);
      codes_.ReadAt(y.offset + done, size, otherPiece_.data());
      b = otherPiece_.data();
    }
    const int result = std::memcmp(a, b, size);
    if (result != 0) return result;
    done += size;
  }
  return (x.length > y.length) - (x.length < y.length);
}

std::uint32_t TiedRows::CodeOf(const OBS* keyPart, std::size_t key) {
  const auto [offset, length] = layout_.CodePlace(keyPart, key);
  if (length == 0) return kNoCode;
  const std::uint64_t hash = HashCode(offset, length) ^ key;
  Code code;
  code.offset = offset;
  code.length = length;
  if (length <= kPieceBytes) {
    // HashCode left it in piece_.
    code.bytes.assign(piece_.data(), static_cast<std::size_t>(length));
    code.held = true;
  }
  const auto [first, last] = byHash_.equal_range(hash);
  for (auto known = first; known != last; ++known) {
    if (CompareCodes(wholeCodes_[known->second], code) == 0) return known->second;
  }
  if (!code.held && heldBytes_ + length <= kHeldBytes) {
    code.bytes.resize(static_cast<std::size_t>(length));
    codes_.ReadAt(offset, code.bytes.size(), code.bytes.data());
    code.held = true;
  }
  if (code.held) heldBytes_ += length;
  if (heldBytes_ > kHeldBytes) {
    // Held only to be found: leave it in the file.
    heldBytes_ -= length;
    std::string().swap(code.bytes);
    code.held = false;
  }
  wholeCodes_.push_back(std::move(code));
  const auto id = static_cast<std::uint32_t>(wholeCodes_.size() - 1);
  byHash_.emplace(hash, id);
  return id;
}

void TiedRows::FindCodes(std::size_t member) {
  codeIds_.resize((member + 1) * keys_);
  for (std::size_t k = 0; k < keys_; ++k) {
    codeIds_[member * keys_ + k] = CodeOf(keyParts_.data() + member * keyUnits_, k);
  }
}

void TiedRows::Hold(const OBS* row) {
  const std::uint64_t keyPartBytes = keyUnits_ * sizeof(OBS) + keys_ * sizeof(std::uint32_t);
  if ((members_ + 1) * keyPartBytes > kHeldBytes) {
    throw CannotSort(std::to_string(members_) +
                     " rows and more tie on the first bytes of long key values: putting them "
                     "in order takes more than " + std::to_string(kHeldBytes >> 20) +
                     " MiB beside the memory budget");
  }
  keyParts_.insert(keyParts_.end(), row, row + keyUnits_);
  // A group of one needs no whole code: the first member's are found when a
  // second one comes.
  if (members_ == 1) FindCodes(0);
  if (members_ >= 1) FindCodes(members_);
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
  const auto compareCodes = [this](const OBS* a, const OBS* b, std::size_t key) {
    const auto x = codeIds_[static_cast<std::size_t>(a - keyParts_.data()) / keyUnits_ * keys_ + key];
    const auto y = codeIds_[static_cast<std::size_t>(b - keyParts_.data()) / keyUnits_ * keys_ + key];
    return x == y ? 0 : CompareCodes(wholeCodes_[x], wholeCodes_[y]);
  };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return layout_.Compare(keyParts_.data() + a * keyUnits_, keyParts_.data() + b * keyUnits_,
                           compareCodes) < 0;
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
