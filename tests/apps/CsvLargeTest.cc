// `isort sort` on 70 MB of CSV: large enough that two threads read it in two
// chunks of their own (no test hook). In one input no quoted field holds a
// newline, so the cut falls between records; in the other most bytes lie in
// quoted fields of many lines, so the cut falls inside one and the first
// reader must read the whole input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "CsvOracle.h"
#include "RunIsort.h"

namespace isort::testing {
namespace {

// About 70 MB of records "key,word,text" with texts of about 1 KB; with
// `tall` the texts are quoted and hold a newline every 30 bytes or so.
std::string LargeCsv(bool tall) {
  std::mt19937_64 random(tall ? 31 : 32);
  std::string text = "key,word,text\n";
  while (text.size() < (70u << 20)) {
    text += std::to_string(random() % 1000) + ",";
    text += random() % 10 == 0
                ? ""
                : std::string(1 + random() % 5, static_cast<char>('a' + random() % 3));
    text += tall ? ",\"" : ",";
    const std::size_t length = 900 + random() % 200;
    for (std::size_t i = 0; i < length; ++i) {
      const char c = static_cast<char>('a' + random() % 26);
      text += tall && i % 30 == 29 ? (c < 'e' ? std::string("\"\"") : std::string("\n"))
                                   : std::string(1, c);
    }
    text += tall ? "\"\n" : "\n";
  }
  return text;
}

void SortAndCompare(bool tall) {
  Scratch scratch;
  const std::string text = LargeCsv(tall);
  const std::string input = scratch.Input("large.csv", text);
  for (const char* by : {"key,word:desc", "word:desc,key"}) {
    SCOPED_TRACE(by);
    const RunResult result = scratch.Run({"--by", by, "--threads", "2", input});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<OracleKey> keys = by[0] == 'k'
                                            ? std::vector<OracleKey>{{0, 1}, {1, -1}}
                                            : std::vector<OracleKey>{{1, -1}, {0, 1}};
    EXPECT_TRUE(result.out == ExpectedOutput(text, keys));
    EXPECT_TRUE(Entries(scratch.work()).empty());
  }
}

TEST(CsvSortLarge, TwoChunksCutBetweenRecords) { SortAndCompare(false); }

TEST(CsvSortLarge, TwoChunksCutInsideAQuotedField) { SortAndCompare(true); }

}  // namespace
}  // namespace isort::testing
