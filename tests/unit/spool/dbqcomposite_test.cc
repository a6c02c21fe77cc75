// The composite queue: rollover, rotation over numbered files, renewal,
// recovery by moving aside and salvaging, read-only use.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "ofw/dbq/dbq_salvage.h"
#include "ofw/dbq/dbqcomposite.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQComposite;
using ofw::DBQSingle;

namespace {

size_t recLen(uint32_t seq) { return 200 + (seq * 37) % 900; }

void writeSingle(const std::string& path, std::initializer_list<uint32_t> seqs) {
  Single s(path);
  for (uint32_t q : seqs) put(s, record(q, recLen(q)));
}

using DbqComposite = SpoolDirTest;

TEST_F(DbqComposite, FreshDirectoryHoldsFileZero) {
  std::string dir = t.file("a/b/spool");
  Composite q(dir);
  EXPECT_EQ(entries(dir), std::vector<std::string>{"0"});
  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.getQueueSizeOnDisk(), static_cast<uint64_t>(B));
  EXPECT_EQ(DBQComposite::getQueueSizeOnDisk(dir), static_cast<uint64_t>(B));
  EXPECT_EQ(DBQComposite::getQueueSizeOnDisk(t.file("none")), 0u);
  DBQComposite ro(B);
  EXPECT_FALSE(ro.open(t.file("none"), ofw::DBQ_READ_ONLY, 0600, true, ""));
  EXPECT_FALSE(exists(t.file("none")));
  writeFile(t.file("plain"), {1});
  EXPECT_FALSE(ro.open(t.file("plain"), ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  EXPECT_EQ(raised<ofw::IOException>([&] { put(ro, record(1, 1)); }).what, "DBQC (enqueue) is not opened.");
}

TEST_F(DbqComposite, RollsOverPastTheLimitAndDeletesEmptiedFiles) {
  Composite q(dir, 10 * 1024);
  // 1000-byte records take 3 blocks each: the file passes 10 KiB (20 blocks)
  // after the 7th record (1 + 21 blocks), so the 8th starts file 1.
  putAll(q, 0, 7, 1000);
  EXPECT_EQ(entries(dir), std::vector<std::string>{"0"});
  EXPECT_GT(fileSize(dir + "/0"), 10 * 1024);
  put(q, record(7, 1000));
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(q.getEnqueueID(), 1);
  EXPECT_EQ(q.getDequeueID(), 0);
  putAll(q, 8, 20, 1000);
  EXPECT_EQ(q.count(), 20);
  EXPECT_EQ(q.getDataSize(), 20000u);
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_EQ(q.getQueueSizeOnDisk(), static_cast<uint64_t>(fileSize(dir + "/0") + fileSize(dir + "/1") + fileSize(dir + "/2")));
  EXPECT_FALSE(q.empty());
  for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(popSeq(q), i);
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"1", "2"}));  // emptied file 0 deleted
  for (uint32_t i = 7; i < 19; ++i) EXPECT_EQ(popSeq(q), i);
  EXPECT_EQ(entries(dir), std::vector<std::string>{"2"});
  EXPECT_FALSE(q.empty());
  EXPECT_EQ(popSeq(q), 19u);
  // Dequeue and enqueue ends coincide: emptying the file does not delete it.
  EXPECT_EQ(entries(dir), std::vector<std::string>{"2"});
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.getDataSize(), 0u);
}

TEST_F(DbqComposite, OpensAGappedDirectoryAndRotatesThroughIt) {
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  writeSingle(dir + "/3", {1, 2});
  writeSingle(dir + "/4", {3});
  writeSingle(dir + "/7", {4, 5});
  writeFile(dir + "/notes", {1, 2, 3});  // not numbered: ignored
  {
    // Read-only: sees everything, creates and deletes nothing.
    Composite ro(dir, 0, ofw::DBQ_READ_ONLY);
    EXPECT_EQ(ro.getDequeueID(), 3);
    EXPECT_EQ(ro.getEnqueueID(), 7);
    EXPECT_EQ(ro.count(), 5);
    EXPECT_EQ(seqsOf(ro), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_THROW(ro.dequeue(), ofw::IOException);
    EXPECT_THROW(put(ro, record(9, 9)), ofw::IOException);
  }
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"3", "4", "7", "notes"}));

  Composite q(dir);
  EXPECT_EQ(q.getDequeueID(), 3);
  EXPECT_EQ(q.getEnqueueID(), 7);
  EXPECT_EQ(q.count(), 5);
  EXPECT_EQ(popSeq(q), 1u);
  // Emptying 3 opens 4; emptying 4 opens 5, created empty; 5 and 6 are
  // skipped before the read.
  const std::pair<int, std::vector<std::string>> after[] = {
      {4, {"4", "7", "notes"}}, {5, {"5", "7", "notes"}}, {7, {"7", "notes"}}, {7, {"7", "notes"}}};
  for (uint32_t seq = 2; seq <= 5; ++seq) {
    EXPECT_EQ(popSeq(q), seq);
    EXPECT_EQ(q.getDequeueID(), after[seq - 2].first) << seq;
    EXPECT_EQ(entries(dir), after[seq - 2].second) << seq;
  }
  EXPECT_TRUE(q.empty());
}

