// The configuration file syntax: separators, white space, quotes, escapes,
// comments, continuation lines, the logical-line limit and variables.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "ofw/config/propertyset.h"
#include "ofw/config/propertysyntax.h"
#include "props_test_util.h"

namespace {

using ofw::Properties;
using ofw::PropertySet;
using proptest::TempDir;

// Loads text with no directory settings available.
std::string valueOf(const std::string& text, const std::string& key, int* rc = nullptr) {
  Properties p;
  p.setDirectorySettingsPrefix("/nonexistent/kset.");
  int r = p.loadFromString(text);
  if (rc) *rc = r;
  return p.getProperty(key, "<absent>");
}

struct Case {
  const char* text;
  const char* key;
  const char* value;
};

class LineSyntax : public ::testing::TestWithParam<Case> {};

TEST_P(LineSyntax, DefinesKeyWithValue) {
  int rc = 1;
  EXPECT_EQ(valueOf(GetParam().text, GetParam().key, &rc), GetParam().value) << GetParam().text;
  EXPECT_EQ(rc, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Separators, LineSyntax,
    ::testing::Values(Case{"a b", "a", "b"}, Case{"a=b", "a", "b"}, Case{"a: b", "a", "b"},
                      Case{"a = b", "a", "b"}, Case{"a :=b", "a", "b"}, Case{"a:=b", "a", "b"},
                      Case{"a\tb", "a", "b"}, Case{"a:b", "a", "b"}, Case{"   a   =   b   ", "a", "b"},
                      Case{"a\f\vb", "a", "b"}, Case{"a = =b", "a", "=b"}, Case{"a := :b", "a", ":b"},
                      Case{"a", "a", ""}, Case{"a =", "a", ""}, Case{"a = b\r", "a", "b"}));

INSTANTIATE_TEST_SUITE_P(
    WhiteSpace, LineSyntax,
    ::testing::Values(Case{"k = x  y", "k", "x y"}, Case{"k = \"x  y\"", "k", "x  y"},
                      Case{"k = 'x  y'", "k", "x  y"}, Case{"k =   x \t y   ", "k", "x y"},
                      Case{"k = a \"b  c\"  d", "k", "a \"b  c\" d"}, Case{"k = x\\ ", "k", "x "},
                      Case{"k = \\ \\ x", "k", "  x"}, Case{"k = \" lead\"", "k", " lead"},
                      Case{"k = 'a\" b'", "k", "a\" b"}));

INSTANTIATE_TEST_SUITE_P(
    Escapes, LineSyntax,
    ::testing::Values(Case{"k = a\\tb", "k", "a\tb"}, Case{"k = a\\nb", "k", "a\nb"},
                      Case{"k = a\\rb", "k", "a\rb"}, Case{"k = a\\fb", "k", "a\fb"},
                      Case{"k = a\\vb", "k", "a\vb"}, Case{"k = a\\\\b", "k", "a\\b"},
                      Case{"k = a\\:b\\=c", "k", "a:b=c"}, Case{"k = \\\"q\\\"", "k", "\"q\""},
                      Case{"k = \"a\\\"b\"", "k", "a\\\"b"}, Case{"k = \"in\\tq\"", "k", "in\tq"},
                      Case{"k = \"a\" \"b\"", "k", "\"a\" \"b\""}, Case{"k = 'x", "k", "'x"},
                      Case{"my\\ key = v", "my key", "v"}, Case{"a\\=b = v", "a=b", "v"},
                      Case{"\"quoted\" = v", "quoted", "v"}, Case{"\\#k = v", "#k", "v"}));

INSTANTIATE_TEST_SUITE_P(
    Continuation, LineSyntax,
    ::testing::Values(Case{"k = a,\\\n    b", "k", "a, b"}, Case{"k = one\\\ntwo", "k", "one two"},
                      Case{"k = a\\\n# kept\n", "k", "a # kept"}, Case{"k = a\\", "k", "a"},
                      Case{"k = a\\\\\nb = c", "k", "a\\"}, Case{"k = a\\\\\nb = c", "b", "c"},
                      Case{"k = x \\\r\n y\r\n", "k", "x y"}, Case{"k = a\\\n\\\nb", "k", "a b"}));

INSTANTIATE_TEST_SUITE_P(
    Comments, LineSyntax,
    ::testing::Values(Case{"# k = 1\nk = 2", "k", "2"}, Case{"! k = 1", "k", "<absent>"},
                      Case{"#k = 1\\\nk = 3", "k", "3"}, Case{"\n\n   \nk = v\n\n", "k", "v"},
                      Case{" = v", "", "<absent>"}));

TEST(Syntax, LastDefinitionWinsWithoutRegardToCase) {
  Properties p;
  ASSERT_EQ(p.loadFromString("Key = 1\nother = x\nKEY = 2\nkey = 3\n"), 0);
  EXPECT_EQ(p.getProperty("kEy"), "3");
  EXPECT_EQ(p.getMap().size(), 2u);
  EXPECT_TRUE(p.keyExists("KEY"));
}

TEST(Syntax, LogicalLineLimitIsTheBufferLessItsTerminator) {
  const size_t max = ofw::propsyntax::kMaxLineLength;
  ASSERT_EQ(max, 1023u);
  std::string head = "k = ";
  std::string fits = head + std::string(max - head.size(), 'x');
  std::string over = fits + "x";
  Properties p;
  ASSERT_EQ(p.loadFromString("old = 1\n"), 0);
  EXPECT_EQ(p.loadFromString(fits + "\nn = 1\n"), 0);
  EXPECT_EQ(p.getProperty("k").size(), max - head.size());
  // One byte more fails the whole load and keeps what was loaded.
  EXPECT_EQ(p.loadFromString("a = 1\n" + over + "\nb = 2\n"), -5);
  EXPECT_EQ(p.lastLoadStatus(), -5);
  EXPECT_EQ(p.getProperty("n"), "1");
  EXPECT_FALSE(p.keyExists("a"));
  // The limit applies to the joined logical line, not to each physical line.
  std::string half(600, 'y');
  EXPECT_EQ(p.loadFromString("k = " + half + "\\\n" + half + "\n"), -5);
  // A CR before the line end does not count; the limit holds without a final newline.
  EXPECT_EQ(p.loadFromString(fits + "\r\n"), 0);
  EXPECT_EQ(p.loadFromString(fits), 0);
  EXPECT_EQ(p.loadFromString(over), -5);
  // A line far beyond the limit is consumed without holding it in memory.
  EXPECT_EQ(p.loadFromString(std::string(4 << 20, 'z')), -5);
}

TEST(Syntax, LongLineIsReportedAndNulBytesFailTheLoad) {
  PropertySet set(false, PropertySet::FLAG_NO_DIRECTORY_VARIABLES);
  ofw::LogSink sink;
  std::string over = "key = " + std::string(2000, 'v');
  EXPECT_EQ(set.loadFromText(over.data(), over.size(), sink), -5);
  EXPECT_TRUE(proptest::hasRecord(sink, "Error when parsing line: key = vvv", true));
  std::string nul("a = b\0c\n", 8);
  EXPECT_EQ(set.loadFromText(nul.data(), nul.size(), sink), -5);
  EXPECT_FALSE(set.isLoaded());
  std::string ok = "a = b\n";
  EXPECT_EQ(set.loadFromText(ok.data(), ok.size(), sink), 0);
  EXPECT_TRUE(set.isLoaded());
}

TEST(Syntax, RawValueKeepsEscapesAndQuotes) {
  PropertySet set(false, PropertySet::FLAG_NO_DIRECTORY_VARIABLES);
  ofw::LogSink sink;
  std::string text = "k =   \"a  b\"   c\\,d  \n";
  ASSERT_EQ(set.loadFromText(text.data(), text.size(), sink), 0);
  std::string raw, value;
  ASSERT_TRUE(set.getRaw("k", raw));
  ASSERT_TRUE(set.get("k", value));
  EXPECT_EQ(raw, "\"a  b\" c\\,d");
  EXPECT_EQ(value, "\"a  b\" c,d");
}

// --- variables --------------------------------------------------------------

class Variables : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("kset.host", "myhost\n");
    dir.write("kset.site", "site1\n");
    dir.write("kset.domain", "example.com\n");
    dir.write("kset.zonename", "CN=zone1,CN=Zones,DC=example,DC=com\n");
    ::setenv("PROPS_TEST_VAR", "envval", 1);
    ::unsetenv("PROPS_TEST_UNSET");
  }
  void TearDown() override {
    ::unsetenv("PROPS_TEST_VAR");
    ::unsetenv("SITE");
  }
  std::string load(const std::string& text, const std::string& key) {
    Properties p;
    p.setDirectorySettingsPrefix(dir.file("kset."));
    EXPECT_EQ(p.loadFromString(text), 0);
    return p.getProperty(key, "<absent>");
  }
  TempDir dir;
};

