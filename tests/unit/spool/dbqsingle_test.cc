// Lifecycle of the single-file queue: open modes, free list, decay, unclean
// files, closed queues, a randomised run against a model.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "ofw/codec.h"
#include "ofw/dbq/dbqsingle.h"
#include "ofw/unique_fd.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQSingle;

namespace {

using DbqSingle = SpoolDirTest;

TEST_F(DbqSingle, FreeBlocksAreReused) {
  Single q(path);
  put(q, record(1, 2 * P));  // blocks 1, 2
  put(q, record(2, 10));     // block 3
  q.dequeue();
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 5), 3);   // head
  EXPECT_EQ(f.i32(0, 13), 1);  // free head
  EXPECT_EQ(f.i32(0, 17), 2);  // free tail
  EXPECT_EQ(f.u8(1, 13), 0x02 | 0x01);  // free (the spanning bit is left as it was)
  EXPECT_EQ(f.i32(1, 5), 2);   // free list 1 -> 2
  EXPECT_EQ(f.i32(2, 9), 1);   // previous of 2 is 1: the length field now holds the link
  EXPECT_EQ(f.i32(1, 9), 0);
  put(q, record(3, 5));  // takes block 1, the free head
  EXPECT_EQ(fileSize(path), 4 * B);
  RawFile g(path);
  EXPECT_EQ(g.i32(0, 13), 2);
  EXPECT_EQ(g.i32(0, 17), 2);
  EXPECT_EQ(g.i32(2, 9), 0);   // the new free head has no previous
  EXPECT_EQ(g.i32(3, 5), 1);   // record 2 links to record 3 in block 1
  EXPECT_EQ(g.i32(0, 9), 1);   // tail
  EXPECT_EQ(g.u8(1, 13), 0);
  EXPECT_EQ(g.i32(1, 9), 5);   // taking the block overwrote the link with the length
  EXPECT_EQ(head(q), record(2, 10));
  q.dequeue();
  EXPECT_EQ(head(q), record(3, 5));
  EXPECT_TRUE(intact(q));
}

// Block offsets beyond 2 GiB and 4 GiB (id * B in 64 bits): a sparse file
// that already ends at 4 GiB gets its next blocks there, not at a wrapped
// offset over the master.
TEST_F(DbqSingle, BlocksBeyondFourGiBLieAtTheirOffsets) {
  constexpr int64_t kFirst = int64_t{1} << 23;  // 8388608 * 512 = 4 GiB
  { Single q(path); }
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kFirst * B)), 0);
  Single q(path);
  put(q, record(5, 1000));
  EXPECT_EQ(fileSize(path), static_cast<off_t>((kFirst + 3) * B));
  ofw::UniqueFd fd(::open(path.c_str(), O_RDONLY));
  unsigned char b[B];
  for (int64_t id = kFirst; id < kFirst + 3; ++id) {
    ASSERT_EQ(::pread(fd.get(), b, B, static_cast<off_t>(id * B)), B);
    EXPECT_EQ(static_cast<int32_t>(ofw::codec::getU32(b + fmt::kIdOffset)), id);
    EXPECT_EQ(std::memcmp(b + fmt::kDataXHeaderSize, record(5, 1000).data() + (id - kFirst) * P,
                          static_cast<size_t>(id - kFirst < 2 ? P : 1000 - 2 * P)),
              0);
  }
  ASSERT_EQ(::pread(fd.get(), b, B, 0), B);
  EXPECT_EQ(static_cast<int32_t>(ofw::codec::getU32(b + fmt::kHeadOffset)), kFirst);
  EXPECT_EQ(pop(q), record(5, 1000));
  EXPECT_TRUE(q.empty());
}

TEST_F(DbqSingle, PoppingTheOnlyRecordKeepsTheFileLength) {
  Single q(path);
  put(q, record(1, 3 * P));
  q.dequeue();
  EXPECT_EQ(fileSize(path), 4 * B);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 5) | f.i32(0, 9) | f.i32(0, 22), 0);  // head, tail, count
  EXPECT_EQ(f.u64(0, 26), 0u);
  EXPECT_EQ(f.i32(0, 13), 1);
  EXPECT_EQ(f.i32(0, 17), 3);
  for (int id = 1; id <= 3; ++id) EXPECT_TRUE(f.u8(id, 13) & 0x02);
}

