// What a host sees of the record routines: their names in libisort, and their
// calls into the host, obmove_ for runs of more than 999 units and assert_ for
// a failed check of srtfva_. This program defines both; its definitions come
// before libisort_platform's, so the library's calls land here, as in a host.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "isort/sortfile.h"

namespace {
std::vector<INTEGER> moves;        // the unit count of each obmove_ call
std::vector<std::string> asserts;  // "NAME: condition" of each assert_ call
const std::vector<INTEGER> kNoKeyFields = {1, -1, 1};
}  // namespace

extern "C" {
__attribute__((visibility("default"))) void obmove_(const OBS* from, OBS* to,
                                                    const INTEGER* n) {
  moves.push_back(*n);
  std::memmove(to, from, static_cast<std::size_t>(*n) * sizeof(OBS));
}
__attribute__((visibility("default"))) void assert_(
    const INTEGER* nameLength, const char* name, const INTEGER* textLength,
    const char* text, std::size_t nameChars, std::size_t textChars) {
  EXPECT_EQ(*nameLength, static_cast<INTEGER>(nameChars));
  EXPECT_EQ(*textLength, static_cast<INTEGER>(textChars));
  asserts.push_back(std::string(name, nameChars) + ": " + std::string(text, textChars));
}
}  // extern "C"

// The library hides every symbol that lacks the export macro, so a missing one
// would only show when a host is loaded.
TEST(Exports, EveryRecordRoutineByItsExactName) {
  void* library = dlopen(ISORT_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name :
       {"srtkeyz_", "srtkeyunz_", "SrtUnpack", "srtfup_", "srtfpk_", "srtfva_"}) {
    Dl_info info{};
    void* symbol = dlsym(library, name);
    ASSERT_TRUE(symbol != nullptr && dladdr(symbol, &info) != 0) << name;
    EXPECT_NE(std::string(info.dli_fname).find("libisort.so"), std::string::npos) << name;
  }
  // The helpers behind them stay inside the library.
  EXPECT_EQ(dlsym(library, "_ZN5isort7records13TrimKeyFieldsEPdPKl"), nullptr);
  dlclose(library);
}

// A run of 999 units and one of 1000: plain, the host moves only the second,
// each way; compressed, the first is the plain key run and the second is
// coded, so nothing is moved.
TEST(HostCalls, OnlyRunsOfMoreThan999UnitsAreMovedByTheHost) {
  std::vector<OBS> row(1999);
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<double>(i) + 0.5;
  const std::vector<INTEGER> map = {1, 999, 1000, 1000};
  for (INTEGER flags : {0, 1}) {
    std::vector<OBS> record(2 + 1999 + 125), back(row.size(), -1.0);
    moves.clear();
    srtfpk_(row.data(), record.data(), 0.0, map.data(), kNoKeyFields.data(), 2, 1, flags);
    srtfup_(record.data(), back.data(), map.data(), kNoKeyFields.data(), 2, 1, flags);
    EXPECT_EQ(moves, (flags ? std::vector<INTEGER>{} : std::vector<INTEGER>{1000, 1000}));
    EXPECT_EQ(std::memcmp(back.data(), row.data(), row.size() * sizeof(OBS)), 0);
  }
}

// With no keys and a row of fewer than 0 units no payload walk can reach
// WIDRAW + 1: both checks fail, in order, and the list still ends. A valid
// plan reports nothing.
TEST(HostCalls, FailedPlanChecksNameTheRoutineAndTheCondition) {
  std::vector<INTEGER> keylst(9), map(10);  // room for the plan of `keys` below
  INTEGER nmap, nkmap, keywid;
  EXPECT_EQ(
      0, srtfva_(0, nullptr, keylst.data(), map.data(), nmap, nkmap, keywid, -2, 1, 1));
  EXPECT_EQ(asserts, (std::vector<std::string>{"SRTFVA: NXTIN .EQ. WIDRAW+1",
                                               "SRTFVA: OUTPOS .EQ. WIDRAW+1"}));
  EXPECT_EQ(std::vector<INTEGER>(keylst.begin(), keylst.begin() + 3), kNoKeyFields);
  asserts.clear();
  const std::vector<SI> keys = {2, 5, 1, -1, 0, 16};
  EXPECT_EQ(0, srtfva_(2, keys.data(), keylst.data(), map.data(), nmap, nkmap, keywid, 9,
                       1, 1));
  EXPECT_TRUE(asserts.empty());
}
