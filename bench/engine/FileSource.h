// Rows from a page-cached file: the host's usual case, where the get callback
// copies each row out of the host's own storage.
//
// RowFile writes a workload's rows (as generated, or the same rows in key
// order, or in key order but for some records a place out) once into an
// unnamed temporary file; FileHost reads them back
// through a 1 MiB buffer in its get callback and, in its put callback, checks
// the order (keys, then the id in unit 1) and adds an order-independent hash
// of every row, so a sort that loses, doubles or changes a row fails.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Arrival.h"
#include "isort/sortfile.h"
#include "workloads/Workloads.h"

namespace isort::bench {

class RowFile {
 public:
  RowFile(workloads::Workload workload, std::uint64_t rows, Arrival arrival)
      : layout_(workloads::LayoutOf(workload)), rows_(rows) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string directory = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    descriptor_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor_ < 0) throw std::runtime_error("cannot create a row file in " + directory);
    if (arrival == Arrival::kGenerated) {
      WriteInOrder(workload);
    } else {
      WriteSorted(workload, arrival == Arrival::kNearlySorted);
    }
  }
  ~RowFile() { ::close(descriptor_); }
  RowFile(const RowFile&) = delete;
  RowFile& operator=(const RowFile&) = delete;

  int descriptor() const { return descriptor_; }
  const workloads::Layout& layout() const { return layout_; }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t checksum() const { return checksum_; }

 private:
  void Append(const OBS* rows, std::size_t count) {
    const std::size_t bytes = count * layout_.units * sizeof(OBS);
    if (::pwrite(descriptor_, rows, bytes, static_cast<off_t>(written_)) !=
        static_cast<ssize_t>(bytes)) {
      throw std::runtime_error("cannot write the row file");
    }
    written_ += bytes;
    for (std::size_t i = 0; i < count; ++i) checksum_ += RowHash(rows + i * layout_.units);
  }

  std::uint64_t RowHash(const OBS* row) const { return workloads::RowHash(row, layout_.units); }

  void WriteInOrder(workloads::Workload workload) {
    constexpr std::size_t kChunk = 16384;
    std::vector<OBS> chunk(kChunk * layout_.units);
    workloads::Generator generator(workload, rows_);
    std::size_t filled = 0;
    while (generator.Next(chunk.data() + filled * layout_.units)) {
      if (++filled == kChunk) Append(chunk.data(), filled), filled = 0;
    }
    Append(chunk.data(), filled);
  }

  // The rows stably sorted by the keys: ties keep their ids ascending. With
  // `nearly`, every 50th to 100th row changes places with the next where
  // their keys differ (where they tie, that would change the sorted order).
  void WriteSorted(workloads::Workload workload, bool nearly) {
    const unsigned int units = layout_.units;
    std::vector<OBS> all(rows_ * units);
    workloads::Generator generator(workload, rows_);
    for (std::uint64_t i = 0; i < rows_; ++i) generator.Next(all.data() + i * units);
    std::vector<std::uint32_t> order(rows_);
    for (std::uint32_t i = 0; i < rows_; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return workloads::CompareRows(layout_, &all[a * std::size_t{units}],
                                    &all[b * std::size_t{units}]) < 0;
    });
    if (nearly) {
      ForEachNearlySortedSwap(rows_, [&](std::uint64_t r) {
        const OBS* a = &all[order[r] * std::size_t{units}];
        const OBS* b = &all[order[r + 1] * std::size_t{units}];
        if (!KeysTie(a, b)) std::swap(order[r], order[r + 1]);
      });
    }
    std::vector<OBS> sorted;
    sorted.reserve(16384 * units);
    for (std::uint32_t index : order) {
      sorted.insert(sorted.end(), &all[index * std::size_t{units}],
                    &all[index * std::size_t{units}] + units);
      if (sorted.size() == sorted.capacity()) Append(sorted.data(), sorted.size() / units), sorted.clear();
    }
    Append(sorted.data(), sorted.size() / units);
  }

  // Whether rows `a` and `b` hold equal keys (CompareRows goes on to the ids).
  bool KeysTie(const OBS* a, const OBS* b) const {
    for (const auto& key : layout_.keys) {
      const bool tie = key.width == 0
                           ? a[key.position] == b[key.position]
                           : std::memcmp(a + key.position, b + key.position, key.width) == 0;
      if (!tie) return false;
    }
    return true;
  }

  const workloads::Layout& layout_;
  std::uint64_t rows_;
  int descriptor_ = -1;
  std::uint64_t written_ = 0;
  std::uint64_t checksum_ = 0;
};

// The host side of sortfile_ over a RowFile.
class FileHost {
 public:
  explicit FileHost(const RowFile& file)
      : file_(file), units_(file.layout().units), buffer_(kBufferRows * units_),
        previous_(units_) {}

  static INTEGER Get(void* context, OBS* row, const INTEGER&) {
    return static_cast<FileHost*>(context)->Next(row) ? 0 : 1;
  }
  static INTEGER Put(void* context, const OBS* row, const INTEGER&) {
    static_cast<FileHost*>(context)->Take(row);
    return 0;
  }

  INTEGER Sort() {
    const std::vector<SI> keys = file_.layout().HostKeys();
    const INTEGER nvars = units_;
    const auto nukeys = static_cast<INTEGER>(file_.layout().keys.size());
    const INTEGER unused = 0;
    LOGICAL flag10 = 1;
    INTEGER count11 = 1;
    return sortfile_(this, &Get, &Put, nvars, keys.data(), nukeys, unused, unused, unused,
                     flag10, count11);
  }

  bool Next(OBS* row) {
    if (inBuffer_ == used_) {
      if (!Refill()) return false;
    }
    std::memcpy(row, buffer_.data() + used_ * units_, units_ * sizeof(OBS));
    ++used_;
    return true;
  }

  void Take(const OBS* row) {
    checksum_ += workloads::RowHash(row, units_);
    if (taken_ != 0 && workloads::CompareRows(file_.layout(), previous_.data(), row) > 0) {
      inOrder_ = false;
    }
    std::memcpy(previous_.data(), row, units_ * sizeof(OBS));
    ++taken_;
  }

  // Every row came back once, in order: the count, the order of neighbours
  // and the hash of the multiset all agree.
  bool Passed() const {
    return inOrder_ && taken_ == file_.rows() && checksum_ == file_.checksum();
  }

 private:
  static constexpr std::size_t kBufferRows = 16384;  // about 1 MiB of W1 rows

  bool Refill() {
    const std::size_t rowBytes = units_ * sizeof(OBS);
    const std::uint64_t left = file_.rows() - read_;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kBufferRows));
    if (want == 0) return false;
    const ssize_t got = ::pread(file_.descriptor(), buffer_.data(), want * rowBytes,
                                static_cast<off_t>(read_ * rowBytes));
    if (got != static_cast<ssize_t>(want * rowBytes)) return false;
    read_ += want;
    inBuffer_ = want;
    used_ = 0;
    return true;
  }

  const RowFile& file_;
  std::size_t units_;
  std::vector<OBS> buffer_;
  std::size_t inBuffer_ = 0;
  std::size_t used_ = 0;
  std::uint64_t read_ = 0;
  std::vector<OBS> previous_;
  std::uint64_t taken_ = 0;
  std::uint64_t checksum_ = 0;
  bool inOrder_ = true;
};

}  // namespace isort::bench
