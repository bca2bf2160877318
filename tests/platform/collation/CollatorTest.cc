// Tests of the string collator in the C locale (byte order) and in
// en_US.UTF-8 (ICU's collation, byte order breaking its ties). Every test
// that changes the process's collation locale puts it back.
#include <gtest/gtest.h>
#include <unicode/ucol.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "vorn/Collator.h"
#include "vorn/Errors.h"

namespace {

// Switches LC_COLLATE and puts back the locale it found when it goes.
class CollateLocale {
 public:
  CollateLocale() : saved_(std::setlocale(LC_COLLATE, nullptr)) {}
  ~CollateLocale() { std::setlocale(LC_COLLATE, saved_.c_str()); }
  CollateLocale(const CollateLocale&) = delete;
  CollateLocale& operator=(const CollateLocale&) = delete;

  // False when the system does not have the locale.
  bool Switch(const char* name) { return std::setlocale(LC_COLLATE, name) != nullptr; }

 private:
  const std::string saved_;
};

// Sets an environment variable and puts back its old value when it goes.
class EnvironmentVariable {
 public:
  EnvironmentVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvironmentVariable() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvironmentVariable(const EnvironmentVariable&) = delete;
  EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

int Compare(const VORNMBCollator& collator, std::string_view a, std::string_view b) {
  return collator.Compare(a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size()));
}

int Sign(int value) { return (value > 0) - (value < 0); }

// `text` blank-padded to a fixed-width field, as string keys arrive.
std::string Field(std::string_view text, std::size_t width = 12) {
  std::string field(text);
  field.resize(std::max(width, field.size()), ' ');
  return field;
}

// Unsigned byte order with a proper prefix first, computed independently of
// the collator.
int ByteOrder(std::string_view a, std::string_view b) {
  const bool less = std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
      });
  if (less) return -1;
  return a == b ? 0 : 1;
}

// Strings of a few bytes from an alphabet that makes shared prefixes, equal
// strings, NUL, blanks and bytes above 0x7F common.
std::string RandomBytes(std::mt19937& random) {
  static const char kAlphabet[] = {'\0',   ' ',    'a',    'b',    'B',
                                   '\x7f', '\x80', '\xc3', '\xa9', '\xff'};
  std::uniform_int_distribution<int> length(0, 6);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 1);
  std::string text(static_cast<std::size_t>(length(random)), ' ');
  for (char& c : text) c = kAlphabet[pick(random)];
  return text;
}

// Text in blank-padded fields: letters in both cases, accented letters in
// composed and decomposed form, and ill-formed UTF-8 (a stray continuation
// byte, a truncated sequence, an encoded surrogate, an overlong form, 0xFF).
std::string RandomText(std::mt19937& random) {
  static const std::vector<std::string> kPieces = {
      // letters in both cases, a blank, NUL
      "a", "A", "b", "B", "e", "E", "z", " ", std::string(1, '\0'),
      // é, É, e with a combining acute accent, ß and its expansion
      "\xc3\xa9", "\xc3\x89", "e\xcc\x81", "\xc3\x9f", "ss",
      // ill-formed: stray continuation, truncated, surrogate, overlong, 0xFF
      "\x80", "\xc3", "\xed\xa0\x80", "\xc0\xaf", "\xff"};
  std::uniform_int_distribution<int> count(0, 5);
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
  std::string text;
  for (int i = count(random); i > 0; --i) text += kPieces[pick(random)];
  text = Field(text, 10);
  text.resize(10);  // a field may cut a sequence short
  return text;
}

template <typename Generator>
std::vector<std::string> DistinctStrings(std::size_t count, Generator generate) {
  std::mt19937 random(12345);
  std::set<std::string> strings;
  for (std::size_t tries = 0; strings.size() < count && tries < 50 * count; ++tries) {
    strings.insert(generate(random));
  }
  return {strings.begin(), strings.end()};
}

