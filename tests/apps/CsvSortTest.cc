// `isort sort` end to end (ISORT_BINARY) on generated CSV against an oracle of
// the test's own (a CSV parser, the key columns' typing rule, std::stable_sort),
// and bad input with its message, exit status and nothing left behind.
#include <gtest/gtest.h>
#include <locale.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CsvRows.h"

namespace isort::testing {
namespace {

struct CsvRow {
  std::string raw;  // without its line end
  std::vector<std::string> fields;
};

// Well-formed CSV: records end at LF or CRLF outside quotes (the last may lack
// one); a blank line is one empty field.
std::vector<CsvRow> ParseCsv(const std::string& text) {
  std::vector<CsvRow> rows;
  for (std::size_t start = 0, i = 0; start < text.size(); start = ++i) {
    CsvRow row{"", {""}};
    bool quoted = false;
    for (; i < text.size() && (quoted || text[i] != '\n'); ++i) {
      std::string& field = row.fields.back();
      const char c = text[i];
      if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += text[i++];
      } else if (c == '"' && (quoted || field.empty())) {
        quoted = !quoted;
      } else if (!quoted && c == ',') {
        row.fields.emplace_back();
      } else {
        field += c;
      }
    }
    const std::size_t end = i > start && text[i - 1] == '\r' ? i - 1 : i;
    if (end < i) row.fields.back().pop_back();  // the CR of a CRLF
    row.raw = text.substr(start, end - start);
    rows.push_back(row);
  }
  return rows;
}

// The command's number rule: blanks around it ignored, empty is the missing
// value (lowest), decimal only, finite.
bool OracleNumber(const std::string& text, double* value) {
  static const std::regex number(
      "[ \t]*([+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?)?[ \t]*");
  std::smatch match;
  if (!std::regex_match(text, match, number)) return false;
  *value =
      match[1].length() == 0 ? -DBL_MAX : std::strtod(match[1].str().c_str(), nullptr);
  return std::isfinite(*value);
}

struct OracleKey {
  std::size_t column;  // from 0
  int direction;       // +1 or -1
};

// The header, then the records stably sorted by `keys`, each ended as the
// header is. A key column is numeric when all its values are numbers, else it
// sorts by `collate`, or by unsigned bytes without one.
std::string ExpectedOutput(const std::string& text, const std::vector<OracleKey>& keys,
                           locale_t collate = nullptr) {
  std::vector<CsvRow> rows = ParseCsv(text);
  const std::string header = rows.front().raw;
  rows.erase(rows.begin());
  const bool crlf = header.size() + 1 < text.size() && text[header.size()] == '\r';
  std::vector<bool> numeric(keys.size(), true);
  std::vector<std::vector<double>> numbers(rows.size(), std::vector<double>(keys.size()));
  for (std::size_t k = 0; k < keys.size(); ++k)
    for (std::size_t r = 0; r < rows.size() && numeric[k]; ++r)
      numeric[k] = OracleNumber(rows[r].fields[keys[k].column], &numbers[r][k]);
  std::vector<std::size_t> order(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const std::string& u = rows[a].fields[keys[k].column];
      const std::string& v = rows[b].fields[keys[k].column];
      const int c =
          numeric[k] ? (numbers[a][k] > numbers[b][k]) - (numbers[a][k] < numbers[b][k])
          : collate  ? strcoll_l(u.c_str(), v.c_str(), collate)
                     : u.compare(v);
      if (c != 0) return (c < 0) == (keys[k].direction > 0);
    }
    return false;
  });
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  std::string out = header + lineEnd;
  for (std::size_t r : order) out += rows[r].raw + lineEnd;
  return out;
}

