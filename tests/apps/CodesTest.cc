// The command's codes and row widths against models of their own (CsvOracle.h
// and below). Number keys: the codes' byte order is the exact order of the
// numbers, their length is what ReadNumber says, and where both numbers may
// take the double road their doubles order them the same way. Text: a code's
// byte order is ICU's collation then byte order of whole strings (byte order
// in the C locale), its prefix is the first bytes of the whole code however
// the code is made. Widths: the one chosen from counted lengths is the
// cheapest by direct reckoning.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "CsvOracle.h"
#include "Numbers.h"
#include "TextOrder.h"
#include "Widths.h"

namespace isort::testing {
namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

// Numbers near the places where roads and encodings change: 15 and 16
// significant digits, 2^53, exponents at the edge of the normal range,
// zeros and signs, odd and even digit counts, blanks around them.
std::vector<std::string> NumberTexts() {
  std::vector<std::string> texts = {
      "0", "-0", "+0", "0.000", ".0", "0e5", "inf", "-INF", "+Infinity", " 7 ", "\t-7",
      "9007199254740992", "9007199254740993", "-9007199254740993", "9007199254740991.5",
      "18446744073709551615", "18446744073709551616", "1e-307", "1e-308", "9.99e307",
      "1e308", "1.7976931348623157e308", "-1.7976931348623157e308", "1e400", "-1e400",
      "1e-400", "123456789012345", "1234567890123456", "0.1", "0.10000000000000001",
      "0.1000000000000000055511151231257827", "100", "1e2", "10e1", "1000e-1", "5.", ".5"};
  std::mt19937_64 random(7);
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  for (int i = 0; i < 3000; ++i) {
    std::string digits;
    for (int d = 1 + pick(i % 3 == 0 ? 40 : 17); d > 0; --d) {
      digits += static_cast<char>('0' + (pick(3) == 0 ? 0 : pick(10)));
    }
    std::string text = (pick(3) == 0 ? "-" : pick(5) == 0 ? "+" : "") + digits;
    if (pick(2)) text.insert(text.size() - static_cast<std::size_t>(pick(static_cast<int>(digits.size()) + 1)), ".");
    if (pick(3) == 0) text += "e" + std::to_string(pick(700) - 350);
    texts.push_back(text);
  }
  return texts;
}

// In the model's order each code, and each double among the numbers that may
// take the double road, orders a number against the next one as the model
// does: byte strings and doubles are totally ordered, so then every pair does.
TEST(NumberKeys, OrderAsTheModelOnBothRoads) {
  struct Read {
    std::string text;
    ModelNumber model;
    app::Number number;
    std::string code;
  };
  std::vector<Read> reads;
  for (const std::string& text : NumberTexts()) {
    SCOPED_TRACE(text);
    const auto model = ModelRead(text);
    ASSERT_TRUE(model.has_value());
    Read read{text, *model, app::ReadNumber(text), ""};
    ASSERT_NE(read.number.kind, app::Number::Kind::kNotANumber);
    app::AppendNumberCode(text, read.code);
    EXPECT_EQ(read.code.size(), read.number.codeBytes);
    reads.push_back(read);
  }
  std::stable_sort(reads.begin(), reads.end(), [](const Read& a, const Read& b) {
    return ModelCompare(a.model, b.model) < 0;
  });
  const Read* exact = nullptr;  // the last one that may take the double road
  for (std::size_t i = 0; i < reads.size(); ++i) {
    const Read& read = reads[i];
    SCOPED_TRACE((i > 0 ? reads[i - 1].text : "") + " then " + read.text);
    if (i > 0) {
      ASSERT_EQ(Sign(reads[i - 1].code.compare(read.code)),
                ModelCompare(reads[i - 1].model, read.model));
    }
    if (!read.number.exactAsDouble) continue;
    if (exact != nullptr) {
      const double x = app::DoubleKey(exact->number), y = app::DoubleKey(read.number);
      ASSERT_EQ((x > y) - (x < y), ModelCompare(exact->model, read.model)) << exact->text;
    }
    exact = &read;
  }
}

TEST(NumberKeys, NoNumbers) {
  for (const std::string text : {"x", "1x", "1e", "e5", ".", "-", "+-1", "1..2", "0x10", "nan",
                                 "1,5", "1 2", "1e+", "--1", "infinit"}) {
    EXPECT_EQ(app::ReadNumber(text).kind, app::Number::Kind::kNotANumber) << text;
    EXPECT_FALSE(ModelRead(text).has_value()) << text;
  }
  EXPECT_EQ(app::ReadNumber(" \t").kind, app::Number::Kind::kMissing);
}

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
  ASSERT_NE(English(), nullptr);
  const std::vector<std::string> values = Values();
  for (const bool inEnglish : {false, true}) {
    SCOPED_TRACE(inEnglish ? "en_US" : "C");
    const app::TextOrder order(inEnglish ? "en_US.UTF-8" : "C");
    OracleSettings settings;
    if (inEnglish) settings.collator = English();
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
