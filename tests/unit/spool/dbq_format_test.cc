// The bytes of a block queue file, checked field by field against the layout.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbqsingle.h"
#include "ofw/unique_fd.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQSingle;

namespace {

uint32_t sum(const unsigned char* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return s;
}

using DbqFormat = SpoolDirTest;

// The checksum is the byte sum at every length and alignment, for the largest
// byte values too (where a lane of the eight-bytes-at-a-time sum would
// overflow if folded too late).
TEST_F(DbqFormat, ChecksumIsTheByteSumAtEveryLengthAndOffset) {
  std::mt19937 random(7);
  std::vector<unsigned char> noise(4200), full(4200, 0xFF);
  for (auto& b : noise) b = static_cast<unsigned char>(random());
  for (const std::vector<unsigned char>* buf : {&noise, &full})
    for (size_t offset : {0, 1, 3, 7})
      for (size_t n = 0; n + offset <= buf->size(); n += (n < 40 ? 1 : 61)) {
        const unsigned char* p = buf->data() + offset;
        ASSERT_EQ(ofw::dbqfmt::checksum(p, n), sum(p, n)) << "length " << n << " offset " << offset;
      }
  EXPECT_EQ(ofw::dbqfmt::checksum(full.data(), 4096), 4096u * 255);
}

TEST_F(DbqFormat, FreshFileIsOneMasterBlock) {
  { Single q(path); }
  EXPECT_EQ(fileSize(path), B);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 0), 0);                              // ID
  EXPECT_EQ(f.u8(0, 4), 39);                              // "masterX"
  for (size_t off : {5, 9, 13, 17, 22, 34}) EXPECT_EQ(f.i32(0, off), 0) << off;  // lists, count, descriptor
  EXPECT_EQ(f.u8(0, 21), 0);                              // current operation
  EXPECT_EQ(f.u64(0, 26), 0u);                            // data size
  EXPECT_EQ(f.i32(0, 38), 0x4462516D);                    // magic
  EXPECT_EQ(f.u32(0, 42), 0u);                            // checksum of an all-zero area
  EXPECT_EQ(f.u32(0, 46), 0x00010000u);                   // version
  EXPECT_GT(f.i32(0, 50), 0);                             // time
  EXPECT_EQ(f.i32(0, 58), B);                             // block size
  EXPECT_EQ(sum(f.block(0) + 62, B - 62), 0u);            // zero-filled descriptor area
  // In the host's order the magic's bytes are those of the integer.
  int32_t magic = 0x4462516D;
  EXPECT_EQ(std::memcmp(f.block(0) + 38, &magic, 4), 0);
}

// One record of n payloads and one byte more (1000 bytes: 470 + 470 + 60),
// checked field by field in the master and in each of its blocks.
class DbqRecordLength : public SpoolDirTest, public ::testing::WithParamInterface<int> {};

