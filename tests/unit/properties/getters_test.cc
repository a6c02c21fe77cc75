// Typed getters, map access, dump/store, and readers during reloads.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ofw/config/properties.h"
#include "ofw/config/propertysyntax.h"
#include "props_test_util.h"

namespace {

using ofw::Properties;

struct TimeCase {
  const char* value;  // nullptr: key absent
  char unit;
  long def;
  long expected;
  const char* message;  // expected warning, "" for none
};

class GetTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(GetTime, ConvertsToSeconds) {
  const TimeCase& c = GetParam();
  Properties p;
  if (c.value) p.setProperty("t", c.value);
  EXPECT_EQ(p.getTime("t", c.unit, c.def), c.expected) << (c.value ? c.value : "(absent)");
  std::vector<std::string> messages;
  EXPECT_EQ(ofw::propsyntax::toSeconds(c.value ? c.value : "", "t", c.unit, c.def, &messages),
            c.expected);
  if (*c.message) {
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], c.message);
  } else {
    EXPECT_TRUE(messages.empty()) << messages[0];
  }
}

const char* kNegative = "Negative time specification in property file for t is ignored.  Using default.";

INSTANTIATE_TEST_SUITE_P(
    Units, GetTime,
    ::testing::Values(
        TimeCase{"2h", 's', 5, 7200, ""}, TimeCase{"10", 'm', 5, 600, ""}, TimeCase{"10", 's', 5, 10, ""},
        TimeCase{"3s", 'h', 5, 3, ""}, TimeCase{"2m", 's', 5, 120, ""}, TimeCase{"1d", 's', 5, 86400, ""},
        TimeCase{"2w", 's', 5, 1209600, ""}, TimeCase{"1M", 's', 5, 2628000, ""},
        TimeCase{"1y", 's', 5, 31536000, ""}, TimeCase{"0", 'h', 5, 0, ""}, TimeCase{"7 d", 's', 1, 604800, ""},
        TimeCase{"-1", 'm', 5, -1, ""}, TimeCase{"-1h", 's', 5, -1, ""},
        TimeCase{"-5", 'm', 3, 180, kNegative}, TimeCase{"-2h", 's', 4, 4, kNegative},
        TimeCase{"5x", 'm', 2, 120, "Bad unit specification in property file: x"},
        TimeCase{"5hm", 's', 2, 2, "Bad unit specification in property file: hm"},
        TimeCase{"abc", 's', 9, 9, "Bad unit specification in property file: abc"},
        TimeCase{nullptr, 'm', 5, 300, ""}, TimeCase{"", 'h', 2, 7200, ""}, TimeCase{nullptr, 'm', -1, -1, ""},
        TimeCase{"9223372036854775807y", 's', 3, 3,
                 "Time specification in property file for t is too large.  Using default."},
        TimeCase{"99999999999999999999", 's', 3, 3,
                 "Time specification in property file for t is too large.  Using default."}));

struct BoolCase {
  const char* value;
  bool def;
  bool expected;
};

class GetBool : public ::testing::TestWithParam<BoolCase> {};

TEST_P(GetBool, AcceptsSixWordsInAnyCase) {
  Properties p;
  if (GetParam().value) p.setProperty("b", GetParam().value);
  EXPECT_EQ(p.getBool("b", GetParam().def), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Words, GetBool,
    ::testing::Values(BoolCase{"Yes", false, true}, BoolCase{"TRUE", false, true}, BoolCase{"1", false, true},
                      BoolCase{"no", true, false}, BoolCase{"False", true, false}, BoolCase{"0", true, false},
                      BoolCase{"on", true, true}, BoolCase{"on", false, false}, BoolCase{"", true, true},
                      BoolCase{nullptr, false, false}, BoolCase{"yes ", false, false},
                      BoolCase{"01", true, true}));

TEST(Getters, IntegersTruncateTo32BitsAndNonNumbersGiveZero) {
  Properties p;
  ASSERT_EQ(p.loadFromString("n = 42\nneg = -7\nbig = 4294967297\ntext = abc\nempty =\nmixed = 12abc\n"), 0);
  EXPECT_EQ(p.getInt("n", 1), 42);
  EXPECT_EQ(p.getInt("neg", 1), -7);
  EXPECT_EQ(p.getInt("big", 1), 1);
  EXPECT_EQ(p.getInt("text", 1), 0);
  EXPECT_EQ(p.getInt("empty", 9), 9);
  EXPECT_EQ(p.getInt("absent", 9), 9);
  EXPECT_EQ(p.getInt("mixed", 9), 12);
  EXPECT_EQ(p.getUInt("n", 1), 42u);
  EXPECT_EQ(p.getUInt("neg", 1), 4294967289u);
  EXPECT_EQ(p.getUInt("absent", 7), 7u);
}

TEST(Getters, PropertyLookupPrefixMapAndFilter) {
  Properties p;
  ASSERT_EQ(p.loadFromString("log = INFO\nlog.util = DEBUG\nLOG.ovg.vgd = WARN\nlogger.x = 1\nempty =\n"), 0);
  EXPECT_EQ(p.getProperty("empty", "def"), "");
  EXPECT_EQ(p.getProperty("absent", "def"), "def");
  EXPECT_TRUE(p.keyExists("EMPTY"));
  EXPECT_FALSE(p.keyExists("absent"));
  ofw::PropertyMap logs = p.findPrefix("log.");
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs["Log.Util"], "DEBUG");
  EXPECT_EQ(logs["log.ovg.vgd"], "WARN");
  EXPECT_EQ(p.findPrefix("").size(), 5u);
  EXPECT_EQ(p.getMap().size(), 5u);
  auto numeric = p.filter([](const std::string&, const std::string& v) { return v == "1"; });
  ASSERT_EQ(numeric.size(), 1u);
  EXPECT_EQ(numeric.begin()->first, "logger.x");
}

