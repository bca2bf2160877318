// CsvReader: cuts a CSV input (RFC 4180) into records and tells, for each
// record, its exact bytes, the line it starts on, how many fields it has and
// the values of a chosen set of columns.
//
// Records: the input is cut at every '\n'. A line that holds no '"' and no
// carriage return (except the one of a CRLF) and that does not continue a
// quoted field is split at its delimiters (commas, or what the caller chose)
// directly: an unquoted record is exactly
// its comma-separated bytes. Every other line goes through libcsv in strict
// mode, one line at a time, and the record ends on the line where libcsv
// reports its end; a newline inside quotes does not end it. libcsv sees
// blanks as ordinary bytes (it would trim them otherwise), so both roads give
// the same values. The fast road pays: pass 1 over W1's CSV with one reader
// takes 1.16 s, and 6.3 s with every line going through libcsv.
//
// Line ends: a record's bytes exclude its LF or CRLF; a last line without one
// is a record all the same. A blank line outside quotes is a record of one
// empty field, as RFC 4180 reads it. A carriage return outside quotes that
// is not part of a CRLF ends a record in the middle of a line, which we
// refuse rather than guess at old Mac line ends, on the last line as on any
// other (one closing the input is its line end). A UTF-8 byte order mark at
// the input's start is no part of the first record; the caller may write it
// back.
#pragma once

#include <csv.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SortErrors.h"

namespace isort::app {

struct CsvRecord {
  std::string_view raw;    // the record's bytes without its line end
  std::uint64_t line = 0;  // the line it starts on, from 1
  std::size_t fields = 0;
  bool ended = false;  // it had a line end (not the last line of a file without one)
  bool crlf = false;   // its line end was CRLF
  // The values of the selected columns, in the order of Select (empty when
  // the record has no such column). A value lies inside `raw` when the field
  // is unquoted on the fast road; otherwise in the reader's own storage. Both
  // stay valid until the next call of Next.
  const std::string_view* values = nullptr;
};

class CsvReader {
 public:
  static constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};

  // Reads from `descriptor`, which stays the caller's; `name` is for
  // messages. With `start` kNoEnd it reads on from the descriptor's offset
  // (a pipe, say); otherwise it reads with pread from byte `start` on, and
  // several readers may share the descriptor.
  CsvReader(int descriptor, std::string name, char delimiter = ',',
            std::uint64_t start = kNoEnd);
  ~CsvReader();
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  // The columns (from 0) whose values Next reports, in this order. Before
  // the first Select, Next reports every column (for the header).
  void Select(const std::vector<std::size_t>& columns);

  // The next record, or false at the end of the input. Throws BadInput for
  // malformed CSV and CannotSort when reading fails.
  bool Next(CsvRecord* record);

  // Makes Next stop (return false) at the first record boundary at or after
  // byte `end` of the input (counted from `start`, or from the descriptor's
  // offset at construction); kNoEnd: read to the end.
  void SetSoftEnd(std::uint64_t end) { softEnd_ = end; }
  // Next stopped at the soft end rather than at the end of the input.
  bool AtSoftEnd() const { return stoppedAtSoftEnd_; }

  // Where the next record starts, as SetSoftEnd counts.
  std::uint64_t position() const { return start_ + consumed_; }
  // Input bytes consumed so far.
  std::uint64_t bytesRead() const { return consumed_; }
  // Lines consumed so far.
  std::uint64_t lines() const { return line_; }
  // The input began with a UTF-8 byte order mark, which is no part of the
  // first record (reading from the input's start only).
  bool byteOrderMark() const { return byteOrderMark_; }

 private:
  void Refill();
  void SkipByteOrderMark();
  bool SplitLine(const char* line, const char* end);
  void SlowLine(const char* line, std::size_t length, bool last);
  bool Finish(CsvRecord* record, const char* end, bool ended);
  void StoreValue(std::size_t column, const char* bytes, std::size_t length);

  static void FieldCallback(void* bytes, std::size_t length, void* self);
  static void RecordCallback(int terminator, void* self);

  int descriptor_;
  std::string name_;
  char delimiter_;
  bool positional_;
  std::uint64_t start_;
  std::uint64_t softEnd_ = kNoEnd;
  bool stoppedAtSoftEnd_ = false;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the current record's first byte in buffer_
  std::size_t scan_ = 0;   // the next line's first byte
  std::size_t end_ = 0;    // bytes held
  bool eof_ = false;
  bool atInputStart_;
  bool byteOrderMark_ = false;
  std::uint64_t line_ = 0;  // lines started so far
  std::uint64_t consumed_ = 0;

  bool selectAll_ = true;
  std::vector<int> slotOf_;  // column -> slot in values_, or -1
  std::vector<std::string_view> values_;

  // The libcsv road.
  csv_parser parser_;
  std::string store_;  // values of the current record that libcsv gave
  std::vector<std::pair<std::size_t, std::size_t>>
      stored_;  // slot -> (offset, length) in store_
  std::vector<bool> hasStored_;
  std::size_t fields_ = 0;  // fields of the current record so far
  bool recordEnded_ = false;
  bool fieldAfterEnd_ = false;
};

}  // namespace isort::app
