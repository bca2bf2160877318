#include "CsvReader.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace isort::app {
namespace {

// 4 MiB reads: few system calls, little memory beside the engine's budget.
// The buffer grows when a single record needs more.
constexpr std::size_t kReadBytes = std::size_t{4} << 20;
// The fast road loads 16 bytes at a time and may look up to 15 bytes past
// the data it holds.
constexpr std::size_t kPadding = 16;

int NoBlanks(unsigned char) { return 0; }

// libcsv grows a field's buffer by 128 bytes at a time. Where realloc copies
// (always under AddressSanitizer; below glibc's mmap threshold otherwise), a
// field of n bytes costs about n^2/256 bytes of copying: our reader test with
// a 9 MB field took 66 s under AddressSanitizer. Doubling makes it linear
// (1.3 s); libcsv still asks every 128 bytes and finds the block large enough.
void* GrowGeometrically(void* block, std::size_t size) {
  const std::size_t usable = block != nullptr ? malloc_usable_size(block) : 0;
  if (size <= usable) return block;
  return std::realloc(block, std::max(size, 2 * usable));
}

constexpr const char* kStrayCarriageReturn =
    "a carriage return outside quotes in the middle of a line (lines must end in LF or "
    "CRLF)";

}  // namespace

CsvReader::CsvReader(int descriptor, std::string name, char delimiter, std::uint64_t start)
    : descriptor_(descriptor),
      name_(std::move(name)),
      delimiter_(delimiter),
      positional_(start != kNoEnd),
      start_(positional_ ? start : 0),
      buffer_(kReadBytes + kPadding),
      atInputStart_(!positional_ || start == 0) {
  if (csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI) != 0) throw std::bad_alloc();
  csv_set_delim(&parser_, static_cast<unsigned char>(delimiter));
  csv_set_space_func(&parser_, NoBlanks);
  csv_set_realloc_func(&parser_, GrowGeometrically);
}

CsvReader::~CsvReader() { csv_free(&parser_); }

void CsvReader::Select(const std::vector<std::size_t>& columns) {
  selectAll_ = false;
  slotOf_.clear();
  for (std::size_t slot = 0; slot < columns.size(); ++slot) {
    if (columns[slot] >= slotOf_.size()) slotOf_.resize(columns[slot] + 1, -1);
    slotOf_[columns[slot]] = static_cast<int>(slot);
  }
  values_.assign(columns.size(), std::string_view());
  stored_.assign(columns.size(), {0, 0});
  hasStored_.assign(columns.size(), false);
}

void CsvReader::Refill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    scan_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  std::size_t capacity = buffer_.size() - kPadding;
  if (capacity - end_ < kReadBytes / 2) {
    // One record fills the buffer: make room for it.
    capacity = std::max(capacity * 2, end_ + kReadBytes);
    buffer_.resize(capacity + kPadding);
  }
  for (;;) {
    // The byte at buffer_[begin_] is input byte start_ + consumed_.
    const ssize_t got =
        positional_ ? ::pread(descriptor_, buffer_.data() + end_, capacity - end_,
                              static_cast<off_t>(start_ + consumed_ + (end_ - begin_)))
                    : ::read(descriptor_, buffer_.data() + end_, capacity - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return;
    }
    if (got == 0) {
      eof_ = true;
      return;
    }
    if (errno != EINTR)
      throw CannotSort("cannot read " + name_ + ": " + std::strerror(errno));
  }
}

void CsvReader::SkipByteOrderMark() {
  atInputStart_ = false;
  while (end_ - scan_ < 3 && !eof_) Refill();
  if (end_ - scan_ >= 3 && std::memcmp(buffer_.data() + scan_, "\xEF\xBB\xBF", 3) == 0) {
    scan_ += 3;
    consumed_ += 3;
    byteOrderMark_ = true;
  }
}