TEST_P(DbqRecordLength, BlocksFlagsAndSharesFollowTheLength) {
  const int len = GetParam();
  std::vector<unsigned char> rec = record(3, static_cast<size_t>(len));
  Single q(path);
  put(q, rec);
  const int n = (len + P - 1) / P;
  ASSERT_EQ(fileSize(path), (1 + n) * B);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 5), 1);                               // head
  EXPECT_EQ(f.i32(0, 9), n);                               // tail
  EXPECT_EQ(f.i32(0, 13) | f.i32(0, 17) | f.u8(0, 21), 0);  // no free list, no operation
  EXPECT_EQ(f.i32(0, 22), 1);
  EXPECT_EQ(f.u64(0, 26), static_cast<uint64_t>(len));
  uint32_t lastAge = 0;
  for (int s = 0; s < n; ++s) {
    const int id = s + 1;
    SCOPED_TRACE(id);
    EXPECT_EQ(f.i32(id, 0), id);
    EXPECT_EQ(f.u8(id, 4), 40);  // "dataX"
    EXPECT_EQ(f.i32(id, 5), s < n - 1 ? id + 1 : 0);
    EXPECT_EQ(f.i32(id, 9), len);
    EXPECT_EQ(f.u8(id, 13), s < n - 1 ? 1 : 0);
    EXPECT_EQ(f.i32(id, 14), 0x64427144);
    EXPECT_EQ(f.u32(id, 18), sum(f.block(id) + 42, B - 42));
    EXPECT_EQ(f.u32(id, 22), 0x00010000u);
    EXPECT_GT(f.i32(id, 26), 0);
    EXPECT_GT(f.u32(id, 30), lastAge);  // written in ascending ID order within one commit
    lastAge = f.u32(id, 30);
    EXPECT_EQ(f.i32(id, 34), s);        // span sequence
    EXPECT_EQ(f.u32(id, 38), 0u);       // reserved, zero in a fresh block
    const size_t share = s < n - 1 ? P : static_cast<size_t>(len - (n - 1) * P);
    EXPECT_EQ(std::memcmp(f.block(id) + 42, rec.data() + static_cast<size_t>(s) * P, share), 0);
    EXPECT_EQ(sum(f.block(id) + 42 + share, P - share), 0u);  // a fresh block's tail stays zero
  }
  EXPECT_GT(f.u32(0, 54), lastAge);  // the master is written last, after the data blocks
  std::vector<unsigned char> got = pop(q);
  ASSERT_EQ(got.size(), static_cast<size_t>(len));
  EXPECT_TRUE(isRecord(got.data(), got.size(), 3));
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.getDataSize(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, DbqRecordLength,
                         ::testing::Values(1, P - 1, P, P + 1, 1000, 2 * P, 2 * P + 1, 3 * P, 64 * 1024));

TEST_F(DbqFormat, ZeroLengthRecordTakesNoBlock) {
  Single q(path);
  q.enqueue(boost::shared_array<unsigned char>(), 0);
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.getDataSize(), 0u);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(fileSize(path), B);
  RawFile f(path);
  EXPECT_EQ(f.i32(0, 5), 0);
  EXPECT_EQ(f.i32(0, 22), 1);
  boost::shared_array<unsigned char> out;
  unsigned int len = 99;
  q.getHead(out, len);
  EXPECT_EQ(len, 0u);
  EXPECT_FALSE(out);
  // A record with bytes after it is found by the head as usual.
  put(q, record(1, 10));
  EXPECT_EQ(head(q), record(1, 10));
  EXPECT_EQ(q.count(), 2);
}

// A file with a "master" (type 37) master, built byte by byte.
TEST_F(DbqFormat, ShortHeaderFileIsReadAndExtendedWithShortBlocks) {
  const int SP = B - 14;  // payload of a "data" block
  std::vector<unsigned char> rec = record(5, 600);  // two blocks: 498 + 102
  writeFile(path, {});
  RawFile f(path);
  f.bytes().resize(3 * B);
  f.setU8(0, 4, 37);
  f.setI32(0, 5, 1);
  f.setI32(0, 9, 2);
  f.setI32(0, 22, 1);
  f.setU64(0, 26, 600);
  for (int id = 1; id <= 2; ++id) {
    f.setI32(id, 0, id);
    f.setU8(id, 4, 38);
    f.setI32(id, 5, id == 1 ? 2 : 0);
    f.setI32(id, 9, 600);
    f.setU8(id, 13, id == 1 ? 1 : 0);
  }
  std::memcpy(f.block(1) + 14, rec.data(), SP);
  std::memcpy(f.block(2) + 14, rec.data() + SP, 600 - SP);
  f.save();

  Single q(path);
  EXPECT_FALSE(q.isExtendedFormat());
  EXPECT_EQ(q.getBlockSizeOnDisk(), 0);
  EXPECT_EQ(q.getPayloadSize(), SP);
  EXPECT_EQ(head(q), rec);

  std::vector<unsigned char> rec2 = record(6, 500);  // 498 + 2
  put(q, rec2);
  RawFile g(path);
  ASSERT_EQ(g.blocks(), 5u);
  for (int id = 3; id <= 4; ++id) {
    EXPECT_EQ(g.u8(id, 4), 38);
    EXPECT_EQ(g.i32(id, 9), 500);
  }
  // No magic, checksum or sequence: the payload starts right after the flags.
  EXPECT_EQ(std::memcmp(g.block(3) + 14, rec2.data(), SP), 0);
  EXPECT_EQ(std::memcmp(g.block(4) + 14, rec2.data() + SP, 2), 0);
  EXPECT_EQ(g.u8(0, 4), 37);
  EXPECT_EQ(sum(g.block(0) + 38, B - 38), 0u);  // nothing of the extended header written
  EXPECT_EQ(g.i32(0, 22), 2);
  EXPECT_EQ(g.u64(0, 26), 1100u);

  EXPECT_EQ(pop(q), rec);
  EXPECT_EQ(pop(q), rec2);
  EXPECT_TRUE(q.empty());
  EXPECT_TRUE(intact(q));
}

