// Tests of the components of `isort sort` on their own: number parsing, the
// record reader (fast road and libcsv road) against the test's own parser,
// the spool and the output file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CsvOracle.h"
#include "CsvReader.h"
#include "CsvRows.h"
#include "OutputFile.h"
#include "RunIsort.h"
#include "SortErrors.h"
#include "Spool.h"

namespace isort::testing {
namespace {

using app::CsvReader;
using app::CsvRecord;

void ExpectSameNumberRule(const std::string& text) {
  double ours = 0;
  double theirs = 0;
  const bool accepted = app::ParseNumber(text, &ours);
  ASSERT_EQ(accepted, OracleNumber(text, &theirs)) << "'" << text << "'";
  if (accepted) {
    EXPECT_EQ(std::memcmp(&ours, &theirs, sizeof ours), 0)
        << "'" << text << "': " << ours << " against " << theirs;
  }
}

TEST(ParseNumber, AgreesWithTheRuleOnEdgeCases) {
  for (const char* text : {"",
                           " ",
                           "\t",
                           "0",
                           "-0",
                           "+0",
                           "1",
                           "-1",
                           "+1",
                           "1.",
                           ".5",
                           "-.5",
                           "+.5",
                           ".",
                           "-",
                           "+",
                           "+-1",
                           "-+1",
                           "1e5",
                           "1E5",
                           "1e+5",
                           "1e-5",
                           "1e",
                           "1e+",
                           "e5",
                           "1.5e3",
                           " 7 ",
                           "\t7\t",
                           "7 8",
                           "nan",
                           "NaN",
                           "inf",
                           "-inf",
                           "infinity",
                           "0x10",
                           "0x1p3",
                           "1e400",
                           "-1e400",
                           "1e-400",
                           "4.9e-324",
                           "1.7976931348623157e308",
                           "-1.7976931348623157e308",
                           "9007199254740992",
                           "9007199254740993",
                           "0.1",
                           "0.30000000000000004",
                           "123456789012345678901234567890",
                           "00012",
                           "1,5",
                           "1_000",
                           "12abc",
                           "--1",
                           "1..2",
                           "0.0000000000000000000001",
                           "0.00000000000000000000001"}) {
    ExpectSameNumberRule(text);
  }
}

TEST(ParseNumber, AgreesWithTheRuleOnRandomDecimals) {
  std::mt19937_64 random(1);
  const std::string alphabet = "0123456789.+-eE \tx";
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      // Digit strings of every length around the 2^53 and 19-digit limits.
      const int digits = 1 + static_cast<int>(random() % 24);
      for (int d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
      const int point = static_cast<int>(random() % (digits + 2)) - 1;
      if (point >= 0 && point <= digits)
        text.insert(static_cast<std::size_t>(point), ".");
      if (random() % 4 == 0) text.insert(0, random() % 2 == 0 ? "-" : "+");
    } else {
      const int length = static_cast<int>(random() % 9);
      for (int c = 0; c < length; ++c) text += alphabet[random() % alphabet.size()];
    }
    ExpectSameNumberRule(text);
  }
}

// A file holding `text`, open for reading.
class TextFile {
 public:
  TextFile(const Scratch& scratch, const std::string& text)
      : path_(scratch.Input("reader.csv", text)),
        descriptor_(::open(path_.c_str(), O_RDONLY)) {}
  ~TextFile() { ::close(descriptor_); }
  int descriptor() const { return descriptor_; }