// Splits the line [line, end) (without its line end) at its delimiters into
// values_, when it holds no '"' and no carriage return.
bool CsvReader::SplitLine(const char* line, const char* end) {
  std::size_t field = 0;
  const char* fieldStart = line;
  const std::size_t slots = slotOf_.size();
  auto emit = [&](const char* stop) {
    if (selectAll_) {
      if (field >= values_.size()) values_.resize(field + 1);
      values_[field] =
          std::string_view(fieldStart, static_cast<std::size_t>(stop - fieldStart));
    } else if (field < slots && slotOf_[field] >= 0) {
      values_[static_cast<std::size_t>(slotOf_[field])] =
          std::string_view(fieldStart, static_cast<std::size_t>(stop - fieldStart));
    }
    ++field;
    fieldStart = stop + 1;
  };
  const char* p = line;
#ifdef __SSE2__
  // 16 bytes at a time: a mask of the commas and one of the bytes that send
  // the line to libcsv. Pass 1 over W1's CSV with one reader takes 1.16 s
  // this way against 1.87 s byte by byte (best of 5).
  const __m128i comma = _mm_set1_epi8(delimiter_);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i cr = _mm_set1_epi8('\r');
  while (p < end) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned valid = 0xFFFF;
    if (end - p < 16) valid = (1u << (end - p)) - 1;
    const auto special = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                             _mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, cr)))) &
                         valid;
    if (special != 0) return false;
    auto commas =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, comma))) & valid;
    while (commas != 0) {
      emit(p + __builtin_ctz(commas));
      commas &= commas - 1;
    }
    p += 16;
  }
#else
  for (; p < end; ++p) {
    if (*p == delimiter_) {
      emit(p);
    } else if (*p == '"' || *p == '\r') {
      return false;
    }
  }
#endif
  emit(end);
  fields_ = field;
  if (selectAll_) {
    values_.resize(field);
  } else {
    // Selected columns this record lacks (it will be refused for that).
    for (std::size_t c = field; c < slots; ++c) {
      if (slotOf_[c] >= 0)
        values_[static_cast<std::size_t>(slotOf_[c])] = std::string_view();
    }
  }
  return true;
}

void CsvReader::FieldCallback(void* bytes, std::size_t length, void* self) {
  auto* reader = static_cast<CsvReader*>(self);
  if (reader->recordEnded_) {
    reader->fieldAfterEnd_ = true;
    return;
  }
  reader->StoreValue(reader->fields_++, static_cast<const char*>(bytes), length);
}

void CsvReader::RecordCallback(int, void* self) {
  static_cast<CsvReader*>(self)->recordEnded_ = true;
}

void CsvReader::StoreValue(std::size_t column, const char* bytes, std::size_t length) {
  std::size_t slot;
  if (selectAll_) {
    slot = column;
    if (slot >= stored_.size()) {
      stored_.resize(slot + 1, {0, 0});
      hasStored_.resize(slot + 1, false);
    }
  } else if (column < slotOf_.size() && slotOf_[column] >= 0) {
    slot = static_cast<std::size_t>(slotOf_[column]);
  } else {
    return;
  }
  stored_[slot] = {store_.size(), length};
  hasStored_[slot] = true;
  store_.append(bytes, length);
}

void CsvReader::SlowLine(const char* line, std::size_t length, bool last) {
  const std::size_t parsed =
      csv_parse(&parser_, line, length, FieldCallback, RecordCallback, this);
  if (parsed != length || csv_error(&parser_) != CSV_SUCCESS) {
    throw BadInput(line_,
                   "malformed quoting at byte " + std::to_string(parsed + 1) +
                       " of the line: a '\"' inside an unquoted field, or something "
                       "other than a comma or a line end after a closing '\"'");
  }
  if (last) {
    // A field after a record's end waits in libcsv until the end of the
    // input: this brings it out, so that "x\r1" on the last line is refused
    // as on any other.
    if (csv_fini(&parser_, FieldCallback, RecordCallback, this) != 0) {
      throw BadInput(0,
                     "unterminated quote: the quoted field runs to the end of the input");
    }
  }
  if (fieldAfterEnd_) {
    throw BadInput(line_, kStrayCarriageReturn);
  }
}

