// Per-session spools: names, buckets, status files, destruction, recovery of a
// spool that was not shut cleanly, and the Auditor's posting into them.
#include "ovgfw/session_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "auditor/auditor.h"
#include "ofw/dbq/dbq_format.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ovgfw/ovg_message.h"
#include "unit/spool/spool_test_util.h"

namespace {

using testsupport::TempDir;
using testsupport::fileExists;

std::vector<std::string> records(ofw::DBQ& q) {
  std::vector<std::string> out;
  auto* c = dynamic_cast<ofw::DBQComposite*>(&q);
  c->forEachRecord([&out](const unsigned char* d, unsigned int n) {
    out.emplace_back(reinterpret_cast<const char*>(d), n);
    return true;
  });
  return out;
}

void push(ofw::DBQ& q, const std::string& s) {
  boost::shared_array<unsigned char> b(new unsigned char[s.size()]);
  std::copy(s.begin(), s.end(), b.get());
  q.enqueue(b, static_cast<unsigned int>(s.size()));
}

class SessionSpool : public ::testing::Test {
 protected:
  TempDir t;
  ovgfw::SessionQueueCollection c{t.path(), 1 << 20, ofw::DBQ_OPEN_OR_CREATE};
};

TEST_F(SessionSpool, NamesUseSwappedTextAndBucketUsesRawBytes) {
  ofw::Guid a = ofw::Guid::fromString("00112233-4455-6677-8899-aabbccddeeff");
  ofw::Guid b = ofw::Guid::fromString("33221100-5544-7766-8899-aabbccddeeff");  // same bytes, first eight swapped
  ovgfw::SessionQueue qa(t.path(), a), qb(t.path(), b);
  EXPECT_EQ(qa.getDbqDirectoryPath(), qa.getDirectoryPath() + "/33221100-5544-7766-8899-aabbccddeeff.dbq");
  EXPECT_EQ(qb.getDbqDirectoryPath(), qb.getDirectoryPath() + "/00112233-4455-6677-8899-aabbccddeeff.dbq");
  EXPECT_NE(qa.getDirectoryPath(), qb.getDirectoryPath());
  EXPECT_EQ(qa.getDirectoryPath(), t.path() + "/" + ovgfw::sessionBucketName(a));
  EXPECT_EQ(ovgfw::sessionBucketName(a).size(), 2u);
}

TEST_F(SessionSpool, PearsonBucketOfTheZeroGuid) {
  // h = T[0 ^ h] sixteen times from h = 0, followed by hand through the table:
  // 98, 210, 204, 37, 120, 50, 253, 11, 5, 23, 102, 248, 104, 51, 225, 87.
  EXPECT_EQ(ovgfw::sessionBucketName(ofw::Guid()), "57");
  // One changed byte changes the walk.
  ofw::Guid g;
  g.data()[0] = 1;
  EXPECT_NE(ovgfw::sessionBucketName(g), "57");
}

TEST_F(SessionSpool, AddWritesStatusAndCollectionFindsEverySpool) {
  ofw::Guid g1 = ofw::Guid::generate(), g2 = ofw::Guid::generate();
  auto q1 = c.add(g1, 1 << 20);
  EXPECT_EQ(testsupport::readFile(q1->getStatusPath()).substr(0, 2), "1\n");
  // A queue directory whose status file was never written (crash between the two).
  ovgfw::SessionQueue q2(t.path(), g2);
  auto dbq2 = q2.getDBQ(1 << 20, ofw::DBQ_OPEN_OR_CREATE, 512);
  push(*dbq2, "x");
  dbq2->close();
  auto all = c.listSessions();
  std::set<ofw::Guid> found(all.begin(), all.end());
  EXPECT_EQ(found, (std::set<ofw::Guid>{g1, g2}));
  size_t n = 0;
  for (auto it = c.begin(); it != c.end(); ++it) ++n;
  EXPECT_EQ(n, 2u);
  auto end = c.begin();
  while (!end.atEnd()) ++end;
  EXPECT_THROW(++end, ofw::SystemException);
}

TEST_F(SessionSpool, DestroyingTheLastSessionRemovesItsBucket) {
  ofw::Guid g = ofw::Guid::generate();
  // A second GUID in the same bucket: change the last two bytes until the
  // hash matches (one byte alone cannot: each step is a permutation).
  ofw::Guid h = g;
  bool found = false;
  for (int v = 0; v < 65536 && !found; ++v) {
    h.data()[14] = static_cast<unsigned char>(v >> 8);
    h.data()[15] = static_cast<unsigned char>(v);
    found = h != g && ovgfw::sessionBucket(h) == ovgfw::sessionBucket(g);
  }
  ASSERT_EQ(ovgfw::sessionBucket(h), ovgfw::sessionBucket(g));
  auto qg = c.add(g, 1 << 20);
  auto qh = c.add(h, 1 << 20);
  push(*c.getDBQ(qg, 512), "a");
  push(*c.getDBQ(qh, 512), "b");
  std::string bucket = qg->getDirectoryPath();
  EXPECT_FALSE(c.destroyIfEmpty(g)) << "a spool holding a record must not be destroyed";
  c.destroy(g);
  EXPECT_TRUE(fileExists(bucket));
  EXPECT_FALSE(fileExists(qg->getDbqDirectoryPath()));
  EXPECT_FALSE(fileExists(qg->getStatusPath()));
  c.destroy(h);
  EXPECT_FALSE(fileExists(bucket));
}

// A queue still held but closed (as after an error) says nothing about its
// files: they decide whether the spool is empty.
TEST_F(SessionSpool, DestroyIfEmptyReadsTheFilesOfAClosedQueue) {
  ofw::Guid g = ofw::Guid::generate();
  auto sq = c.add(g, 1 << 20);
  auto dbq = c.getDBQ(sq, 512);
  push(*dbq, "kept");
  dbq->close();
  EXPECT_FALSE(c.destroyIfEmpty(g));
  EXPECT_TRUE(fileExists(sq->getDbqDirectoryPath() + "/0"));
  ASSERT_TRUE(dbq->open(sq->getDbqDirectoryPath(), ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  dbq->dequeue();
  dbq->close();
  EXPECT_TRUE(c.destroyIfEmpty(g));
  EXPECT_FALSE(fileExists(sq->getDbqDirectoryPath()));
}

TEST_F(SessionSpool, UncleanSpoolIsMovedAsideAndSalvaged) {
  ofw::Guid g = ofw::Guid::generate();
  ovgfw::SessionQueue q(t.path(), g);
  {
    auto dbq = q.getDBQ(1 << 20, ofw::DBQ_OPEN_OR_CREATE, 512);
    push(*dbq, "first");
    push(*dbq, "second");
    dbq->close();
  }
  // Mark file 0 as not shut cleanly: an operation in progress in the master block.
  spooltest::RawFile f(q.getDbqDirectoryPath() + "/0");
  f.setU8(0, 21, 1);
  f.save();
  auto dbq = q.getDBQ(1 << 20, ofw::DBQ_OPEN_OR_CREATE, 512);
  EXPECT_EQ(records(*dbq), (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(fileExists(q.getDbqDirectoryPath() + "." + std::to_string(getpid())));
  push(*dbq, "third");
  EXPECT_EQ(records(*dbq).back(), "third");
}

TEST_F(SessionSpool, OwnerIsRecorded) {
  ovgfw::SessionQueue q(t.path(), ofw::Guid::generate());
  EXPECT_EQ(q.getOwner(), -1);
  q.setOwner(1234);
  EXPECT_EQ(q.getOwner(), 1234);
}

class AuditorPosting : public ::testing::Test {
 protected:
  void SetUp() override {
    auditor_.reset(new Vigilog::Auditor());
    auditor_->init(dir_.path() + "/sessions", dir_.path() + "/common", dir_.path() + "/at", dir_.path() + "/session");
  }
  void TearDown() override { auditor_->stop(); }
  TempDir dir_;
  std::unique_ptr<Vigilog::Auditor> auditor_;
};

ovgfw::OVGRequestMessage dataMessage(const ofw::Guid& g, const std::string& payload) {
  ovgfw::OVGRequestMessage m(ovgfw::OVGMessage::TYPE_SESSION_DATA);
  m.writeGUID(g);
  m.writeString(payload);
  return m;
}

TEST_F(AuditorPosting, OrderPerSessionUnderConcurrentPosters) {
  std::vector<ofw::Guid> guids;
  for (int i = 0; i < 50; ++i) guids.push_back(ofw::Guid::generate());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      // Each session is posted by one thread, as one client's requests are.
      for (size_t s = static_cast<size_t>(t); s < guids.size(); s += 8)
        for (int i = 0; i < 20; ++i) {
          auto m = dataMessage(guids[s], std::to_string(i));
          auditor_->postSessionData(guids[s], m);
        }
    });
  for (auto& th : threads) th.join();
  for (const ofw::Guid& g : guids) {
    auto q = auditor_->sessions()->getDBQ(g, 512);
    auto recs = records(*q);
    ASSERT_EQ(recs.size(), 20u);
    for (int i = 0; i < 20; ++i) {
      ovgfw::OVGResponseMessage m;
      m.deserialize(recs[static_cast<size_t>(i)]);
      EXPECT_EQ(m.readGUID(), g);
      EXPECT_EQ(m.readString(), std::to_string(i));
    }
  }
}

TEST_F(AuditorPosting, FlushRenewsAnEmptiedCommonSpool) {
  auto m = dataMessage(ofw::Guid(), "x");
  auditor_->postSessionData(ofw::Guid(), m);
  auditor_->commonSpool()->dequeue();
  auditor_->flushDb();
  std::vector<std::pair<int64_t, std::string>> files;
  ASSERT_TRUE(ofw::DBQComposite::listFiles(dir_.path() + "/common", files));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].first, 0);
  EXPECT_EQ(auditor_->commonSpool()->count(), 0);
}

// A session whose records were all forwarded but which has not ended keeps its
// spool: removing it would leave the active queue writing into deleted files,
// and every later record of the session would be lost.
TEST_F(AuditorPosting, SpoolOfAnActiveSessionIsNeverRetired) {
  ofw::Guid g = ofw::Guid::generate();
  auto first = dataMessage(g, "first");
  auditor_->postSessionData(g, first);
  boost::shared_ptr<ofw::DBQ> q = auditor_->sessions()->getDBQ(g, 512);
  EXPECT_FALSE(auditor_->retireSessionSpool(g)) << "a spool holding a record must stay";
  q->dequeue();  // forwarded
  ASSERT_TRUE(q->empty());
  EXPECT_FALSE(auditor_->retireSessionSpool(g)) << "the session has not ended";
  auto second = dataMessage(g, "second");
  auditor_->postSessionData(g, second);
  {
    ofw::DBQComposite onDisk(512);
    std::string path = ovgfw::SessionQueue(dir_.path() + "/sessions", g).getDbqDirectoryPath();
    ASSERT_TRUE(onDisk.open(path, ofw::DBQ_READ_ONLY, 0600, false, ""));
    EXPECT_EQ(records(onDisk), std::vector<std::string>{dataMessage(g, "second").serialize()});
  }
  ovgfw::OVGRequestMessage end(ovgfw::OVGMessage::TYPE_SESSION_END);
  end.writeGUID(g);
  auditor_->postSessionData(g, end);
  EXPECT_FALSE(auditor_->retireSessionSpool(g)) << "ended, but two records are not forwarded";
  q->dequeue();
  q->dequeue();
  q.reset();
  EXPECT_TRUE(auditor_->retireSessionSpool(g));
  EXPECT_FALSE(auditor_->sessions()->exists(g));
}

}  // namespace
