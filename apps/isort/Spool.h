// Spool: what the first pass over a CSV input keeps for the second, in one
// unnamed work file: per record its raw bytes and, per key column, the
// field's value and its double key. The second pass reads it back in order
// instead of parsing the CSV again (a pipe cannot be read twice anyway), and
// records too long to travel inside a row are read from it by position when
// they are written out, so it lives until the output is complete.
//
// Record format (native byte order: the file lives only as long as the
// process):
//
//   u32 rawLength   u32 inlineLength
//   per key: f64 number (the double road's key; NaN when not a number),
//            u32 where, u32 length
//   inlineLength bytes: the values that are not a slice of the raw bytes
//   rawLength bytes: the record as it stood in the input, without its line end
//
// `where` is the value's offset in the raw bytes, or kInline plus its offset
// among the inline bytes. An unquoted value is a slice of the raw bytes, so
// for most records the spool holds each byte of the input once, plus 16
// bytes per key and 8 per record. A record longer than kLoadedRawBytes has
// every value inline: reading skips its raw bytes, so the second pass never
// holds more than that of a record's raw bytes in memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ScratchFile.h"

namespace isort::app {

struct SpoolKey {
  double number;
  std::uint32_t where;
  std::uint32_t length;
};

// One record read back; valid until the next call of Spool::Next.
struct SpoolRecord {
  std::string_view raw;  // empty unless rawLength <= kLoadedRawBytes
  std::uint32_t rawLength = 0;
  std::uint64_t rawOffset = 0;  // where the raw bytes lie in the spool
  const SpoolKey* keys = nullptr;
  const char* inlineBytes = nullptr;

  std::string_view Value(std::size_t key) const;
};

class Spool {
 public:
  static constexpr std::uint32_t kInline = 0x80000000u;
  // Raw bytes read back with the record. The widest record that travels
  // inside a row is at most this long, so longer ones need not be read.
  static constexpr std::uint32_t kLoadedRawBytes = 64 << 10;

  // A spool of records with `keyCount` key values each, in a new unnamed
  // file in `directory`. Throws CannotSort.
  Spool(const std::string& directory, std::size_t keyCount);

  // Appends a record: its raw bytes, its key values (`keyCount` of them) and
  // their double keys. Throws CannotSort.
  void Add(std::string_view raw, const std::string_view* values, const double* numbers);

  // Ends writing and starts reading from the first record.
  void Rewind();
  // The next record, or false after the last one. Throws CannotSort.
  bool Next(SpoolRecord* record);
  // Reads `length` raw bytes at `offset` (a record's rawOffset) into `out`.
  void ReadRaw(std::uint64_t offset, std::size_t length, char* out) const {
    file_.ReadAt(offset, length, out);
  }

  std::uint64_t bytes() const { return file_.size(); }

 private:
  bool Ensure(std::size_t size);
  void Skip(std::uint64_t size);

  ScratchFile file_;
  std::size_t keyCount_;
  // Writing: the record being added.
  std::vector<SpoolKey> keys_;
  std::string inline_;
  std::string record_;
  // Reading.
  std::vector<char> buffer_;
  std::uint64_t bufferOffset_ = 0;  // where buffer_[0] lies in the file
  std::size_t position_ = 0;        // the next record in buffer_
  std::size_t held_ = 0;            // bytes in buffer_
  std::vector<SpoolKey> readKeys_;
};

inline std::string_view SpoolRecord::Value(std::size_t key) const {
  const SpoolKey& k = keys[key];
  if ((k.where & Spool::kInline) != 0) {
    return std::string_view(inlineBytes + (k.where & ~Spool::kInline), k.length);
  }
  return std::string_view(raw.data() + k.where, k.length);
}

}  // namespace isort::app
