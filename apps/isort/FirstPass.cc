#include "FirstPass.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>

#include "CsvReader.h"
#include "Files.h"
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
  std::size_t widest = 0;
  std::vector<std::size_t> widths;
  std::vector<char> numeric;
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

// Reads records until the reader stops, spooling them.
void ReadRecords(Chunk& chunk, std::size_t columns, std::vector<double>& numbers,
                 const ProgressReport& report) {
  CsvReader& reader = *chunk.reader;
  const std::size_t keyCount = chunk.widths.size();
  CsvRecord record;
  while (reader.Next(&record)) {
    if (record.fields != columns) {
      throw BadInput(record.line, std::to_string(record.fields) +
                                      (record.fields == 1 ? " field" : " fields") +
                                      ", the header has " + std::to_string(columns));
    }
    for (std::size_t k = 0; k < keyCount; ++k) {
      const std::string_view value = record.values[k];
      if (value.size() > chunk.widths[k]) chunk.widths[k] = value.size();
      // Once a column has a value that is not a number, its numbers are not
      // needed: spare the parse.
      if (chunk.numeric[k] != 0 && !ParseNumber(value, &numbers[k])) {
        chunk.numeric[k] = 0;
        numbers[k] = kNotANumber;
      }
    }
    chunk.spool->Add(record.raw, record.values, numbers.data());
    if (record.raw.size() > chunk.widest) chunk.widest = record.raw.size();
    if (++chunk.rows % kProgressRecords == 0) {
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
void ReadChunk(Chunk& chunk, std::size_t columns, const std::string& tmpdir,
               const ProgressReport& report) noexcept {
  try {
    const std::size_t keyCount = chunk.widths.size();
    std::vector<double> numbers(keyCount, kNotANumber);
    chunk.spool = std::make_unique<Spool>(tmpdir, keyCount);
    chunk.reader->SetSoftEnd(chunk.cut);
    ReadRecords(chunk, columns, numbers, report);
    if (chunk.reader->AtSoftEnd() && chunk.reader->position() != chunk.cut) {
      chunk.tookRest = true;
      chunk.reader->SetSoftEnd(CsvReader::kNoEnd);
      ReadRecords(chunk, columns, numbers, report);
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
  first.reader = std::make_unique<CsvReader>(input.descriptor, input.name);

  CsvRecord record;
  if (!first.reader->Next(&record)) throw BadInput(1, "empty input: no header row");
  result.header.assign(record.raw);
  result.lineEnd = record.crlf ? "\r\n" : "\n";
  const std::size_t columns = record.fields;
  std::vector<std::string> names;
  names.reserve(columns);
  for (std::size_t c = 0; c < columns; ++c) names.emplace_back(record.values[c]);
  result.keys = ParseKeyColumns(input.by, names);

  std::vector<std::size_t> selected;
  for (const KeyColumn& key : result.keys) selected.push_back(key.column);
  const std::uint64_t dataStart = first.reader->position();
  const std::vector<std::uint64_t> cuts =
      input.size != 0 ? Cuts(input, dataStart) : std::vector<std::uint64_t>();
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    if (k > 0) {
      chunks.push_back(std::make_unique<Chunk>());
      chunks.back()->reader =
          std::make_unique<CsvReader>(input.descriptor, input.name, cuts[k - 1]);
    }
    Chunk& chunk = *chunks.back();
    chunk.reader->Select(selected);
    if (k < cuts.size()) chunk.cut = cuts[k];
    chunk.widths.assign(selected.size(), 0);
    chunk.numeric.assign(selected.size(), 1);
  }

  // The first chunk on this thread, the others on their own. Threads are
  // joined before anything here can throw.
  std::vector<std::thread> threads;
  std::exception_ptr startFailure;
  try {
    for (std::size_t k = 1; k < chunks.size(); ++k) {
      Chunk* chunk = chunks[k].get();
      threads.emplace_back([chunk, columns, &input] {
        ReadChunk(*chunk, columns, input.tmpdir, ProgressReport());
      });
    }
  } catch (...) {
    startFailure = std::current_exception();
  }
  if (!startFailure) {
    // Progress is the first chunk's business; it adds what the others did.
    ReadChunk(first, columns, input.tmpdir, ProgressReport{&progress, &chunks});
  }
  for (std::thread& thread : threads) thread.join();
  if (startFailure) std::rethrow_exception(startFailure);

  // The chunks in input order, up to the one that read the rest.
  std::uint64_t linesBefore = 0;
  result.widestRecord = 0;
  std::vector<std::size_t> widths(selected.size(), 0);
  std::vector<char> numeric(selected.size(), 1);
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
    result.widestRecord = std::max(result.widestRecord, chunk.widest);
    for (std::size_t c = 0; c < selected.size(); ++c) {
      widths[c] = std::max(widths[c], chunk.widths[c]);
      numeric[c] = static_cast<char>(numeric[c] & chunk.numeric[c]);
    }
    result.spools.push_back(std::move(chunk.spool));
    if (chunk.tookRest) break;
  }
  for (std::size_t c = 0; c < selected.size(); ++c) {
    result.keys[c].width = widths[c];
    result.keys[c].numeric = numeric[c] != 0;
  }
  return result;
}

}  // namespace isort::app