 private:
  std::string path_;
  int descriptor_;
};

// Reads every record of `text` with every column reported, starting at
// byte `start` (kNoEnd: the descriptor's own reading).
std::vector<CsvRow> ReadAll(const Scratch& scratch, const std::string& text,
                            std::uint64_t start = CsvReader::kNoEnd) {
  TextFile file(scratch, text);
  CsvReader reader(file.descriptor(), "reader.csv", start);
  std::vector<CsvRow> rows;
  CsvRecord record;
  while (reader.Next(&record)) {
    CsvRow row;
    row.raw = std::string(record.raw);
    row.line = record.line;
    for (std::size_t f = 0; f < record.fields; ++f)
      row.fields.emplace_back(record.values[f]);
    rows.push_back(row);
  }
  EXPECT_EQ(reader.bytesRead(), text.size() - (start == CsvReader::kNoEnd ? 0 : start));
  return rows;
}

void ExpectSameRows(const std::vector<CsvRow>& ours, const std::vector<CsvRow>& theirs) {
  ASSERT_EQ(ours.size(), theirs.size());
  for (std::size_t i = 0; i < ours.size(); ++i) {
    ASSERT_EQ(ours[i].raw, theirs[i].raw) << "record " << i;
    ASSERT_EQ(ours[i].fields, theirs[i].fields) << "record " << i;
    ASSERT_EQ(ours[i].line, theirs[i].line) << "record " << i;
  }
}

TEST(CsvReader, RecordsFieldsAndLinesMatchTheOraclesParser) {
  Scratch scratch;
  std::mt19937_64 random(2);
  for (const bool crlf : {false, true}) {
    for (const bool finalLineEnd : {false, true}) {
      const std::string text = RandomCsv(
          random, {Column::kText, Column::kDecimal, Column::kText, Column::kWord}, 5000,
          crlf, finalLineEnd);
      ExpectSameRows(ReadAll(scratch, text), ParseCsv(text));
    }
  }
}

TEST(CsvReader, RecordsLongerThanItsBufferAndRecordsAcrossRefills) {
  Scratch scratch;
  std::mt19937_64 random(3);
  std::string text = RandomCsv(random, {Column::kText, Column::kWord}, 100000, false);
  // A 9 MB quoted field of many lines, beyond the 4 MiB reads, and an
  // unquoted record of 6 MB.
  std::string tall;
  for (int i = 0; i < 300000; ++i) tall += "line, \"\"quoted\"\"\n";
  text += "\"" + tall + "\",x\n" + std::string(6000000, 'u') + ",y\n";
  text += RandomCsv(random, {Column::kText, Column::kWord}, 100000, false).substr(6);
  ExpectSameRows(ReadAll(scratch, text), ParseCsv(text));
}

TEST(CsvReader, SelectedColumnsComeInSelectionOrder) {
  Scratch scratch;
  std::mt19937_64 random(4);
  const std::string text =
      RandomCsv(random, {Column::kText, Column::kWord, Column::kText}, 3000, true);
  const std::vector<CsvRow> expected = ParseCsv(text);
  TextFile file(scratch, text);
  CsvReader reader(file.descriptor(), "reader.csv");
  CsvRecord record;
  ASSERT_TRUE(reader.Next(&record));
  reader.Select({2, 0});
  std::size_t i = 1;
  while (reader.Next(&record)) {
    ASSERT_LT(i, expected.size());
    EXPECT_EQ(record.fields, 3u);
    EXPECT_EQ(record.values[0], expected[i].fields[2]) << "record " << i;
    EXPECT_EQ(record.values[1], expected[i].fields[0]) << "record " << i;
    ++i;
  }
  EXPECT_EQ(i, expected.size());
}

TEST(CsvReader, ASoftEndStopsAtTheFirstRecordBoundaryAtOrAfterIt) {
  Scratch scratch;
  const std::string text = "h\nab\n\"c\nd\"\ne\n";
  //                        0  2   5       11 13
  TextFile file(scratch, text);
  CsvRecord record;
  {
    CsvReader reader(file.descriptor(), "reader.csv", 0);
    reader.SetSoftEnd(6);  // inside the quoted field: stops after it
    std::vector<std::string> raws;
    while (reader.Next(&record)) raws.emplace_back(record.raw);
    EXPECT_EQ(raws, (std::vector<std::string>{"h", "ab", "\"c\nd\""}));
    EXPECT_TRUE(reader.AtSoftEnd());
    EXPECT_EQ(reader.position(), 11u);
    EXPECT_EQ(reader.lines(), 4u);
  }
  {
    CsvReader reader(file.descriptor(), "reader.csv", 5);
    reader.SetSoftEnd(11);
    ASSERT_TRUE(reader.Next(&record));
    EXPECT_EQ(record.raw, "\"c\nd\"");
    EXPECT_EQ(record.values[0], "c\nd");
    EXPECT_FALSE(reader.Next(&record));
    EXPECT_TRUE(reader.AtSoftEnd());
    EXPECT_EQ(reader.position(), 11u);
  }
  // The tail read from a record boundary is the tail of the whole.
  const std::vector<CsvRow> tail = ReadAll(scratch, text, 11);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].raw, "e");
}

