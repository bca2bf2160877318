// `isort` end to end (ISORT_BINARY) on generated CSV against the tests' own
// model (CsvOracle.h), records and keys of any width, bad input and bad
// command lines with their messages and exit statuses, and nothing left
// behind.
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "CsvOracle.h"
#include "TempDir.h"

namespace isort::testing {
namespace {

// A header c1..cN, then `rows` random records, `middle` (a record and its line
// end) before the middle one; some fields quoted without need. Column kinds:
// i small integers (many ties), d decimals with signs, exponents and blanks,
// m numbers, many empty or blank, w short words, t text with commas, quotes,
// newlines and CRs, a numbers but for one word (so a string column), b
// integers of up to 25 digits around 2^53 and 2^64, f numbers of up to 30
// digits with exponents, infinities and missing values.
std::string RandomCsv(std::mt19937_64& random, const std::string& columns,
                      std::size_t rows, bool crlf, bool finalLineEnd = true,
                      const std::string& middle = "") {
  static const char* const kForms[] = {"%.3f", "%.1e", "%g", " %.2f ", "%+.4f", "%.0f."};
  static const char* const kPieces[] = {",", "\"", "\n", "\r\n", " ", "\"\"", "\r"};
  static const char* const kOdd[] = {"inf", "-inf", "Infinity", "-0", "", " ", "1e-400",
                                     "1e400", "-1.7976931348623157e308"};
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  auto letters = [&](int length, char first, int kinds) {  // of `kinds` from `first`
    std::string w(length, ' ');
    for (char& c : w) c = static_cast<char>(first + pick(kinds));
    return w;
  };
  auto value = [&](char kind, bool odd) -> std::string {
    char decimal[64];
    std::snprintf(decimal, sizeof decimal, kForms[pick(6)], (pick(200001) - 1e5) / 1e3);
    switch (kind) {
      case 'i': return std::to_string(pick(7) - 2);
      case 'd': return decimal;
      case 'm': return pick(10) == 0 ? " " : pick(3) == 0 ? "" : std::to_string(pick(5));
      case 'w': return letters(pick(5), 'a', 6);
      case 't':
        return letters(pick(4), 'a', 6) + (pick(2) ? "" : kPieces[pick(7)] + letters(pick(3), 'a', 6));
      case 'b':
        return (pick(3) == 0 ? "-" : "") +
               std::string(pick(2) ? "90071992547409" : "184467440737095516") +
               letters(pick(8), '0', 10);
      case 'f':
        if (pick(6) == 0) return kOdd[pick(9)];
        return (pick(2) ? "-" : "") + letters(1 + pick(15), '0', 10) + "." +
               letters(pick(15), '0', 10) + (pick(3) == 0 ? "e" + std::to_string(pick(41) - 20) : "");
    }
    return odd ? "n/a" : std::to_string(pick(50));
  };
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  std::string text;
  for (std::size_t c = 0; c < columns.size(); ++c) text += (c ? ",c" : "c") + std::to_string(c + 1);
  text += lineEnd;
  for (std::size_t r = 0; r < rows; ++r) {
    if (r == rows / 2) text += middle;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      std::string field = value(columns[c], r == rows / 2);
      if (pick(8) == 0 || field.find_first_of(",\"\r\n") != std::string::npos) {
        for (std::size_t at = 0; (at = field.find('"', at)) != std::string::npos; at += 2)
          field.insert(at, 1, '"');
        field = '"' + field + '"';
      }
      text += (c == 0 ? "" : ",") + field;
    }
    if (r + 1 < rows || finalLineEnd) text += lineEnd;
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ShellQuoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct RunResult {
  int status;
  std::string out, err;
};

// A directory of its own: data/ for inputs and outputs, work/ for TMPDIR, and
// the command's standard streams beside them.
struct Scratch : TempDir {
  const std::string data = path() + "/data", work = path() + "/work";
  std::string runAs;  // a command the command runs under, e.g. setpriv

  Scratch() {
    std::filesystem::create_directory(data);
    std::filesystem::create_directory(work);
  }
  ~Scratch() { std::filesystem::permissions(data, std::filesystem::perms::owner_all); }

  std::string Input(const std::string& name, const std::string& text) const {
    WriteFile(data + "/" + name, text);
    return data + "/" + name;
  }

  // `isort args` (with `sort` first, `isort sort args`) on `stdinText`, with
  // TMPDIR work/, LC_COLLATE C and the settings "NAME=value" of
  // `environment`; the shell gives 128 + a signal.
  RunResult Command(const std::vector<std::string>& args, const std::string& stdinText = "",
                    const std::vector<std::string>& environment = {}, bool sort = false) const {
    const std::string io = path() + "/std";
    WriteFile(io + "in", stdinText);
    std::string command = runAs + " env -u LC_ALL -u LANG LC_COLLATE=C TMPDIR='" + work + "'";
    for (const std::string& word : environment) command += " " + ShellQuoted(word);
    command += std::string(" '" ISORT_BINARY "'") + (sort ? " sort" : "");
    for (const std::string& word : args) command += " " + ShellQuoted(word);
    command += " <" + io + "in >" + io + "out 2>" + io + "err";
    return {WEXITSTATUS(std::system(command.c_str())), ReadFile(io + "out"),
            ReadFile(io + "err")};
  }
  RunResult Run(const std::vector<std::string>& args, const std::string& stdinText = "",
                const std::vector<std::string>& environment = {}) const {
    return Command(args, stdinText, environment, true);
  }
};

constexpr int kSorted = 0, kUsage = 1, kBadInput = 2, kCannotSort = 3;  // exit statuses

// The command collates text in a locale only if the system has it (as
// setlocale would); scripts/setup makes en_US.UTF-8.
bool SystemHasEnglish() {
  const locale_t english = newlocale(LC_COLLATE_MASK, "en_US.UTF-8", nullptr);
  if (english != nullptr) freelocale(english);
  return english != nullptr;
}

const std::string kMixed = "idtwmabf";

// A refused run: `status`, one line on standard error that starts with
// `start`, no output and no work file left.
void ExpectRefused(const Scratch& scratch, const RunResult& result, int status,
                   const std::string& start) {
  EXPECT_EQ(result.status, status);
  EXPECT_EQ(result.err.rfind(start, 0), 0u) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_TRUE(result.out.empty());
  EXPECT_EQ(Entries(scratch.work), 0);
}

// A sorted run: status 0, `expected` on standard output, no work file left.
void ExpectSorted(const Scratch& scratch, const RunResult& result,
                  const std::string& expected) {
  ASSERT_EQ(result.status, kSorted) << result.err;
  EXPECT_TRUE(result.out == expected) << "output differs from the model's";
  EXPECT_EQ(Entries(scratch.work), 0);
}

// Keys of each kind, either way, by name or position, with forced types,
// -r, and all with no --by; c1 has 7 values in 3000 rows, so stability shows.
// LF from a file, cut into chunks read in parallel (ISORT_CHUNK_BYTES): a
// quoted field of 200 lines spans several cuts, so the reader before it must
// read on and the chunks after it must be dropped. CRLF, no final line end,
// from standard input. Then mixed line ends (output as the first record's), a
// header alone, a blank line (one empty field), TSV, no header, NA as missing.
TEST(CsvSort, MatchesTheModel) {
  const std::vector<std::pair<std::vector<std::string>, std::vector<OracleKey>>> keyCases = {
      {{"--by", "c1"}, {{0, 1}}},
      {{"--by", "c3,c1:desc"}, {{2, 1}, {0, -1}}},
      {{"-k", "c2:desc"}, {{1, -1}}},
      {{"--by", "c5", "-k", "c4"}, {{4, 1}, {3, 1}}},
      {{"--by", "c5:desc,c6"}, {{4, -1}, {5, 1}}},
      {{"--by", "c6:desc,c3:desc"}, {{5, -1}, {2, -1}}},
      {{"--by", "#4:desc,2"}, {{3, -1}, {1, 1}}},
      {{"--by", "c7,c1"}, {{6, 1}, {0, 1}}},
      {{"--by", "c8:desc,c7:desc"}, {{7, -1}, {6, -1}}},
      {{"--by", "c1:text,c2:num:desc", "-r"}, {{0, -1, 't'}, {1, 1, 'n'}}},
      {{"--by", "c8:text"}, {{7, 1, 't'}}},
      {{}, {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}}}};
  Scratch scratch;
  std::mt19937_64 random(11);
  std::string tall;
  for (int i = 0; i < 200; ++i) tall += "line " + std::to_string(i) + "\n,\"\"x";
  for (const bool crlf : {false, true}) {
    const std::string text = RandomCsv(random, kMixed, 3000, crlf, !crlf,
                                       crlf ? "" : "1,2,\"" + tall + "\",w,,x,3,4\n");
    const std::string input = crlf ? "-" : scratch.Input("in.csv", text);
    for (std::size_t k = 0; k < keyCases.size(); ++k) {
      const auto& [args, keys] = keyCases[k];
      const std::string chunkBytes = crlf ? "0" : std::to_string(1000 << (3 * (k % 3)));
      SCOPED_TRACE((args.empty() ? "" : args[1]) + (crlf ? " CRLF" : " LF, chunks " + chunkBytes));
      std::vector<std::string> withInput = args;
      withInput.insert(withInput.end(), {"--threads", "8", input});
      ExpectSorted(scratch,
                   scratch.Run(withInput, crlf ? text : "", {"ISORT_CHUNK_BYTES=" + chunkBytes}),
                   ExpectedOutput(text, keys));
    }
  }
  const OracleSettings tsv{nullptr, {}, '\t'}, headless{nullptr, {}, ',', false},
      missing{nullptr, {"NA"}};
  const std::vector<std::tuple<std::string, std::vector<std::string>, std::vector<OracleKey>,
                               OracleSettings>>
      smallCases = {
          {"k,v\r\nb,1\nc,2\r\na,\"x\r\ny\"\n", {"--by", "1"}, {{0, 1}}, {}},
          {"a,b", {"--by", "2"}, {{1, 1}}, {}},
          {"only\nb\n\na\n", {"--by", "1"}, {{0, 1}}, {}},
          {"\xEF\xBB\xBF\"id\",\"name\"\n2,b\n1,a\n", {"--by", "id"}, {{0, 1}}, {}},
          {"a\tb c\n2\tx,y\n10\t\"q\tr\"\n1\tz\n", {"-t", "tab", "-k", "a"}, {{0, 1}}, tsv},
          {"b,2\na,10\nc,9\n", {"--no-header", "-k", "2"}, {{1, 1}}, headless},
          {"", {"--no-header"}, {}, headless},
          {"v\n10\nNA\n9\n-inf\ninf\n\n", {"--missing", "NA", "-k", "v"}, {{0, 1}}, missing},
          {"v\n10\nNA\n9\n", {"-k", "v"}, {{0, 1}}, {}},
          {"v\nx\n\n y\nNA\n a\n", {"--missing", "NA", "-k", "v:desc"}, {{0, -1}}, missing},
          {"\"a,b\",x:desc,1,1\n2,p,5,z\n1,q,4,y\n3,q,6,x\n", {"--by", "\"x:desc\",\"a,b\":desc"},
           {{1, 1}, {0, -1}}, {}},
          {"\"a,b\",x:desc,1,1\n2,p,5,z\n1,q,4,y\n3,q,6,x\n", {"--by", "#4", "-k", "#3"},
           {{3, 1}, {2, 1}}, {}}};
  for (const auto& [text, args, keys, settings] : smallCases) {
    SCOPED_TRACE(text);
    std::vector<std::string> withInput = args;
    withInput.push_back(scratch.Input("small.csv", text));
    std::string expected = ExpectedOutput(text, keys, settings);
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
      expected = ExpectedOutput(text.substr(3), keys, settings).insert(0, "\xEF\xBB\xBF");
    }
    ExpectSorted(scratch, scratch.Run(withInput), expected);
  }
}

// Records and keys of any width: a few records of hundreds of kilobytes
// among short ones (they travel apart from their rows), text keys that share
// a prefix longer than any row carries and differ after it, in trailing
// blanks or only in a NUL byte, short words whose English order is not their
// bytes' (a, A, b, B, accents), and numbers of hundreds of digits that differ
// in the last one. In the C locale and in English, in chunks, with a key after
// the long one.
TEST(CsvSort, ValuesOfAnyWidthSortExactly) {
  std::mt19937_64 random(23);
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  const std::string common(3000, 'p');
  const std::string digits(400, '7');
  std::string text = "long,num,other,tail\n";
  for (int r = 0; r < 3000; ++r) {
    static const char* const kLetters[] = {"a", "A", "b", "B", "\xC3\xA1", "p"};
    std::string key = pick(4) == 0 ? common + "abc"[pick(3)] + std::string(pick(3), 'q') : "";
    for (int n = key.empty() ? 1 + pick(5) : 0; n > 0; --n) key += kLetters[pick(6)];
    // Ends that collate as nothing or as blanks: the bytes order such ties.
    const std::string ends[] = {{"\0z", 2}, {"\0", 1}, {"\0\0", 2}, " ", "  "};
    if (pick(8) == 0) key += ends[pick(5)];
    const std::string number = (pick(3) == 0 ? "-" : "") + digits + std::to_string(pick(20)) +
                               (pick(2) ? ".5" : "");
    const std::string tail = pick(200) == 0 ? std::string(200000 + pick(100000), 'x')
                                            : std::string(pick(20), 'y');
    text += "\"" + key + "\"," + number + "," + std::to_string(pick(3)) + "," + tail + "\n";
  }
  ASSERT_NE(English(), nullptr);
  Scratch scratch;
  const std::string input = scratch.Input("long.csv", text);
  for (const bool inEnglish : {false, true}) {
    if (inEnglish && !SystemHasEnglish()) continue;
    OracleSettings settings;
    if (inEnglish) settings.collator = English();
    const std::vector<std::string> environment = {
        inEnglish ? "LC_COLLATE=en_US.UTF-8" : "LC_COLLATE=C", "ISORT_CHUNK_BYTES=100000"};
    for (const auto& [by, keys] : std::vector<std::pair<std::string, std::vector<OracleKey>>>{
             {"long,other:desc", {{0, 1}, {2, -1}}},
             {"long:desc,num", {{0, -1}, {1, 1}}},
             {"num:desc,other", {{1, -1}, {2, 1}}},
             {"other,tail", {{2, 1}, {3, 1}}}}) {
      SCOPED_TRACE(by + (inEnglish ? " en_US" : " C"));
      ExpectSorted(scratch, scratch.Run({"--by", by, "--threads", "2", input}, "", environment),
                   ExpectedOutput(text, keys, settings));
    }
  }
}

// Rows that tie on the prefix of long values: 12,000 rows of 1.2 KB whose
// key is one of three values longer than any prefix (more rows than the
// last step keeps in memory, so they go to a work file), and 20,000
// distinct such values, 40 MB of them, more than the last step holds, so
// that it compares most of them where they lie.
TEST(CsvSort, RowsTiedOnLongValues) {
  Scratch scratch;
  std::mt19937_64 random(29);
  const std::string common(1100, 'v');
  std::string text = "k,n\n";
  for (int r = 0; r < 12000; ++r) {
    text += common + std::string(random() % 3, 'b') + "," + std::to_string(random() % 5) + "\n";
  }
  ExpectSorted(scratch, scratch.Run({"--by", "k:desc,n", scratch.Input("tied.csv", text)}),
               ExpectedOutput(text, {{0, -1}, {1, 1}}));
  const std::string distinct(2000, 'w');
  text = "k\n";
  for (int r = 0; r < 20000; ++r) text += distinct + std::to_string(random() % 100000) + "\n";
  ExpectSorted(scratch, scratch.Run({scratch.Input("distinct.csv", text)}),
               ExpectedOutput(text, {{0, 1}}));
}

// An output replaces an older, longer file whole, and may be the input (read
// whole before the output takes its place). An existing output keeps its
// mode, a link is written through to its target, and where the output cannot
// be replaced by a new file (a directory the command may not write; as root,
// the command runs as nobody), it is copied into the existing file, which
// keeps its inode and owner.
TEST(CsvSort, OutputReplacesTheTargetOrIsWrittenInPlace) {
  Scratch scratch;
  std::mt19937_64 random(17);
  const std::string text = RandomCsv(random, kMixed, 2000, false);
  const std::string input = scratch.Input("in.csv", text), sorted = ExpectedOutput(text, {{3, 1}});
  const std::string older =
      scratch.Input("older.csv", "an older, longer file\n" + std::string(100000, 'x'));
  const std::string secret = scratch.Input("secret.csv", "old\n");
  ::chmod(secret.c_str(), 0600);
  const std::string link = scratch.data + "/link.csv", target = scratch.Input("target.csv", "");
  std::filesystem::create_symlink("target.csv", link);
  for (const std::string& output : {older, secret, link, input}) {
    ExpectSorted(scratch, scratch.Run({"--by", "c4", "-o", output, input}), "");
    EXPECT_EQ(ReadFile(output), sorted) << output;
  }
  struct stat status {};
  EXPECT_TRUE(::stat(secret.c_str(), &status) == 0 && (status.st_mode & 07777) == 0600);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFile(target), sorted);