bool CsvReader::Finish(CsvRecord* record, const char* end, bool ended) {
  const char* begin = buffer_.data() + begin_;
  std::size_t length = static_cast<std::size_t>(end - begin);
  record->crlf = false;
  // The record's own line end (or a carriage return closing the input).
  if (length > 0 && begin[length - 1] == '\r') {
    --length;
    record->crlf = ended;
  }
  record->raw = std::string_view(begin, length);
  record->ended = ended;
  record->fields = fields_;
  record->values = values_.data();
  return true;
}

bool CsvReader::Next(CsvRecord* record) {
  if (atInputStart_) SkipByteOrderMark();
  begin_ = scan_;
  if (position() >= softEnd_) {
    stoppedAtSoftEnd_ = true;
    return false;
  }
  stoppedAtSoftEnd_ = false;
  const std::uint64_t firstLine = line_ + 1;
  bool slow = false;  // the record goes through libcsv
  store_.clear();
  std::fill(hasStored_.begin(), hasStored_.end(), false);
  fields_ = 0;
  recordEnded_ = false;
  fieldAfterEnd_ = false;
  try {
    for (;;) {
      const char* lineStart = buffer_.data() + scan_;
      const char* newline =
          static_cast<const char*>(std::memchr(lineStart, '\n', end_ - scan_));
      if (newline == nullptr && !eof_) {
        Refill();
        continue;  // the buffer may have moved: look again
      }
      const bool last = newline == nullptr;
      if (last && scan_ == end_) {
        if (!slow) return false;       // the end of the input between records
        SlowLine(lineStart, 0, true);  // throws: only a quoted field continues a record
        break;
      }
      const char* lineEnd = last ? buffer_.data() + end_ : newline;
      const std::size_t next =
          static_cast<std::size_t>(lineEnd - buffer_.data()) + (last ? 0 : 1);
      ++line_;
      if (!slow) {
        const char* contentEnd = lineEnd;
        if (!last && contentEnd > lineStart && contentEnd[-1] == '\r') --contentEnd;
        if (SplitLine(lineStart, contentEnd)) {
          scan_ = next;
          record->line = firstLine;
          consumed_ += next - begin_;
          return Finish(record, lineEnd, !last);
        }
        // libcsv skips carriage returns before a record: a line of nothing
        // else would join the next line's record.
        if (std::all_of(lineStart, contentEnd, [](char c) { return c == '\r'; })) {
          throw BadInput(line_, kStrayCarriageReturn);
        }
        slow = true;
        // What the fast road found so far is not libcsv's: start afresh.
        fields_ = 0;
      }
      SlowLine(lineStart, next - scan_, last);
      scan_ = next;
      if (recordEnded_) break;
    }
  } catch (BadInput& error) {
    if (error.line == 0) error.line = firstLine;
    throw;
  }
  // The libcsv road: the values lie in store_.
  if (selectAll_) {
    values_.resize(fields_);
  } else {
    std::fill(values_.begin(), values_.end(), std::string_view());
  }
  for (std::size_t slot = 0; slot < values_.size() && slot < stored_.size(); ++slot) {
    if (hasStored_[slot]) {
      values_[slot] =
          std::string_view(store_.data() + stored_[slot].first, stored_[slot].second);
    }
  }
  const char* end = buffer_.data() + scan_;
  const bool ended = end > buffer_.data() + begin_ && end[-1] == '\n';
  if (ended) --end;
  // libcsv ends a record at its first carriage return outside quotes and
  // skips any that follow: one left after the CRLF's is a stray one.
  if (end - (buffer_.data() + begin_) >= 2 && end[-1] == '\r' && end[-2] == '\r') {
    throw BadInput(line_, kStrayCarriageReturn);
  }
  record->line = firstLine;
  consumed_ += scan_ - begin_;
  return Finish(record, end, ended);
}

}  // namespace isort::app
