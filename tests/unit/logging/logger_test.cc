// Named loggers: levels and their inheritance, record layout, reconfiguration
// and its warnings, thread-private loggers, exceptions that log themselves.

// GCC 12 reports a false -Wmaybe-uninitialized inside std::regex when built
// with the sanitizers; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <thread>

#include "log_test_util.h"
#include "ofw/exceptions.h"
#include "ofw/logging/filelogging.h"
#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"

using logtest::configure;
using logtest::readRecords;

namespace {

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { ofw::Logger::SetThreadName(""); }
  void TearDown() override {
    ofw::Logger::SetThreadName("");
    logtest::reset();
  }
  std::vector<std::string> records() {
    ofw::Logger::flush();
    return readRecords(logFile_);
  }
  bool hasRecord(const std::string& text) {
    auto r = records();
    return std::find(r.begin(), r.end(), text) != r.end();
  }
  logtest::TempDir dir_;
  std::string logFile_ = dir_.file("test.log");
};

struct LevelCase {
  const char* text;
  int level;
};
class TextToLevelTest : public ::testing::TestWithParam<LevelCase> {};
TEST_P(TextToLevelTest, MapsNames) {
  EXPECT_EQ(ofw::Logger::TextToLevel(GetParam().text), GetParam().level);
}
INSTANTIATE_TEST_SUITE_P(
    Names, TextToLevelTest,
    ::testing::Values(LevelCase{"DISABLED", 7}, LevelCase{"wArN", 4}, LevelCase{"", 3},
                      LevelCase{"WARNING", -1}, LevelCase{"INFO ", -1}, LevelCase{"3", -1}));

TEST_F(LoggerTest, ParentsAreCreatedOnDemand) {
  ofw::LoggerPtr leaf = ofw::getLogger("pt.a.b.c");
  EXPECT_EQ(leaf, ofw::getLogger("pt.a.b.c"));
  EXPECT_EQ(leaf->getName(), "pt.a.b.c");
  ofw::LoggerPtr mid = ofw::getLogger("pt.a.b");
  // Setting the parent's level reaches the child that inherits it.
  mid->setLevel(ofw::Logger::ERROR);
  EXPECT_EQ(leaf->getEffectiveLevel(), ofw::Logger::ERROR);
  mid->setLevel(ofw::Logger::TRACE);
  EXPECT_EQ(leaf->getEffectiveLevel(), ofw::Logger::TRACE);
  leaf->setLevel(ofw::Logger::WARN);
  mid->setLevel(ofw::Logger::DEBUG);
  EXPECT_EQ(leaf->getEffectiveLevel(), ofw::Logger::WARN);  // explicit values stay
}

TEST_F(LoggerTest, ChildOfQuietLoggerIsSuppressedWhileOthersLog) {
  ofw::LoggerPtr child = ofw::getLogger("util.thread.child");
  ofw::LoggerPtr vgd = ofw::getLogger("ovg.vgd");
  configure(logFile_, {{"log", "DEBUG"}, {"log.util.thread", "ERROR"}});
  EXPECT_FALSE(child->isLevelEnabled(ofw::Logger::DEBUG));
  EXPECT_TRUE(vgd->isLevelEnabled(ofw::Logger::DEBUG));
  OFW_DEBUG(child, "child debug");
  OFW_DEBUG(vgd, "vgd debug");
  OFW_ERROR(child, "child error");
  OFW_DEBUG(ofw::getLogger("util.thread.child.grandchild"), "grandchild debug");
  auto r = records();
  EXPECT_EQ(std::count(r.begin(), r.end(), "DEBUG ovg.vgd vgd debug"), 1);
  EXPECT_EQ(std::count(r.begin(), r.end(), "ERROR util.thread.child child error"), 1);
  for (auto& line : r) EXPECT_EQ(line.find("child debug"), std::string::npos) << line;
  for (auto& line : r) EXPECT_EQ(line.find("grandchild debug"), std::string::npos) << line;
}

