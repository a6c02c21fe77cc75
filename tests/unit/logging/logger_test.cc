// Named loggers: levels and their inheritance, record layout, reconfiguration
// and its warnings, thread-private loggers, exceptions that log themselves;
// the background log thread (order, completeness across stop, synchronous
// mode, drops on a full queue, idle flushing) and the circular buffer.

// GCC 12 reports a false -Wmaybe-uninitialized inside std::regex when built
// with the sanitizers; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
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

// ------------------------------------------------------------------ the log thread

class LogQueueTest : public LoggerTest {
 protected:
  // Records "Q<thread> <seq>" from each thread, checked complete and in order.
  static void expectCompleteAndOrdered(const std::vector<std::string>& records, int threads,
                                       int perThread) {
    std::map<int, int> next;
    std::regex re("INFO  q\\.order Q(\\d+) (\\d+)");
    int total = 0;
    for (const std::string& r : records) {
      std::smatch m;
      if (!std::regex_match(r, m, re)) continue;
      int t = std::stoi(m[1]), seq = std::stoi(m[2]);
      EXPECT_EQ(seq, next[t]) << "thread " << t;
      next[t] = seq + 1;
      ++total;
    }
    EXPECT_EQ(total, threads * perThread);
    for (int t = 0; t < threads; ++t) EXPECT_EQ(next[t], perThread) << "thread " << t;
  }

  static void logFrom(int threads, int perThread) {
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
      ts.emplace_back([t, perThread] {
        ofw::LoggerPtr l = ofw::getLogger("q.order");
        for (int i = 0; i < perThread; ++i) OFW_INFO(l, "Q%d %d", t, i);
      });
    for (auto& t : ts) t.join();
  }
};

TEST_F(LogQueueTest, QueueSizeZeroIsSynchronousAndComplete) {
  configure(logFile_, {{"logger.queue.size", "0"}});
  ofw::Logger::startThread();
  EXPECT_FALSE(ofw::Logger::isThreadRunning());
  logFrom(4, 500);
  auto r = records();
  EXPECT_EQ(r.front(), "WARN  util.logger LogQueue disabled.  Recommended for debugging only.");
  expectCompleteAndOrdered(r, 4, 500);
}

TEST_F(LogQueueTest, StopLosesNothingThatWasQueued) {
  configure(logFile_, {{"logger.queue.size", "100000"}, {"logger.file.flush.frequency", "50"}});
  ofw::Logger::startThread();
  const int threads = 6, perThread = 2000;
  std::atomic<int> started{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < threads; ++t)
    ts.emplace_back([t, &started] {
      ofw::LoggerPtr l = ofw::getLogger("q.order");
      for (int i = 0; i < perThread; ++i) {
        OFW_INFO(l, "Q%d %d", t, i);
        if (i == 100) ++started;
      }
    });
  // Stop while the producers are still logging: records posted before the
  // stop are drained, later ones are written synchronously, in order.
  while (started.load() < threads) std::this_thread::yield();
  ofw::Logger::stopThread();
  for (auto& t : ts) t.join();
  ofw::Logger::close();
  expectCompleteAndOrdered(readRecords(logFile_), threads, perThread);
}

TEST_F(LogQueueTest, ThreadCanBeRestarted) {
  configure(logFile_, {{"logger.queue.size", "1000"}});
  const auto threads = [] {
    size_t n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) n += task.exists();
    return n;
  };
  const size_t before = threads();
  for (int round = 0; round < 3; ++round) {
    ofw::Logger::startThread();
    ofw::Logger::startThread();  // already running: no second thread
    EXPECT_EQ(threads(), before + 1) << "round " << round;
    OFW_INFO(ofw::getLogger("q.order"), "Q0 %d", round);
    ofw::Logger::stopThread();
    ofw::Logger::stopThread();
  }
  expectCompleteAndOrdered(readRecords(logFile_), 1, 3);
}

