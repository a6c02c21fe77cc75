// The group-policy file that names the installation GUID, and the
// installation settings files the daemon writes.
#include <gtest/gtest.h>

#include <filesystem>

#include "meridia/installation_info.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "tests/unit/capi/capi_test_util.h"

using meridia::InstallationInfo;

namespace {

const char* const kGuid = "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0";

struct PolicyCase {
  const char* name;
  std::string text;
  const char* guid;  // expected GUID, "" = all zero, nullptr = "Badly formatted policy"
};

class PolicyFile : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(PolicyFile, IsParsedStrictly) {
  capi_test::TempDir dir;
  dir.write("Registry.pol", GetParam().text);
  if (GetParam().guid == nullptr) {
    try {
      InstallationInfo::GetCurrentInstallationGuid(dir.file("Registry.pol"));
      FAIL() << "accepted";
    } catch (const ofw::BadDataException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Badly formatted policy: " + dir.file("Registry.pol"), 0), 0u)
          << e.what();
    }
    return;
  }
  ofw::Guid got = InstallationInfo::GetCurrentInstallationGuid(dir.file("Registry.pol"));
  EXPECT_EQ(got.isNull() ? std::string() : got.toMSString(), GetParam().guid);
}

const std::string kLine = std::string("InstallationGuid=") + kGuid + "\n";

INSTANTIATE_TEST_SUITE_P(
    Table, PolicyFile,
    ::testing::Values(
        PolicyCase{"Plain", kLine, kGuid},
        PolicyCase{"NoFinalLineEnd", kLine.substr(0, kLine.size() - 1), kGuid},
        PolicyCase{"CommentsBlanksSpacesOtherValues",
                   "# policy\n\n  \t\nOther.Value = x y\n  installationguid =\t{" + std::string(kGuid) + "}  \n",
                   kGuid},
        PolicyCase{"EmptyValueIsUnset", "InstallationGuid=\n", ""},
        PolicyCase{"EmptyFile", "", ""},
        PolicyCase{"OnlyOtherValues", "Foo=1\n", ""},
        PolicyCase{"NoEquals", "InstallationGuid " + std::string(kGuid) + "\n", nullptr},
        PolicyCase{"RepeatedName", kLine + "INSTALLATIONGUID=\n", nullptr},
        PolicyCase{"BadName", "Install Guid=1\n", nullptr},
        PolicyCase{"EmptyName", "=1\n", nullptr},
        PolicyCase{"ShortGuid", "InstallationGuid=0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f\n", nullptr},
        PolicyCase{"GuidWithoutDashes", "InstallationGuid=0f1e2d3c4b5a49788796a5b4c3d2e1f0\n", nullptr},
        PolicyCase{"CarriageReturn", "InstallationGuid=" + std::string(kGuid) + "\r\n", nullptr},
        PolicyCase{"NulByte", std::string("Foo=a\0b\n", 8) + kLine, nullptr},
        PolicyCase{"TooLarge", kLine + "# " + std::string(64 * 1024, 'x') + "\n", nullptr}),
    [](const ::testing::TestParamInfo<PolicyCase>& info) { return std::string(info.param.name); });

TEST(PolicyFileAbsent, MeansUnsetButADirectoryIsAnError) {
  capi_test::TempDir dir;
  EXPECT_TRUE(InstallationInfo::GetCurrentInstallationGuid(dir.file("missing.pol")).isNull());
  EXPECT_THROW(InstallationInfo::GetCurrentInstallationGuid(dir.path()), ofw::IOException);
}

TEST(SettingsFile, IsReplacedWholeAndReadBack) {
  capi_test::TempDir dir;
  const std::string prefix = dir.path() + "/";
  dir.write("vg.installation.id", "a much longer old value\nsecond line\n");
  ofw::setDirectorySetting("vg.installation.id", "inst-1", prefix);
  EXPECT_EQ(capi_test::readFile(dir.file("vg.installation.id")), "inst-1\n");
  std::string back;
  ASSERT_TRUE(ofw::getDirectorySetting("vg.installation.id", back, prefix));
  EXPECT_EQ(back, "inst-1");
  EXPECT_THROW(ofw::setDirectorySetting("vg.installation.id", "a\nb", prefix), ofw::InvalidArgumentException);
  EXPECT_THROW(ofw::setDirectorySetting("vg.installation.id", std::string("a\0b", 3), prefix),
               ofw::InvalidArgumentException);
  EXPECT_THROW(ofw::setDirectorySetting("x", "v", dir.file("missing/")), ofw::IOException);
  EXPECT_EQ(capi_test::readFile(dir.file("vg.installation.id")), "inst-1\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary file left
}

// Joined host name and domain as the directory client's settings hold them
// ("-" = no file); the long name, or "" when it must throw.
struct JoinedName {
  const char* host;
  const char* domain;
  const char* longName;
};
class LongJoinedHostName : public ::testing::TestWithParam<JoinedName> {};

TEST_P(LongJoinedHostName, JoinsHostAndDomainOrThrowsWhenNotJoined) {
  capi_test::TempDir dir;
  const std::string prefix = dir.path() + "/kset.";
  if (std::string(GetParam().host) != "-") dir.write("kset.host", GetParam().host);
  if (std::string(GetParam().domain) != "-") dir.write("kset.domain", GetParam().domain);
  if (*GetParam().longName)
    EXPECT_EQ(ofw::longJoinedHostName(prefix), GetParam().longName);
  else
    EXPECT_THROW(ofw::longJoinedHostName(prefix), ofw::NotFoundException);
}

INSTANTIATE_TEST_SUITE_P(Settings, LongJoinedHostName,
                         ::testing::Values(JoinedName{"web1\n", "Corp.Example.com\n", "web1.Corp.Example.com"},
                                           JoinedName{"web1.corp.example.com", "-", "web1.corp.example.com"},
                                           JoinedName{"web1", "-", ""}, JoinedName{"web1", "", ""},
                                           JoinedName{"", "corp.example.com", ""}, JoinedName{"-", "-", ""}));

TEST(Container, IsKnownByTheRuntimesMarkerFile) {
  capi_test::TempDir dir;
  EXPECT_FALSE(ofw::isInContainer(dir.path()));
  dir.write(".dockerenv", "");
  EXPECT_TRUE(ofw::isInContainer(dir.path()));
}

}  // namespace