TEST_F(LoggerTest, ReconfigureChangesExistingLoggers) {
  ofw::LoggerPtr a = ofw::getLogger("rc.alpha.one");
  configure(logFile_, {{"log", "INFO"}});
  EXPECT_FALSE(a->isLevelEnabled(ofw::Logger::DEBUG));  // resolved and stored: INFO
  configure(logFile_, {{"log", "WARN"}, {"log.rc.alpha", "TRACE"}});
  EXPECT_TRUE(a->isLevelEnabled(ofw::Logger::TRACE));
  EXPECT_FALSE(ofw::getLogger("rc.beta")->isLevelEnabled(ofw::Logger::INFO));
  configure(logFile_, {{"log", "DEBUG"}});
  EXPECT_FALSE(a->isLevelEnabled(ofw::Logger::TRACE));
  EXPECT_TRUE(a->isLevelEnabled(ofw::Logger::DEBUG));
  configure(logFile_, {{"log", "DISABLED"}});
  EXPECT_FALSE(a->isLevelEnabled(ofw::Logger::FATAL));
  // A bad level leaves the logger inheriting; a bad root level means INFO.
  configure(logFile_, {{"log", "WARN"}, {"log.rc.alpha.one", "LOUD"}});
  EXPECT_EQ(a->getEffectiveLevel(), ofw::Logger::WARN);
  configure(logFile_, {{"log", "bogus"}});
  EXPECT_EQ(a->getEffectiveLevel(), ofw::Logger::INFO);
}

TEST_F(LoggerTest, DisabledRecordDoesNotEvaluateArguments) {
  configure(logFile_, {{"log", "ERROR"}});
  int evaluated = 0;
  auto arg = [&evaluated] {
    ++evaluated;
    return 1;
  };
  OFW_DEBUG(ofw::getLogger("lazy"), "%d", arg());
  EXPECT_EQ(evaluated, 0);
  OFW_ERROR(ofw::getLogger("lazy"), "%d", arg());
  EXPECT_EQ(evaluated, 1);
}

struct LayoutCase {
  const char* logger;
  const char* thread;
  const char* showMore;
  int level;
  const char* expected;
};
class RecordLayoutTest : public LoggerTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(RecordLayoutTest, ByteForByte) {
  const LayoutCase& c = GetParam();
  configure(logFile_, {{"log", "TRACE"}, {"log.util.logger", "WARN"}, {"logger.showmore", c.showMore}});
  ofw::Logger::SetThreadName(c.thread);
  ofw::getLogger(c.logger)->log(c.level, "/src/dir/file.cc", 42, "doIt", "message %d", 7);
  auto r = records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RecordLayoutTest,
    ::testing::Values(
        LayoutCase{"ovg.vgd", "", "0", ofw::Logger::INFO, "INFO  ovg.vgd message 7"},
        LayoutCase{"ovg.vgd", "", "0", ofw::Logger::ERROR, "ERROR ovg.vgd message 7"},
        LayoutCase{"ovg.vgd", "main", "0", ofw::Logger::FATAL, "FATAL <main> ovg.vgd message 7"},
        LayoutCase{"diag.lay.x", "", "0", ofw::Logger::DEBUG, "DEBUG lay.x message 7"},
        LayoutCase{"client", "fd:5 ovgsh(12)", "0", ofw::Logger::INFO, "INFO  <fd:5 ovgsh(12)> message 7"},
        LayoutCase{"client.sub", "", "0", ofw::Logger::INFO, "INFO  message 7"},
        LayoutCase{"clients", "", "0", ofw::Logger::INFO, "INFO  clients message 7"},
        LayoutCase{"ovg.vgd", "", "3", ofw::Logger::INFO, "INFO  ovg.vgd \"file.cc:42\" message 7"},
        LayoutCase{"ovg.vgd", "t1", "7", ofw::Logger::INFO,
                   "INFO  <t1> ovg.vgd \"file.cc:42 doIt()\" message 7"},
        LayoutCase{"client", "", "5", ofw::Logger::INFO, "INFO  \"file.cc doIt()\" message 7"}));

TEST_F(LoggerTest, ShowMorePerLogger) {
  configure(logFile_, {{"logger.showmore", "0"}, {"logger.showmore.sm.one", "2"}});
  ofw::getLogger("sm.one.child")->log(ofw::Logger::INFO, "a/b.cc", 9, "f", "x");
  ofw::getLogger("sm.two")->log(ofw::Logger::INFO, "a/b.cc", 9, "f", "y");
  auto r = records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "INFO  sm.one.child \":9\" x");
  EXPECT_EQ(r[1], "INFO  sm.two y");
}

// The prefix is cut to the buffer and always terminated (its layout is checked
// through the file's lines).
TEST_F(LoggerTest, PrefixIsCutToTheBuffer) {
  char small[10];
  int n = ofw::BuildMessagePrefix(small, sizeof small, "");
  EXPECT_EQ(n, 9);
  EXPECT_EQ(strlen(small), 9u);
  EXPECT_EQ(ofw::BuildMessagePrefix(small, 0, ""), 0);
}

TEST_F(LoggerTest, FileLinesCarryPrefix) {
  configure(logFile_, {});
  OFW_INFO(ofw::getLogger("ovg.vgd"), "hello");
  ofw::Logger::flush();
  auto lines = logtest::splitLines(logtest::readFile(logFile_));
  ASSERT_EQ(lines.size(), 1u);
  std::regex re(std::string("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d{4} [^ .]+ ") +
                ofw::Logger::ProgramName() + "\\[" + std::to_string(getpid()) +
                "\\]: INFO  ovg.vgd hello");
  EXPECT_TRUE(std::regex_match(lines[0], re)) << lines[0];
}

