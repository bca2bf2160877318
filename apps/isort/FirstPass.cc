#include "FirstPass.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>

#include "CsvReader.h"
#include "Files.h"
#include "KeyColumns.h"
#include "Numbers.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();

// Chunks smaller than this are not worth a thread: starting one, and its
// buffers, cost more than reading 32 MiB. Tests set ISORT_CHUNK_BYTES to cut
// small inputs into many chunks.
constexpr std::uint64_t kMinChunkBytes = std::uint64_t{32} << 20;
// More readers than this would only add buffers (8 MiB each).
constexpr unsigned int kMaxChunks = 8;
// How often a chunk's reader publishes its progress, in records.
constexpr std::uint64_t kProgressRecords = 4096;

std::uint64_t MinChunkBytes() {
  if (const char* text = std::getenv("ISORT_CHUNK_BYTES")) {
    const unsigned long long bytes = std::strtoull(text, nullptr, 10);
    if (bytes > 0) return bytes;
  }
  return kMinChunkBytes;
}

// One stretch of the input and what reading it found.
struct Chunk {
  std::unique_ptr<CsvReader> reader;
  std::uint64_t cut = CsvReader::kNoEnd;  // where the next chunk starts
  std::unique_ptr<Spool> spool;
  std::uint64_t rows = 0;
  std::vector<KeyFacts> facts;
  LengthCounts records{RowLayout::kMaxInlineBytes};
  std::exception_ptr failure;  // a BadInput's line counts from where the reader began
  bool tookRest = false;       // a record spanned the cut: this chunk read to the end
  std::atomic<std::uint64_t> bytes{0};
};

// Shows the bytes that all chunks have read; called by the first chunk's
// thread only.
struct ProgressReport {
  Progress* progress = nullptr;
  const std::vector<std::unique_ptr<Chunk>>* chunks = nullptr;

  void Update(std::uint64_t ownBytes) const {
    std::uint64_t bytes = ownBytes;
    for (std::size_t k = 1; k < chunks->size(); ++k) {
      bytes += (*chunks)[k]->bytes.load(std::memory_order_relaxed);
    }
    // Progress redraws only on counts that are multiples of 2^14.
    progress->Update(bytes & ~std::uint64_t{0x3FFF});
  }
};

// What every chunk reads records by.
struct RecordRules {
  const FirstPassInput& input;
  std::size_t columns;
  const std::vector<std::string>& names;  // empty without a header
};

std::string ColumnName(const RecordRules& rules, std::size_t column) {
  return rules.names.empty() ? "#" + std::to_string(column + 1)
                             : "'" + rules.names[column] + "'";
}

// Learns what `value` of key `facts` says and returns its double key: -inf
// when missing, NaN when no number (Numbers.h).
double ReadKeyValue(std::string_view value, KeyFacts& facts, const RecordRules& rules,
                    std::uint64_t line) {
  if (facts.key.type != KeyType::kNumber) {
    const bool missingText = rules.input.missing.MatchesText(value);
    facts.textCodes.Add(
        missingText ? 0 : rules.input.textOrder->EstimatedCodeBytes(value.size()));
  }
  // Once a column has a value that is not a number, its numbers are not
  // needed: spare the parse.
  if (facts.key.type == KeyType::kText || !facts.numbers) return kNotANumber;
  const bool missing = rules.input.missing.MatchesNumber(value);
  const Number number = ReadNumber(value);
  if (number.kind == Number::Kind::kNotANumber && !missing) {
    if (facts.key.type == KeyType::kNumber) {
      constexpr std::size_t kShown = 40;
      throw BadInput(line, "column " + ColumnName(rules, facts.key.column) +
                               " is to sort as numbers (:num), but '" +
                               std::string(value.substr(0, kShown)) +
                               (value.size() > kShown ? "...'" : "'") +
                               " is no number (--missing lists texts that count as missing)");
    }
    facts.numbers = false;
    return kNotANumber;
  }
  if (missing) {
    facts.numberCodes.Add(0);
    return -HUGE_VAL;
  }
  facts.exactAsDouble = facts.exactAsDouble && number.exactAsDouble;
  facts.numberCodes.Add(number.codeBytes);
  return DoubleKey(number);
}

