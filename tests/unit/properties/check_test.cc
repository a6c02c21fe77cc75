// The known-key tables and the syntax check of the configuration file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "ofw/config/propertydescriptors.h"
#include "props_test_util.h"

namespace {

using ofw::Logger;
using ofw::PropertyCheckFinding;
using ofw::PropertyType;
using proptest::TempDir;

TEST(Descriptors, TablesHoldEveryKeyOnce) {
  std::set<std::string> keys;
  for (const auto& d : ofw::kProductProperties) {
    ASSERT_NE(d.key, nullptr);
    ASSERT_NE(d.defaultValue, nullptr);
    std::string k(d.key);
    for (auto& c : k) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(keys.insert(k).second) << d.key;
  }
  for (const auto& d : ofw::kFrameworkProperties) {
    ASSERT_NE(d.key, nullptr);
    EXPECT_TRUE(keys.insert(d.key).second) << d.key;
  }
}

TEST(Descriptors, ValueChecks) {
  const ofw::PropertyDescriptor* i = ofw::findPropertyDescriptor("vgd.timer.nudge");
  const ofw::PropertyDescriptor* b = ofw::findPropertyDescriptor("vgd.dumpcore");
  ASSERT_TRUE(i && b);
  for (const char* ok : {"5", "-3", "+7", "2147483647", "-2147483648"})
    EXPECT_EQ(ofw::checkPropertyValue(*i, ok), "") << ok;
  for (const char* bad : {"", "5x", "0x10", " 5", "2147483648", "1.5", "-"})
    EXPECT_EQ(ofw::checkPropertyValue(*i, bad), "The value must be a decimal integer.") << bad;
  for (const char* ok : {"true", "FALSE", "Yes", "no", "1", "0"}) EXPECT_EQ(ofw::checkPropertyValue(*b, ok), "");
  for (const char* bad : {"on", "maybe", "10", ""})
    EXPECT_EQ(ofw::checkPropertyValue(*b, bad), "The value must be one of true, false, yes, no, 1 or 0.");
  EXPECT_EQ(ofw::findPropertyDescriptor("no.such.key"), nullptr);
}

std::vector<PropertyCheckFinding> atLevel(const std::vector<PropertyCheckFinding>& all, int level) {
  std::vector<PropertyCheckFinding> out;
  for (const auto& f : all)
    if (f.level == level) out.push_back(f);
  return out;
}

bool hasText(const std::vector<PropertyCheckFinding>& all, const std::string& text) {
  for (const auto& f : all)
    if (f.text == text) return true;
  return false;
}

void bumpMtime(const std::string& path, long seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(PropertiesCheck, ReportsKnownKeysOfTheWrongType) {
  TempDir dir;
  std::string ww = dir.write("ww", "u\n", 0646);
  std::string conf = dir.write("conf",
                               "vgd.timer.nudge = 5x\n"
                               "vgd.dumpcore = maybe\n"
                               "vgd.threadpool.size = 12\n"
                               "cache.enable = YES\n"
                               "unknown.key = zzz\n"
                               "vgd.poll.fds = 99999999999\n"
                               "user.ignore = file:" + ww + "\n"
                               "logger.showmore = 3\n");
  ofw::Properties p(conf);
  auto findings = p.propertiesCheck();
  auto warnings = atLevel(findings, Logger::WARN);
  ASSERT_EQ(warnings.size(), 4u);
  EXPECT_TRUE(hasText(warnings,
                      "Syntax error found for parameter vgd.timer.nudge with value 5. The value must be a "
                      "decimal integer."));
  EXPECT_TRUE(hasText(warnings,
                      "Syntax error found for parameter vgd.dumpcore with value maybe. The value must be "
                      "one of true, false, yes, no, 1 or 0."));
  EXPECT_TRUE(hasText(warnings,
                      "Syntax error found for parameter vgd.poll.fds with value 1215752191. The value must "
                      "be a decimal integer."));
  EXPECT_TRUE(hasText(warnings, "Syntax error found for parameter user.ignore with value file:" + ww +
                                    ". The referenced file [" + ww + "] is world writable."));
  EXPECT_TRUE(hasText(findings, "Check syntax of properties vgd.threadpool.size with value 12"));
  for (const auto& f : findings) EXPECT_NE(f.key, "unknown.key");

  // Unchanged file: skipped.
  findings = p.propertiesCheck();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].level, Logger::DEBUG);
  EXPECT_EQ(findings[0].text, "Config file has not changed since last check. Skipping.");

  // The check reads the file as it is now, not the running configuration.
  dir.write("conf", "vgd.timer.nudge = 7\nvgd.gssapi.seal = nope\n");
  bumpMtime(conf, 1000000);
  findings = atLevel(p.propertiesCheck(), Logger::WARN);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].key, "vgd.gssapi.seal");
  EXPECT_EQ(p.getProperty("vgd.timer.nudge"), "5x");
}

TEST(PropertiesCheck, LongValuesAndUnreadableFiles) {
  TempDir dir;
  std::string conf = dir.write("conf", "a = 1\n");
  ofw::Properties p(conf);
  ::setenv("PROPS_CHECK_LONG", std::string(1100, 'x').c_str(), 1);
  dir.write("conf", "vgsh.shell.name = $PROPS_CHECK_LONG\n");
  auto findings = p.propertiesCheck();
  ::unsetenv("PROPS_CHECK_LONG");
  EXPECT_TRUE(hasText(findings,
                      "Parameter vgsh.shell.name has value with length larger than 1024. Checking may not be "
                      "complete."));
  dir.write("conf", "a = 1\n", 0666);
  bumpMtime(conf, 2000000);
  findings = p.propertiesCheck();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].level, Logger::INFO);
  EXPECT_EQ(findings[0].text, ofw::propertiesLoadErrorText(conf, -125));
  ASSERT_EQ(::unlink(conf.c_str()), 0);
  findings = p.propertiesCheck();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].text, "Problem to access config file " + conf + ". (No such file or directory)");
  ofw::Properties none;
  EXPECT_TRUE(none.propertiesCheck().empty());
}

}  // namespace