TEST_F(LoggerTest, LongRecordIsCutNotDropped) {
  configure(logFile_, {});
  std::string big(3000, 'x');
  OFW_INFO(ofw::getLogger("ovg.vgd"), "%s", big.c_str());
  OFW_INFO(ofw::getLogger("ovg.vgd"), "after");
  auto r = records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].size(), ofw::Logger::MAX_RECORD - 1);
  EXPECT_EQ(r[0], "INFO  ovg.vgd " + std::string(ofw::Logger::MAX_RECORD - 1 - 14, 'x'));
  EXPECT_EQ(r[1], "INFO  ovg.vgd after");
}

TEST_F(LoggerTest, LongThreadNameAndShowMoreStayInsideRecord) {
  configure(logFile_, {{"logger.showmore", "7"}});
  ofw::Logger::SetThreadName(std::string(2000, 't'));
  std::string fn(500, 'f');
  ofw::getLogger("ovg.vgd")->log(ofw::Logger::INFO, "x.cc", 1, fn.c_str(), "tail");
  ofw::getLogger("ovg.vgd")->logSysErr(ofw::Logger::INFO, EACCES, "x.cc", 1, "f", "tail");
  auto r = records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].size(), ofw::Logger::MAX_RECORD - 1);
  EXPECT_EQ(r[0].compare(0, 7, "INFO  <"), 0);
}

TEST_F(LoggerTest, SysErrAppendsErrorText) {
  configure(logFile_, {});
  OFW_LOG_ERRNO(ofw::getLogger("ovg.vgd"), ofw::Logger::ERROR, ENOENT, "open %s", "/x");
  auto r = records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], std::string("ERROR ovg.vgd open /x: ") + strerror(ENOENT));
}

TEST_F(LoggerTest, HexDumpOfLargeBufferIsBounded) {
  configure(logFile_, {});
  std::vector<unsigned char> big(100000, 'a');
  ofw::getLogger("hex")->hexData(ofw::Logger::INFO, "big", big.data(), big.size());
  auto r = records();
  ASSERT_EQ(r.size(), 1u + 4096 / 16 + 1);
  EXPECT_EQ(r.back(), "INFO  hex ... 95904 more bytes not shown");
  ofw::getLogger("hex")->hexData(ofw::Logger::DEBUG, "quiet", big.data(), 16);  // under the level
  EXPECT_EQ(records().size(), r.size());
}

struct WarningCase {
  const char* key;
  const char* value;
  const char* warning;
};
class ReconfigureWarningTest : public LoggerTest, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(ReconfigureWarningTest, WarnsWithDocumentedText) {
  configure(logFile_, {{GetParam().key, GetParam().value}});
  EXPECT_TRUE(hasRecord(std::string("WARN  util.logger ") + GetParam().warning))
      << GetParam().key << " -> " << GetParam().warning;
}

INSTANTIATE_TEST_SUITE_P(
    Warnings, ReconfigureWarningTest,
    ::testing::Values(
        WarningCase{"log", "bogus", "Illegal value for property 'log': 'bogus'. Using 'INFO'."},
        WarningCase{"log..x", "DEBUG", "Illegal log name: '.x'"},
        WarningCase{"log.ovg.vgd", "LOUD", "Illegal log level. Property: 'log.ovg.vgd', value: 'LOUD'"},
        WarningCase{"logger.facility", "nope", "Illegal value facility name: 'nope' for 'logger.facility'. Using 'auth'."},
        WarningCase{"logger.facility.ovg.vgd", "nope",
                    "Illegal log facility. Property: 'logger.facility.ovg.vgd', value: 'nope'"},
        WarningCase{"logger.facility..a", "auth", "Illegal facility name: '.a'"},
        WarningCase{"logger.showmore..a", "1", "Illegal log name: '.a'"},
        WarningCase{"logger.memory.log..a", "INFO", "Illegal log.memory name: '.a'"},
        WarningCase{"logger.memory.log", "DISABLED", "Circular buffer log level cannot be NONE. Using 'INFO'."},
        WarningCase{"logger.memory.log.ovg", "LOUD",
                    "Illegal log level. Property: 'logger.memory.log.ovg', value: 'LOUD'"}));