  const bool root = ::geteuid() == 0;
  const std::string shared = scratch.path() + "/shared";
  std::filesystem::create_directory(shared);
  const std::string inPlace = scratch.Input("in-place.csv", "old\n"), foreign = shared + "/f.csv";
  WriteFile(foreign, "old\n");
  for (const std::string& path : {inPlace, foreign, input}) ::chmod(path.c_str(), 0666);
  for (const std::string& path : {scratch.path(), shared, scratch.work}) {
    ::chmod(path.c_str(), 0777);
  }
  ::chmod(scratch.data.c_str(), 0555);
  if (root) scratch.runAs = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  for (const std::string& path : root ? std::vector{inPlace, foreign} : std::vector{inPlace}) {
    SCOPED_TRACE(path);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ExpectSorted(scratch, scratch.Run({"--by", "c4", "-o", path, input}), "");
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(ReadFile(path), sorted);
    EXPECT_TRUE(after.st_ino == before.st_ino && after.st_uid == before.st_uid);
  }
  EXPECT_EQ(Entries(shared), 1);
  ::chmod(scratch.data.c_str(), 0755);
  EXPECT_EQ(Entries(scratch.data), 6);
}

// Bad input: status 2, one line naming the input and the line at fault, no
// output, no work file, an existing target left as it was. Cut into chunks of
// a line or so, lines count across them, multi-line fields included, and a
// cut inside a quoted field reports no fault of its own. Cases: the text,
// --by, and where the message starts.
TEST(CsvSortBadInput, EachCaseNamesFileAndLineAndLeavesNothing) {
  const std::vector<std::array<std::string, 3>> cases = {
      {"a,b\n1,2\n", "a,zz", ":1: no column named 'zz' in the header"},
      {"a,b\n1,2\n", "3", ":1: no column 3: the input has 2 columns"},
      {"a,b\n1,2\n", "#0", ":1: no column 0: the input has 2 columns"},
      {"a,b\n1,2\n", "a,,b", ":1: --by \"a,,b\": an empty column name"},
      {"a,b\n1,2\n", "\"a", ":1: --by \"\"a\": a quoted name has no closing quote"},
      {"a,a\n1,2\n", "a", ":1: the header names column 'a' twice (columns 1 and 2): name it by position, e.g. #1"},
      {"a,b,c\n1,\"x\ny\",3\n4,5\n", "a", ":4: 2 fields, the header has 3"},
      {"a,b\n1,2\n\"x\ny\",6,7\n", "a", ":3: 3 fields, the header has 2"},
      {"a,b\n1,2\n\n3,4\n", "a", ":3: 1 field, the header has 2"},
      {"a,b\n1,2\n3,\"4\n5,6\n7,8\n", "a", ":3: unterminated quote"},
      {"a,b\n1,2\n3,4\"5\n", "a", ":3: malformed quoting"},
      {"a,b\n1,\"x\ny\"z\n", "a", ":3: malformed quoting"},
      {"a,b\n1,2\r3,4\n", "a", ":2: a carriage return outside quotes"},
      {"a,b\n1,2\r\r\n3,4\n", "a", ":2: a carriage return outside quotes"},
      {"a,b\n3,z\n2,\"x\"\r1", "a", ":3: a carriage return outside quotes"},
      {"a,b\n1,2\nx,3\n", "a:num", ":3: column 'a' is to sort as numbers (:num), but 'x' is no number"},
      {"", "a", ":1: empty input: no header row"},
  };
  for (const auto& [text, by, where] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    Scratch scratch;
    const std::string input = scratch.Input("in.csv", text);
    const std::string target = scratch.data + "/out.csv";
    for (const int way : {0, 1, 2}) {  // no target yet, a target, a pipe to a pipe
      if (way == 1) WriteFile(target, "keep me\n");
      const RunResult result =
          way < 2
              ? scratch.Run({"--by", by, "--threads", "8", "-o", target, input}, "",
                            {"ISORT_CHUNK_BYTES=" + std::to_string(way == 0 ? 1 : 997)})
              : scratch.Run({"--by", by}, text);
      ExpectRefused(scratch, result, kBadInput,
                    "isort: " + (way < 2 ? input : "standard input") + where);
      EXPECT_EQ(Entries(scratch.data), way == 0 ? 1 : 2);
      EXPECT_EQ(ReadFile(target), way == 0 ? "" : "keep me\n");
    }
  }
}

