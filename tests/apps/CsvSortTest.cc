// End-to-end tests of `isort sort`: the built command on generated CSV,
// against the oracle of CsvOracle.h, and every bad-input and failure road
// with its message, its exit status and nothing left behind.
#include <gtest/gtest.h>
#include <locale.h>

#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CsvOracle.h"
#include "RunIsort.h"

namespace isort::testing {
namespace {

constexpr int kSorted = 0;
constexpr int kBadInput = 2;
constexpr int kCannotSort = 3;

const std::vector<Column> kMixedColumns = {Column::kInteger, Column::kDecimal,
                                           Column::kText,    Column::kWord,
                                           Column::kMissing, Column::kAlmostNumber};

// One case of the oracle harness: --by text and the keys it means.
struct KeyCase {
  const char* by;
  std::vector<OracleKey> keys;
};

const std::vector<KeyCase> kKeyCases = {
    {"c1", {{0, 1}}},
    {"c3,c1:desc", {{2, 1}, {0, -1}}},
    {"c2:desc", {{1, -1}}},
    {"c5,c4", {{4, 1}, {3, 1}}},
    {"c5:desc,c6", {{4, -1}, {5, 1}}},
    {"c6:desc,c3:desc", {{5, -1}, {2, -1}}},
    {"4:desc,2", {{3, -1}, {1, 1}}},
};

std::string Describe(const RunResult& result) {
  return "status " + std::to_string(result.status) + ", stderr: " + result.err;
}

TEST(CsvSort, MatchesTheOracleOnQuotedTextNumbersAndMissingValues) {
  Scratch scratch;
  std::mt19937_64 random(11);
  for (const bool crlf : {false, true}) {
    const std::string text = RandomCsv(random, kMixedColumns, 3000, crlf);
    const std::string input = scratch.Input(crlf ? "crlf.csv" : "lf.csv", text);
    for (const KeyCase& keyCase : kKeyCases) {
      SCOPED_TRACE(std::string("--by ") + keyCase.by + (crlf ? " CRLF" : " LF"));
      const RunResult result = scratch.Run({"--by", keyCase.by, input});
      ASSERT_EQ(result.status, kSorted) << Describe(result);
      EXPECT_EQ(result.out, ExpectedOutput(text, keyCase.keys));
      EXPECT_TRUE(Entries(scratch.work()).empty());
    }
  }
}

TEST(CsvSort, EqualKeysKeepTheirInputOrder) {
  Scratch scratch;
  std::mt19937_64 random(12);
  // Seven distinct values in 20000 rows: every key value is shared by
  // thousands of rows, whose other columns differ.
  const std::string text = RandomCsv(
      random, {Column::kInteger, Column::kWord, Column::kDecimal}, 20000, false);
  const std::string input = scratch.Input("ties.csv", text);
  const RunResult ascending = scratch.Run({"--by", "c1", input});
  ASSERT_EQ(ascending.status, kSorted) << Describe(ascending);
  EXPECT_EQ(ascending.out, ExpectedOutput(text, {{0, 1}}));
  const RunResult descending = scratch.Run({"--by", "c1:desc", input});
  ASSERT_EQ(descending.status, kSorted) << Describe(descending);
  EXPECT_EQ(descending.out, ExpectedOutput(text, {{0, -1}}));
}

TEST(CsvSort, WithoutBySortsByEveryColumnInOrder) {
  Scratch scratch;
  std::mt19937_64 random(13);
  const std::string text =
      RandomCsv(random, {Column::kInteger, Column::kWord, Column::kMissing}, 2000, false);
  const RunResult result = scratch.Run({scratch.Input("all.csv", text)});
  ASSERT_EQ(result.status, kSorted) << Describe(result);
  EXPECT_EQ(result.out, ExpectedOutput(text, {{0, 1}, {1, 1}, {2, 1}}));
}

TEST(CsvSort, KeyByNumberIsKeyByName) {
  Scratch scratch;
  std::mt19937_64 random(14);
  const std::string text = RandomCsv(random, kMixedColumns, 1000, false);
  const std::string input = scratch.Input("n.csv", text);
  const RunResult byNumber = scratch.Run({"--by", "3:desc,1", input});
  const RunResult byName = scratch.Run({"--by", "c3:desc,c1", input});
  ASSERT_EQ(byNumber.status, kSorted) << Describe(byNumber);
  EXPECT_EQ(byNumber.out, byName.out);
  EXPECT_EQ(byNumber.out, ExpectedOutput(text, {{2, -1}, {0, 1}}));
}

TEST(CsvSort, ALastLineWithoutLineEndGetsTheHeadersLineEnd) {
  Scratch scratch;
  std::mt19937_64 random(15);
  for (const bool crlf : {false, true}) {
    const std::string text =
        RandomCsv(random, {Column::kWord, Column::kText}, 500, crlf, false);
    ASSERT_NE(text.back(), '\n');
    const RunResult result = scratch.Run({"--by", "c1", scratch.Input("open.csv", text)});
    ASSERT_EQ(result.status, kSorted) << Describe(result);
    EXPECT_EQ(result.out, ExpectedOutput(text, {{0, 1}}));
  }
}

TEST(CsvSort, MixedLineEndsComeOutAsTheHeaders) {
  Scratch scratch;
  const std::string text = "k,v\r\nb,1\nc,2\r\na,\"x\r\ny\"\n";
  const RunResult result = scratch.Run({"--by", "k", scratch.Input("mixed.csv", text)});
  ASSERT_EQ(result.status, kSorted) << Describe(result);
  EXPECT_EQ(result.out, ExpectedOutput(text, {{0, 1}}));
  EXPECT_EQ(result.out.find("\r\n"), 3u);
}

TEST(CsvSort, ReadsStandardInputAndWritesStandardOutput) {
  Scratch scratch;
  std::mt19937_64 random(16);
  const std::string text = RandomCsv(random, kMixedColumns, 2000, false);
  const RunResult implicit = scratch.Run({"--by", "c2"}, text);
  ASSERT_EQ(implicit.status, kSorted) << Describe(implicit);
  EXPECT_EQ(implicit.out, ExpectedOutput(text, {{1, 1}}));
  const RunResult dash = scratch.Run({"--by", "c2", "-"}, text);
  ASSERT_EQ(dash.status, kSorted) << Describe(dash);
  EXPECT_EQ(dash.out, implicit.out);
}

TEST(CsvSort, OutputFileReplacesTheTargetWholeAndCanBeTheInput) {
  Scratch scratch;
  std::mt19937_64 random(17);
  const std::string text = RandomCsv(random, kMixedColumns, 2000, false);
  const std::string input = scratch.Input("in.csv", text);
  const std::string target = scratch.data() + "/out.csv";
  WriteFile(target, "an older, longer file that must go away entirely\n" +
                        std::string(100000, 'x'));
  const RunResult result = scratch.Run({"--by", "c4", "-o", target, input});
  ASSERT_EQ(result.status, kSorted) << Describe(result);
  EXPECT_TRUE(result.out.empty());
  EXPECT_EQ(ReadFile(target), ExpectedOutput(text, {{3, 1}}));
  EXPECT_EQ(Entries(scratch.data()), (std::set<std::string>{"in.csv", "out.csv"}));

  // Sorting a file onto itself: the input is read whole before the output
  // takes its place.
  const RunResult inPlace = scratch.Run({"--by", "c4", "-o", input, input});
  ASSERT_EQ(inPlace.status, kSorted) << Describe(inPlace);
  EXPECT_EQ(ReadFile(input), ExpectedOutput(text, {{3, 1}}));
  EXPECT_EQ(Entries(scratch.data()), (std::set<std::string>{"in.csv", "out.csv"}));
}

TEST(CsvSort, AHeaderAloneGivesTheHeader) {
  Scratch scratch;
  const RunResult result = scratch.Run({"--by", "b", scratch.Input("h.csv", "a,b")});
  ASSERT_EQ(result.status, kSorted) << Describe(result);
  EXPECT_EQ(result.out, "a,b\n");
}

TEST(CsvSort, ABlankLineIsOneEmptyField) {
  Scratch scratch;
  const std::string text = "only\nb\n\na\n";
  const RunResult result = scratch.Run({scratch.Input("one.csv", text)});
  ASSERT_EQ(result.status, kSorted) << Describe(result);
  EXPECT_EQ(result.out, ExpectedOutput(text, {{0, 1}}));
}

// A string key one row makes wide (4000 bytes) gives every row a key part of
// 4000 bytes, so that the 512 MiB budget holds about 65,000 rows per batch:
// 150,000 rows go through several runs and a merge.
TEST(CsvSort, RowsThatNeedSeveralRunsAndAMerge) {
  Scratch scratch;
  std::mt19937_64 random(18);
  std::string text =
      RandomCsv(random, {Column::kWord, Column::kInteger, Column::kText}, 150000, false);
  text += std::string(4000, 'z') + ",1,wide\n";
  const std::string input = scratch.Input("wide.csv", text);
  const RunResult result = scratch.Run({"--by", "c1,c2:desc", "--threads", "2", input});
  ASSERT_EQ(result.status, kSorted) << Describe(result);
  EXPECT_EQ(result.out, ExpectedOutput(text, {{0, 1}, {1, -1}}));
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

// ISORT_CHUNK_BYTES cuts a small input into many chunks read in parallel.
// Quoted fields with newlines span some cuts, so the reader before such a
// cut must read on and the chunks after it must be dropped.
TEST(CsvSort, ParallelChunksGiveWhatOneReaderGives) {
  Scratch scratch;
  std::mt19937_64 random(19);
  std::string text =
      RandomCsv(random, {Column::kText, Column::kInteger, Column::kText}, 20000, false);
  // A field of 200 lines in the middle, longer than a chunk.
  std::string tall;
  for (int i = 0; i < 200; ++i) tall += "line " + std::to_string(i) + "\n,\"\"x";
  text += "a,3,\"" + tall + "\"\n";
  const std::string more =
      RandomCsv(random, {Column::kText, Column::kInteger, Column::kText}, 20000, false);
  text += more.substr(more.find('\n') + 1);  // without its header
  const std::string input = scratch.Input("chunks.csv", text);
  const std::string expected = ExpectedOutput(text, {{1, 1}, {0, -1}});
  for (const char* chunkBytes : {"1000", "4096", "65536"}) {
    SCOPED_TRACE(std::string("ISORT_CHUNK_BYTES=") + chunkBytes);
    const RunResult result =
        scratch.Run({"--by", "c2,c1:desc", "--threads", "8", input}, "",
                    {std::string("ISORT_CHUNK_BYTES=") + chunkBytes});
    ASSERT_EQ(result.status, kSorted) << Describe(result);
    EXPECT_EQ(result.out, expected);
    EXPECT_TRUE(Entries(scratch.work()).empty());
  }
}

TEST(CsvSort, StringKeysFollowTheCollationOfLcCollate) {
  locale_t english = newlocale(LC_COLLATE_MASK, "en_US.UTF-8", nullptr);
  if (english == nullptr) GTEST_SKIP() << "no en_US.UTF-8 locale here";
  Scratch scratch;
  std::mt19937_64 random(20);
  // Words of letters in both cases, where the C locale's byte order (all
  // capitals first) and English collation (a, A, b, B) disagree.
  std::string text = "word,n\n";
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 0; i < 3000; ++i) {
    std::string word;
    const int length = 1 + static_cast<int>(random() % 5);
    for (int j = 0; j < length; ++j) {
      const char letter = static_cast<char>('a' + random() % 4);
      word += random() % 2 == 0 ? letter : static_cast<char>(letter - 'a' + 'A');
    }
    const std::string line = word + "," + std::to_string(i);
    rows.emplace_back(word, line);
    text += line + "\n";
  }
  // Letters alone never tie in English collation unless they are equal, so
  // strcoll orders them as ICU's English collation does.
  std::stable_sort(rows.begin(), rows.end(), [english](const auto& a, const auto& b) {
    return strcoll_l(a.first.c_str(), b.first.c_str(), english) < 0;
  });
  freelocale(english);
  std::string expected = "word,n\n";
  for (const auto& row : rows) expected += row.second + "\n";

  const std::string input = scratch.Input("words.csv", text);
  const RunResult english_ =
      scratch.Run({"--by", "word", input}, "", {"LC_COLLATE=en_US.UTF-8"});
  ASSERT_EQ(english_.status, kSorted) << Describe(english_);
  EXPECT_EQ(english_.out, expected);
  const RunResult bytes = scratch.Run({"--by", "word", input}, "", {"LC_COLLATE=C"});
  ASSERT_EQ(bytes.status, kSorted) << Describe(bytes);
  EXPECT_EQ(bytes.out, ExpectedOutput(text, {{0, 1}}));
  EXPECT_NE(bytes.out, english_.out);
}

// ---- Bad input: the message names the file and the line, the status is 2,
// and neither an output nor a work file is left; an existing target stays.

struct BadCase {
  const char* name;
  std::string text;
  std::vector<std::string> by;  // extra arguments
  std::string where;            // ":LINE: " and the start of the message
};

const std::vector<BadCase>& BadCases() {
  static const std::vector<BadCase> cases = {
      {"unknown-name",
       "a,b\n1,2\n",
       {"--by", "a,zz"},
       ":1: no column named 'zz' in the header"},
      {"number-too-large",
       "a,b\n1,2\n",
       {"--by", "3"},
       ":1: no column 3: the header has 2 columns"},
      {"empty-key",
       "a,b\n1,2\n",
       {"--by", "a,,b"},
       ":1: --by \"a,,b\" has an empty column name"},
      {"twice-named",
       "a,a\n1,2\n",
       {"--by", "a"},
       ":1: the header names column 'a' twice"},
      {"too-few-fields",
       "a,b,c\n1,\"x\ny\",3\n4,5\n",
       {"--by", "a"},
       ":4: 2 fields, the header has 3"},
      {"too-many-fields",
       "a,b\n1,2\n3,4\n5,6,7\n",
       {"--by", "a"},
       ":4: 3 fields, the header has 2"},
      {"blank-line", "a,b\n1,2\n\n3,4\n", {"--by", "a"}, ":3: 1 field, the header has 2"},
      {"unterminated-quote",
       "a,b\n1,2\n3,\"4\n5,6\n7,8\n",
       {"--by", "a"},
       ":3: unterminated quote"},
      {"quote-in-unquoted-field",
       "a,b\n1,2\n3,4\"5\n",
       {"--by", "a"},
       ":3: malformed quoting"},
      {"text-after-closing-quote",
       "a,b\n1,\"x\ny\"z\n",
       {"--by", "a"},
       ":3: malformed quoting"},
      {"bare-carriage-return",
       "a,b\n1,2\r3,4\n",
       {"--by", "a"},
       ":2: a carriage return outside quotes"},
      {"two-carriage-returns",
       "a,b\n1,2\r\r\n3,4\n",
       {"--by", "a"},
       ":2: a carriage return outside quotes"},
      {"carriage-returns-alone",
       "a\n1\n\r\r\n2\n",
       {"--by", "a"},
       ":3: a carriage return outside quotes"},
      {"empty-input", "", {"--by", "a"}, ":1: empty input: no header row"},
  };
  return cases;
}

TEST(CsvSortBadInput, EachCaseNamesFileAndLineAndLeavesNothing) {
  for (const BadCase& bad : BadCases()) {
    SCOPED_TRACE(bad.name);
    Scratch scratch;
    const std::string input = scratch.Input("data.csv", bad.text);
    const std::string target = scratch.data() + "/sorted.csv";
    std::vector<std::string> args = bad.by;
    args.insert(args.end(), {"--tmpdir", scratch.work(), "-o", target, input});
    const RunResult result = scratch.Run(args);
    EXPECT_EQ(result.status, kBadInput);
    EXPECT_EQ(result.err.rfind("isort: " + input + bad.where, 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(Entries(scratch.data()), std::set<std::string>{"data.csv"});
    EXPECT_TRUE(Entries(scratch.work()).empty());

    // An existing target is left as it was.
    WriteFile(target, "keep me\n");
    const RunResult again = scratch.Run(args);
    EXPECT_EQ(again.status, kBadInput);
    EXPECT_EQ(ReadFile(target), "keep me\n");
    EXPECT_EQ(Entries(scratch.data()), (std::set<std::string>{"data.csv", "sorted.csv"}));
    EXPECT_TRUE(Entries(scratch.work()).empty());
  }
}

TEST(CsvSortBadInput, StandardInputIsNamedSo) {
  Scratch scratch;
  const RunResult result = scratch.Run({"--by", "a"}, "a,b\n1\n");
  EXPECT_EQ(result.status, kBadInput);
  EXPECT_EQ(result.err, "isort: standard input:2: 1 field, the header has 2\n");
  EXPECT_TRUE(result.out.empty());
}

// The line of a fault deep in a later chunk counts every line before it,
// multi-line fields included; a chunk cut inside a quoted field reports no
// fault of its own.
TEST(CsvSortBadInput, LinesCountAcrossParallelChunks) {
  Scratch scratch;
  std::string text = "a,b\n";
  std::uint64_t line = 1;
  for (int i = 0; i < 5000; ++i) {
    if (i % 7 == 0) {
      // A quoted field whose second line, read on its own, is malformed.
      text += std::to_string(i) + ",\"x\ny\"\"z\"\n";
      line += 2;
    } else {
      text += std::to_string(i) + ",v\n";
      line += 1;
    }
  }
  text += "1,2,3\n";
  const std::uint64_t faultLine = line + 1;
  text += "4,5\n";
  const std::string input = scratch.Input("deep.csv", text);
  for (const char* chunkBytes : {"997", "5000", "100000000"}) {
    SCOPED_TRACE(chunkBytes);
    const RunResult result =
        scratch.Run({"--by", "a", "--threads", "8", input}, "",
                    {std::string("ISORT_CHUNK_BYTES=") + chunkBytes});
    EXPECT_EQ(result.status, kBadInput);
    EXPECT_EQ(result.err, "isort: " + input + ":" + std::to_string(faultLine) +
                              ": 3 fields, the header has 2\n");
  }
}

// ---- Failures outside the input's text: status 3, the file and the
// system's reason, nothing left behind.

TEST(CsvSortCannotSort, AMissingInput) {
  Scratch scratch;
  const std::string missing = scratch.data() + "/absent.csv";
  const RunResult result = scratch.Run({"-o", scratch.data() + "/out.csv", missing});
  EXPECT_EQ(result.status, kCannotSort);
  EXPECT_EQ(result.err,
            "isort: cannot open " + missing + ": No such file or directory\n");
  EXPECT_TRUE(Entries(scratch.data()).empty());
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

TEST(CsvSortCannotSort, AnInputThatIsADirectory) {
  Scratch scratch;
  const RunResult result = scratch.Run({scratch.data()});
  EXPECT_EQ(result.status, kCannotSort);
  EXPECT_EQ(result.err, "isort: cannot read " + scratch.data() + ": Is a directory\n");
}

TEST(CsvSortCannotSort, AnOutputDirectoryThatDoesNotExist) {
  Scratch scratch;
  const std::string input = scratch.Input("in.csv", "a\n2\n1\n");
  const std::string target = scratch.data() + "/no/such/dir/out.csv";
  const RunResult result = scratch.Run({"-o", target, input});
  EXPECT_EQ(result.status, kCannotSort);
  EXPECT_EQ(result.err,
            "isort: cannot create " + target + ": No such file or directory\n");
  EXPECT_EQ(Entries(scratch.data()), std::set<std::string>{"in.csv"});
}

TEST(CsvSortCannotSort, ATmpdirThatDoesNotExist) {
  Scratch scratch;
  const std::string input = scratch.Input("in.csv", "a\n2\n1\n");
  const std::string target = scratch.data() + "/out.csv";
  const std::string tmpdir = scratch.work() + "/missing";
  const RunResult result = scratch.Run({"--tmpdir", tmpdir, "-o", target, input});
  EXPECT_EQ(result.status, kCannotSort);
  EXPECT_EQ(result.err, "isort: cannot create a work file in " + tmpdir +
                            ": No such file or directory\n");
  EXPECT_EQ(Entries(scratch.data()), std::set<std::string>{"in.csv"});
}

TEST(CsvSortCannotSort, AnOutputThatIsADirectory) {
  Scratch scratch;
  const std::string input = scratch.Input("in.csv", "a\n2\n1\n");
  const RunResult result = scratch.Run({"-o", scratch.work(), input});
  EXPECT_EQ(result.status, kCannotSort);
  EXPECT_EQ(result.err, "isort: cannot write " + scratch.work() + ": Is a directory\n");
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

TEST(CsvSortCannotSort, AnOutputThatCannotBeWritten) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  Scratch scratch;
  std::mt19937_64 random(21);
  // More than one 4 MiB buffer, so that the writing thread meets the error.
  const std::string input =
      scratch.Input("in.csv", RandomCsv(random, kMixedColumns, 200000, false));
  const RunResult result = scratch.Run({"--by", "c1", input}, "", {}, "/dev/full");
  EXPECT_EQ(result.status, kCannotSort);
  EXPECT_EQ(result.err, "isort: cannot write standard output: No space left on device\n");
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

// A run killed while it reads leaves no output, no name beside the target
// and no work file: every file it made so far has no name.
TEST(CsvSortCannotSort, AKilledRunLeavesNothing) {
  Scratch scratch;
  const std::string fifo = scratch.io() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = scratch.data() + "/out.csv";
  WriteFile(target, "old\n");
  const pid_t child = scratch.Start({"--by", "a", "-o", target, "-"}, {}, fifo);
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  std::string rows = "a,b\n";
  for (int i = 0; i < 200000; ++i) rows += std::to_string(i % 977) + ",row\n";
  ASSERT_EQ(::write(writer, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
  // isort now waits for more input, with its spool and output open.
  ::usleep(300000);
  ::kill(child, SIGKILL);
  EXPECT_EQ(Scratch::Wait(child), 128 + SIGKILL);
  ::close(writer);
  EXPECT_EQ(ReadFile(target), "old\n");
  EXPECT_EQ(Entries(scratch.data()), std::set<std::string>{"out.csv"});
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

}  // namespace
}  // namespace isort::testing
