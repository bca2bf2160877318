// The string collator, and the translation of locale names into ICU ids.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CollateLocale.h"
#include "collation/LocaleId.h"
#include "vorn/Collator.h"

namespace {

using isort::testing::CollateLocale;
using Strings = std::vector<std::string>;

// -1, 0 or 1; each string has a byte after it that the collator must not read.
int Compare(const VORNMBCollator& collator, const std::string& a, const std::string& b) {
  const std::string storedA = a + 'X', storedB = b + 'Y';
  const int order = collator.Compare(storedA.data(), static_cast<int>(a.size()),
                                     storedB.data(), static_cast<int>(b.size()));
  return (order > 0) - (order < 0);
}

// Pairs ordered otherwise than their places: none for a total order as given.
int Breaches(const VORNMBCollator& collator, const Strings& strings) {
  int breaches = 0;
  for (std::size_t i = 0; i < strings.size(); ++i) {
    for (std::size_t j = 0; j < strings.size(); ++j) {
      breaches += Compare(collator, strings[i], strings[j]) != (i > j) - (i < j);
    }
  }
  return breaches;
}

// Distinct strings in byte order: shared prefixes, NUL, blanks, both cases, é
// composed and not, ß, ill-formed UTF-8, padding that cuts a sequence short.
Strings RandomStrings() {
  static const Strings kPieces = {
      std::string(1, '\0'), " ", "a", "A", "b", "B", "e", "E", "z", "\x7f", "\x80",
      "\xc3", "\xa9", "\xff", "\xc3\xa9", "\xc3\x89", "e\xcc\x81", "\xc3\x9f", "ss",
      "\xed\xa0\x80", "\xc0\xaf"};
  std::mt19937 random(12345);
  std::set<std::string> strings;
  while (strings.size() < 300) {
    std::string text;
    for (int i = random() % 6; i > 0; --i) text += kPieces[random() % kPieces.size()];
    if (random() % 2 != 0) text.resize(10, ' ');
    strings.insert(text);
  }
  return {strings.begin(), strings.end()};
}

TEST(Collation, EveryNameOfTheCLocaleGivesUnsignedByteOrder) {
  for (const char* name : {"C", "POSIX", "C.UTF-8"}) {
    CollateLocale locale;
    if (!locale.Switch(name)) continue;  // C.UTF-8 is not everywhere
    VORNMBCollator collator;
    collator.Init();
    EXPECT_EQ(Breaches(collator, RandomStrings()), 0) << name;
  }
}

// Letters before case, accents near their base letter, padding weaker than an
// accent, ICU's ties (canonically equivalent, ill-formed, NUL) by bytes; a
// total order that copies keep on other threads after the locale changed.
TEST(EnglishCollation, OrdersAsTheLanguageDoesOnEveryThread) {
  CollateLocale locale;
  if (!locale.Switch("en_US.UTF-8") && !locale.Switch("en_US.utf8")) {
    GTEST_SKIP() << "the en_US.UTF-8 locale is not installed (scripts/setup makes it)";
  }
  VORNMBCollator collator;
  collator.Init();
  for (const Strings& words : std::vector<Strings>{
           {"apple     ", "Apple     ", "Banana    ", "cherry    "},
           {"e ", "\xc3\xa9", "f "},
           {"\xc3\x89" "clair   ", "resume  ", "r\xc3\xa9sum\xc3\xa9", "resumes "},
           {"e   ", "\xc3\xa9  ", "ne  ", "n\xc3\xa9 "},
           {"ab", "ab  ", "abc "},
           {"e\xcc\x81", "\xc3\xa9"}, {"\xfe", "\xff"}, {"a\x80z", "a\xbfz"},
           {"a", {"a\0", 2}}}) {
    EXPECT_EQ(Breaches(collator, words), 0) << words[0];
  }
  Strings strings = RandomStrings();
  std::stable_sort(strings.begin(), strings.end(), [&](const auto& a, const auto& b) {
    return Compare(collator, a, b) < 0;
  });
  ASSERT_TRUE(locale.Switch("C"));
  std::vector<int> breaches(4, -1);
  std::vector<std::thread> threads;
  for (int& result : breaches) {
    threads.emplace_back([&, copy = collator] { result = Breaches(copy, strings); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(breaches, std::vector<int>(breaches.size(), 0));
  collator.Init();
  EXPECT_EQ(Compare(collator, "apple", "Banana"), 1);
}

// Byte order, an ICU id (its codeset dropped, a script modifier kept), or none.
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