// One drop of the last free block per 101 removals that find one.
TEST_F(DbqSingle, DecayDropsOncePer101QualifyingRemovals) {
  Single q(path);
  for (uint32_t i = 1; i <= 100; ++i) {
    put(q, record(i, 2 * P));  // blocks 1 and 2, reused from the second round on
    q.dequeue();
    ASSERT_EQ(q.getDecayCounter(), static_cast<int>(i));
  }
  EXPECT_EQ(fileSize(path), 3 * B);
  put(q, record(101, 2 * P));
  q.dequeue();  // the 101st: block 2 goes
  EXPECT_EQ(q.getDecayCounter(), 0);
  EXPECT_EQ(fileSize(path), 2 * B);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 13), 1);
  EXPECT_EQ(f.i32(0, 17), 1);
  EXPECT_EQ(f.i32(1, 5), 0);
  EXPECT_TRUE(intact(q));
  // shrink() runs the same step, so it too counts.
  q.shrink();
  EXPECT_EQ(q.getDecayCounter(), 1);
  EXPECT_EQ(fileSize(path), 2 * B);
}

TEST_F(DbqSingle, DecayStartFromConstructor) {
  DBQSingle q(path, ofw::DBQ_OPEN_OR_CREATE, B, 0600, DBQSingle::DECAY_RATE);
  ASSERT_TRUE(q.isOpen());
  put(q, record(1, 1));
  q.dequeue();  // first qualifying removal already drops
  EXPECT_EQ(fileSize(path), B);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 13) | f.i32(0, 17), 0);
  // A removal that leaves a used block last does not count.
  putAll(q, 2, 4, 1);
  int before = q.getDecayCounter();
  q.dequeue();
  EXPECT_EQ(q.getDecayCounter(), before);
}

// A master with an operation in progress, with both values of failIfUnclean.
class DbqUnclean : public SpoolDirTest, public ::testing::WithParamInterface<int> {};

TEST_P(DbqUnclean, FailIfUncleanDecides) {
  filled<Single>(path, 1, 2, 100);
  RawFile f(path);
  f.setU8(0, 21, static_cast<uint8_t>(GetParam()));
  f.save();
  DBQSingle q(B);
  EXPECT_EQ(raised<ofw::IOException>([&] { q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""); }).what,
            "DBQSingle is not shut cleanly.");
  EXPECT_FALSE(q.isOpen());
  EXPECT_EQ(q.getQueueStat(), ofw::DBQ::QS_NOT_SHUT_CLEANLY);
  EXPECT_EQ(RawFile(path).bytes(), f.bytes());  // nothing written
  ASSERT_TRUE(q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, false, ""));
  EXPECT_EQ(q.getQueueStat(), ofw::DBQ::QS_NOT_SHUT_CLEANLY);
  EXPECT_EQ(head(q), record(1, 100));
  auto check = intact(q);
  EXPECT_FALSE(check);
  EXPECT_NE(std::string(check.message()).find("Queue is abnormal. The file was not shut cleanly"), std::string::npos)
      << check.message();
}

INSTANTIATE_TEST_SUITE_P(Operations, DbqUnclean, ::testing::Values(1, 2, 3, 4));

TEST_F(DbqSingle, OpenModes) {
  DBQSingle q(B);
  EXPECT_FALSE(q.open(path, ofw::DBQ_READ_ONLY, 0600, true, ""));
  EXPECT_FALSE(q.isOpen());
  EXPECT_FALSE(q.open(path, static_cast<ofw::DBQMode>(7), 0600, true, ""));
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(q.open(t.path(), ofw::DBQ_READ_ONLY, 0600, true, ""));  // a directory

  ASSERT_TRUE(q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0640, true, ""));
  put(q, record(1, 700));
  q.close();
  EXPECT_FALSE(q.isOpen());

  ASSERT_TRUE(q.open(path, ofw::DBQ_READ_ONLY, 0600, true, ""));
  EXPECT_EQ(head(q), record(1, 700));
  EXPECT_THROW(put(q, record(2, 1)), ofw::IOException);
  EXPECT_THROW(q.dequeue(), ofw::IOException);
  EXPECT_EQ(q.count(), 1);
  q.close();

  ASSERT_TRUE(q.open(path, ofw::DBQ_CREATE, 0600, true, ""));
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(fileSize(path), B);
  q.close();
  EXPECT_EQ(DBQSingle::getDataSize(path), 0u);
  ASSERT_TRUE(q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  put(q, record(1, 1234));
  EXPECT_EQ(DBQSingle::getDataSize(path), 1234u);
  EXPECT_EQ(DBQSingle::getDataSize(t.file("missing")), 0u);
  q.destroy();
  EXPECT_FALSE(exists(path));
}

