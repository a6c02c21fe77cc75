// The C log layer: record fields handed to the sender, pending records before
// start, the emergency destinations and their texts.

// GCC 12 reports a false -Wmaybe-uninitialized inside std::regex when built
// with the sanitizers; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "ofw/logging/clog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "log_test_util.h"
#include "ofw/logging/logger.h"

namespace {

struct Captured {
  uint32_t time;
  std::string program;
  int32_t pid;
  int32_t level;
  std::string file;
  int32_t line;
  std::string function;
  std::string text;
};

struct FakeSender {
  std::vector<std::vector<Captured>> calls;
  int result = 0;
  std::string error;

  static int send(void* ctx, const LogBuffer*, const LogRecordFields* r, size_t n, char* err, size_t errSize) {
    FakeSender* s = static_cast<FakeSender*>(ctx);
    if (s->result != 0) {
      snprintf(err, errSize, "%s", s->error.c_str());
      return s->result;
    }
    std::vector<Captured> batch;
    for (size_t i = 0; i < n; ++i)
      batch.push_back({r[i].time, r[i].program, r[i].pid, r[i].level, r[i].file, r[i].line, r[i].function,
                       r[i].text});
    s->calls.push_back(batch);
    return 0;
  }
};

class CLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string destination = "file " + emergency_;
    ASSERT_EQ(LogBufferCreate(&b_, "ovgsh", destination.c_str(), LOG_BUFFER_DEBUG, "/var/orvanevg/audit", 300, 5), 0);
  }
  void TearDown() override { LogBufferFree(b_); }
  // Emergency lines as (tag, text) after checking the line format.
  std::vector<std::pair<std::string, std::string>> emergencyLines() {
    std::vector<std::pair<std::string, std::string>> out;
    std::regex re("[A-Z][a-z]{2} [ 0-3]\\d \\d\\d:\\d\\d:\\d\\d ovgsh\\[" + std::to_string(getpid()) +
                  "\\] ([A-Z]+): (.*)");
    for (const std::string& line : logtest::splitLines(logtest::readFile(emergency_))) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, re)) << line;
      if (m.size() == 3) out.emplace_back(m[1], m[2]);
    }
    return out;
  }
  logtest::TempDir dir_;
  std::string emergency_ = dir_.file("client.log");
  LogBuffer* b_ = nullptr;
};

TEST(CLogCreate, Arguments) {
  LogBuffer* b = nullptr;
  EXPECT_EQ(LogBufferCreate(nullptr, "p", "syslog", 2, nullptr, 1, 1), LOG_BUFFER_EINVAL);
  EXPECT_EQ(LogBufferCreate(&b, "p", "syslog", 9, nullptr, 1, 1), LOG_BUFFER_EINVAL);
  EXPECT_EQ(b, nullptr);
  ASSERT_EQ(LogBufferCreate(&b, "prog", nullptr, 2, "/sock", 300, 5), 0);
  EXPECT_EQ(LogBufferSetLevel(b, 7), LOG_BUFFER_EINVAL);
  EXPECT_EQ(LogBufferWrite(b, 2, "f", 1, "fn", nullptr), LOG_BUFFER_EINVAL);
  EXPECT_EQ(LogBufferWrite(nullptr, 2, "f", 1, "fn", "x"), LOG_BUFFER_EINVAL);
  EXPECT_EQ(LogBufferFree(b), 0);
  EXPECT_EQ(LogBufferFree(nullptr), 0);
}

TEST_F(CLogTest, RecordsWaitForStartThenCarryEveryField) {
  FakeSender s;
  ASSERT_EQ(LogBufferSetSender(b_, &FakeSender::send, &s), 0);
  uint32_t before = static_cast<uint32_t>(time(nullptr));
  LogBufferWrite(b_, LOG_BUFFER_INFO, "auditlevel.c", 12, "getLevel", "user %s level %d", "bob", 2);
  LogBufferWrite(b_, LOG_BUFFER_TRACE, "auditlevel.c", 13, "getLevel", "below the level");
  LogBufferWrite(b_, LOG_BUFFER_WARN, nullptr, 14, nullptr, "second");
  EXPECT_TRUE(s.calls.empty());
  ASSERT_EQ(LogBufferStart(b_), 0);
  ASSERT_EQ(s.calls.size(), 1u);
  ASSERT_EQ(s.calls[0].size(), 2u);
  const Captured& r = s.calls[0][0];
  EXPECT_GE(r.time, before);
  EXPECT_LE(r.time, static_cast<uint32_t>(time(nullptr)));
  EXPECT_EQ(r.program, "ovgsh");
  EXPECT_EQ(r.pid, getpid());
  EXPECT_EQ(r.level, ofw::Logger::INFO);
  EXPECT_EQ(r.file, "auditlevel.c");
  EXPECT_EQ(r.line, 12);
  EXPECT_EQ(r.function, "getLevel");
  EXPECT_EQ(r.text, "user bob level 2");
  EXPECT_EQ(s.calls[0][1].level, ofw::Logger::WARN);
  EXPECT_EQ(s.calls[0][1].file, "");
  EXPECT_EQ(s.calls[0][1].function, "");
  LogBufferWrite(b_, LOG_BUFFER_ERROR, "a.c", 1, "f", "%s", std::string(5000, 'x').c_str());
  ASSERT_EQ(s.calls.size(), 2u);
  EXPECT_EQ(s.calls[1][0].text, std::string(LOG_BUFFER_RECORD_SIZE - 1, 'x'));
  EXPECT_FALSE(logtest::fileExists(emergency_));
}