// Checks that the collator orders `strings` (all distinct) as a total order:
// each compares 0 with an equal copy of itself, two distinct strings never
// compare 0, swapping the arguments flips the sign, and after sorting, every
// earlier string compares below every later one (which fails if the order
// has a cycle, i.e. is not transitive).
void ExpectTotalOrder(const VORNMBCollator& collator, std::vector<std::string> strings) {
  int breaches = 0;
  std::string example;
  auto breach = [&](const std::string& what) {
    if (breaches++ == 0) example = what;
  };
  for (std::size_t i = 0; i < strings.size(); ++i) {
    const std::string copy = strings[i];  // same bytes, other address
    if (Compare(collator, strings[i], copy) != 0) breach("not 0 with itself: " + copy);
    for (std::size_t j = i + 1; j < strings.size(); ++j) {
      const int forward = Compare(collator, strings[i], strings[j]);
      const int backward = Compare(collator, strings[j], strings[i]);
      if (forward == 0)
        breach("distinct strings equal: " + strings[i] + " / " + strings[j]);
      if (Sign(forward) != -Sign(backward)) breach("not antisymmetric: " + strings[i]);
    }
  }
  std::sort(strings.begin(), strings.end(),
            [&](const std::string& a, const std::string& b) {
              return Compare(collator, a, b) < 0;
            });
  for (std::size_t i = 0; i < strings.size(); ++i) {
    for (std::size_t j = i + 1; j < strings.size(); ++j) {
      if (Compare(collator, strings[i], strings[j]) >= 0) {
        breach("not transitive around: " + strings[i] + " / " + strings[j]);
      }
    }
  }
  EXPECT_EQ(breaches, 0) << "first: " << example;
}

// ---------------------------------------------------------------- C locale

class ByteCollation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(locale_.Switch("C"));
    collator_.Init();
  }

  CollateLocale locale_;
  VORNMBCollator collator_;
};

TEST_F(ByteCollation, HighBytesAfterAscii) {
  EXPECT_LT(Compare(collator_, "z", "\x80"), 0);
  EXPECT_GT(Compare(collator_, "\xff", "\x7f"), 0);
  EXPECT_GT(Compare(collator_, "\xc3\xa9", "f"), 0);    // é after f: no language rules
  EXPECT_LT(Compare(collator_, "Banana", "apple"), 0);  // upper case first
}

TEST_F(ByteCollation, NulBeforeBlank) {
  EXPECT_LT(Compare(collator_, std::string(1, '\0'), " "), 0);
  EXPECT_LT(Compare(collator_, std::string("a\0b", 3), "a b"), 0);
  EXPECT_GT(Compare(collator_, " ", std::string(1, '\0')), 0);
}

TEST_F(ByteCollation, PrefixFirstAndEqualIsZero) {
  EXPECT_LT(Compare(collator_, "ab", "abc"), 0);
  EXPECT_GT(Compare(collator_, "abc", "ab"), 0);
  EXPECT_EQ(Compare(collator_, Field("abc"), Field("abc")), 0);
  EXPECT_EQ(Compare(collator_, "", ""), 0);
  EXPECT_LT(Compare(collator_, "", std::string(1, '\0')), 0);
}

TEST_F(ByteCollation, LooksOnlyAtTheGivenLengths) {
  const char a[] = "abcX";
  const char b[] = "abcY";
  EXPECT_EQ(collator_.Compare(a, 3, b, 3), 0);
  EXPECT_LT(collator_.Compare(a, 4, b, 4), 0);
}

TEST_F(ByteCollation, AgreesWithUnsignedByteOrder) {
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    const std::string a = RandomBytes(random);
    const std::string b = RandomBytes(random);
    ASSERT_EQ(Sign(Compare(collator_, a, b)), ByteOrder(a, b))
        << "a has " << a.size() << " bytes, b " << b.size();
  }
}

TEST_F(ByteCollation, IsATotalOrder) {
  ExpectTotalOrder(collator_, DistinctStrings(300, RandomBytes));
}

TEST(ByteCollationNames, EveryNameOfTheCLocaleGivesByteOrder) {
  for (const char* name : {"C", "POSIX", "C.UTF-8"}) {
    SCOPED_TRACE(name);
    CollateLocale locale;
    if (!locale.Switch(name)) continue;  // C.UTF-8 is not everywhere
    VORNMBCollator collator;
    collator.Init();
    EXPECT_GT(Compare(collator, "\xc3\xa9", "f"), 0);
    EXPECT_LT(Compare(collator, "Banana", "apple"), 0);
  }
}