// A header c1..cN, then `rows` random records, `middle` (a record and its line
// end) before the middle one; some fields quoted without need. Column kinds:
// i small integers (many ties), d decimals with signs, exponents and blanks,
// m numbers, many empty or blank, w short words, t text with commas, quotes,
// newlines and CRs, a numbers but for one word (so a string column).
std::string RandomCsv(std::mt19937_64& random, const std::string& columns,
                      std::size_t rows, bool crlf, bool finalLineEnd = true,
                      const std::string& middle = "") {
  static const char* const kForms[] = {"%.3f", "%.1e", "%g", " %.2f ", "%+.4f", "%.0f."};
  static const char* const kPieces[] = {",", "\"", "\n", "\r\n", " ", "\"\"", "\r"};
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  auto word = [&](int maxLength) {
    std::string w(pick(maxLength + 1), ' ');
    for (char& c : w) c = static_cast<char>('a' + pick(6));
    return w;
  };
  auto value = [&](char kind, bool odd) -> std::string {
    char decimal[64];
    std::snprintf(decimal, sizeof decimal, kForms[pick(6)], (pick(200001) - 1e5) / 1e3);
    if (kind == 'i') return std::to_string(pick(7) - 2);
    if (kind == 'd') return decimal;
    if (kind == 'm')
      return pick(10) == 0 ? " " : pick(3) == 0 ? "" : std::to_string(pick(5));
    if (kind == 'w') return word(4);
    if (kind == 't') return word(3) + (pick(2) ? "" : kPieces[pick(7)] + word(2));
    return odd ? "n/a" : std::to_string(pick(50));
  };
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  std::string text;
  for (std::size_t c = 0; c < columns.size(); ++c)
    text += (c == 0 ? "c" : ",c") + std::to_string(c + 1);
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

std::ptrdiff_t Entries(const std::string& directory) {
  return std::distance(std::filesystem::directory_iterator(directory), {});
}

struct RunResult {
  int status;
  std::string out, err;
};

// A directory of its own: data/ for inputs and outputs, work/ for TMPDIR, and
// the command's standard streams beside them.
struct Scratch {
  char pattern[32] = "/tmp/isort-csv-test-XXXXXX";
  const std::string base = ::mkdtemp(pattern);
  const std::string data = base + "/data", work = base + "/work";

  Scratch() {
    std::filesystem::create_directory(data);
    std::filesystem::create_directory(work);
  }
  ~Scratch() { std::filesystem::remove_all(base); }

  std::string Input(const std::string& name, const std::string& text) const {
    WriteFile(data + "/" + name, text);
    return data + "/" + name;
  }

  // `isort sort args` on `stdinText`, with TMPDIR work/, LC_COLLATE C and the
  // settings "NAME=value" of `environment`; the shell gives 128 + a signal.
  RunResult Run(const std::vector<std::string>& args, const std::string& stdinText = "",
                const std::vector<std::string>& environment = {}) const {
    const std::string io = base + "/std";
    WriteFile(io + "in", stdinText);
    std::string command = "env -u LC_ALL LC_COLLATE=C TMPDIR='" + work + "'";
    for (const std::string& word : environment) command += " '" + word + "'";
    command += " '" ISORT_BINARY "' sort";
    for (const std::string& word : args) command += " '" + word + "'";
    command += " <" + io + "in >" + io + "out 2>" + io + "err";
    return {WEXITSTATUS(std::system(command.c_str())), ReadFile(io + "out"),
            ReadFile(io + "err")};
  }
};

constexpr int kSorted = 0, kBadInput = 2, kCannotSort = 3;  // exit statuses

const std::string kMixed = "idtwma";

// A sorted run: status 0, `expected` on standard output, no work file left.
void ExpectSorted(const Scratch& scratch, const RunResult& result,
                  const std::string& expected) {
  ASSERT_EQ(result.status, kSorted) << result.err;
  EXPECT_TRUE(result.out == expected) << "output differs from the oracle's";
  EXPECT_EQ(Entries(scratch.work), 0);
}

// Keys of each kind, either way, by name or number, all with no --by; c1 has 7
// values in 3000 rows, so stability shows. Then mixed line ends (output as the
// header's), a header alone, a blank line (one empty field).
TEST(CsvSort, MatchesTheOracle) {
  const std::vector<std::pair<std::string, std::vector<OracleKey>>> keyCases = {
      {"c1", {{0, 1}}},
      {"c3,c1:desc", {{2, 1}, {0, -1}}},
      {"c2:desc", {{1, -1}}},
      {"c5,c4", {{4, 1}, {3, 1}}},
      {"c5:desc,c6", {{4, -1}, {5, 1}}},
      {"c6:desc,c3:desc", {{5, -1}, {2, -1}}},
      {"4:desc,2", {{3, -1}, {1, 1}}},
      {"", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}}};
  Scratch scratch;
  std::mt19937_64 random(11);
  for (const bool crlf : {false, true}) {
    // LF from a file; CRLF, no final line end, from standard input, "-" or none.
    const std::string text = RandomCsv(random, kMixed, 3000, crlf, !crlf);
    const std::string input = crlf ? "-" : scratch.Input("in.csv", text);
    for (const auto& [by, keys] : keyCases) {
      SCOPED_TRACE("--by '" + by + (crlf ? "' CRLF" : "' LF"));
      std::vector<std::string> args = {"--by", by, input};
      if (by.empty()) args = crlf ? std::vector<std::string>{} : std::vector{input};
      ExpectSorted(scratch, scratch.Run(args, crlf ? text : ""),
                   ExpectedOutput(text, keys));
    }
  }
  for (const auto& [text, column] : std::vector<std::pair<std::string, std::size_t>>{
           {"k,v\r\nb,1\nc,2\r\na,\"x\r\ny\"\n", 0}, {"a,b", 1}, {"only\nb\n\na\n", 0}}) {
    SCOPED_TRACE(text);
    ExpectSorted(scratch,
                 scratch.Run({"--by", std::to_string(column + 1),
                              scratch.Input("small.csv", text)}),
                 ExpectedOutput(text, {{column, 1}}));
  }
}

