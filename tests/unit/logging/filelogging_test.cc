// The log file: flush frequency and write cache, rotation with a kept count,
// compressed backups, a moved file.

// GCC 12 reports a false -Wmaybe-uninitialized inside std::regex when built
// with the sanitizers; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>

#include "log_test_util.h"
#include "ofw/logging/filelogging.h"
#include "ofw/logging/logger.h"

namespace {

std::set<std::string> listDir(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename());
  return out;
}

// Decompresses a gzip file with zlib; fails the test when it is not valid gzip.
std::string gunzip(const std::string& compressed) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  EXPECT_EQ(inflateInit2(&zs, 16 + MAX_WBITS), Z_OK);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  zs.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  char buf[65536];
  int rc;
  do {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.append(buf, sizeof buf - zs.avail_out);
  } while (rc != Z_STREAM_END);
  EXPECT_EQ(rc, Z_STREAM_END) << "not a complete gzip stream";
  EXPECT_EQ(zs.avail_in, 0u);
  inflateEnd(&zs);
  return out;
}

// The record numbers ("n=%06d") in the text, in order.
std::vector<int> numbers(const std::string& text) {
  std::vector<int> out;
  std::regex re("n=(\\d{6})");
  for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
    out.push_back(std::stoi((*it)[1]));
  return out;
}

struct FrequencyCase {
  int configured;
  int frequency;
  size_t cache;
};
class FlushFrequencyTest : public ::testing::TestWithParam<FrequencyCase> {};
TEST_P(FlushFrequencyTest, Rules) {
  size_t cache = 99;
  EXPECT_EQ(ofw::FileLogging::EffectiveFlushFrequency(GetParam().configured, &cache), GetParam().frequency);
  EXPECT_EQ(cache, GetParam().cache);
}
INSTANTIATE_TEST_SUITE_P(Values, FlushFrequencyTest,
                         ::testing::Values(FrequencyCase{-5, 10, 10240}, FrequencyCase{-1, 10, 10240},
                                           FrequencyCase{0, 1, 0}, FrequencyCase{1, 1, 0},
                                           FrequencyCase{2, 2, 2048}, FrequencyCase{10, 10, 10240},
                                           FrequencyCase{512, 512, 524288},
                                           FrequencyCase{513, 512, 524288},
                                           FrequencyCase{1 << 30, 512, 524288}));

class FileLoggingTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.file("app.log"); }
  logtest::TempDir dir_;
};

TEST_F(FileLoggingTest, CacheHoldsRecordsUntilTheFlushPoint) {
  ofw::FileLoggingOptions o;
  o.flushFrequency = 10;
  ofw::FileLogging f(path(), o);
  ASSERT_TRUE(f.open());
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(f.log(("n=" + std::to_string(100000 + i)).c_str()));
  EXPECT_EQ(logtest::readFile(path()), "");
  f.log("n=100009");
  EXPECT_EQ(numbers(logtest::readFile(path())).size(), 10u);
  f.log("n=100010");
  f.flush();
  EXPECT_EQ(numbers(logtest::readFile(path())).size(), 11u);
}

TEST_F(FileLoggingTest, RecordsLargerThanTheCacheAreWrittenWhole) {
  ofw::FileLoggingOptions o;
  o.flushFrequency = 2;  // 2 KiB cache
  ofw::FileLogging f(path(), o);
  ASSERT_TRUE(f.open());
  std::string big(3000, 'z');
  for (int i = 0; i < 5; ++i) f.log(("n=" + std::to_string(100000 + i) + " " + big).c_str());
  f.close();
  auto lines = logtest::splitLines(logtest::readFile(path()));
  ASSERT_EQ(lines.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_NE(lines[i].find("n=" + std::to_string(100000 + i) + " " + big), std::string::npos);
}

TEST_F(FileLoggingTest, ClosedFileRefusesRecords) {
  ofw::FileLogging f(path(), ofw::FileLoggingOptions());
  EXPECT_FALSE(f.log("x"));
  ofw::FileLogging bad(dir_.file("no/such/dir.log"), ofw::FileLoggingOptions());
  EXPECT_FALSE(bad.open());
  EXPECT_FALSE(bad.log("x"));
}

struct RotationCase {
  int keep;
  bool zip;
  int frequency;
};
class RotationTest : public FileLoggingTest, public ::testing::WithParamInterface<RotationCase> {};

TEST_P(RotationTest, NeverMoreThanTheKeptCount) {
  const RotationCase& c = GetParam();
  ofw::FileLoggingOptions o;
  o.maxBytes = 20000;
  o.maxCount = c.keep;
  o.zipBackup = c.zip;
  o.flushFrequency = c.frequency;
  ofw::FileLogging f(path(), o);
  ASSERT_TRUE(f.open());
  std::set<std::string> allowed = {"app.log"};
  for (int i = 1; i <= c.keep; ++i) {
    allowed.insert("app.log." + std::to_string(i));
    allowed.insert("app.log." + std::to_string(i) + ".gz");
    allowed.insert("app.log." + std::to_string(i) + ".gz.tmp");  // compression in progress
  }
  const int total = 3000;
  std::string pad(90, '.');
  for (int i = 0; i < total; ++i) {
    char rec[200];
    snprintf(rec, sizeof rec, "n=%06d %s", i, pad.c_str());
    f.log(rec);
    if (i % 50 == 0) {
      for (const std::string& n : listDir(dir_.path())) EXPECT_TRUE(allowed.count(n)) << n;
    }
  }
  f.close();  // waits for a running compression

  std::set<std::string> files = listDir(dir_.path());
  std::string all;
  for (int i = c.keep; i >= 1; --i) {
    std::string plain = "app.log." + std::to_string(i), gz = plain + ".gz";
    if (c.zip) {
      EXPECT_FALSE(files.count(plain)) << plain << " left uncompressed";
      ASSERT_TRUE(files.count(gz)) << gz;
      all += gunzip(logtest::readFile(dir_.file(gz)));
    } else {
      EXPECT_FALSE(files.count(gz));
      ASSERT_TRUE(files.count(plain)) << plain;
      std::string content = logtest::readFile(dir_.file(plain));
      EXPECT_GE(content.size(), 20000u);  // rotated only once it reached the maximum
      all += content;
    }
  }
  all += logtest::readFile(path());
  for (const std::string& n : files) {
    EXPECT_TRUE(allowed.count(n)) << n;
    EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
  }
  // The kept files and the live file hold an unbroken run of the newest records.
  std::vector<int> got = numbers(all);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), total - 1);
  for (size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i], got[i - 1] + 1) << "gap at " << i;
  if (c.keep == 0) {
    EXPECT_LT(logtest::readFile(path()).size(), 20000u + 10 * 200u);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, RotationTest,
                         ::testing::Values(RotationCase{5, false, 1}, RotationCase{5, true, 1},
                                           RotationCase{5, false, 10}, RotationCase{5, true, 7},
                                           RotationCase{1, false, 1}, RotationCase{2, true, 3},
                                           RotationCase{0, false, 1}));