TEST_F(DbqComposite, EmptyOnlyWhenBothEndsCoincideAndAreEmpty) {
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  writeSingle(dir + "/0", {});
  writeSingle(dir + "/1", {});
  Composite q(dir);
  EXPECT_FALSE(q.empty());  // two files, though both are empty
  EXPECT_TRUE(head(q).empty());  // skips file 0
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(entries(dir), std::vector<std::string>{"1"});
  put(q, record(1, 10));
  EXPECT_FALSE(q.empty());
}

TEST_F(DbqComposite, RenewalOnlyWhenTheCountIsZero) {
  Composite q(dir, 2048);
  putAll(q, 0, 12, 1000);
  q.flushDb();  // records present: nothing happens
  EXPECT_EQ(q.count(), 12);
  for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(popSeq(q), i);
  EXPECT_NE(entries(dir), std::vector<std::string>{"0"});
  q.flushDb();
  EXPECT_EQ(entries(dir), std::vector<std::string>{"0"});
  EXPECT_EQ(fileSize(dir + "/0"), B);
  EXPECT_TRUE(q.isOpen());
  EXPECT_EQ(q.getEnqueueID(), 0);
  // A record of no bytes counts: its queue is not renewed.
  q.enqueue(boost::shared_array<unsigned char>(), 0);
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.getDataSize(), 0u);
  std::vector<unsigned char> before = readFile(dir + "/0");
  q.flushDb();
  EXPECT_EQ(readFile(dir + "/0"), before);
  EXPECT_EQ(q.count(), 1);
}

bool failEveryRollover(int64_t) { return true; }

class DbqRolloverFailure : public SpoolDirTest, public ::testing::WithParamInterface<bool> {};

// The next file cannot be made: the record goes to the current file.
TEST_P(DbqRolloverFailure, KeepsTheRecord) {
  Composite q(dir, 1024);
  put(q, record(0, 1000));  // file 0 is 2048 bytes: over the limit
  if (GetParam()) {
    DBQComposite::setRolloverFaultHook(failEveryRollover);
  } else {
    ASSERT_EQ(::mkdir((dir + "/1").c_str(), 0700), 0);  // a directory where file 1 must go
  }
  putAll(q, 1, 4, 1000);
  DBQComposite::setRolloverFaultHook(nullptr);
  EXPECT_EQ(q.count(), 4);
  EXPECT_EQ(q.getEnqueueID(), 0);
  EXPECT_EQ(seqsOf(q), seqs(0, 4));
  ::rmdir((dir + "/1").c_str());
  put(q, record(4, 1000));  // now the rollover succeeds
  EXPECT_EQ(q.getEnqueueID(), 1);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(popSeq(q), i);
}

INSTANTIATE_TEST_SUITE_P(Causes, DbqRolloverFailure, ::testing::Bool());

// A file not shut cleanly: open raises, handleException moves the directory
// aside and salvages every complete record into the fresh queue.
TEST_F(DbqComposite, UncleanFileIsMovedAsideAndSalvaged) {
  {
    Composite q(dir, 4096);
    for (uint32_t i = 0; i < 20; ++i) put(q, record(i, recLen(i)));
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(popSeq(q), i);
  }
  std::vector<std::string> files = entries(dir);
  ASSERT_GE(files.size(), 3u);
  RawFile f(dir + "/" + files[1]);
  f.setU8(0, 21, 1);  // an append in progress in a middle file
  f.save();
  DBQComposite q(B);
  q.setDbqMaxSize(4096);
  EXPECT_EQ(recovered<ofw::IOException>(q, [&] { q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""); }).what,
            "DBQSingle is not shut cleanly.");
  ASSERT_TRUE(q.isOpen());
  EXPECT_EQ(seqsOf(q), seqs(3, 20));
  EXPECT_EQ(q.count(), 17);
  std::vector<std::string> aside = asideCopies(t.path(), "spool");
  ASSERT_EQ(aside.size(), 1u);
  // "<path>.<pid>.<guid>"
  std::string suffix = aside[0].substr(dir.size() + 1);
  std::string pid = std::to_string(::getpid());
  EXPECT_EQ(suffix.compare(0, pid.size() + 1, pid + "."), 0) << suffix;
  EXPECT_EQ(suffix.size(), pid.size() + 1 + 32);
  EXPECT_EQ(entries(aside[0]), files);  // the copy stays on disk, unchanged
  // New records follow the salvaged ones.
  put(q, record(20, 10));
  for (uint32_t i = 3; i <= 20; ++i) EXPECT_EQ(popSeq(q), i);
}

