// End-to-end tests of `isort sort`: the built command on generated CSV against
// the oracle of CsvOracle.h, and every bad-input and cannot-sort road with its
// message, its exit status and nothing left behind.
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CsvOracle.h"
#include "CsvRows.h"
#include "RunIsort.h"

namespace isort::testing {
namespace {

constexpr int kSorted = 0, kBadInput = 2, kCannotSort = 3;  // exit statuses

const std::vector<Column> kMixed = {Column::kInteger, Column::kDecimal,
                                    Column::kText,    Column::kWord,
                                    Column::kMissing, Column::kAlmostNumber};

// A sorted run: status 0, `expected` on standard output, no work file left.
void ExpectSorted(const Scratch& scratch, const RunResult& result,
                  const std::string& expected) {
  ASSERT_EQ(result.status, kSorted) << result.err;
  const auto diff = std::mismatch(result.out.begin(), result.out.end(), expected.begin(),
                                  expected.end());
  EXPECT_TRUE(result.out == expected)
      << "output differs from byte " << diff.first - result.out.begin();
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

// Numeric, string, missing and almost-numeric keys, ascending and descending,
// by name and by number; on c1 (seven values in 3000 rows) most rows tie, so
// stability shows. No --by: every column in order.
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
    // The LF text from a file; the CRLF text, which also lacks a line end after
    // its last record, from standard input named "-" or not at all.
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
}

// Mixed line ends come out as the header's; a header alone; a blank line is
// one empty field.
TEST(CsvSort, SmallInputs) {
  Scratch scratch;
  for (const auto& [text, column] : std::vector<std::pair<std::string, std::size_t>>{
           {"k,v\r\nb,1\nc,2\r\na,\"x\r\ny\"\n", 0}, {"a,b", 1}, {"only\nb\n\na\n", 0}}) {
    SCOPED_TRACE(text);
    const RunResult result = scratch.Run(
        {"--by", std::to_string(column + 1), scratch.Input("small.csv", text)});
    ExpectSorted(scratch, result, ExpectedOutput(text, {{column, 1}}));
  }
}

TEST(CsvSort, OutputFileReplacesTheTargetWholeAndCanBeTheInput) {
  Scratch scratch;
  std::mt19937_64 random(17);
  const std::string text = RandomCsv(random, kMixed, 2000, false);
  const std::string input = scratch.Input("in.csv", text);
  const std::string target = scratch.data() + "/out.csv";
  WriteFile(target, "an older, longer file\n" + std::string(100000, 'x'));
  ExpectSorted(scratch, scratch.Run({"--by", "c4", "-o", target, input}), "");
  EXPECT_EQ(ReadFile(target), ExpectedOutput(text, {{3, 1}}));
  // Onto itself: the input is read whole before the output takes its place.
  ExpectSorted(scratch, scratch.Run({"--by", "c4", "-o", input, input}), "");
  EXPECT_EQ(ReadFile(input), ExpectedOutput(text, {{3, 1}}));
  EXPECT_EQ(Entries(scratch.data()), (std::set<std::string>{"in.csv", "out.csv"}));
}

TEST(CsvSort, StringKeysFollowLcCollate) {
  locale_t english = newlocale(LC_COLLATE_MASK, "en_US.UTF-8", nullptr);
  if (english == nullptr) GTEST_SKIP() << "no en_US.UTF-8 locale here";
  // Words of a, A, b, B: bytes put capitals first, English collation does not.
  std::mt19937_64 random(20);
  std::vector<std::string> words(3000);
  std::string text = "word\n", expected = text;
  for (std::string& word : words) {
    for (int n = 1 + random() % 5; n > 0; --n) word += "aAbB"[random() % 4];
    text += word + "\n";
  }
  std::stable_sort(words.begin(), words.end(), [english](auto& a, auto& b) {
    return strcoll_l(a.c_str(), b.c_str(), english) < 0;
  });
  freelocale(english);
  for (const std::string& word : words) expected += word + "\n";
  EXPECT_NE(expected, ExpectedOutput(text, {{0, 1}}));
  Scratch scratch;
  const RunResult result =
      scratch.Run({scratch.Input("words.csv", text)}, "", {"LC_COLLATE=en_US.UTF-8"});
  ExpectSorted(scratch, result, expected);
}

// Two records of 5 MB (one quoted over many lines, one unquoted), beyond the
// 4 MiB buffers of the reader, the spool and the output, make every row of
// the engine 5 MB wide: 150 rows exceed the 512 MiB budget, so the rows go
// through several runs and a merge, with many ties.
TEST(CsvSort, HugeRecordsAndSeveralRuns) {
  Scratch scratch;
  std::mt19937_64 random(18);
  std::string tall;
  for (int i = 0; i < 420000; ++i) tall += "line, \"\"q\"\"\n";
  const std::string text = RandomCsv(
      random, {Column::kInteger, Column::kWord, Column::kText}, 150, false, true,
      "1,tall,\"" + tall + "\"\n2,wide," + std::string(5000000, 'u') + "\n");
  ExpectSorted(scratch,
               scratch.Run({"--by", "c2:desc,c1", "--threads", "2",
                            scratch.Input("huge.csv", text)}),
               ExpectedOutput(text, {{1, -1}, {0, 1}}));
}

// ISORT_CHUNK_BYTES cuts a small input into many chunks read in parallel. A
// quoted field of 200 lines spans several cuts: the reader before it must read
// on to the end and the chunks after it must be dropped.
TEST(CsvSort, ParallelChunksGiveWhatOneReaderGives) {
  Scratch scratch;
  std::mt19937_64 random(19);
  std::string tall;
  for (int i = 0; i < 200; ++i) tall += "line " + std::to_string(i) + "\n,\"\"x";
  const std::string text =
      RandomCsv(random, {Column::kText, Column::kInteger, Column::kText}, 40000, false,
                true, "a,3,\"" + tall + "\"\n");
  const std::string input = scratch.Input("chunks.csv", text);
  const std::string expected = ExpectedOutput(text, {{1, 1}, {0, -1}});
  for (const std::string chunkBytes : {"1000", "4096", "65536"}) {
    SCOPED_TRACE("ISORT_CHUNK_BYTES=" + chunkBytes);
    ExpectSorted(scratch,
                 scratch.Run({"--by", "c2,c1:desc", "--threads", "8", input}, "",
                             {"ISORT_CHUNK_BYTES=" + chunkBytes}),
                 expected);
  }
}

// ---- Bad input: status 2, one line naming the input and the line at fault,
// no output, no work file, and an existing target left as it was.

struct BadCase {
  std::string text, by;
  std::string where;  // ":LINE: " and the start of the message
};

TEST(CsvSortBadInput, EachCaseNamesFileAndLineAndLeavesNothing) {
  const std::vector<BadCase> cases = {
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
  for (const BadCase& bad : cases) {
    SCOPED_TRACE(bad.text);
    Scratch scratch;
    const std::string input = scratch.Input("in.csv", bad.text);
    const std::string target = scratch.data() + "/out.csv";
    for (const int way : {0, 1, 2}) {  // no target yet, a target, a pipe to a pipe
      if (way == 1) WriteFile(target, "keep me\n");
      const RunResult result = way < 2
                                   ? scratch.Run({"--by", bad.by, "-o", target, input})
                                   : scratch.Run({"--by", bad.by}, bad.text);
      const std::string name = way < 2 ? input : "standard input";
      EXPECT_EQ(result.status, kBadInput);
      EXPECT_EQ(result.err.rfind("isort: " + name + bad.where, 0), 0u) << result.err;
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      EXPECT_TRUE(result.out.empty());
      EXPECT_EQ(Entries(scratch.data()).size(), way == 0 ? 1u : 2u);
      EXPECT_EQ(ReadFile(target), way == 0 ? "" : "keep me\n");
      EXPECT_TRUE(Entries(scratch.work()).empty());
    }
  }
}

// The line of a fault deep in a later chunk counts every line before it,
// multi-line fields included; a chunk cut inside a quoted field reports no
// fault of its own.
TEST(CsvSortBadInput, LinesCountAcrossParallelChunks) {
  Scratch scratch;
  // Every seventh record has a quoted field whose second line, read on its
  // own, is malformed.
  std::string text = "a,b\n";
  for (int i = 0; i < 5000; ++i)
    text += std::to_string(i) + (i % 7 == 0 ? ",\"x\ny\"\"z\"\n" : ",v\n");
  const auto line = std::count(text.begin(), text.end(), '\n') + 1;
  text += "1,2,3\n4,5\n";
  const std::string input = scratch.Input("deep.csv", text);
  for (const std::string chunkBytes : {"997", "5000", "100000000"}) {
    SCOPED_TRACE(chunkBytes);
    const RunResult result = scratch.Run({"--by", "a", "--threads", "8", input}, "",
                                         {"ISORT_CHUNK_BYTES=" + chunkBytes});
    EXPECT_EQ(result.status, kBadInput);
    EXPECT_EQ(result.err, "isort: " + input + ":" + std::to_string(line) +
                              ": 3 fields, the header has 2\n");
  }
}

// ---- Cannot sort: status 3, the operation, the file and the system's
// reason; no output and no work file.

TEST(CsvSortCannotSort, EachCaseNamesTheReasonAndLeavesNothing) {
  Scratch scratch;
  std::mt19937_64 random(21);
  const std::string input =
      scratch.Input("in.csv", RandomCsv(random, kMixed, 200000, false));
  const std::string data = scratch.data(), work = scratch.work();
  struct Case {
    std::vector<std::string> args;
    std::string message, stdoutPath = "";
  };
  for (const Case& refusal : std::vector<Case>{
           {{"-o", data + "/out.csv", data + "/none.csv"},
            "cannot open " + data + "/none.csv: No such file or directory"},
           {{data}, "cannot read " + data + ": Is a directory"},
           {{"-o", data + "/no/dir/out.csv", input},
            "cannot create " + data + "/no/dir/out.csv: No such file or directory"},
           {{"--tmpdir", work + "/none", "-o", data + "/out.csv", input},
            "cannot create a work file in " + work + "/none: No such file or directory"},
           {{"-o", work, input}, "cannot write " + work + ": Is a directory"},
           // More than one 4 MiB buffer: the writing thread meets the error.
           {{"--by", "c1", input},
            "cannot write standard output: No space left on device",
            "/dev/full"}}) {
    SCOPED_TRACE(refusal.message);
    const RunResult result = scratch.Run(refusal.args, "", {}, refusal.stdoutPath);
    EXPECT_EQ(result.status, kCannotSort);
    EXPECT_EQ(result.err, "isort: " + refusal.message + "\n");
    EXPECT_TRUE(result.out.empty());
    EXPECT_EQ(Entries(data), std::set<std::string>{"in.csv"});
    EXPECT_TRUE(Entries(work).empty());
  }
}

// A run killed while it reads leaves the target as it was, no name beside it
// and no work file: every file it made so far has no name.
TEST(CsvSortCannotSort, AKilledRunLeavesNothing) {
  Scratch scratch;
  const std::string fifo = scratch.io("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = scratch.data() + "/out.csv";
  WriteFile(target, "old\n");
  const pid_t child = scratch.Start({"--by", "a", "-o", target, "-"}, {}, fifo);
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_EQ(::write(writer, "a,b\n1,x\n", 8), 8);
  ::usleep(300000);  // isort now waits for more, its spool and output open
  ::kill(child, SIGKILL);
  EXPECT_EQ(Scratch::Wait(child), 128 + SIGKILL);
  ::close(writer);
  EXPECT_EQ(ReadFile(target), "old\n");
  EXPECT_EQ(Entries(scratch.data()), std::set<std::string>{"out.csv"});
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

// ---- The number rule on its own, bit for bit against the oracle's (strtod):
// rounding at the fast road's limits (2^53, 19 digits, 22 fraction digits)
// and at the range's edges changes a sort only in rare rows, which runs on
// random data would miss.

void ExpectSameNumber(const std::string& text) {
  double ours = 0, theirs = 0;
  const bool accepted = app::ParseNumber(text, &ours);
  ASSERT_EQ(accepted, OracleNumber(text, &theirs)) << "'" << text << "'";
  if (accepted) {
    EXPECT_EQ(std::memcmp(&ours, &theirs, sizeof ours), 0) << "'" << text << "'";
  }
}

// Edge cases (between '|', blanks included), then random texts: digit
// strings of every length around the 2^53 and 19-digit limits with a point
// anywhere or nowhere, and short strings of number characters.
TEST(ParseNumber, AgreesWithTheRule) {
  const std::string cases =
      "| |\t|0|-0|+0|1.|.5|-.5|+.5|.|-|+|+-1|-+1|--1|1e5|1E+5|1e-5|1e|1e+|e5| 7 |\t7\t|"
      "7 8|nan|inf|-inf|infinity|0x10|0x1p3|1e400|-1e400|1e-400|4.9e-324|0.1|00012|1,5|"
      "1.7976931348623157e308|9007199254740992|9007199254740993|12abc|1..2|"
      "123456789012345678901234567890|0.0000000000000000000001|0.00000000000000000000001";
  for (std::size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 1) {
    bar = cases.find('|', at);
    ExpectSameNumber(cases.substr(at, bar == std::string::npos ? bar : bar - at));
  }
  std::mt19937_64 random(1);
  const std::string alphabet = "0123456789.+-eE \tx";
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      text.resize(1 + random() % 24);
      for (char& c : text) c = static_cast<char>('0' + random() % 10);
      const std::size_t point = random() % (text.size() + 2);
      if (point <= text.size()) text.insert(point, ".");
      if (random() % 4 == 0) text.insert(0, random() % 2 == 0 ? "-" : "+");
    } else {
      text.resize(random() % 9);
      for (char& c : text) c = alphabet[random() % alphabet.size()];
    }
    ExpectSameNumber(text);
  }
}

}  // namespace
}  // namespace isort::testing