// Checks a record and spools it.
void TakeRecord(const CsvRecord& record, Chunk& chunk, std::vector<double>& numbers,
                const RecordRules& rules) {
  if (record.fields != rules.columns) {
    throw BadInput(record.line, std::to_string(record.fields) +
                                    (record.fields == 1 ? " field" : " fields") + ", " +
                                    (rules.names.empty() ? "the first record" : "the header") +
                                    " has " + std::to_string(rules.columns));
  }
  if (record.raw.size() > rules.input.longestRecord) {
    throw BadInput(record.line,
                   "a record of " + std::to_string(record.raw.size()) +
                       " bytes: the memory budget allows records of up to " +
                       std::to_string(rules.input.longestRecord) +
                       " bytes (raise --memory)",
                   true);
  }
  for (std::size_t k = 0; k < chunk.facts.size(); ++k) {
    numbers[k] = ReadKeyValue(record.values[k], chunk.facts[k], rules, record.line);
  }
  chunk.spool->Add(record.raw, record.values, numbers.data());
  chunk.records.Add(record.raw.size());
  ++chunk.rows;
}

// Reads records until the reader stops, spooling them.
void ReadRecords(Chunk& chunk, std::vector<double>& numbers, const RecordRules& rules,
                 const ProgressReport& report) {
  CsvReader& reader = *chunk.reader;
  CsvRecord record;
  while (reader.Next(&record)) {
    TakeRecord(record, chunk, numbers, rules);
    if (chunk.rows % kProgressRecords == 0) {
      if (report.progress != nullptr) {
        report.Update(reader.bytesRead());
      } else {
        chunk.bytes.store(reader.bytesRead(), std::memory_order_relaxed);
      }
    }
  }
}

// Reads a chunk to its cut, or on to the end when a record spans the cut.
// Never throws: a failure is kept in the chunk.
void ReadChunk(Chunk& chunk, const RecordRules& rules, const ProgressReport& report) noexcept {
  try {
    std::vector<double> numbers(chunk.facts.size(), kNotANumber);
    chunk.reader->SetSoftEnd(chunk.cut);
    ReadRecords(chunk, numbers, rules, report);
    if (chunk.reader->AtSoftEnd() && chunk.reader->position() != chunk.cut) {
      chunk.tookRest = true;
      chunk.reader->SetSoftEnd(CsvReader::kNoEnd);
      ReadRecords(chunk, numbers, rules, report);
    }
    chunk.bytes.store(chunk.reader->bytesRead(), std::memory_order_relaxed);
  } catch (...) {
    chunk.failure = std::current_exception();
  }
}

// The first byte after the '\n' at or after `from`, or `limit` when there is
// none before it.
std::uint64_t LineStartAfter(int descriptor, std::uint64_t from, std::uint64_t limit,
                             const std::string& name) {
  char window[1 << 16];
  while (from < limit) {
    const ssize_t got = ::pread(
        descriptor, window,
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof window, limit - from)),
        static_cast<off_t>(from));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw CannotSort("cannot read " + name + ": " + SystemReason(errno));
    }
    if (got == 0) break;
    if (const void* newline = std::memchr(window, '\n', static_cast<std::size_t>(got))) {
      return from +
             static_cast<std::uint64_t>(static_cast<const char*>(newline) - window) + 1;
    }
    from += static_cast<std::uint64_t>(got);
  }
  return limit;
}

// Where the chunks after the first start: just after a '\n' near every
// equal share of [dataStart, size).
std::vector<std::uint64_t> Cuts(const FirstPassInput& input, std::uint64_t dataStart) {
  std::vector<std::uint64_t> cuts;
  if (input.size <= dataStart) return cuts;
  const std::uint64_t bytes = input.size - dataStart;
  const auto chunks = static_cast<unsigned int>(std::min<std::uint64_t>(
      std::min(input.threads, kMaxChunks), bytes / MinChunkBytes()));
  std::uint64_t previous = dataStart;
  for (unsigned int k = 1; k < chunks; ++k) {
    const std::uint64_t nominal = dataStart + bytes / chunks * k;
    const std::uint64_t cut = LineStartAfter(
        input.descriptor, std::max(nominal, previous), input.size, input.name);
    if (cut >= input.size) break;
    if (cut > previous) cuts.push_back(cut);
    previous = cut;
  }
  return cuts;
}

}  // namespace