// ------------------------------------------------------------ en_US.UTF-8

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

TEST_F(EnglishCollation, LettersBeforeCase) {
  EXPECT_LT(Compare(collator_, Field("apple"), Field("Banana")), 0);
  EXPECT_LT(Compare(collator_, Field("Banana"), Field("cherry")), 0);
  EXPECT_LT(Compare(collator_, Field("apple"), Field("cherry")), 0);
  EXPECT_GT(Compare(collator_, Field("cherry"), Field("Banana")), 0);
  // Case decides only between otherwise equal words: lower case first.
  EXPECT_LT(Compare(collator_, Field("apple"), Field("Apple")), 0);
  EXPECT_NE(Compare(collator_, "a", "A"), 0);
}

TEST_F(EnglishCollation, AccentedLettersNearTheirBaseLetter) {
  EXPECT_LT(Compare(collator_, Field("e"), Field("\xc3\xa9")), 0);  // e < é
  EXPECT_LT(Compare(collator_, Field("\xc3\xa9"), Field("f")), 0);  // é < f
  EXPECT_LT(Compare(collator_, Field("resume"), Field("r\xc3\xa9sum\xc3\xa9")), 0);
  EXPECT_LT(Compare(collator_, Field("r\xc3\xa9sum\xc3\xa9"), Field("resumes")), 0);
  EXPECT_LT(Compare(collator_,
                    Field("\xc3\x89"
                          "clair"),
                    Field("zebra")),
            0);  // Éclair < zebra
}

TEST_F(EnglishCollation, LooksOnlyAtTheGivenLengths) {
  const char a[] = "abcX";
  const char b[] = "abcY";
  EXPECT_EQ(collator_.Compare(a, 3, b, 3), 0);
  EXPECT_LT(collator_.Compare(a, 4, b, 4), 0);
  EXPECT_LT(collator_.Compare(a, 3, b, 4), 0);
}

TEST_F(EnglishCollation, BlankPaddedShorterWordFirst) {
  EXPECT_LT(Compare(collator_, Field("ab"), Field("abc")), 0);
  EXPECT_EQ(Compare(collator_, Field("abc"), Field("abc")), 0);
}

// A field with a two-byte letter has one blank fewer than a field with its
// base letter; the padding must not decide the order.
TEST_F(EnglishCollation, PaddingDoesNotOutweighAnAccent) {
  EXPECT_LT(Compare(collator_, "e   ", "\xc3\xa9  "), 0);  // e < é
  EXPECT_LT(Compare(collator_, "ne  ", "n\xc3\xa9 "), 0);  // ne < né
  // The blanks still tell fields apart: the shorter field first, by bytes.
  EXPECT_LT(Compare(collator_, "ab", "ab  "), 0);
  EXPECT_GT(Compare(collator_, "ab  ", "ab"), 0);
}