TEST_F(Variables, DirectorySettingsGiveTheFourVariables) {
  EXPECT_EQ(load("k = $JOINNAME.$DOMAIN", "k"), "myhost.example.com");
  EXPECT_EQ(load("k = $SITE", "k"), "site1");
  EXPECT_EQ(load("k = $ZONE", "k"), "zone1");
  dir.write("kset.zonename", "plainzone\n");
  EXPECT_EQ(load("k = $ZONE", "k"), "plainzone");
  dir.write("kset.zonename", "OU=x,CN=inner\n");
  EXPECT_EQ(load("k = $ZONE", "k"), "inner");
  ::unlink(dir.file("kset.site").c_str());
  EXPECT_EQ(load("k = [$SITE]", "k"), "[<unknown>]");
}

TEST_F(Variables, ExpansionOrderIsVariableEnvironmentEarlierProperty) {
  ::setenv("SITE", "fromenv", 1);
  EXPECT_EQ(load("k = $SITE", "k"), "site1");
  EXPECT_EQ(load("PROPS_TEST_VAR = prop\nk = $PROPS_TEST_VAR", "k"), "envval");
  EXPECT_EQ(load("base = /opt\nk = $base/bin", "k"), "/opt/bin");
  EXPECT_EQ(load("BASE = /opt\nk = $base/bin", "k"), "/opt/bin");
  EXPECT_EQ(load("k = [$later]\nlater = x", "k"), "[]");
  EXPECT_EQ(load("k = a$PROPS_TEST_UNSET.b", "k"), "a.b");
}

TEST_F(Variables, QuotedEscapedAndNamelessDollarsStay) {
  EXPECT_EQ(load("k = \\$PROPS_TEST_VAR", "k"), "$PROPS_TEST_VAR");
  EXPECT_EQ(load("k = '$PROPS_TEST_VAR'", "k"), "$PROPS_TEST_VAR");
  EXPECT_EQ(load("k = \"$PROPS_TEST_VAR\"", "k"), "envval");
  EXPECT_EQ(load("k = $5 ${x} $", "k"), "$5 ${x} $");
  EXPECT_EQ(load("k = 'a' $PROPS_TEST_VAR", "k"), "'a' envval");
}

TEST_F(Variables, SubstitutedTextIsNotExpandedAgain) {
  ::setenv("PROPS_TEST_VAR", "$SITE", 1);
  EXPECT_EQ(load("k = $PROPS_TEST_VAR", "k"), "$SITE");
}

}  // namespace