FirstPassResult ReadInput(const FirstPassInput& input, Progress& progress) {
  FirstPassResult result;
  std::vector<std::unique_ptr<Chunk>> chunks;
  chunks.push_back(std::make_unique<Chunk>());
  Chunk& first = *chunks.front();
  first.reader = std::make_unique<CsvReader>(input.descriptor, input.name, input.delimiter);

  CsvRecord record;
  if (!first.reader->Next(&record)) {
    // Without a header an empty input is an empty data set.
    if (input.noHeader) {
      result.hasHeader = false;
      return result;
    }
    throw BadInput(1, "empty input: no header row");
  }
  if (first.reader->byteOrderMark()) result.byteOrderMark = "\xEF\xBB\xBF";
  result.hasHeader = !input.noHeader;
  result.lineEnd = record.crlf ? "\r\n" : "\n";
  const std::size_t columns = record.fields;
  std::vector<std::string> names;
  if (result.hasHeader) {
    result.header.assign(record.raw);
    names.reserve(columns);
    for (std::size_t c = 0; c < columns; ++c) names.emplace_back(record.values[c]);
  }
  const std::vector<KeyColumn> keys = ParseKeyColumns(input.by, names, columns, input.reverse);
  const RecordRules rules{input, columns, names};

  std::vector<std::size_t> selected;
  for (const KeyColumn& key : keys) selected.push_back(key.column);
  const std::uint64_t dataStart = first.reader->position();
  const std::vector<std::uint64_t> cuts =
      input.size != 0 ? Cuts(input, dataStart) : std::vector<std::uint64_t>();
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    if (k > 0) {
      chunks.push_back(std::make_unique<Chunk>());
      chunks.back()->reader = std::make_unique<CsvReader>(input.descriptor, input.name,
                                                          input.delimiter, cuts[k - 1]);
    }
    Chunk& chunk = *chunks.back();
    chunk.spool = std::make_unique<Spool>(input.tmpdir, keys.size());
    if (k < cuts.size()) chunk.cut = cuts[k];
    for (const KeyColumn& key : keys) {
      KeyFacts facts;
      facts.key = key;
      facts.numberCodes = LengthCounts(RowLayout::kMaxPrefixBytes);
      facts.textCodes = LengthCounts(RowLayout::kMaxPrefixBytes);
      chunk.facts.push_back(facts);
    }
  }
  if (!result.hasHeader) {
    // The first record is data: its values of the key columns, as Select
    // would have given them.
    std::vector<std::string_view> values;
    for (std::size_t column : selected) values.push_back(record.values[column]);
    record.values = values.data();
    std::vector<double> numbers(keys.size(), kNotANumber);
    TakeRecord(record, first, numbers, rules);
  }
  for (auto& chunk : chunks) chunk->reader->Select(selected);

  // The first chunk on this thread, the others on their own. Threads are
  // joined before anything here can throw.
  std::vector<std::thread> threads;
  std::exception_ptr startFailure;
  try {
    for (std::size_t k = 1; k < chunks.size(); ++k) {
      Chunk* chunk = chunks[k].get();
      threads.emplace_back([chunk, &rules] { ReadChunk(*chunk, rules, ProgressReport()); });
    }
  } catch (...) {
    startFailure = std::current_exception();
  }
  if (!startFailure) {
    // Progress is the first chunk's business; it adds what the others did.
    ReadChunk(first, rules, ProgressReport{&progress, &chunks});
  }
  for (std::thread& thread : threads) thread.join();
  if (startFailure) std::rethrow_exception(startFailure);

  // The chunks in input order, up to the one that read the rest.
  std::uint64_t linesBefore = 0;
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    Chunk& chunk = *chunks[k];
    if (chunk.failure) {
      try {
        std::rethrow_exception(chunk.failure);
      } catch (BadInput& error) {
        error.line += linesBefore;
        throw;
      }
    }
    linesBefore += chunk.reader->lines();
    result.rows += chunk.rows;
    result.records.Merge(chunk.records);
    if (k == 0) {
      result.keys = chunk.facts;
    } else {
      for (std::size_t c = 0; c < keys.size(); ++c) result.keys[c].Merge(chunk.facts[c]);
    }
    result.spools.push_back(std::move(chunk.spool));
    if (chunk.tookRest) break;
  }
  return result;
}

}  // namespace isort::app
