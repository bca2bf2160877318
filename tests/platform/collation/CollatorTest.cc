// Tests of the string collator: byte order in the C locale, ICU's collation
// with byte order breaking its ties in en_US.UTF-8, copies on several threads,
// and the translation of locale names into ICU ids. A test that changes the
// process's collation locale puts it back.
#include <gtest/gtest.h>
#include <unicode/ucol.h>

#include <algorithm>
#include <clocale>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "collation/LocaleId.h"
#include "vorn/Collator.h"

namespace {

// Switches LC_COLLATE for the scope.
class CollateLocale {
 public:
  CollateLocale() : saved_(std::setlocale(LC_COLLATE, nullptr)) {}
  ~CollateLocale() { std::setlocale(LC_COLLATE, saved_.c_str()); }
  // False when the system does not have the locale.
  bool Switch(const char* name) { return std::setlocale(LC_COLLATE, name) != nullptr; }

 private:
  const std::string saved_;
};

int Sign(int value) { return (value > 0) - (value < 0); }

// The sign of the collator's answer for a and b, each stored with a byte
// after it that the collator must not look at.
int Compare(const VORNMBCollator& collator, const std::string& a, const std::string& b) {
  const std::string storedA = a + 'X', storedB = b + 'Y';
  return Sign(collator.Compare(storedA.data(), static_cast<int>(a.size()), storedB.data(),
                               static_cast<int>(b.size())));
}

// Distinct strings in byte order, of a few pieces: bytes that make shared prefixes, NUL,
// blanks and high bytes common; letters in both cases; é composed and
// decomposed, ß and "ss"; ill-formed UTF-8 (stray continuation, truncated
// sequence, surrogate, overlong form, 0xFF). Half are blank-padded fields of
// 10 bytes, which may cut a sequence short.
std::vector<std::string> RandomStrings(std::size_t count) {
  static const std::vector<std::string> kPieces = {
      std::string(1, '\0'), " ", "a", "A", "b", "B", "e", "E", "z", "\x7f", "\x80",
      "\xc3", "\xa9", "\xff", "\xc3\xa9", "\xc3\x89", "e\xcc\x81", "\xc3\x9f", "ss",
      "\xed\xa0\x80", "\xc0\xaf"};
  std::mt19937 random(12345);
  std::set<std::string> strings;
  while (strings.size() < count) {
    std::string text;
    for (int i = random() % 6; i > 0; --i) text += kPieces[random() % kPieces.size()];
    if (random() % 2 != 0) text.resize(10, ' ');
    strings.insert(text);
  }
  return {strings.begin(), strings.end()};
}

// Checks that the collator orders `strings` (distinct, in byte order)
// totally: after sorting by it, each string compares 0 with itself, below
// every later one and above every earlier one (which a cycle would break).
// With `byBytes` the sorted order must be the byte order it came in.
void ExpectTotalOrder(const VORNMBCollator& collator, std::vector<std::string> strings,
                      bool byBytes) {
  const std::vector<std::string> byteOrder = strings;
  std::stable_sort(strings.begin(), strings.end(), [&](const auto& a, const auto& b) {
    return Compare(collator, a, b) < 0;
  });
  int breaches = 0;
  for (std::size_t i = 0; i < strings.size(); ++i) {
    breaches += Compare(collator, strings[i], strings[i]) != 0;
    for (std::size_t j = i + 1; j < strings.size(); ++j) {
      breaches += Compare(collator, strings[i], strings[j]) != -1 ||
                  Compare(collator, strings[j], strings[i]) != 1;
    }
  }
  EXPECT_EQ(breaches, 0);
  EXPECT_TRUE(strings == byteOrder || !byBytes) << "not byte order";
}

TEST(Collator, EveryNameOfTheCLocaleGivesByteOrder) {
  const std::vector<std::string> strings = RandomStrings(300);
  for (const char* name : {"C", "POSIX", "C.UTF-8"}) {
    CollateLocale locale;
    if (!locale.Switch(name)) continue;  // C.UTF-8 is not everywhere
    SCOPED_TRACE(name);
    VORNMBCollator collator;
    collator.Init();
    ExpectTotalOrder(collator, strings, true);
  }
}

class EnglishCollation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!locale_.Switch("en_US.UTF-8") && !locale_.Switch("en_US.utf8")) {
      GTEST_SKIP() << "the en_US.UTF-8 locale is not installed (scripts/setup makes it)";
    }
    collator_.Init();
  }

  CollateLocale locale_;
  VORNMBCollator collator_;
};