TEST_F(FileLoggingTest, CompressionSettingChangeStillKeepsTheCount) {
  ofw::FileLoggingOptions o;
  o.maxBytes = 5000;
  o.maxCount = 3;
  o.flushFrequency = 1;
  std::string pad(90, '.');
  int n = 0;
  for (bool zip : {false, true, false}) {
    o.zipBackup = zip;
    ofw::FileLogging f(path(), o);
    ASSERT_TRUE(f.open());
    for (int i = 0; i < 300; ++i, ++n) f.log(("n=" + std::to_string(100000 + n) + pad).c_str());
  }
  for (const std::string& name : listDir(dir_.path())) {
    EXPECT_TRUE(std::regex_match(name, std::regex("app\\.log(\\.[123](\\.gz)?)?"))) << name;
  }
}

TEST_F(FileLoggingTest, MovedFileIsReplacedAtTheNextFlushPoint) {
  ofw::FileLoggingOptions o;
  o.flushFrequency = 1;
  ofw::FileLogging f(path(), o);
  ASSERT_TRUE(f.open());
  for (int i = 0; i < 10; ++i) f.log(("n=" + std::to_string(100000 + i)).c_str());
  ASSERT_EQ(rename(path().c_str(), dir_.file("moved.log").c_str()), 0);
  for (int i = 10; i < 20; ++i) f.log(("n=" + std::to_string(100000 + i)).c_str());
  f.close();
  std::vector<int> moved = numbers(logtest::readFile(dir_.file("moved.log")));
  std::vector<int> live = numbers(logtest::readFile(path()));
  ASSERT_EQ(moved.size() + live.size(), 20u);
  ASSERT_FALSE(live.empty());
  EXPECT_EQ(live.back(), 100019);
  EXPECT_EQ(moved.back() + 1, live.front());
}

TEST_F(FileLoggingTest, LostFileIsOpenedAgainLater) {
  std::string sub = dir_.file("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  std::string file = sub + "/app.log";
  ofw::FileLoggingOptions o;
  o.flushFrequency = 1;
  ofw::FileLogging f(file, o);
  ASSERT_TRUE(f.open());
  EXPECT_TRUE(f.log("n=100000"));
  // The directory disappears: the reopen at the flush point fails.
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  EXPECT_TRUE(f.log("n=100001"));  // written to the removed file, then the reopen fails
  EXPECT_FALSE(f.log("n=100002"));  // the caller falls back to syslog
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  bool back = false;
  for (int i = 0; i < 3000 && !back; ++i) {
    back = f.log("n=100003");
    if (!back) usleep(10000);
  }
  EXPECT_TRUE(back);
  f.close();
  EXPECT_EQ(numbers(logtest::readFile(file)), std::vector<int>{100003});
}

TEST_F(FileLoggingTest, RotationThroughTheConfiguration) {
  std::string file = path();
  logtest::configure(file, {{"logger.file.maxsize", "1"},
                            {"logger.file.maxcount", "2"},
                            {"logger.file.zip.backup", "true"},
                            {"logger.file.flush.frequency", "20"}});
  ofw::LoggerPtr l = ofw::getLogger("rot");
  std::string pad(1000, 'r');
  for (int i = 0; i < 3500; ++i) OFW_INFO(l, "n=%06d %s", i, pad.c_str());
  ofw::Logger::close();
  logtest::reset();
  std::set<std::string> files = listDir(dir_.path());
  EXPECT_EQ(files, (std::set<std::string>{"app.log", "app.log.1.gz", "app.log.2.gz"}));
  std::string all = gunzip(logtest::readFile(dir_.file("app.log.2.gz"))) +
                    gunzip(logtest::readFile(dir_.file("app.log.1.gz"))) + logtest::readFile(file);
  std::vector<int> got = numbers(all);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), 3499);
  for (size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i], got[i - 1] + 1);
}

}  // namespace
