// Spool: what the first pass over a CSV input keeps for the second, in one
// unnamed temporary file: per record its raw bytes and, per key column, the
// field's value and its number. The second pass reads it back in order
// instead of parsing the CSV again (and a pipe cannot be read twice anyway).
//
// Record format (native byte order: the file lives only as long as the
// process):
//
//   u32 rawLength   u32 inlineLength
//   per key: f64 number (NaN when the value is not a number),
//            u32 where, u32 length
//   rawLength bytes: the record as it stood in the input, without its line end
//   inlineLength bytes: the values that are not a slice of the raw bytes
//
// `where` is the value's offset in the raw bytes, or kInline plus its offset
// among the inline bytes. An unquoted value is a slice of the raw bytes, so
// for most records the spool holds each byte of the input once, plus 16
// bytes per key and 8 per record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace isort::app {

struct SpoolKey {
  double number;
  std::uint32_t where;
  std::uint32_t length;
};

// One record read back; valid until the next call of Spool::Next.
struct SpoolRecord {
  std::string_view raw;
  const SpoolKey* keys = nullptr;
  const char* inlineBytes = nullptr;

  std::string_view Value(std::size_t key) const;
};

class Spool {
 public:
  static constexpr std::uint32_t kInline = 0x80000000u;

  // A spool of records with `keyCount` key values each, in a new unnamed
  // file in `directory`. Throws CannotSort.
  Spool(const std::string& directory, std::size_t keyCount);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends a record: its raw bytes, its key values (`keyCount` of them) and
  // their numbers (NaN: not a number). Throws CannotSort.
  void Add(std::string_view raw, const std::string_view* values, const double* numbers);

  // Ends writing and starts reading from the first record.
  void Rewind();
  // The next record, or false after the last one. Throws CannotSort.
  bool Next(SpoolRecord* record);

  std::uint64_t bytes() const { return bytes_; }

 private:
  void Append(const void* bytes, std::size_t size);
  void Flush();
  bool Ensure(std::size_t size);

  int descriptor_ = -1;
  std::string what_;
  std::size_t keyCount_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;      // writing: bytes in buffer_
  std::size_t position_ = 0;  // reading: the next record in buffer_
  std::size_t held_ = 0;      // reading: bytes in buffer_
  bool atEnd_ = false;
  std::uint64_t bytes_ = 0;
  std::vector<SpoolKey>
      keys_;  // writing: the record being added; reading: the record read
  std::string inline_;
};

inline std::string_view SpoolRecord::Value(std::size_t key) const {
  const SpoolKey& k = keys[key];
  if ((k.where & Spool::kInline) != 0) {
    return std::string_view(inlineBytes + (k.where & ~Spool::kInline), k.length);
  }
  return std::string_view(raw.data() + k.where, k.length);
}

}  // namespace isort::app
