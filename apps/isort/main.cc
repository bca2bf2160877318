// The isort command: a demonstration on a standard workload, CSV sorting, and
// workload generation.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "CsvSort.h"
#include "Demo.h"
#include "Generate.h"
#include "Options.h"
#include "Progress.h"

namespace {

using isort::app::Arguments;
using isort::app::UsageError;

const char kUsage[] =
    "usage: isort demo [--workload W1|W2|W3|W4] [--rows N] [--threads N] [--memory SIZE]\n"
    "       isort sort [--by KEYS] [--memory SIZE] [--threads N] [--tmpdir DIR] [-o OUT]\n"
    "                  [INPUT|-]\n"
    "       isort generate [--workload W1|W2|W3|W4] [--rows N]\n"
    "\n"
    "demo      sorts a standard workload generated on the fly (default W1, 10 million\n"
    "          rows), checks every row that comes back and reports what it took\n"
    "sort      sorts a CSV file with a header row by the columns in KEYS, e.g.\n"
    "          --by \"age:desc,name,3\" (names or 1-based numbers; :desc descending);\n"
    "          columns of numbers sort numerically, others by the LC_COLLATE locale;\n"
    "          without --by, by every column in order\n"
    "generate  writes a standard workload as CSV to standard output\n"
    "\n"
    "SIZE: bytes with K, M, G or T (powers of 1024), e.g. 512M or 2G\n";

isort::workloads::Workload WorkloadOption(Arguments& args) {
  isort::workloads::Workload workload = isort::workloads::Workload::W1;
  if (auto name = args.Value("--workload")) {
    if (!isort::workloads::ParseWorkload(*name, &workload)) {
      throw UsageError("unknown workload '" + *name + "' (W1, W2, W3 or W4)");
    }
  }
  return workload;
}

int Demo(Arguments& args) {
  isort::app::DemoOptions options;
  options.workload = WorkloadOption(args);
  if (auto rows = args.Value("--rows")) options.rows = isort::app::ParseCount(*rows);
  if (auto threads = args.Value("--threads")) {
    options.threads = static_cast<unsigned int>(isort::app::ParseCount(*threads));
  }
  if (auto memory = args.Value("--memory")) options.memory = isort::app::ParseSize(*memory);
  if (!args.Positional().empty()) throw UsageError("demo takes no file");
  isort::app::Progress progress(isort::app::Progress::StandardErrorIsTerminal());
  return isort::app::RunDemo(options, progress);
}

int Sort(Arguments& args) {
  isort::app::CsvSortOptions options;
  if (auto keys = args.Value("--by")) options.keys = *keys;
  if (auto memory = args.Value("--memory")) options.memory = isort::app::ParseSize(*memory);
  if (auto threads = args.Value("--threads")) {
    options.threads = static_cast<unsigned int>(isort::app::ParseCount(*threads));
  }
  if (auto tmpdir = args.Value("--tmpdir")) options.tmpdir = *tmpdir;
  if (auto output = args.Value("--output", "-o")) options.output = *output;
  const auto files = args.Positional();
  if (files.size() > 1) throw UsageError("sort takes one input file");
  if (!files.empty()) options.input = files[0];
  isort::app::Progress progress(isort::app::Progress::StandardErrorIsTerminal());
  return isort::app::SortCsv(options, progress);
}

int Generate(Arguments& args) {
  const auto workload = WorkloadOption(args);
  std::uint64_t rows = 0;
  if (auto count = args.Value("--rows")) rows = isort::app::ParseCount(*count);
  if (!args.Positional().empty()) throw UsageError("generate writes to standard output");
  return isort::app::GenerateCsv(workload, rows, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // String keys sort in the collation of the user's LC_COLLATE locale.
  std::setlocale(LC_COLLATE, "");
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    Arguments args(argc, argv, 2);
    if (command == "demo") return Demo(args);
    if (command == "sort") return Sort(args);
    if (command == "generate") return Generate(args);
    if (command == "help" || command == "--help" || command == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    throw UsageError(command.empty() ? "no command given" : "unknown command '" + command + "'");
  } catch (const UsageError& error) {
    std::fprintf(stderr, "isort: %s\n\n%s", error.what(), kUsage);
    return 1;
  }
}
