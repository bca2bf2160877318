// The isort command: CSV sorting, a demonstration on a standard workload, and
// workload generation. CLI11 reads the command line: every subcommand takes
// --help, and a usage error prints one line and a hint.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>

#include "CsvSort.h"
#include "Demo.h"
#include "Generate.h"
#include "Options.h"
#include "Progress.h"

namespace {

using isort::app::UsageError;

constexpr int kUsageStatus = 1;

const char kVersion[] = "isort " ISORT_VERSION;

const char kSortFooter[] =
    "Sorts a CSV file (RFC 4180) of any size by the columns that --by names, stably,\n"
    "within a memory budget, and writes every record's bytes as they were.\n"
    "\n"
    "KEYS: a comma-separated list of COLUMN[:MODIFIER...]. COLUMN is a header name,\n"
    "or #N for the Nth column (from 1); a plain number N names the column called N\n"
    "if there is one, else the Nth column. A name with a comma or a colon, or one\n"
    "ending in a modifier, goes in double quotes: --by '\"price, net\":desc'.\n"
    "MODIFIER: desc (descending), asc, num (compare as numbers), text (as text).\n"
    "Without num or text a column whose values are all numbers or missing sorts as\n"
    "numbers (exactly, however many digits), any other as text in the LC_COLLATE\n"
    "locale (byte order in C/POSIX); text that collates equal is put in byte order.\n"
    "Without --by, every column in order.\n"
    "\n"
    "Numbers: decimal, with optional sign, fraction and exponent, blanks around\n"
    "them ignored; inf and -inf (also infinity) sort after and before every number.\n"
    "Missing: empty fields (blank ones in number columns), and the texts --missing\n"
    "lists; they sort first (last when descending).\n"
    "\n"
    "SIZE: bytes with K, M, G or T (powers of 1024); the smallest budget is 512M.\n"
    "A record may be up to 48M at 512M, and an eighth of a larger budget.\n"
    "Work files go to --tmpdir, else TMPDIR, else /tmp; they have no name on disk.\n"
    "The output appears only when complete; an existing output keeps its mode and\n"
    "owner, and a symbolic link is written through.\n"
    "\n"
    "Exit status: 0 sorted, 1 usage error, 2 bad input (malformed CSV, unknown\n"
    "column, a :num value that is not a number), 3 cannot sort (reading, writing,\n"
    "memory, disk, a record longer than the budget allows).";

// Adds the options that control the progress bar to `command`.
void AddProgressOptions(CLI::App& command, isort::app::ProgressMode& mode) {
  command
      .add_flag_callback(
          "--progress", [&mode] { mode = isort::app::ProgressMode::kOn; },
          "show progress on standard error even when it is not a terminal")
      ->disable_flag_override();
  command
      .add_flag_callback(
          "--no-progress", [&mode] { mode = isort::app::ProgressMode::kOff; },
          "never show progress (shown by default on a terminal)")
      ->disable_flag_override();
}

void AddSizeOption(CLI::App& command, const std::string& names, std::uint64_t& size,
                   const std::string& what) {
  command.add_option_function<std::string>(
      names, [&size](const std::string& text) { size = isort::app::ParseMemory(text); },
      what)->type_name("SIZE");
}

void AddThreadsOption(CLI::App& command, unsigned int& threads) {
  command.add_option_function<std::string>(
      "--threads",
      [&threads](const std::string& text) {
        threads = static_cast<unsigned int>(isort::app::ParseCount(text));
      },
      "threads to sort on (default: the processors available)")->type_name("N");
}

void AddWorkloadOptions(CLI::App& command, isort::workloads::Workload& workload,
                        std::uint64_t& rows) {
  command.add_option_function<std::string>(
      "--workload",
      [&workload](const std::string& name) {
        if (!isort::workloads::ParseWorkload(name, &workload)) {
          throw UsageError("unknown workload '" + name + "' (W1, W2, W3 or W4)");
        }
      },
      "W1, W2, W3 or W4 (default W1)")->type_name("W");
  command.add_option_function<std::string>(
      "--rows",
      [&rows](const std::string& text) { rows = isort::app::ParseCount(text); },
      "rows (default: the workload's own count)")->type_name("N");
}

// The subcommand that was named on the command line, or the top level.
const CLI::App* Chosen(const CLI::App& app) {
  for (const CLI::App* command : app.get_subcommands()) return command;
  return nullptr;
}

std::string Help(const CLI::App& app) {
  const CLI::App* command = Chosen(app);
  return command != nullptr ? command->help("isort") : app.help();
}

int UsageFailure(const CLI::App& app, const char* what) {
  const CLI::App* command = Chosen(app);
  std::fprintf(stderr, "isort: %s\nTry 'isort%s%s --help'.\n", what,
               command != nullptr ? " " : "",
               command != nullptr ? command->get_name().c_str() : "");
  return kUsageStatus;
}

// What the command line asked for.
struct Request {
  isort::app::CsvSortOptions sort;
  isort::app::ProgressMode sortProgress = isort::app::ProgressMode::kAuto;
  isort::app::DemoOptions demo;
  isort::app::ProgressMode demoProgress = isort::app::ProgressMode::kAuto;
  isort::workloads::Workload generateWorkload = isort::workloads::Workload::W1;
  std::uint64_t generateRows = 0;
};

CLI::App& AddSortCommand(CLI::App& app, Request& request) {
  isort::app::CsvSortOptions& options = request.sort;
  CLI::App& sort =
      *app.add_subcommand("sort", "sort a CSV file of any size by columns, within a memory budget");
  sort.footer(kSortFooter);
  sort.add_option("input", options.input, "the CSV file; - or none: standard input")
      ->type_name("INPUT");
  sort.add_option("-k,--by", options.keys,
                  "the key columns, e.g. --by 'age:desc,name' (may be repeated)")
      ->type_name("KEYS")
      ->allow_extra_args(false);
  sort.add_flag("-r,--reverse", options.reverse, "reverse the order of every key");
  sort.add_option("-o,--output", options.output,
                  "write to OUT (may be the input) instead of standard output")
      ->type_name("OUT");
  sort.add_option_function<std::string>(
      "-t,--delimiter",
      [&options](const std::string& text) { options.delimiter = isort::app::ParseDelimiter(text); },
      "the field separator: one byte, or tab or '\\t' for TSV (default ,)")
      ->type_name("CHAR");
  sort.add_flag("--no-header", options.noHeader,
                "the first line is data: name columns by number, output has no header");
  sort.add_option_function<std::string>(
      "--missing",
      [&options](const std::string& list) {
        isort::app::AppendMissingTexts(list, options.missing);
      },
      "also count these texts as missing, e.g. --missing NA,NaN,null")
      ->type_name("TEXTS");
  AddSizeOption(sort, "-S,--memory", options.memory,
                "the memory budget (default and smallest 512M)");
  AddThreadsOption(sort, options.threads);
  sort.add_option("-T,--tmpdir", options.tmpdir, "the directory for work files")
      ->type_name("DIR");
  AddProgressOptions(sort, request.sortProgress);
  return sort;
}

CLI::App& AddDemoCommand(CLI::App& app, Request& request) {
  CLI::App& demo = *app.add_subcommand(
      "demo",
      "sort a standard workload generated on the fly, check every row that comes back "
      "and report what it took");
  AddWorkloadOptions(demo, request.demo.workload, request.demo.rows);
  AddThreadsOption(demo, request.demo.threads);
  AddSizeOption(demo, "--memory", request.demo.memory,
                "the memory budget (default and smallest 512M)");
  AddProgressOptions(demo, request.demoProgress);
  return demo;
}

CLI::App& AddGenerateCommand(CLI::App& app, Request& request) {
  CLI::App& generate =
      *app.add_subcommand("generate", "write a standard workload as CSV to standard output");
  AddWorkloadOptions(generate, request.generateWorkload, request.generateRows);
  return generate;
}

// Parses the command line into `request`; returns an exit status when there
// is nothing more to do (help, the version, a usage error).
std::optional<int> Parse(CLI::App& app, int argc, char** argv) {
  try {
    const std::string first = argc > 1 ? argv[1] : "-";
    if (first[0] != '-' && first != "sort" && first != "demo" && first != "generate") {
      throw UsageError("unknown command '" + first + "' (sort, demo or generate)");
    }
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(Help(app).c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::printf("%s\n", kVersion);
    return 0;
  } catch (const CLI::ParseError& error) {
    if (argc == 1) {
      std::fputs(app.help().c_str(), stderr);
      return kUsageStatus;
    }
    return UsageFailure(app, error.what());
  } catch (const UsageError& error) {
    return UsageFailure(app, error.what());
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("isort: sorts CSV files of any size within a memory budget.", "isort");
  app.set_version_flag("--version", kVersion, "print the version and exit");
  app.require_subcommand(1);
  app.footer("Run 'isort COMMAND --help' for a command's options.");
  Request request;
  const CLI::App& sort = AddSortCommand(app, request);
  const CLI::App& demo = AddDemoCommand(app, request);
  AddGenerateCommand(app, request);
  if (const std::optional<int> status = Parse(app, argc, argv)) return *status;

  if (sort.parsed()) {
    isort::app::Progress progress(isort::app::ShowProgress(request.sortProgress));
    return isort::app::SortCsv(request.sort, progress);
  }
  if (demo.parsed()) {
    isort::app::Progress progress(isort::app::ShowProgress(request.demoProgress));
    return isort::app::RunDemo(request.demo, progress);
  }
  return isort::app::GenerateCsv(request.generateWorkload, request.generateRows, stdout);
}