TEST_F(LoggerTest, ThreadNamesArePerThread) {
  configure(logFile_, {});
  ofw::Logger::SetThreadName("outer");
  std::thread t([] {
    EXPECT_EQ(ofw::Logger::GetThreadName(), "");
    ofw::Logger::SetThreadName("inner");
    OFW_INFO(ofw::getLogger("tn"), "from inner");
  });
  t.join();
  OFW_INFO(ofw::getLogger("tn"), "from outer");
  auto r = records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "INFO  <inner> tn from inner");
  EXPECT_EQ(r[1], "INFO  <outer> tn from outer");
}

TEST_F(LoggerTest, ThreadPrivateLoggers) {
  configure(logFile_, {{"log", "INFO"}, {"log.client", "DEBUG"}});
  ofw::LoggerPtr mine = ofw::getLogger("client", true);
  EXPECT_EQ(mine, ofw::getLogger("client", true));
  EXPECT_NE(mine, ofw::getLogger("client"));
  EXPECT_TRUE(mine->isThreadPrivate());
  ofw::LoggerPtr other;
  std::thread t([&other] { other = ofw::getLogger("client", true); });
  t.join();
  EXPECT_NE(mine, other);
  EXPECT_TRUE(mine->isLevelEnabled(ofw::Logger::DEBUG));
  configure(logFile_, {{"log", "INFO"}, {"log.client", "ERROR"}});
  EXPECT_FALSE(mine->isLevelEnabled(ofw::Logger::WARN));
  OFW_ERROR(mine, "relayed");
  EXPECT_TRUE(hasRecord("ERROR relayed"));
}

TEST_F(LoggerTest, ExceptionsLogThemselvesWhenAsked) {
  configure(logFile_, {{"log", "DEBUG"}});
  ofw::IOException e1("disk gone", 5, "spool.cc", 77, true);
  ofw::EndOfFileException e2("end", 0, "spool.cc", 78, true);
  ofw::IOException e3("not logged", 1, "spool.cc", 79, false);
  ofw::NoThreadsAvailable e4("No Threads Available", 0, "pool.cc", 3, true);
  auto r = records();
  EXPECT_EQ(std::count(r.begin(), r.end(),
                       "DEBUG util.except IOException disk gone (reference spool.cc:77 rc: 5)"), 1);
  EXPECT_EQ(std::count(r.begin(), r.end(),
                       "DEBUG util.except NoThreadsAvailable No Threads Available (reference pool.cc:3 rc: 0)"), 1);
  for (auto& line : r) {
    EXPECT_EQ(line.find("EndOfFileException"), std::string::npos);
    EXPECT_EQ(line.find("not logged"), std::string::npos);
  }
  configure(logFile_, {{"log", "INFO"}});
  ofw::IOException e5("quiet", 5, "spool.cc", 80, true);
  for (auto& line : records()) EXPECT_EQ(line.find("quiet"), std::string::npos);
}

TEST_F(LoggerTest, UnopenableFileFallsBackToSyslog) {
  std::string bad = dir_.file("missing-dir/x.log");
  configure(bad, {});
  OFW_INFO(ofw::getLogger("ovg.vgd"), "goes to syslog");
  ofw::Logger::flush();
  EXPECT_FALSE(logtest::fileExists(bad));
  // A later configuration with a usable file takes over.
  configure(logFile_, {});
  OFW_INFO(ofw::getLogger("ovg.vgd"), "back in the file");
  EXPECT_TRUE(hasRecord("INFO  ovg.vgd back in the file"));
}

TEST_F(LoggerTest, CloseFlushesTheWriteCacheAndTheNextRecordReopens) {
  configure(logFile_, {{"logger.file.flush.frequency", "10"}});
  for (int i = 0; i < 3; ++i) OFW_INFO(ofw::getLogger("ovg.vgd"), "cached %d", i);
  EXPECT_EQ(logtest::readFile(logFile_), "");  // below the flush frequency: still cached
  ofw::Logger::close();
  auto r = readRecords(logFile_);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2], "INFO  ovg.vgd cached 2");
  OFW_INFO(ofw::getLogger("ovg.vgd"), "after close");
  ofw::Logger::close();
  EXPECT_EQ(readRecords(logFile_).back(), "INFO  ovg.vgd after close");
}

TEST_F(LoggerTest, DestinationChangeMovesToNewFile) {
  std::string second = dir_.file("second.log");
  configure(logFile_, {});
  OFW_INFO(ofw::getLogger("ovg.vgd"), "first");
  configure(second, {});
  OFW_INFO(ofw::getLogger("ovg.vgd"), "second");
  ofw::Logger::flush();
  EXPECT_EQ(readRecords(logFile_), std::vector<std::string>{"INFO  ovg.vgd first"});
  EXPECT_EQ(readRecords(second), std::vector<std::string>{"INFO  ovg.vgd second"});
}

}  // namespace