// Letters before case, accents near their base letter; the blanks that pad a
// field do not outweigh an accent (a field with a two-byte letter has one
// blank fewer) but still tell fields apart.
TEST_F(EnglishCollation, OrdersWordsAsTheLanguageDoes) {
  const std::vector<std::vector<std::string>> ascending = {
      {"apple     ", "Apple     ", "Banana    ", "cherry    "},
      {"e ", "\xc3\xa9", "f "},
      {"\xc3\x89" "clair   ", "resume  ", "r\xc3\xa9sum\xc3\xa9", "resumes ", "zebra"},
      {"e   ", "\xc3\xa9  ", "ne  ", "n\xc3\xa9 "},
      {"ab", "ab  ", "abc "}};
  for (const auto& words : ascending) {
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
      EXPECT_EQ(Compare(collator_, words[i], words[i + 1]), -1)
          << words[i] << words[i + 1];
    }
  }
}

// Pairs that ICU itself calls equal (canonically equivalent spellings,
// ill-formed bytes read as U+FFFD, an ignorable NUL) still differ, by bytes.
TEST_F(EnglishCollation, IcuTiesAreBrokenByByteOrder) {
  const std::vector<std::pair<std::string, std::string>> ties = {
      {"\xc3\xa9", "e\xcc\x81"}, {"\xfe", "\xff"}, {"a\x80z", "a\xbfz"},
      {"a", std::string("a\0", 2)}};
  UErrorCode status = U_ZERO_ERROR;
  UCollator* icu = ucol_open("en_US", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  for (const auto& [a, b] : ties) {
    EXPECT_EQ(ucol_strcollUTF8(icu, a.data(), static_cast<int>(a.size()), b.data(),
                               static_cast<int>(b.size()), &status),
              UCOL_EQUAL)
        << "not a tie for ICU; the case tests nothing";
    EXPECT_EQ(Compare(collator_, a, b), Sign(a.compare(b))) << a << " / " << b;
  }
  ucol_close(icu);
}

// A total order; each thread compares with a copy of its own, as each worker
// of a sort does. Copies take the original's collation, not the process's
// current one, while Init follows the current one.
TEST_F(EnglishCollation, IsATotalOrderThatCopiesKeepOnSeveralThreads) {
  const std::vector<std::string> strings = RandomStrings(300);
  ExpectTotalOrder(collator_, strings, false);
  std::vector<int> expected;
  for (const std::string& a : strings) {
    for (const std::string& b : strings) expected.push_back(Compare(collator_, a, b));
  }
  CollateLocale byteOrder;
  ASSERT_TRUE(byteOrder.Switch("C"));
  std::vector<VORNMBCollator> copies(4, collator_);
  std::vector<std::vector<int>> results(copies.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < copies.size(); ++t) {
    threads.emplace_back([&, t] {
      for (const std::string& a : strings) {
        for (const std::string& b : strings)
          results[t].push_back(Compare(copies[t], a, b));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::vector<int>& result : results) EXPECT_TRUE(result == expected);
  collator_.Init();
  EXPECT_EQ(Compare(collator_, "apple", "Banana"), 1);
}

// How a locale name chooses the collation: byte order, an ICU id (its
// codeset dropped, a script modifier kept), or an error.
TEST(LocaleId, NamesBecomeByteOrderOrIcuIds) {
  for (const char* name : {"ca_ES.UTF-8", "CA", "POSIXLY", "en_US.UTF-8"}) {
    EXPECT_FALSE(isort::platform::IsByteOrderLocale(name)) << name;
  }
  const char* const ids[] = {  // pairs of a name and its id
      "en_US.utf8", "en_US", "de_DE.ISO-8859-15@euro", "de_DE", "eo", "eo",
      "es_419.UTF-8", "es_419", "ber_MA", "ber_MA", "sr_RS@latin", "sr_Latn_RS",
      "uz_UZ.UTF-8@cyrillic", "uz_Cyrl_UZ", "ks_IN@devanagari", "ks_Deva_IN",
      "EN_us", "en_US"};
  for (std::size_t i = 0; i < std::size(ids); i += 2) {
    EXPECT_EQ(isort::platform::IcuLocaleId(ids[i]), ids[i + 1]);
  }
  for (const char* name : {"", "/usr/lib/locale/C.utf8", "Not-A-Locale", "english", "e",
                           "en-US", "en_USA", "en_U1", "en_", "_US", "1a_US"}) {
    EXPECT_EQ(isort::platform::IcuLocaleId(name), std::nullopt) << '"' << name << '"';
  }
}

}  // namespace
