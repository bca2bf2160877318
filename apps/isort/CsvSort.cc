// isort sort, in two passes over the data.
//
// Pass 1 (FirstPass) parses the CSV once, checks every record against the
// header and spools what pass 2 needs. Pass 2 reads the spools back and
// hands the engine one fixed-width row per record (RowLayout); the engine
// hands them back in the order of their key fields, TiedRows puts rows that
// tie on a long key's prefix in order, and we write each record's bytes, the
// header first. The spools live until the end: long records are copied out
// of them.
//
// Line ends: every row, the header included, is written followed by the
// first record's line end (LF or CRLF; LF when it is the whole input and has
// none), so a file with mixed line ends comes out with one kind and a last
// line without one gets one. A byte order mark at the input's start is
// written at the output's start.
#include "CsvSort.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Files.h"
#include "Memory.h"
#include "FirstPass.h"
#include "Options.h"
#include "OutputFile.h"
#include "RowLayout.h"
#include "ScratchFile.h"
#include "SortErrors.h"
#include "Spool.h"
#include "TextOrder.h"
#include "TiedRows.h"
#include "host/HostServices.h"
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

// Rows from the spools into the engine, records out of it into the output.
class CsvEngineSort : public FileSort {
 public:
  CsvEngineSort(const RowLayout& layout, std::vector<std::unique_ptr<Spool>>& spools,
                ScratchFile& codes, const std::string& workDirectory, OutputFile& output,
                const std::string& lineEnd, std::uint64_t rows, Progress& progress)
      : FileSort(layout.engineKeys(), layout.rowUnits(), nullptr),
        layout_(layout),
        spools_(spools),
        codes_(codes),
        output_(output),
        lineEnd_(lineEnd),
        rows_(rows),
        row_(layout.rowUnits()),
        tied_(layout, codes, workDirectory, [this](const OBS* row) { WriteRecord(row); }),
        progress_(progress) {}

  const OBS* GetRow() override {
    SpoolRecord record;
    while (next_ < spools_.size()) {
      if (spools_[next_]->Next(&record)) {
        layout_.Fill(record, next_, codes_, row_.data());
        progress_.Update(++read_);
        return row_.data();
      }
      ++next_;
    }
    // The codes are read back while rows are written out.
    codes_.Flush();
    return nullptr;
  }

  void PutRow(const OBS* row) override {
    if (put_ == 0) progress_.Start("writing", rows_, "rows");
    ++put_;
    tied_.Put(row);
  }

  // Writes what the last step still holds.
  void Finish() { tied_.Finish(); }

  std::uint64_t written() const { return written_; }

 private:
  void WriteRecord(const OBS* row) {
    const RecordPlace place = layout_.Record(row);
    if (place.inlined) {
      output_.Write(place.bytes);
    } else {
      CopyFromSpool(place);
    }
    output_.Write(lineEnd_);
    progress_.Update(++written_);
  }

  // A record that stayed in its spool, a bounded piece at a time.
  void CopyFromSpool(const RecordPlace& place) {
    constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 20;
    piece_.resize(static_cast<std::size_t>(std::min(place.length, kPieceBytes)));
    for (std::uint64_t done = 0; done < place.length;) {
      const auto size = static_cast<std::size_t>(std::min(place.length - done, kPieceBytes));
      spools_[place.spool]->ReadRaw(place.offset + done, size, piece_.data());
      output_.Write(std::string_view(piece_.data(), size));
      done += size;
    }
  }

  const RowLayout& layout_;
  std::vector<std::unique_ptr<Spool>>& spools_;
  std::size_t next_ = 0;
  ScratchFile& codes_;
  OutputFile& output_;
  std::string lineEnd_;
  std::uint64_t rows_;
  std::vector<OBS> row_;
  std::vector<char> piece_;
  TiedRows tied_;
  std::uint64_t read_ = 0;
  std::uint64_t put_ = 0;
  std::uint64_t written_ = 0;
  Progress& progress_;
};

int Sort(const CsvSortOptions& options, Progress& progress) {
  Input input(options.input);
  // The engine's work files go where the spools go.
  platform::SetWorkDirectory(options.tmpdir);
  const std::string tmpdir = platform::WorkDirectory();
  OutputFile output(options.output, tmpdir);
  const TextOrder textOrder(TextOrder::LocaleFromEnvironment());
  const std::uint64_t budget = options.memory != 0 ? options.memory : kSmallestBudget;
  const MissingTexts missing(options.missing);

  // As many readers as the sort has threads: pass 1 is the only part that
  // reads the CSV. The platform counts the processors when no number is set.
  if (options.threads != 0) platform::SetThreadLimit(options.threads);
  const auto threads = static_cast<unsigned int>(getthreads_());
  FirstPassInput first{input.descriptor,
                       input.name,
                       input.size,
                       options.keys,
                       options.reverse,
                       options.delimiter,
                       options.noHeader,
                       missing,
                       &textOrder,
                       LongestRecord(budget),
                       tmpdir,
                       threads};
  progress.Start("reading", input.size, "bytes");
  FirstPassResult pass = ReadInput(first, progress);
  progress.Finish();
  ReturnFreedMemory();  // what the readers held, before the engine takes its budget

  output.Write(pass.byteOrderMark);
  if (pass.hasHeader) {
    output.Write(pass.header);
    output.Write(pass.lineEnd);
  }
  if (pass.rows > 0) {
    const RowLayout layout(pass.keys, pass.records, textOrder, missing);
    for (auto& spool : pass.spools) spool->Rewind();
    ScratchFile codes(tmpdir, "a work file");
    CsvEngineSort sort(layout, pass.spools, codes, tmpdir, output, pass.lineEnd, pass.rows,
                       progress);
    sort.SetNRows(static_cast<long long>(pass.rows));
    sort.SetMemoryTarget(EngineBudget(budget));
    progress.Start("sorting", pass.rows, "rows");
    sort.Sort();
    sort.Finish();
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
    return error.tooLong ? kCannotSort : kBadInput;
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