TEST_F(DbqSingle, EmptyFileReadOnlyIsAnEmptyQueue) {
  writeFile(path, {});
  {
    Single q(path, 0, ofw::DBQ_READ_ONLY);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(fileSize(path), 0);  // nothing written
  }
  // A creation cut short (less than one block) is initialised when writable.
  writeFile(path, std::vector<unsigned char>(100, 0xee));
  Single q(path);
  EXPECT_EQ(fileSize(path), B);
  EXPECT_EQ(RawFile(path).u8(0, 4), 39);
}

TEST_F(DbqSingle, ClosedQueueRaises) {
  DBQSingle q(B);
  boost::shared_array<unsigned char> out;
  unsigned int len = 0;
  EXPECT_EQ(raised<ofw::IOException>([&] { put(q, record(1, 1)); }).what, "DBQSingle (enqueue) is not opened.");
  EXPECT_EQ(raised<ofw::IOException>([&] { q.peek(out, len); }).what, "DBQSingle (peek) is not opened.");
  EXPECT_EQ(raised<ofw::IOException>([&] { q.dequeue(); }).what, "DBQSingle (dequeue) is not opened.");
  EXPECT_THROW(q.dequeue(out, len), ofw::IOException);
  EXPECT_EQ(q.count(), 0);
  EXPECT_TRUE(q.empty());
  EXPECT_THROW(DBQSingle bad(16), ofw::InvalidArgumentException);
}

TEST_F(DbqSingle, DescriptorIsStoredInTheMaster) {
  std::string d = "hello descriptor";
  {
    Single q(path);
    ASSERT_TRUE(q.setDescriptor(reinterpret_cast<const unsigned char*>(d.data()), static_cast<unsigned>(d.size())));
    std::vector<unsigned char> tooBig(451, 1);
    EXPECT_FALSE(q.setDescriptor(tooBig.data(), 451));
  }
  Single q(path);
  EXPECT_EQ(q.getDescriptor(), d);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 34), static_cast<int>(d.size()));
  EXPECT_EQ(std::memcmp(f.block(0) + 62, d.data(), d.size()), 0);
  uint32_t s = 0;
  for (char c : d) s += static_cast<unsigned char>(c);
  EXPECT_EQ(f.u32(0, 42), s);
}

// Random records against a deque model; the checker and the size the queue
// keeps of its file agree throughout, and a reopened file holds the same records.
TEST_F(DbqSingle, RandomOperationsMatchAModel) {
  std::mt19937 rng(4711);
  std::deque<std::pair<uint32_t, size_t>> model;
  uint32_t seq = 0;
  auto q = std::make_unique<Single>(path);
  for (int step = 0; step < 3000; ++step) {
    int op = static_cast<int>(rng() % 100);
    if (op < 55) {
      size_t len = 1 + rng() % (rng() % 8 == 0 ? 5000 : 600);
      put(*q, record(seq, len));
      model.emplace_back(seq++, len);
    } else if (op < 97) {
      std::vector<unsigned char> got = pop(*q);
      if (model.empty()) {
        EXPECT_TRUE(got.empty());
      } else {
        ASSERT_EQ(got, record(model.front().first, model.front().second)) << "step " << step;
        model.pop_front();
      }
    } else {
      q.reset(new Single(path));
    }
    ASSERT_EQ(q->count(), static_cast<int64_t>(model.size()));
    ASSERT_EQ(q->getQueueSizeOnDisk(), static_cast<uint64_t>(fileSize(path))) << "step " << step;
    if (step % 250 == 0) {
      ASSERT_TRUE(intact(*q));
    }
  }
  size_t i = 0;
  q->forEachRecord([&](const unsigned char* d, unsigned int len) {
    EXPECT_TRUE(i < model.size() && len == model[i].second && isRecord(d, len, model[i].first));
    ++i;
    return true;
  });
  EXPECT_EQ(i, model.size());
}

}  // namespace
