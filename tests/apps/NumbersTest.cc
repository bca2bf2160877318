// The two roads of number keys against the tests' model (CsvOracle.h): the
// codes' byte order is the exact order of the numbers, their length is what
// ReadNumber says, and where both numbers may take the double road their
// doubles order them the same way.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CsvOracle.h"
#include "Numbers.h"

namespace isort::testing {
namespace {

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

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(NumberKeys, OrderAsTheModelOnBothRoads) {
  const std::vector<std::string> texts = NumberTexts();
  struct Read {
    ModelNumber model;
    app::Number number;
    std::string code;
  };
  std::vector<Read> reads;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const auto model = ModelRead(text);
    const app::Number number = app::ReadNumber(text);
    ASSERT_TRUE(model.has_value());
    ASSERT_NE(number.kind, app::Number::Kind::kNotANumber);
    std::string code;
    app::AppendNumberCode(text, code);
    EXPECT_EQ(code.size(), number.codeBytes);
    reads.push_back({*model, number, code});
  }
  for (std::size_t i = 0; i < reads.size(); ++i) {
    for (std::size_t j = i; j < reads.size(); j += 1 + j % 7) {
      SCOPED_TRACE(texts[i] + " vs " + texts[j]);
      const int expected = ModelCompare(reads[i].model, reads[j].model);
      ASSERT_EQ(Sign(reads[i].code.compare(reads[j].code)), expected);
      if (reads[i].number.exactAsDouble && reads[j].number.exactAsDouble) {
        const double x = app::DoubleKey(reads[i].number), y = app::DoubleKey(reads[j].number);
        ASSERT_EQ((x > y) - (x < y), expected);
      }
    }
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

}  // namespace
}  // namespace isort::testing