TEST_F(DbqComposite, FatalErrorClosesAndALaterErrorRecovers) {
  filled<Composite>(dir, 0, 6, 1000);
  RawFile f(dir + "/0");
  f.setU8(7, 100, static_cast<uint8_t>(f.u8(7, 100) ^ 1));  // record 2's first block: checksum
  f.save();
  Composite q(dir);
  EXPECT_EQ(popSeq(q), 0u);
  EXPECT_EQ(popSeq(q), 1u);
  try {
    popSeq(q);
    FAIL();
  } catch (const ofw::FatalErrorException& e) {
    EXPECT_EQ(e.code(), 2);
    q.handleFatalErrorException(e);
  }
  EXPECT_FALSE(q.isOpen());
  // The next error moves the queue aside and salvages every intact record.
  EXPECT_EQ(recovered<ofw::IOException>(q, [&] { put(q, record(99, 1)); }).what, "DBQC (enqueue) is not opened.");
  ASSERT_TRUE(q.isOpen());
  ASSERT_EQ(asideCopies(t.path(), "spool").size(), 1u);
  put(q, record(99, 1));
  EXPECT_EQ(seqsOf(q), (std::vector<uint32_t>{3, 4, 5, 99}));
}

// A file that counts records of no bytes is moved aside, not deleted, when
// the rotation leaves it.
TEST_F(DbqComposite, RotationKeepsAFileThatStillCountsRecords) {
  Composite q(dir, 600);
  q.enqueue(boost::shared_array<unsigned char>(), 0);
  put(q, record(1, 1000));  // file 0: 2048 bytes, over the limit
  put(q, record(2, 10));    // file 1
  EXPECT_EQ(q.count(), 3);
  EXPECT_EQ(popSeq(q), 1u);  // file 0 is empty by its head but counts one record
  EXPECT_EQ(entries(dir), std::vector<std::string>{"1"});
  std::vector<std::string> aside = asideCopies(t.path(), "spool");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(aside[0].compare(0, dir.size() + 3, dir + ".0."), 0) << aside[0];
  EXPECT_EQ(Single(aside[0], 0, ofw::DBQ_READ_ONLY).count(), 1);
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(popSeq(q), 2u);
}

TEST_F(DbqComposite, DestroyRemovesEverything) {
  Composite q(dir, 1024);
  putAll(q, 0, 5, 1000);
  q.destroy();
  EXPECT_FALSE(exists(dir));
  EXPECT_FALSE(q.isOpen());
}

TEST_F(DbqComposite, CheckReportsAbnormalFiles) {
  {
    Composite q(dir);
    putAll(q, 0, 4, 1000);
    std::ostringstream ok;
    EXPECT_TRUE(q.checkIntegrity(ok)) << ok.str();
    EXPECT_NE(ok.str().find("Checking queue for integrity"), std::string::npos);
  }
  RawFile f(dir + "/0");
  f.setU64(0, 26, 4001);  // data size
  f.save();
  std::ostringstream bad;
  EXPECT_FALSE(DBQComposite::checkDirectory(dir, bad));
  EXPECT_NE(bad.str().find("Queue is abnormal."), std::string::npos) << bad.str();
}

// Producers, a consumer and a periodic flush share one queue: every record
// arrives once, each producer's records in order.
TEST_F(DbqComposite, ConcurrentProducersConsumerAndFlush) {
  Composite q(t.file("q"), 8192);
  const uint32_t kProducers = 3, kEach = 300;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (uint32_t p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      for (uint32_t i = 0; i < kEach; ++i) {
        uint32_t seq = p << 16 | i;
        put(q, record(seq, recLen(i)));
      }
    });
  std::thread flusher([&] {
    while (!done.load()) {
      q.flushDb();
      std::this_thread::yield();
    }
  });
  std::vector<uint32_t> next(kProducers, 0);
  uint32_t received = 0;
  while (received < kProducers * kEach) {
    uint32_t seq = popSeq(q);
    if (seq == UINT32_MAX) {
      std::this_thread::yield();
      continue;
    }
    uint32_t p = seq >> 16, i = seq & 0xffff;
    ASSERT_LT(p, kProducers);
    ASSERT_EQ(i, next[p]) << "producer " << p;
    ++next[p];
    ++received;
  }
  for (auto& th : threads) th.join();
  done = true;
  flusher.join();
  EXPECT_EQ(q.count(), 0);
  EXPECT_TRUE(q.empty());
  EXPECT_TRUE(intact(q));
}

}  // namespace