TEST(CsvReader, MalformedInputNamesTheLine) {
  Scratch scratch;
  struct Case {
    std::string text;
    std::uint64_t line;
  };
  for (const Case& bad :
       {Case{"a\n\"x\ny\"z\n", 3}, Case{"a\nb\"\n", 2}, Case{"a\n\"b\nc\n", 2},
        Case{"a\nb\rc\n", 2}, Case{"a\n\"x\" \n", 2}, Case{"a\nb\r\r\n", 2},
        Case{"a\n\r\nb\n\r\r\nc\n", 4}}) {
    TextFile file(scratch, bad.text);
    CsvReader reader(file.descriptor(), "reader.csv");
    CsvRecord record;
    try {
      while (reader.Next(&record)) {
      }
      ADD_FAILURE() << "no error in '" << bad.text << "'";
    } catch (const app::BadInput& error) {
      EXPECT_EQ(error.line, bad.line) << bad.text << ": " << error.what();
    }
  }
}

TEST(Spool, GivesBackWhatWasAdded) {
  Scratch scratch;
  std::mt19937_64 random(5);
  struct Added {
    std::string raw;
    std::vector<std::string> values;
    std::vector<double> numbers;
  };
  std::vector<Added> added;
  app::Spool spool(scratch.work(), 3);
  for (int i = 0; i < 50000; ++i) {
    Added record;
    const std::size_t length =
        i == 777 ? (5u << 20) : random() % 60;  // one beyond the buffer
    for (std::size_t c = 0; c < length; ++c)
      record.raw += static_cast<char>('a' + random() % 26);
    std::string inlineValues[3];
    std::string_view views[3];
    for (int k = 0; k < 3; ++k) {
      if (k == 1 || record.raw.empty()) {
        // A value that is not a slice of the record, as a quoted one.
        inlineValues[k] = std::to_string(random());
        views[k] = inlineValues[k];
      } else {
        const std::size_t from = random() % record.raw.size();
        views[k] = std::string_view(record.raw)
                       .substr(from, random() % (record.raw.size() - from + 1));
      }
      record.values.emplace_back(views[k]);
      record.numbers.push_back(k == 2 ? std::nan("")
                                      : static_cast<double>(random() % 1000) / 8);
    }
    spool.Add(record.raw, views, record.numbers.data());
    added.push_back(record);
  }
  spool.Rewind();
  app::SpoolRecord back;
  for (std::size_t i = 0; i < added.size(); ++i) {
    ASSERT_TRUE(spool.Next(&back)) << i;
    ASSERT_EQ(back.raw, added[i].raw) << i;
    for (std::size_t k = 0; k < 3; ++k) {
      ASSERT_EQ(back.Value(k), added[i].values[k]) << i;
      if (k == 2) {
        EXPECT_TRUE(std::isnan(back.keys[k].number));
      } else {
        EXPECT_EQ(back.keys[k].number, added[i].numbers[k]);
      }
    }
  }
  EXPECT_FALSE(spool.Next(&back));
  EXPECT_TRUE(Entries(scratch.work()).empty());
}

TEST(OutputFile, AppearsWholeOnCommitAndNotAtAllWithout) {
  Scratch scratch;
  const std::string target = scratch.data() + "/out.csv";
  std::string expected;
  for (int i = 0; i < 400000; ++i)
    expected += "row " + std::to_string(i) + ",some bytes\n";
  expected += std::string(9u << 20, 'w');  // one write larger than a buffer
  expected += "end\n";
  {
    app::OutputFile output(target);
    output.Write(expected.substr(0, expected.size() / 2));
    // Nothing named appears while it is written.
    EXPECT_TRUE(Entries(scratch.data()).empty());
  }
  EXPECT_TRUE(Entries(scratch.data()).empty());
  {
    app::OutputFile output(target);
    std::size_t at = 0;
    while (at < expected.size()) {
      const std::size_t piece =
          std::min<std::size_t>(expected.size() - at, at % 7 == 0 ? 10u << 20 : 37);
      output.Write(std::string_view(expected).substr(at, piece));
      at += piece;
    }
    EXPECT_FALSE(Exists(target));
    output.Commit();
  }
  EXPECT_EQ(ReadFile(target), expected);
  EXPECT_EQ(Entries(scratch.data()), std::set<std::string>{"out.csv"});
}

}  // namespace
}  // namespace isort::testing