TEST(Getters, MakeKey) {
  EXPECT_EQ(Properties::makeKey("", "timer"), "vgd.timer");
  EXPECT_EQ(Properties::makeKey("lrpc2", "timeout"), "lrpc2.timeout");
  EXPECT_EQ(Properties::makeKey("a", "b", "c"), "a.b.c");
}

TEST(Getters, StoredValuesLoadBackUnchanged) {
  Properties p;
  ASSERT_EQ(p.loadFromString("b = two  words\na = \"  spaced \"\nc = x\\\\y\\$z\\t\n"), 0);
  std::ostringstream stored;
  p.store(stored, " saved");
  EXPECT_EQ(stored.str().substr(0, 7), "# saved");
  Properties q;
  ASSERT_EQ(q.loadFromString(stored.str()), 0);
  EXPECT_EQ(q.getMap(), p.getMap());
}

TEST(Getters, FormattedValuesParseBackExactly) {
  const std::vector<std::string> values = {"", " lead", "trail ", "a  b", "tab\there", "nl\nx", "q\"'",
                                           "$HOME", "back\\", "\\t", "'wholly'", "\"wholly\"", "#x", "=x",
                                           ":=x", "file:/x", "a, b", "\\"};
  for (const std::string& v : values) {
    Properties p;
    ASSERT_EQ(p.loadFromString("k = " + ofw::propsyntax::formatValue(v) + "\n"), 0) << v;
    EXPECT_EQ(p.getProperty("k", "<absent>"), v);
  }
  const std::vector<std::vector<std::string>> lists = {
      {"a", "b"}, {"with space", "comma,inside"}, {"file:/etc/x", "y"}, {"'q'", "\"d\"", "$v", "\\"}, {"\t\n"}};
  for (const auto& l : lists) {
    Properties p;
    ASSERT_EQ(p.loadFromString("k = " + ofw::propsyntax::formatValueList(l) + "\n"), 0);
    EXPECT_EQ(*p.getValueList("k"), l);
  }
}

// Readers always see one whole version of the file while another thread reloads it.
TEST(Getters, ReadersSeeConsistentStoresDuringReloads) {
  proptest::TempDir dir;
  std::string conf = dir.write("conf", "a = 1\nb = 1\nl = x1, y1\n");
  Properties p(conf);
  ASSERT_EQ(p.lastLoadStatus(), 0);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        ofw::PropertyMap m = p.getMap();
        if (m["a"] != m["b"] || (m["a"] != "1" && m["a"] != "2")) ++bad;
        int a = p.getInt("a", 0);
        if (a != 1 && a != 2) ++bad;
        ofw::ValueList l = p.getValueList("l");
        if (l->size() != 2 || ((*l)[0] != "x1" && (*l)[0] != "x2")) ++bad;
        ++reads;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    std::string v = i % 2 ? "1" : "2";
    dir.write("conf", "a = " + v + "\nb = " + v + "\nl = x" + v + ", y" + v + "\n");
    EXPECT_EQ(p.reload(), 0);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(p.getInt("a", 0), 1);
}

}  // namespace
