#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "collation/LocaleId.h"

namespace {

using isort::platform::IcuLocaleId;
using isort::platform::IsByteOrderLocale;

TEST(ByteOrderLocale, EveryNameOfTheCLocale) {
  EXPECT_TRUE(IsByteOrderLocale("C"));
  EXPECT_TRUE(IsByteOrderLocale("POSIX"));
  EXPECT_TRUE(IsByteOrderLocale("C.UTF-8"));
  EXPECT_TRUE(IsByteOrderLocale("C.utf8"));
}

TEST(ByteOrderLocale, NoOtherLocale) {
  EXPECT_FALSE(IsByteOrderLocale("en_US.UTF-8"));
  EXPECT_FALSE(IsByteOrderLocale("ca_ES.UTF-8"));  // Catalan, not C
  EXPECT_FALSE(IsByteOrderLocale("CA"));
  EXPECT_FALSE(IsByteOrderLocale("POSIXLY"));
}

TEST(IcuLocaleId, DropsTheCodeset) {
  EXPECT_EQ(IcuLocaleId("en_US.UTF-8"), "en_US");
  EXPECT_EQ(IcuLocaleId("en_US.utf8"), "en_US");
  EXPECT_EQ(IcuLocaleId("de_DE.ISO-8859-15@euro"), "de_DE");
}

TEST(IcuLocaleId, LanguageAloneOrWithNumericRegion) {
  EXPECT_EQ(IcuLocaleId("eo"), "eo");
  EXPECT_EQ(IcuLocaleId("ber_MA"), "ber_MA");
  EXPECT_EQ(IcuLocaleId("es_419.UTF-8"), "es_419");
}

TEST(IcuLocaleId, ScriptModifiersBecomeTheScript) {
  EXPECT_EQ(IcuLocaleId("sr_RS@latin"), "sr_Latn_RS");
  EXPECT_EQ(IcuLocaleId("sr_RS"), "sr_RS");
  EXPECT_EQ(IcuLocaleId("uz_UZ.UTF-8@cyrillic"), "uz_Cyrl_UZ");
  EXPECT_EQ(IcuLocaleId("ks_IN@devanagari"), "ks_Deva_IN");
}

TEST(IcuLocaleId, OtherModifiersAreDropped) {
  EXPECT_EQ(IcuLocaleId("de_DE@euro"), "de_DE");
  EXPECT_EQ(IcuLocaleId("ca_ES.UTF-8@valencia"), "ca_ES");
}

TEST(IcuLocaleId, NormalisesCase) { EXPECT_EQ(IcuLocaleId("EN_us"), "en_US"); }

TEST(IcuLocaleId, RejectsNamesOfAnotherForm) {
  for (const char* name : {"", "/usr/lib/locale/C.utf8", "Not-A-Locale", "english", "e",
                           "en-US", "en_USA", "en_U1", "en_", "_US", "1a_US"}) {
    EXPECT_EQ(IcuLocaleId(name), std::nullopt) << '"' << name << '"';
  }
}

}  // namespace