// Pairs that ICU itself calls equal: canonically equivalent spellings,
// different ill-formed bytes (both read as U+FFFD), an ignorable NUL. The
// collator must still tell them apart, by byte order.
TEST_F(EnglishCollation, IcuTiesAreBrokenByByteOrder) {
  const std::vector<std::pair<std::string, std::string>> ties = {
      {"\xc3\xa9", "e\xcc\x81"},
      {"\xfe", "\xff"},
      {"a\x80z", "a\xbfz"},
      {"a", std::string("a\0", 2)},
  };
  UErrorCode status = U_ZERO_ERROR;
  UCollator* icu = ucol_open("en_US", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  for (const auto& [a, b] : ties) {
    SCOPED_TRACE(a + " / " + b);
    status = U_ZERO_ERROR;
    EXPECT_EQ(ucol_strcollUTF8(icu, a.data(), static_cast<int>(a.size()), b.data(),
                               static_cast<int>(b.size()), &status),
              UCOL_EQUAL)
        << "not a tie for ICU; the case tests nothing";
    EXPECT_EQ(Sign(Compare(collator_, a, b)), ByteOrder(a, b));
    EXPECT_EQ(Sign(Compare(collator_, b, a)), ByteOrder(b, a));
    EXPECT_EQ(Compare(collator_, a, std::string(a)), 0);
  }
  ucol_close(icu);
}

TEST_F(EnglishCollation, RandomTextIsATotalOrder) {
  ExpectTotalOrder(collator_, DistinctStrings(400, RandomText));
}

TEST_F(EnglishCollation, RandomBytesAreATotalOrder) {
  ExpectTotalOrder(collator_, DistinctStrings(300, RandomBytes));
}

TEST_F(EnglishCollation, CopyAgreesWithTheOriginal) {
  const VORNMBCollator copy(collator_);
  const VORNMBCollator copyOfCopy(copy);
  std::mt19937 random(99);
  for (int i = 0; i < 20000; ++i) {
    const std::string a = RandomText(random);
    const std::string b = RandomText(random);
    const int expected = Sign(Compare(collator_, a, b));
    ASSERT_EQ(Sign(Compare(copy, a, b)), expected);
    ASSERT_EQ(Sign(Compare(copyOfCopy, a, b)), expected);
  }
}

// A copy takes the original's collation, not the process's current one.
TEST_F(EnglishCollation, CopyKeepsTheCollationAfterTheLocaleChanges) {
  CollateLocale back;
  ASSERT_TRUE(back.Switch("C"));
  const VORNMBCollator copy(collator_);
  EXPECT_LT(Compare(copy, Field("apple"), Field("Banana")), 0);
  EXPECT_LT(Compare(copy, Field("\xc3\xa9"), Field("f")), 0);
}

TEST_F(EnglishCollation, CopyOfAnUninitialisedCollatorCanBeInitialised) {
  const VORNMBCollator blank;
  VORNMBCollator copy(blank);
  copy.Init();
  EXPECT_LT(Compare(copy, Field("apple"), Field("Banana")), 0);
}

TEST_F(EnglishCollation, InitAgainFollowsTheNewLocale) {
  CollateLocale back;
  ASSERT_TRUE(back.Switch("C"));
  collator_.Init();
  EXPECT_GT(Compare(collator_, Field("apple"), Field("Banana")), 0);
}

// Each thread compares with a copy of its own, as each worker of a sort does.
TEST_F(EnglishCollation, CopiesAgreeWhenUsedOnSeveralThreads) {
  std::mt19937 random(2024);
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<int> expected;
  for (int i = 0; i < 5000; ++i) {
    pairs.emplace_back(RandomText(random), RandomText(random));
    expected.push_back(Sign(Compare(collator_, pairs.back().first, pairs.back().second)));
  }
  constexpr int kThreads = 4;
  std::vector<VORNMBCollator> copies(kThreads, collator_);
  std::vector<std::vector<int>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        results[t].clear();
        for (const auto& [a, b] : pairs)
          results[t].push_back(Sign(Compare(copies[t], a, b)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], expected) << "thread " << t;
}

// ------------------------------------------------------------------ Init

// A directory that is removed with everything in it when it goes.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "isort-collator-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The C library loads locales by any name from LOCPATH; a compiled locale
// under a name with no ICU locale id must make Init throw a collation error.
TEST(CollatorInit, LocaleWithoutAnIcuIdIsACollationError) {
  const std::filesystem::path compiled = "/usr/lib/locale/C.utf8";
  if (!std::filesystem::is_directory(compiled)) {
    GTEST_SKIP() << compiled << " is not a compiled locale directory here";
  }
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  std::filesystem::create_directory_symlink(compiled, directory.path() / "Not-A-Locale");

  CollateLocale locale;
  {
    EnvironmentVariable localePath("LOCPATH", directory.path().string());
    if (!locale.Switch("Not-A-Locale")) GTEST_SKIP() << "the C library refused LOCPATH";
  }
  ASSERT_STREQ(std::setlocale(LC_COLLATE, nullptr), "Not-A-Locale");

  VORNMBCollator collator;
  try {
    collator.Init();
    FAIL() << "Init accepted a locale it cannot map";
  } catch (const ErrorText& error) {
    EXPECT_EQ(error.Kind(), ErrorText::kCollation);
    EXPECT_NE(error.Text().find("Not-A-Locale"), std::string::npos) << error.Text();
  }
}

}  // namespace
