#include "ofw/capi/capi_loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "tests/unit/capi/capi_test_util.h"

using capi_test::TempDir;
using ofw::CapiDynamicLoader;

namespace {

std::string realPathOf(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// Counts the resolved function pointers of a loader.
int resolvedCount(const CapiDynamicLoader& l) {
  auto set = [](auto f) { return f != nullptr ? 1 : 0; };
  return set(l.opwSessionOpen) + set(l.opwSessionClose) + set(l.opwSetOption) + set(l.opwLookupObjectByName) +
         set(l.opwLookupObjectByUnixId) + set(l.opwLookupObjectBySid) + set(l.opwGetAttributeStr) +
         set(l.opwGetAttributeInt) + set(l.opwGetAttributeBool) + set(l.opwGetAttributeList) +
         set(l.opwIsObjectCategory) + set(l.opwValidateUserGroup) + set(l.opwLdapSearchOpen) +
         set(l.opwLdapSearchNext) + set(l.opwLdapSearchInfo) + set(l.opwLdapSearchClose) +
         set(l.opwLdapSearchHandle) + set(l.opwLdapFetch) + set(l.opwDomainFromDN) + set(l.opwFreeObject) +
         set(l.opwFreeString) + set(l.opwFreeStringList) + set(l.opwGetOpwCodeStr) + set(l.opwGetAuditLevel);
}

enum class Lib { Missing, StandIn, NoCore, TextFile, EmptyFile, Directory };

struct LoaderCase {
  const char* name;
  Lib lib;
  bool available;
  bool core;
  bool auditLevel;
  int resolved;
};

class LoaderAvailability : public ::testing::TestWithParam<LoaderCase> {
 protected:
  std::string pathFor(Lib lib) {
    switch (lib) {
      case Lib::Missing:
        return dir_.file("no-such-lib.so");
      case Lib::StandIn:
        return capi_test::standinPath();
      case Lib::NoCore:
        return capi_test::nocorePath();
      case Lib::TextFile:
        dir_.write("libtext.so", "this is not a shared library\n");
        return dir_.file("libtext.so");
      case Lib::EmptyFile:
        dir_.write("libempty.so", "");
        return dir_.file("libempty.so");
      case Lib::Directory:
        return dir_.path();
    }
    return "";
  }
  TempDir dir_;
};

TEST_P(LoaderAvailability, ReportsWhatResolved) {
  const LoaderCase& c = GetParam();
  const std::string path = pathFor(c.lib);
  CapiDynamicLoader loader(path);
  EXPECT_EQ(loader.isCapiLibAvailable(), c.available);
  EXPECT_EQ(loader.isCapiCoreAvailable(), c.core);
  EXPECT_EQ(loader.isAuditLevelAvailable(), c.auditLevel);
  EXPECT_EQ(resolvedCount(loader), c.resolved);
  EXPECT_EQ(loader.getCapiPath(), path);
  EXPECT_EQ(loader.getLoadError().empty(), c.core && c.auditLevel && c.resolved == 24);
  EXPECT_EQ(loader.getRealCapiPath(), c.lib == Lib::Missing ? path : realPathOf(path));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, LoaderAvailability,
    ::testing::Values(LoaderCase{"Missing", Lib::Missing, false, false, false, 0},
                      LoaderCase{"StandIn", Lib::StandIn, true, true, true, 24},
                      LoaderCase{"NoCore", Lib::NoCore, true, false, true, 5},
                      LoaderCase{"TextFile", Lib::TextFile, false, false, false, 0},
                      LoaderCase{"EmptyFile", Lib::EmptyFile, false, false, false, 0},
                      LoaderCase{"Directory", Lib::Directory, false, false, false, 0}),
    [](const ::testing::TestParamInfo<LoaderCase>& info) { return info.param.name; });

TEST(CapiLoader, MissingLibraryKeepsGivenPathAndRefusesHelpers) {
  TempDir dir;
  const std::string path = dir.file("lib64/libcapi.so");
  CapiDynamicLoader loader(path);
  EXPECT_NE(loader.getLoadError().find(path), std::string::npos);

  std::string text;
  std::vector<std::string> list;
  EXPECT_EQ(loader.getAttributeString(nullptr, nullptr, "_dn", text), OPW_ERR_UNSUPPORTED);
  EXPECT_EQ(loader.getAttributeStringList(nullptr, nullptr, "keywords", list), OPW_ERR_UNSUPPORTED);
  EXPECT_EQ(loader.domainFromDN("DC=a,DC=b", text), OPW_ERR_UNSUPPORTED);
  EXPECT_EQ(loader.codeText(7), "status 7");
  ofw::CapiSession session(loader);
  EXPECT_EQ(session.open(), OPW_ERR_UNSUPPORTED);
  EXPECT_FALSE(session.isOpen());
}

TEST(CapiLoader, NoCoreNamesTheMissingFunctions) {
  CapiDynamicLoader loader(capi_test::nocorePath());
  ASSERT_TRUE(loader.isCapiLibAvailable());
  const auto& missing = loader.getMissingFunctions();
  for (const char* name : {"opwLookupObjectByName", "opwLdapSearchOpen", "opwLdapFetch",
                           "opwDomainFromDN", "opwFreeObject", "opwLdapSearchHandle"})
    EXPECT_NE(std::find(missing.begin(), missing.end(), name), missing.end()) << name;
  for (const char* name : {"opwSessionOpen", "opwGetAuditLevel", "opwGetOpwCodeStr"})
    EXPECT_EQ(std::find(missing.begin(), missing.end(), name), missing.end()) << name;
  EXPECT_NE(loader.getLoadError().find("opwLdapFetch"), std::string::npos);
  std::string domain;
  EXPECT_EQ(loader.domainFromDN("DC=a,DC=b", domain), OPW_ERR_UNSUPPORTED);
}

TEST(CapiLoader, RealPathResolvesSymbolicLinks) {
  TempDir dir;
  const std::string link = dir.file("libcapi.so");
  ASSERT_EQ(::symlink(capi_test::standinPath().c_str(), link.c_str()), 0);
  CapiDynamicLoader loader(link);
  EXPECT_TRUE(loader.isCapiCoreAvailable());
  EXPECT_EQ(loader.getCapiPath(), link);
  EXPECT_EQ(loader.getRealCapiPath(), realPathOf(capi_test::standinPath()));
  EXPECT_NE(loader.getRealCapiPath(), link);
}

TEST(CapiLoader, TwoLoadersOfOneLibraryAreIndependent) {
  auto first = std::make_unique<CapiDynamicLoader>(capi_test::standinPath());
  CapiDynamicLoader second(capi_test::standinPath());
  ASSERT_TRUE(first->isCapiCoreAvailable());
  first.reset();  // closing one must leave the other's functions usable
  ASSERT_TRUE(second.isCapiCoreAvailable());
  EXPECT_STREQ(second.opwGetOpwCodeStr(OPW_ERR_NO_MORE_RESULTS), "No more results");
}

}  // namespace