// Magic and checksum mismatches of the master (noticed at open) and of data
// blocks (noticed when read).
struct Mismatch {
  const char* name;
  int block;         // 0 = master, else a data block
  size_t offset;     // byte to change
  int code;          // FatalErrorException code expected
  const char* text;  // start of the message
};

class DbqMismatch : public SpoolDirTest, public ::testing::WithParamInterface<Mismatch> {};

TEST_P(DbqMismatch, RaisesTheCode) {
  const Mismatch& m = GetParam();
  {
    Single q(path);
    ASSERT_TRUE(q.setDescriptor(reinterpret_cast<const unsigned char*>("desc"), 4));
    put(q, record(1, 1000));
  }
  RawFile f(path);
  f.setU8(m.block, m.offset, static_cast<uint8_t>(f.u8(m.block, m.offset) ^ 0x5a));
  f.save();
  bool opened = false;
  auto r = raised<ofw::FatalErrorException>([&] {
    Single q(path);
    opened = true;
    head(q);
  });
  EXPECT_EQ(opened, m.block != 0);
  EXPECT_EQ(r.code, m.code);
  EXPECT_EQ(r.what.rfind(m.text, 0), 0u) << r.what;
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DbqMismatch,
    ::testing::Values(Mismatch{"MasterMagic", 0, 39, 1, "Master block's magic number mismatch: the expected magic number is 0x4462516d"},
                      Mismatch{"MasterChecksum", 0, 62, 2, "Master block's checksum mismatch: the calculated checksum is"},
                      Mismatch{"DataMagic", 2, 15, 1, "Data block '2' magic number mismatch: the expected magic number is 0x64427144"},
                      Mismatch{"DataChecksum", 2, 100, 2, "Data block '2' checksum mismatch: the calculated checksum is"},
                      Mismatch{"DataChecksumField", 3, 18, 2, "Data block '3' checksum mismatch"}),
    [](const ::testing::TestParamInfo<Mismatch>& i) { return std::string(i.param.name); });

using DbqBlock = SpoolDirTest;

TEST_F(DbqBlock, ReadPastTheEndOrWriteToAReadOnlyFileRaises) {
  std::string path = t.file("f");
  writeFile(path, std::vector<unsigned char>(B + 100, 0));
  ofw::UniqueFd fd(::open(path.c_str(), O_RDONLY));
  ASSERT_TRUE(fd.valid());
  ofw::DataBlock d(B);
  ofw::Block::setFailureEcho(nullptr);
  EXPECT_EQ(raised<ofw::IOException>([&] { d.read(1, fd.get()); }).what, "Block 1 read failed (fs.read)");
  EXPECT_EQ(raised<ofw::IOException>([&] { d.read(-1, fd.get()); }).what, "Block -1 read failed (fs.seekg)");
  ofw::Block::setFailureEcho(stdout);
  d.setID(1);
  auto w = raised<ofw::IOException>([&] { d.write(fd.get()); });
  EXPECT_EQ(w.what, "Block 1 write failed (fs.write)");
  EXPECT_EQ(w.code, EBADF);
}

}  // namespace
