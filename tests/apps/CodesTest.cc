// Text codes and row widths against models of their own: a code's byte
// order is ICU's collation then byte order of whole strings (byte order in
// the C locale), its prefix is the first bytes of the whole code however the
// code is made, and the width chosen from counted lengths is the cheapest by
// direct reckoning.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CsvOracle.h"
#include "TextOrder.h"
#include "Widths.h"

namespace isort::testing {
namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

std::string WholeCode(const app::TextOrder& order, const std::string& value) {
  std::string code;
  const std::uint64_t length =
      order.WriteCode(value, [&code](std::string_view piece) { code.append(piece); });
  EXPECT_EQ(length, code.size());
  return code;
}

// Letters that collate apart from their bytes, blanks and NUL bytes, and a
// few values long enough to be made in many pieces.
std::vector<std::string> Values() {
  static const char* const kPieces[] = {"a", "A", "b", "B", "\xC3\xA1", "e\xCC\x81", "\xC3\xA9",
                                        " ", "\xFF", "z"};
  std::mt19937_64 random(31);
  std::vector<std::string> values = {"a", "a ", "\xC3\xA1", "x", std::string("x\0", 2),
                                     std::string("\0", 1)};
  for (int i = 0; i < 400; ++i) {
    std::string value;
    for (int n = 1 + random() % 12; n > 0; --n) value += kPieces[random() % 10];
    if (i % 9 == 0) value += std::string(1, '\0');
    values.push_back(value);
  }
  const std::string longValue(300000, 'q');
  for (const char* end : {"a", "b", "A", ""}) values.push_back(longValue + end);
  return values;
}

TEST(TextCodes, OrderAsCollationThenBytesAndPrefixesAgree) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* english = ucol_open("en_US", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  const std::vector<std::string> values = Values();
  for (const bool inEnglish : {false, true}) {
    SCOPED_TRACE(inEnglish ? "en_US" : "C");
    const app::TextOrder order(inEnglish ? "en_US.UTF-8" : "C");
    OracleSettings settings;
    if (inEnglish) settings.collator = english;
    std::vector<std::string> codes;
    for (const std::string& value : values) {
      codes.push_back(WholeCode(order, value));
      for (const std::size_t limit : {8u, 24u, 1024u}) {
        std::string prefix;
        const bool longer = order.AppendPrefix(value, limit, prefix);
        ASSERT_EQ(prefix, codes.back().substr(0, limit));
        ASSERT_EQ(longer, codes.back().size() > limit);
      }
    }
    // The model: CSV rows of one column sorted by it.
    for (std::size_t i = 0; i < values.size(); ++i) {
      for (std::size_t j = i + 1; j < values.size(); j += 1 + j % 5) {
        const std::string text = "v\n\"" + values[i] + "\"\n\"" + values[j] + "\"\n";
        const bool swapped = ExpectedOutput(text, {{0, 1, 't'}}, settings) !=
                             "v\n\"" + values[i] + "\"\n\"" + values[j] + "\"\n";
        const int byCodes = Sign(codes[i].compare(codes[j]));
        ASSERT_EQ(byCodes == 0, values[i] == values[j]) << i << " " << j;
        ASSERT_EQ(byCodes > 0, swapped) << i << " " << j;
      }
    }
  }
  ucol_close(english);
}

// The cost of a width, reckoned length by length.
std::uint64_t Cost(const std::vector<std::uint64_t>& lengths, std::uint64_t width,
                   std::uint64_t limit, std::uint64_t longCost) {
  std::uint64_t cost = lengths.size() * width;
  for (std::uint64_t length : lengths) {
    if (length > width && length <= limit) cost += longCost + (length + 7) / 8 * 8;
  }
  return cost;
}

TEST(RowWidths, CheapestWidthIsTheCheapest) {
  std::mt19937_64 random(37);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t limit = 8 * (1 + random() % 64), longCost = random() % 600;
    app::LengthCounts counts(limit);
    std::vector<std::uint64_t> lengths;
    for (int n = random() % 300; n > 0; --n) {
      const std::uint64_t length = random() % 4 == 0 ? random() % (3 * limit) : random() % 40;
      counts.Add(length);
      lengths.push_back(length);
    }
    const std::uint64_t chosen = counts.CheapestWidth(longCost);
    ASSERT_EQ(chosen % 8, 0u);
    ASSERT_LE(chosen, limit);
    for (std::uint64_t width = 0; width <= limit; width += 8) {
      ASSERT_LE(Cost(lengths, chosen, limit, longCost), Cost(lengths, width, limit, longCost))
          << "limit " << limit << " width " << width << " chosen " << chosen;
    }
  }
}

}  // namespace
}  // namespace isort::testing