// ISORT_CHUNK_BYTES cuts a small input into chunks read in parallel. A quoted
// field of 200 lines spans several cuts: the reader before it must read on
// and the chunks after it must be dropped.
TEST(CsvSort, ParallelChunksGiveWhatOneReaderGives) {
  Scratch scratch;
  std::mt19937_64 random(19);
  std::string tall;
  for (int i = 0; i < 200; ++i) tall += "line " + std::to_string(i) + "\n,\"\"x";
  const std::string text =
      RandomCsv(random, "tit", 40000, false, true, "a,3,\"" + tall + "\"\n");
  const std::string input = scratch.Input("chunks.csv", text);
  for (const std::string chunkBytes : {"1000", "4096", "65536"}) {
    SCOPED_TRACE("ISORT_CHUNK_BYTES=" + chunkBytes);
    ExpectSorted(scratch,
                 scratch.Run({"--by", "c2,c1:desc", "--threads", "8", input}, "",
                             {"ISORT_CHUNK_BYTES=" + chunkBytes}),
                 ExpectedOutput(text, {{1, 1}, {0, -1}}));
  }
}

TEST(CsvSort, OutputFileReplacesTheTargetWholeAndCanBeTheInput) {
  Scratch scratch;
  std::mt19937_64 random(17);
  const std::string text = RandomCsv(random, kMixed, 2000, false);
  const std::string input = scratch.Input("in.csv", text);
  const std::string target =
      scratch.Input("out.csv", "an older, longer file\n" + std::string(100000, 'x'));
  // Then onto itself: the input is read whole before the output takes its place.
  for (const std::string& output : {target, input}) {
    ExpectSorted(scratch, scratch.Run({"--by", "c4", "-o", output, input}), "");
    EXPECT_EQ(ReadFile(output), ExpectedOutput(text, {{3, 1}}));
  }
  EXPECT_EQ(Entries(scratch.data), 2);  // in.csv and out.csv only
}

// Words of a, A, b, B: bytes put capitals first, English collation does not.
TEST(CsvSort, StringKeysFollowLcCollate) {
  locale_t english = newlocale(LC_COLLATE_MASK, "en_US.UTF-8", nullptr);
  if (english == nullptr) GTEST_SKIP() << "no en_US.UTF-8 locale here";
  std::mt19937_64 random(20);
  std::string text = "word\n";
  for (int i = 0; i < 3000; ++i, text += '\n')
    for (int n = 1 + random() % 5; n > 0; --n) text += "aAbB"[random() % 4];
  const std::string expected = ExpectedOutput(text, {{0, 1}}, english);
  freelocale(english);
  EXPECT_NE(expected, ExpectedOutput(text, {{0, 1}}));
  Scratch scratch;
  ExpectSorted(
      scratch,
      scratch.Run({scratch.Input("words.csv", text)}, "", {"LC_COLLATE=en_US.UTF-8"}),
      expected);
}

