// A consumer that read a queue's head removes it only from the queue it read
// it from: a queue moved aside and replaced in between (posting found it
// damaged) keeps its head, whatever record that now is.
#include <gtest/gtest.h>

#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"
#include "spool_test_util.h"

using namespace spooltest;

namespace {

constexpr int kLen = 1000;  // three blocks per record

uint32_t headSeq(ofw::DBQ& q, uint64_t* identity = nullptr) {
  boost::shared_array<unsigned char> d;
  unsigned int len = 0;
  uint64_t id = 0;
  q.getHead(d, len, id);
  if (identity) *identity = id;
  EXPECT_GT(len, 0u);
  EXPECT_TRUE(isRecord(d.get(), len, seqOf(d.get(), len)));
  return seqOf(d.get(), len);
}

using DbqIdentity = SpoolDirTest;

TEST_F(DbqIdentity, ReplacedQueueKeepsTheRecordThatTookTheHeadsPlace) {
  Composite q(dir);
  putAll(q, 0, 2, kLen);
  uint64_t read = 0;
  ASSERT_EQ(headSeq(q, &read), 0u);
  ASSERT_NE(read, 0u);

  // Between the read and the removal the head's blocks are damaged; posting
  // notices, the queue is moved aside (salvage keeps the record after the
  // damaged head) and the record being posted lands in the fresh queue.
  RawFile f(dir + "/0");
  f.setU8(2, 300, f.u8(2, 300) ^ 0x10);
  f.save();
  q.handleException(ofw::FatalErrorException("damaged head", ofw::DBQ_ERR_CHECKSUM, __FILE__, __LINE__));
  ASSERT_TRUE(q.isOpen());
  put(q, record(7, kLen));
  ASSERT_EQ(q.count(), 2);

  EXPECT_NE(q.identity(), read);
  EXPECT_FALSE(q.dequeueIfSame(read));
  EXPECT_EQ(q.count(), 2);
  uint64_t now = 0;
  EXPECT_EQ(headSeq(q, &now), 1u);
  EXPECT_TRUE(q.dequeueIfSame(now));
  EXPECT_EQ(headSeq(q, &now), 7u);
  EXPECT_TRUE(q.dequeueIfSame(now));
  EXPECT_TRUE(q.empty());
  EXPECT_FALSE(q.dequeueIfSame(now));  // nothing left to remove
}

TEST_F(DbqIdentity, UnchangedQueueRemovesInOrderAndSurvivesRollover) {
  Composite q(t.file("spool"), 4 * B);  // a new member file every record or two
  putAll(q, 0, 6, kLen);
  ASSERT_GT(q.getEnqueueID(), 0);
  for (uint32_t i = 0; i < 6; ++i) {
    uint64_t id = 0;
    ASSERT_EQ(headSeq(q, &id), i);
    ASSERT_TRUE(q.dequeueIfSame(id)) << "record " << i;
  }
  EXPECT_TRUE(q.empty());
}

TEST_F(DbqIdentity, ClosedOrReopenedQueueIsAnotherQueue) {
  std::string path = t.file("single");
  Single s(path);
  putAll(s, 0, 2, kLen);
  uint64_t id = 0;
  ASSERT_EQ(headSeq(s, &id), 0u);
  s.close();
  EXPECT_EQ(s.identity(), 0u);
  EXPECT_FALSE(s.dequeueIfSame(id));
  ASSERT_TRUE(s.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  EXPECT_FALSE(s.dequeueIfSame(id));
  EXPECT_EQ(s.count(), 2);
  EXPECT_FALSE(s.dequeueIfSame(0));

  // Two queues never share an identity.
  Single other(t.file("other"));
  EXPECT_NE(other.identity(), s.identity());
  put(other, record(9, kLen));
  EXPECT_FALSE(other.dequeueIfSame(s.identity()));
  EXPECT_EQ(other.count(), 1);
}

}  // namespace