TEST_F(LogQueueTest, IdleLogThreadFlushesTheWriteCache) {
  configure(logFile_, {{"logger.queue.size", "100"}, {"logger.file.flush.frequency", "100"}});
  ofw::Logger::startThread();
  OFW_INFO(ofw::getLogger("q.order"), "Q0 0");
  // Far below the flush frequency: only the idle flush can bring it to the file.
  bool seen = false;
  for (int i = 0; i < 3000 && !seen; ++i) {
    seen = logtest::readFile(logFile_).find("Q0 0") != std::string::npos;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(seen);
}

// A destination that blocks (a FIFO nobody reads) fills the queue: callers drop
// records without waiting, and the count of dropped records is reported once
// the destination moves again. Every record is either written or counted.
TEST_F(LogQueueTest, FullQueueDropsWithoutStallingAndCountsDrops) {
  std::string fifo = dir_.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  // A writer of our own keeps the reader from seeing the end before the
  // logger opened the FIFO.
  int keepOpen = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(keepOpen, 0);
  configure(fifo, {{"logger.queue.size", "4"}, {"log", "INFO"}});
  ofw::Logger::startThread();
  const int total = 3000;
  std::string pad(800, 'p');
  ofw::LoggerPtr l = ofw::getLogger("q.drop");
  for (int i = 0; i < total; ++i) OFW_INFO(l, "rec %d %s", i, pad.c_str());  // never blocks

  std::string data;
  std::thread drain([reader, &data] {
    fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK);
    char buf[65536];
    for (;;) {
      ssize_t n = read(reader, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
  });
  ofw::Logger::stopThread();
  ofw::Logger::close();
  close(keepOpen);  // every writer closed: the reader sees the end
  drain.join();
  close(reader);

  int written = 0;
  long dropped = 0;
  int warnings = 0;
  int last = -1;
  std::regex rec("INFO  q\\.drop rec (\\d+) p+");
  std::regex warn("ERROR util\\.logger Warning: Orvane logger dropping messages:\\(INFO  q\\.drop rec \\d+ p+\\) "
                  "Please insure syslog is running correctly or increase the value of logger\\.queue\\.size "
                  "in orvanepw\\.conf\\. \\((\\d+) dropped\\)");
  for (const std::string& line : logtest::splitLines(data)) {
    size_t p = line.find("]: ");
    ASSERT_NE(p, std::string::npos) << line;
    std::string text = line.substr(p + 3);
    std::smatch m;
    if (std::regex_match(text, m, rec)) {
      int n = std::stoi(m[1]);
      EXPECT_GT(n, last);  // order kept among the records that were written
      last = n;
      ++written;
    } else if (std::regex_match(text, m, warn)) {
      dropped += std::stol(m[1]);
      ++warnings;
    }
  }
  EXPECT_GT(dropped, 0);
  EXPECT_GE(warnings, 1);
  EXPECT_EQ(written + dropped, total);
}

class CircularBufferTest : public ::testing::TestWithParam<size_t> {};

TEST_P(CircularBufferTest, MarkerAlwaysFollowsNewestRecord) {
  ofw::CircularBuffer cb(GetParam());
  EXPECT_EQ(cb.size(), std::max(GetParam(), ofw::CircularBuffer::MIN_SIZE));
  const std::string marker = ofw::CircularBuffer::END_MARKER;
  ASSERT_EQ(marker.size(), ofw::CircularBuffer::END_MARKER_LENGTH);
  for (int i = 0; i < 300; ++i) {
    // Lengths from 1 to 1,500 (longer than any record the logger makes).
    std::string text = "r" + std::to_string(i) + " " + std::string(static_cast<size_t>((i * 37) % 1500), 'a' + i % 26);
    cb.write(text.c_str());
    std::string c = cb.contents();
    ASSERT_EQ(c.size(), cb.size());
    size_t at = c.find(marker);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(c.find(marker, at + 1), std::string::npos) << "a second marker";
    EXPECT_EQ(at + 1, cb.position());
    size_t start = c.rfind("_cbuf ", at);
    ASSERT_NE(start, std::string::npos);
    std::string record = c.substr(start, at - start);
    size_t p = record.find("]: ");
    ASSERT_NE(p, std::string::npos);
    std::string body = record.substr(p + 3);
    EXPECT_EQ(body, text.substr(0, body.size()));
    EXPECT_GE(body.size(), std::min<size_t>(text.size(), 1000));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CircularBufferTest,
                         ::testing::Values(size_t{0}, size_t{13}, size_t{1000}, size_t{2048},
                                           size_t{3001}, size_t{8192}, size_t{65536}));

TEST_F(LogQueueTest, CircularBufferThroughTheLogger) {
  configure(logFile_, {{"log", "ERROR"},
                       {"log.util.logger", "WARN"},
                       {"logger.memory.enabled", "true"},
                       {"logger.memory.bufsize", "0"},
                       {"logger.memory.log", "DEBUG"},
                       {"logger.memory.log.cb.quiet", "ERROR"}});
  std::string c = ofw::Logger::GetBufferContents();
  EXPECT_EQ(c.size(), ofw::CircularBuffer::MIN_SIZE);
  ofw::LoggerPtr l = ofw::getLogger("cb.loud");
  EXPECT_TRUE(l->isLevelEnabled(ofw::Logger::DEBUG));  // the buffer wants it
  for (int i = 0; i < 50; ++i) OFW_DEBUG(l, "in buffer %d %s", i, std::string(900, 'b').c_str());
  OFW_INFO(ofw::getLogger("cb.quiet"), "not for the buffer");
  OFW_DEBUG(l, "newest");
  c = ofw::Logger::GetBufferContents();
  EXPECT_NE(c.find("DEBUG cb.loud newest" + std::string(ofw::CircularBuffer::END_MARKER)), std::string::npos);
  EXPECT_EQ(c.find("not for the buffer"), std::string::npos);

  ofw::Logger::SetBufferActive(false);
  OFW_ERROR(l, "paused");
  EXPECT_EQ(ofw::Logger::GetBufferContents().find("paused"), std::string::npos);
  ofw::Logger::SetBufferActive(true);

  auto r = records();
  // Only the warning about the size and the ERROR record reached the file.
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "WARN  util.logger Circular buffer size 0 KiB is below one record. Using 2 KiB.");
  EXPECT_EQ(r[1], "ERROR cb.loud paused");

  ofw::Logger::ReconfigureBuffer(false, ofw::Logger::INFO);
  EXPECT_FALSE(l->isLevelEnabled(ofw::Logger::DEBUG));
}

}  // namespace