// An input that cannot be read, and a record longer than the budget allows
// (48 MiB at 512M): status 3, one line with the file and the reason, no
// output and no work file.
TEST(CsvSortBadInput, InputThatCannotBeSortedNamesTheFileAndLeavesNothing) {
  Scratch scratch;
  const std::string data = scratch.data, none = data + "/none.csv";
  const std::string tooLong =
      scratch.Input("long.csv", "k,v\n1,a\n2," + std::string((48 << 20) + 1, 'x') + "\n");
  for (const auto& [input, message] : std::vector<std::pair<std::string, std::string>>{
           {none, "cannot open " + none + ": No such file or directory\n"},
           {data, "cannot read " + data + ": Is a directory\n"},
           {tooLong, tooLong + ":3: a record of 50331651 bytes"}}) {
    ExpectRefused(scratch, scratch.Run({"-o", data + "/out.csv", input}), kCannotSort,
                  "isort: " + message);
    EXPECT_EQ(Entries(data), 1);
  }
}

// The command line: the usage without arguments, help for every command,
// one line and a hint for a usage error, budgets below the smallest refused
// naming it, the version.
TEST(CsvSortCommandLine, UsageErrorsAndHelp) {
  Scratch scratch;
  const std::string input = scratch.Input("in.csv", "k\nb\na\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // what they start with
  };
  const std::vector<Case> cases = {
      {{}, kUsage, "", "isort: sorts CSV files"},
      {{"--help"}, kSorted, "isort: sorts CSV files", ""},
      {{"sort", "--help"}, kSorted, "sort a CSV file", ""},
      {{"demo", "--help"}, kSorted, "sort a standard workload", ""},
      {{"generate", "-h"}, kSorted, "write a standard workload", ""},
      {{"--version"}, kSorted, "isort ", ""},
      {{"sort", "--bogus", input}, kUsage, "", "isort: The following argument was not expected: --bogus\nTry 'isort sort --help'.\n"},
      {{"frobnicate"}, kUsage, "", "isort: unknown command 'frobnicate' (sort, demo or generate)\nTry 'isort --help'.\n"},
      {{"sort", "-S", "64M", input}, kUsage, "", "isort: a memory budget of 64M is below the smallest, 512M\n"},
      {{"sort", "--memory", "1", input}, kUsage, "", "isort: a memory budget of 1 is below the smallest, 512M\n"},
      {{"sort", "-t", "ab", input}, kUsage, "", "isort: the delimiter must be one byte"},
      {{"demo", "--workload", "W9"}, kUsage, "", "isort: unknown workload 'W9'"},
      {{"sort", "-S", "600M", "-T", scratch.work, "-r", input}, kSorted, "k\nb\na\n", ""},
      {{"sort", "--progress", input}, kSorted, "k\na\nb\n", "\rreading"},
      {{"sort", "--progress", "--no-progress", input}, kSorted, "k\na\nb\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    const RunResult result = scratch.Command(c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << result.out;
    EXPECT_TRUE(c.err.empty() ? result.err.empty() : result.err.rfind(c.err, 0) == 0)
        << result.err;
    if (c.status == kUsage && !c.args.empty()) {
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    }
  }
}

}  // namespace
}  // namespace isort::testing
