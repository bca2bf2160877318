// The record routines are found in libisort under the exact names a host
// links against. The library hides every symbol that lacks the export macro,
// so a missing one would only show when the host is loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "host/HostServices.h"

namespace {

class Exports : public testing::Test {
 protected:
  void SetUp() override {
    // The platform that libisort expects from its host is loaded with this
    // program; touching it keeps the link from dropping it.
    ASSERT_NE(CmnGlb, nullptr);
    library_ = dlopen(ISORT_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (library_ != nullptr) dlclose(library_);
  }
  void* library_ = nullptr;
};

TEST_F(Exports, EveryRecordRoutineByItsExactName) {
  for (const char* name :
       {"srtkeyz_", "srtkeyunz_", "SrtUnpack", "srtfup_", "srtfpk_", "srtfva_"}) {
    SCOPED_TRACE(name);
    void* symbol = dlsym(library_, name);
    ASSERT_NE(symbol, nullptr) << dlerror();
    Dl_info info{};
    ASSERT_NE(dladdr(symbol, &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("libisort.so"), std::string::npos)
        << info.dli_fname;
  }
  // The helpers behind them stay inside the library.
  EXPECT_EQ(dlsym(library_, "_ZN5isort7records13TrimKeyFieldsEPdPKl"), nullptr);
  EXPECT_EQ(dlsym(library_, "_ZN5isort7records16RestoreKeyFieldsEPdPKl"), nullptr);
}

}  // namespace