TEST_F(CLogTest, PendingRecordsAreBounded) {
  FakeSender s;
  LogBufferSetSender(b_, &FakeSender::send, &s);
  for (int i = 0; i < LOG_BUFFER_MAX_PENDING + 5; ++i) LogBufferWrite(b_, LOG_BUFFER_INFO, "f", i, "fn", "r%d", i);
  auto lines = emergencyLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], std::make_pair(std::string("INFO"), "r" + std::to_string(LOG_BUFFER_MAX_PENDING)));
  LogBufferStart(b_);
  ASSERT_EQ(s.calls.size(), 1u);
  EXPECT_EQ(s.calls[0].size(), static_cast<size_t>(LOG_BUFFER_MAX_PENDING));
}

struct FailureCase {
  int rc;
  const char* expected;
};
class CLogFailureTest : public CLogTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CLogFailureTest, FailedSendGoesToTheEmergencyFile) {
  FakeSender s;
  s.result = GetParam().rc;
  s.error = "Connection refused";
  LogBufferSetSender(b_, &FakeSender::send, &s);
  LogBufferStart(b_);
  LogBufferWrite(b_, LOG_BUFFER_WARN, "x.c", 3, "fn", "the record");
  LogBufferWrite(b_, LOG_BUFFER_DEBUG, "x.c", 4, "fn", "the next");
  auto lines = emergencyLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(std::string("ERROR"), std::string(GetParam().expected)));
  EXPECT_EQ(lines[1], std::make_pair(std::string("WARN"), std::string("the record")));
  EXPECT_EQ(lines[2], std::make_pair(std::string("DEBUG"), std::string("the next")));
  // A new start tries the sender again.
  s.result = 0;
  LogBufferStart(b_);
  LogBufferWrite(b_, LOG_BUFFER_INFO, "x.c", 5, "fn", "delivered");
  ASSERT_EQ(s.calls.size(), 1u);
  EXPECT_EQ(s.calls[0][0].text, "delivered");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CLogFailureTest,
    ::testing::Values(FailureCase{LOG_BUFFER_ECONNECT,
                                  "Failed to open logging connection to vgd through '/var/orvanevg/audit': "
                                  "Connection refused"},
                      FailureCase{LOG_BUFFER_ESEND, "Failed to send log message: Connection refused"}));

TEST_F(CLogTest, WithoutSenderRecordsGoToTheEmergencyLog) {
  LogBufferWrite(b_, LOG_BUFFER_INFO, "x.c", 3, "fn", "no daemon %d", 1);
  LogBufferEmergency(b_, LOG_BUFFER_ERROR, "direct");
  auto lines = emergencyLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::make_pair(std::string("INFO"), std::string("no daemon 1")));
  EXPECT_EQ(lines[1], std::make_pair(std::string("ERROR"), std::string("direct")));
}

TEST_F(CLogTest, FreeWritesPendingRecords) {
  FakeSender s;
  LogBufferSetSender(b_, &FakeSender::send, &s);
  LogBufferWrite(b_, LOG_BUFFER_INFO, "x.c", 3, "fn", "never started");
  LogBufferFree(b_);
  b_ = nullptr;
  EXPECT_TRUE(s.calls.empty());
  auto lines = emergencyLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, "never started");
}

// Destinations that are not a file: no crash, nothing written to disk.
class CLogDestinationTest : public ::testing::TestWithParam<const char*> {};
TEST_P(CLogDestinationTest, OtherDestinations) {
  LogBuffer* b = nullptr;
  ASSERT_EQ(LogBufferCreate(&b, "vgtest", GetParam(), LOG_BUFFER_INFO, "/nonexistent/sock", 1, 1), 0);
  EXPECT_EQ(LogBufferWrite(b, LOG_BUFFER_INFO, "x.c", 1, "fn", "to %s", GetParam()), 0);
  EXPECT_EQ(LogBufferFree(b), 0);
}
INSTANTIATE_TEST_SUITE_P(Destinations, CLogDestinationTest,
                         ::testing::Values("syslog", "local3", "daemon", "bogus", "file ",
                                           "file /nonexistent-dir/x.log", ""));

TEST(CLogToLogger, SenderWritesThroughTheClientLogger) {
  logtest::TempDir dir;
  std::string file = dir.file("daemon.log");
  logtest::configure(file, {{"log", "INFO"}, {"log.client", "DEBUG"}});
  LogBuffer* b = nullptr;
  ASSERT_EQ(LogBufferCreate(&b, "vgd", "syslog", LOG_BUFFER_TRACE, nullptr, 1, 1), 0);
  LogBufferSetSender(b, &LogBufferSendToLogger, nullptr);
  LogBufferStart(b);
  LogBufferWrite(b, LOG_BUFFER_DEBUG, "lvl.c", 8, "fn", "audit level %d", 3);
  LogBufferWrite(b, LOG_BUFFER_TRACE, "lvl.c", 9, "fn", "too fine");
  LogBufferFree(b);
  ofw::Logger::flush();
  EXPECT_EQ(logtest::readRecords(file), std::vector<std::string>{"DEBUG audit level 3"});
  logtest::reset();
}

}  // namespace