// Bad input: status 2, one line naming the input and the line at fault, no
// output, no work file, an existing target left as it was. Cut into chunks of
// a line or so, lines count across them, multi-line fields included, and a
// cut inside a quoted field reports no fault of its own. Cases: the text,
// --by, and where the message starts.
TEST(CsvSortBadInput, EachCaseNamesFileAndLineAndLeavesNothing) {
  const std::vector<std::array<std::string, 3>> cases = {
      {"a,b\n1,2\n", "a,zz", ":1: no column named 'zz' in the header"},
      {"a,b\n1,2\n", "3", ":1: no column 3: the header has 2 columns"},
      {"a,b\n1,2\n", "a,,b", ":1: --by \"a,,b\" has an empty column name"},
      {"a,a\n1,2\n", "a", ":1: the header names column 'a' twice"},
      {"a,b,c\n1,\"x\ny\",3\n4,5\n", "a", ":4: 2 fields, the header has 3"},
      {"a,b\n1,2\n\"x\ny\",6,7\n", "a", ":3: 3 fields, the header has 2"},
      {"a,b\n1,2\n\n3,4\n", "a", ":3: 1 field, the header has 2"},
      {"a,b\n1,2\n3,\"4\n5,6\n7,8\n", "a", ":3: unterminated quote"},
      {"a,b\n1,2\n3,4\"5\n", "a", ":3: malformed quoting"},
      {"a,b\n1,\"x\ny\"z\n", "a", ":3: malformed quoting"},
      {"a,b\n1,2\r3,4\n", "a", ":2: a carriage return outside quotes"},
      {"a,b\n1,2\r\r\n3,4\n", "a", ":2: a carriage return outside quotes"},
      {"a\n1\n\r\r\n2\n", "a", ":3: a carriage return outside quotes"},
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
      const std::string name = way < 2 ? input : "standard input";
      EXPECT_EQ(result.status, kBadInput);
      EXPECT_EQ(result.err.rfind("isort: " + name + where, 0), 0u) << result.err;
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      EXPECT_TRUE(result.out.empty());
      EXPECT_EQ(Entries(scratch.data), way == 0 ? 1 : 2);
      EXPECT_EQ(ReadFile(target), way == 0 ? "" : "keep me\n");
      EXPECT_EQ(Entries(scratch.work), 0);
    }
  }
}

// An input that cannot be read: status 3, the file and the system's reason,
// no output and no work file.
TEST(CsvSortBadInput, UnreadableInputNamesTheFileAndLeavesNothing) {
  Scratch scratch;
  const std::string data = scratch.data, none = data + "/none.csv";
  for (const auto& [input, message] : std::vector<std::pair<std::string, std::string>>{
           {none, "cannot open " + none + ": No such file or directory"},
           {data, "cannot read " + data + ": Is a directory"}}) {
    const RunResult result = scratch.Run({"-o", data + "/out.csv", input});
    EXPECT_EQ(result.status, kCannotSort);
    EXPECT_EQ(result.err, "isort: " + message + "\n");
    EXPECT_TRUE(result.out.empty());
    EXPECT_EQ(Entries(data), 0);
    EXPECT_EQ(Entries(scratch.work), 0);
  }
}

// The number rule bit for bit against the oracle's (strtod): rounding at the
// fast road's limits (2^53, 19 digits, 22 fraction digits) and the range's
// edges changes a sort only in rare rows, which random runs would miss. Edge
// cases, then digit strings around those limits and short random texts.
TEST(ParseNumber, AgreesWithTheRule) {
  std::istringstream edges(
      "| |\t|0|-0|+0|1.|.5|-.5|+.5|.|-|+|+-1|-+1|--1|1e5|1E+5|1e-5|1e|1e+|e5| 7 |\t7\t|"
      "7 8|nan|inf|-inf|infinity|0x10|0x1p3|1e400|-1e400|1e-400|4.9e-324|0.1|00012|1,5|"
      "1.7976931348623157e308|9007199254740992|9007199254740993|12abc|1..2|0.0000000000"
      "000000000001|0.00000000000000000000001|123456789012345678901234567890");
  std::vector<std::string> texts;
  for (std::string text; std::getline(edges, text, '|');) texts.push_back(text);
  std::mt19937_64 random(1);
  for (int i = 0; i < 100000; ++i) {
    const bool digits = i % 2 == 0;
    std::string text(digits ? 1 + random() % 24 : random() % 9, ' ');
    for (char& c : text) c = "0123456789.+-eE \tx"[random() % (digits ? 10 : 18)];
    const std::size_t point = random() % (text.size() + 2), sign = random() % 8;
    if (digits && point <= text.size()) text.insert(point, ".");
    if (digits && sign < 2) text.insert(0, sign ? "-" : "+");
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    double ours = 0, theirs = 0;
    const bool accepted = app::ParseNumber(text, &ours);
    ASSERT_EQ(accepted, OracleNumber(text, &theirs)) << "'" << text << "'";
    EXPECT_TRUE(!accepted || std::memcmp(&ours, &theirs, 8) == 0) << "'" << text << "'";
  }
}

}  // namespace
}  // namespace isort::testing
