// The background log thread: order, completeness across stop, synchronous
// mode, drops on a full queue, idle flushing; and the circular buffer.

// GCC 12 reports a false -Wmaybe-uninitialized inside std::regex when built
// with the sanitizers; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "log_test_util.h"
#include "ofw/logging/filelogging.h"
#include "ofw/logging/logger.h"

using logtest::configure;
using logtest::readRecords;

namespace {

class LogQueueTest : public ::testing::Test {
 protected:
  void TearDown() override { logtest::reset(); }

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

  logtest::TempDir dir_;
  std::string logFile_ = dir_.file("queue.log");
};

TEST_F(LogQueueTest, QueueSizeZeroIsSynchronousAndComplete) {
  configure(logFile_, {{"logger.queue.size", "0"}});
  ofw::Logger::startThread();
  EXPECT_FALSE(ofw::Logger::isThreadRunning());
  logFrom(4, 500);
  ofw::Logger::flush();
  auto r = readRecords(logFile_);
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

  ofw::Logger::flush();
  auto r = readRecords(logFile_);
  // Only the warning about the size and the ERROR record reached the file.
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "WARN  util.logger Circular buffer size 0 KiB is below one record. Using 2 KiB.");
  EXPECT_EQ(r[1], "ERROR cb.loud paused");

  ofw::Logger::ReconfigureBuffer(false, ofw::Logger::INFO);
  EXPECT_FALSE(l->isLevelEnabled(ofw::Logger::DEBUG));
}

}  // namespace
