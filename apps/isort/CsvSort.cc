// isort sort, in two passes over the data.
//
// Pass 1 (FirstPass) parses the CSV once, checks every record against the
// header and spools what pass 2 needs. Pass 2 reads the spools back and
// hands the engine one fixed-width row per record (RowLayout); the engine
// hands them back in key order and we write each record's bytes, the header
// first.
//
// Line ends: every row, the header included, is written followed by the
// header's own line end (LF or CRLF; LF when the header is the whole input
// and has none), so a file with mixed line ends comes out with one kind and
// a last line without one gets one.
#include "CsvSort.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "CsvRows.h"
#include "Files.h"
#include "FirstPass.h"
#include "OutputFile.h"
#include "SortErrors.h"
#include "Spool.h"
#include "isort/FileSort.h"
#include "isort/platform.h"
#include "vorn/Errors.h"

namespace isort::app {
namespace {

// The input file, or standard input, open for reading.
class Input {
 public:
  explicit Input(const std::string& path) {
    if (path == "-") {
      name = "standard input";
      descriptor = STDIN_FILENO;
    } else {
      name = path;
      descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (descriptor < 0)
        throw CannotSort("cannot open " + path + ": " + SystemReason(errno));
      owned_ = true;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
      size = static_cast<std::uint64_t>(status.st_size);
    }
  }
  ~Input() {
    if (owned_) ::close(descriptor);
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  std::string name;
  int descriptor = -1;
  std::uint64_t size = 0;  // of a regular file; 0: not known

 private:
  bool owned_ = false;
};

// The processors this process may run on.
unsigned int AvailableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned int>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// Rows from the spools into the engine, records out of it into the output.
class CsvEngineSort : public FileSort {
 public:
  CsvEngineSort(const RowLayout& layout, std::vector<std::unique_ptr<Spool>>& spools,
                OutputFile& output, const std::string& lineEnd, std::uint64_t rows,
                Progress& progress)
      : FileSort(layout.engineKeys(), layout.rowUnits(), nullptr),
        layout_(layout),
        spools_(spools),
        output_(output),
        lineEnd_(lineEnd),
        rows_(rows),
        row_(layout.rowUnits()),
        progress_(progress) {}

  const OBS* GetRow() override {
    SpoolRecord record;
    while (next_ < spools_.size()) {
      if (spools_[next_]->Next(&record)) {
        layout_.Fill(record, row_.data());
        progress_.Update(++read_);
        return row_.data();
      }
      // Done with it: its file goes now, while the engine still sorts.
      spools_[next_++].reset();
    }
    return nullptr;
  }

  void PutRow(const OBS* row) override {
    if (written_ == 0) progress_.Start("writing", rows_, "rows");
    output_.Write(layout_.Record(row));
    output_.Write(lineEnd_);
    progress_.Update(++written_);
  }

  std::uint64_t written() const { return written_; }

 private:
  const RowLayout& layout_;
  std::vector<std::unique_ptr<Spool>>& spools_;
  std::size_t next_ = 0;
  OutputFile& output_;
  std::string lineEnd_;
  std::uint64_t rows_;
  std::vector<OBS> row_;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
  Progress& progress_;
};

int Sort(const CsvSortOptions& options, Progress& progress) {
  Input input(options.input);
  const std::string tmpdir = TemporaryDirectory(options.tmpdir);
  // The engine's work files go where the spools go.
  platform::SetWorkDirectory(options.tmpdir);
  OutputFile output(options.output);

  // As many readers as threads: pass 1 is the only part that reads the CSV.
  const unsigned int processors = AvailableProcessors();
  FirstPassInput first{
      input.descriptor, input.name, input.size,
      options.keys,     tmpdir,     options.threads != 0 ? options.threads : processors};
  progress.Start("reading", input.size, "bytes");
  FirstPassResult pass = ReadInput(first, progress);
  progress.Finish();

  output.Write(pass.header);
  output.Write(pass.lineEnd);
  if (pass.rows > 0) {
    const RowLayout layout(pass.keys, pass.widestRecord);
    for (auto& spool : pass.spools) spool->Rewind();
    if (options.threads != 0) platform::SetThreadLimit(options.threads);
    CsvEngineSort sort(layout, pass.spools, output, pass.lineEnd, pass.rows, progress);
    sort.SetNRows(static_cast<long long>(pass.rows));
    if (options.memory != 0) sort.SetMemoryTarget(options.memory);
    progress.Start("sorting", pass.rows, "rows");
    sort.Sort();
    progress.Finish();
    if (sort.written() != pass.rows) {
      throw CannotSort("the sort gave back " + std::to_string(sort.written()) + " of " +
                       std::to_string(pass.rows) + " rows");
    }
  }
  output.Commit();
  return kSorted;
}

}  // namespace

int SortCsv(const CsvSortOptions& options, Progress& progress) {
  const std::string inputName = options.input == "-" ? "standard input" : options.input;
  try {
    return Sort(options, progress);
  } catch (const BadInput& error) {
    progress.Finish();
    std::fprintf(stderr, "isort: %s:%llu: %s\n", inputName.c_str(),
                 static_cast<unsigned long long>(error.line), error.what());
    return kBadInput;
  } catch (const CannotSort& error) {
    progress.Finish();
    std::fprintf(stderr, "isort: %s\n", error.what());
    return kCannotSort;
  } catch (const ErrorText& error) {
    progress.Finish();
    std::fprintf(stderr, "isort: sorting failed: %s\n", error.Text().c_str());
    return kCannotSort;
  } catch (const std::bad_alloc&) {
    progress.Finish();
    std::fprintf(stderr, "isort: out of memory\n");
    return kCannotSort;
  }
}

}  // namespace isort::app
