// Damaged queue files: every edit of a block in the middle of a chain is
// noticed by the queue (FatalErrorException, nothing written) and by the
// checker, and salvage recovers every record the damage does not touch. Hostile lengths, links and
// counts never allocate much or loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "ofw/dbq/dbq_salvage.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQSingle;

namespace {

// Ten records of 1000 bytes: record k occupies blocks 3k+1, 3k+2, 3k+3.
constexpr int kRecords = 10;
constexpr int kLen = 1000;
int blockOf(int rec, int part) { return 3 * rec + 1 + part; }

ofw::SalvageResult salvage(const std::string& path, ofw::DBQ& target) {
  return ofw::salvageQueueFile(path, target, ofw::getLogger("test.spool"));
}

struct Damage {
  const char* name;
  std::function<void(RawFile&)> edit;
  int code;                   // expected FatalErrorException code when read through the queue
  std::vector<uint32_t> lost; // records salvage cannot recover
  uint64_t skipped;           // blocks salvage skips (neither in an intact record nor free)
};

const std::vector<uint32_t> kRecord4{4};

// Record 4's first (13), middle (14) or last (15) block.
const Damage kDamages[] = {
    {"PayloadByte", [](RawFile& f) { f.setU8(blockOf(4, 1), 300, f.u8(blockOf(4, 1), 300) ^ 0x10); }, 2, kRecord4, 3},
    {"Magic", [](RawFile& f) { f.setI32(blockOf(4, 1), 14, 0x11223344); }, 1, kRecord4, 3},
    {"SpanSequence", [](RawFile& f) { f.setI32(blockOf(4, 1), 34, 2); }, 3, kRecord4, 3},
    {"SpanningClearedMidRecord", [](RawFile& f) { f.setU8(blockOf(4, 1), 13, 0); }, 3, kRecord4, 3},
    {"SpanningSetOnLast", [](RawFile& f) { f.setU8(blockOf(4, 2), 13, 1); }, 3, kRecord4, 3},
    {"LengthInMiddleBlock", [](RawFile& f) { f.setI32(blockOf(4, 1), 9, 999); }, 3, kRecord4, 3},
    {"LengthHuge", [](RawFile& f) { f.setI32(blockOf(4, 0), 9, 0x7fffffff); }, 3, kRecord4, 3},
    {"LengthNegative", [](RawFile& f) { f.setI32(blockOf(4, 0), 9, -1); }, 3, kRecord4, 3},
    {"LengthZero", [](RawFile& f) { f.setI32(blockOf(4, 0), 9, 0); }, 3, kRecord4, 3},
    {"NextOutsideFile", [](RawFile& f) { f.setI32(blockOf(4, 1), 5, 100000); }, 3, kRecord4, 3},
    {"NextNegative", [](RawFile& f) { f.setI32(blockOf(4, 1), 5, -7); }, 3, kRecord4, 3},
    {"NextToMaster", [](RawFile& f) { f.setI32(blockOf(4, 0), 5, 0); }, 3, kRecord4, 3},
    // A loop back to an earlier record: its blocks carry another length.
    {"NextLoopsBack", [](RawFile& f) { f.setI32(blockOf(4, 1), 5, blockOf(1, 0)); }, 3, kRecord4, 3},
    {"MarkedFree", [](RawFile& f) { f.setU8(blockOf(4, 0), 13, 0x03); }, 3, kRecord4, 2},
    // A block typed "data" in an extended file, a block carrying another ID.
    {"ShortType", [](RawFile& f) { f.setU8(blockOf(4, 2), 4, fmt::kTypeData); }, 3, kRecord4, 3},
    {"OtherId", [](RawFile& f) { f.setI32(blockOf(4, 1), 0, blockOf(7, 1)); }, 3, kRecord4, 3},
    // A link from record 3 to a block of record 5: record 5's middle block
    // does not start a record. Every record is still intact.
    {"RecordLinkSkips", [](RawFile& f) { f.setI32(blockOf(3, 2), 5, blockOf(5, 1)); }, 3, {}, 0},
};

class DbqDamage : public SpoolDirTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DbqDamage, QueueRaisesCheckerReportsSalvageKeepsEveryIntactRecord) {
  const Damage& d = GetParam();
  filled<Single>(path, 0, kRecords, kLen);
  RawFile f(path);
  d.edit(f);
  f.save();
  std::vector<unsigned char> damaged = readFile(path);

  // The queue delivers the records before the damage, then refuses and
  // writes nothing.
  {
    Single q(path);
    uint32_t delivered = 0;
    auto r = raised<ofw::FatalErrorException>([&] {
      while (popSeq(q) == delivered) ++delivered;
    });
    EXPECT_EQ(r.code, d.code) << r.what;
    EXPECT_EQ(delivered, 4u);
    // The failed removal changed nothing: the count is that of the commits before.
    EXPECT_EQ(q.count(), kRecords - 4);
    q.close();
    RawFile after(path);
    for (int b = blockOf(4, 0); b < static_cast<int>(after.blocks()); ++b)
      ASSERT_EQ(std::memcmp(after.block(b), f.block(b), B), 0) << "block " << b << " was written";
  }
  // The checker reports it (on the untouched damaged copy).
  writeFile(path, damaged);
  {
    Single q(path, 0, ofw::DBQ_READ_ONLY);
    auto check = intact(q);
    EXPECT_NE(std::string(check.message()).find("Queue is abnormal."), std::string::npos) << check.message();
  }
  // Salvage takes every intact record, in order, and leaves the file as it was.
  Single target(t.file("target"));
  ofw::SalvageResult r = salvage(path, target);
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < kRecords; ++i)
    if (std::find(d.lost.begin(), d.lost.end(), i) == d.lost.end()) want.push_back(i);
  EXPECT_EQ(seqsOf(target), want);
  EXPECT_EQ(r.records, want.size());
  EXPECT_EQ(r.unreadBytes, d.lost.size() * kLen);
  EXPECT_EQ(r.skippedBlocks, d.skipped);
  EXPECT_FALSE(r.stopReason.empty());
  EXPECT_FALSE(r.targetFailed);
  EXPECT_EQ(readFile(path), damaged);
}

INSTANTIATE_TEST_SUITE_P(Edits, DbqDamage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& i) { return std::string(i.param.name); });

// The tail block is damaged: an append behind it would never be readable. The
// append raises and writes nothing; the recovery the Auditor applies (move
// aside, salvage, append again) leaves every intact record and the new one
// readable in a consistent queue.
struct TailDamage {
  const char* name;
  std::function<void(RawFile&)> edit;
  bool lastRecordIntact;  // only the tail's link is wrong
};

const TailDamage kTailDamages[] = {
    {"ZeroFilled", [](RawFile& f) { std::memset(f.block(blockOf(9, 2)), 0, B); }, false},
    {"OtherId", [](RawFile& f) { f.setI32(blockOf(9, 2), 0, 3); }, false},
    {"ShortType", [](RawFile& f) { f.setU8(blockOf(9, 2), 4, fmt::kTypeData); }, false},
    {"Spanning", [](RawFile& f) { f.setU8(blockOf(9, 2), 13, fmt::kFlagSpanning); }, false},
    {"SpanSequence", [](RawFile& f) { f.setI32(blockOf(9, 2), 34, 0); }, false},
    {"LinksOn", [](RawFile& f) { f.setI32(blockOf(9, 2), 5, blockOf(0, 0)); }, true},
};

class DbqDamagedTail : public SpoolDirTest, public ::testing::WithParamInterface<TailDamage> {};

TEST_P(DbqDamagedTail, AppendRaisesAndRecoveryKeepsTheNewRecordReadable) {
  filled<Composite>(dir, 0, kRecords, kLen);
  RawFile f(dir + "/0");
  GetParam().edit(f);
  f.save();
  Composite q(dir);
  auto r = recovered<ofw::FatalErrorException>(q, [&] { put(q, record(99, kLen)); });
  EXPECT_EQ(r.code, ofw::DBQ_ERR_CORRUPT) << r.what;
  std::vector<std::string> aside = asideCopies(t.path(), "spool");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(readFile(aside[0] + "/0"), f.bytes());  // the failed append wrote nothing
  put(q, record(99, kLen));
  std::vector<uint32_t> want = seqs(0, GetParam().lastRecordIntact ? 10 : 9);
  want.push_back(99);
  EXPECT_EQ(seqsOf(q), want);
  EXPECT_TRUE(intact(q));
}

INSTANTIATE_TEST_SUITE_P(Edits, DbqDamagedTail, ::testing::ValuesIn(kTailDamages),
                         [](const ::testing::TestParamInfo<TailDamage>& i) { return std::string(i.param.name); });

// A damaged master: salvage no longer trusts its head and finds every record
// block by block, in order.
class DbqDamagedMaster : public SpoolDirTest, public ::testing::WithParamInterface<std::pair<const char*, std::function<void(RawFile&)>>> {};

TEST_P(DbqDamagedMaster, SalvageFindsEveryRecord) {
  filled<Single>(path, 0, kRecords, kLen);
  RawFile f(path);
  GetParam().second(f);
  f.save();
  Single target(t.file("target"));
  EXPECT_EQ(salvage(path, target).skippedBlocks, 0u);
  EXPECT_EQ(seqsOf(target), seqs(0, kRecords));
}

INSTANTIATE_TEST_SUITE_P(
    Edits, DbqDamagedMaster,
    ::testing::Values(
        // A flipped bit makes the head the start of record 2: records 0 and 1
        // are linked from nowhere the master knows.
        std::make_pair("HeadAtALaterRecord", [](RawFile& f) { f.setI32(0, 5, blockOf(2, 0)); }),
        std::make_pair("HeadInsideARecord", [](RawFile& f) { f.setI32(0, 5, 1 ^ 0x10); }),
        std::make_pair("HeadOutside", [](RawFile& f) { f.setI32(0, 5, 4096); }),
        std::make_pair("Magic", [](RawFile& f) { f.setI32(0, 38, 0); })),
    [](const ::testing::TestParamInfo<DbqDamagedMaster::ParamType>& i) { return std::string(i.param.first); });

using DbqCorruption = SpoolDirTest;

// An edited payload whose checksum is recomputed passes every check: the
// checksum is what guards the bytes, and the record is delivered as edited.
TEST_F(DbqCorruption, RecomputedChecksumReachesTheStructureChecks) {
  filled<Single>(path, 0, kRecords, kLen);
  RawFile f(path);
  f.setU8(blockOf(2, 1), 200, static_cast<uint8_t>(f.u8(blockOf(2, 1), 200) ^ 0xff));
  f.fixChecksum(blockOf(2, 1));
  f.setI32(blockOf(6, 0), 34, 1);  // and a structural fault further on
  f.save();
  Single q(path);
  int n = 0;
  auto r = raised<ofw::FatalErrorException>([&] {
    q.forEachRecord([&](const unsigned char* d, unsigned int len) {
      EXPECT_EQ(len, static_cast<unsigned>(kLen));
      EXPECT_EQ(isRecord(d, len, static_cast<uint32_t>(n)), n != 2) << n;
      ++n;
      return true;
    });
  });
  EXPECT_EQ(r.code, ofw::DBQ_ERR_CORRUPT);
  EXPECT_NE(r.what.find("span sequence"), std::string::npos) << r.what;
  EXPECT_EQ(n, 6);
}

// Master fields that cannot be true are refused at open.
struct MasterEdit {
  const char* name;
  size_t offset;
  int64_t value;
  int width;  // 4 or 8
};

class DbqHostileMaster : public SpoolDirTest, public ::testing::WithParamInterface<MasterEdit> {};

TEST_P(DbqHostileMaster, OpenRaisesCorruption) {
  const MasterEdit& m = GetParam();
  filled<Single>(path, 0, kRecords, kLen);
  RawFile f(path);
  if (m.width == 8)
    f.setU64(0, m.offset, static_cast<uint64_t>(m.value));
  else
    f.setI32(0, m.offset, static_cast<int32_t>(m.value));
  f.save();
  DBQSingle q(B);
  auto r = raised<ofw::FatalErrorException>([&] { q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""); });
  EXPECT_EQ(r.code, ofw::DBQ_ERR_CORRUPT) << r.what;
  EXPECT_FALSE(q.isOpen());
  EXPECT_EQ(readFile(path), f.bytes());  // nothing written
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DbqHostileMaster,
    ::testing::Values(MasterEdit{"HeadOutside", 5, 31, 4}, MasterEdit{"HeadNegative", 5, -1, 4},
                      MasterEdit{"TailOutside", 9, 0x7fffffff, 4}, MasterEdit{"FreeHeadOutside", 13, 500, 4},
                      MasterEdit{"FreeTailWithoutHead", 17, 3, 4}, MasterEdit{"CountNegative", 22, -5, 4},
                      MasterEdit{"DataSizeHuge", 26, INT64_MAX, 8}, MasterEdit{"DescriptorLength", 34, 451, 4},
                      MasterEdit{"BlockSize", 58, 1024, 4}, MasterEdit{"Id", 0, 3, 4}),
    [](const ::testing::TestParamInfo<MasterEdit>& i) { return std::string(i.param.name); });

// The master counts records and bytes but its head is 0: the file is refused
// (never taken as empty), and salvage finds the records.
TEST_F(DbqCorruption, CountedRecordsWithoutHeadAreNotTakenAsEmpty) {
  filled<Composite>(dir, 0, 3, kLen);
  RawFile f(dir + "/0");
  f.setI32(0, 5, 0);
  f.setI32(0, 9, 0);
  f.save();
  ofw::DBQComposite q(B);
  auto r = recovered(q, [&] { q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""); });
  EXPECT_EQ(r.code, ofw::DBQ_ERR_CORRUPT);
  ASSERT_TRUE(q.isOpen());
  EXPECT_EQ(q.count(), 3);  // found block by block
  std::vector<std::string> aside = asideCopies(t.path(), "spool");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(readFile(aside[0] + "/0"), f.bytes());  // the moved-aside copy keeps the file
}

TEST_F(DbqCorruption, SalvageOfAUsedChainLoopTerminates) {
  filled<Single>(path, 0, kRecords, kLen);
  RawFile f(path);
  // The tail links back to the head, and the master's tail is moved off it:
  // the chain becomes a cycle of valid records.
  f.setI32(blockOf(9, 2), 5, blockOf(0, 0));
  f.setI32(0, 9, blockOf(8, 2));
  f.save();
  Single target(t.file("target"));
  EXPECT_EQ(salvage(path, target).records, 10u);
  EXPECT_EQ(seqsOf(target), seqs(0, kRecords));  // the loop is cut where the head is
  Single q(path);
  EXPECT_THROW(q.forEachRecord([](const unsigned char*, unsigned int) { return true; }), ofw::FatalErrorException);
  // Popping follows the cycle only until it meets a freed block.
  int popped = 0;
  auto r = raised<ofw::FatalErrorException>([&] {
    for (; popped < 100; ++popped) q.dequeue();
  });
  EXPECT_EQ(r.code, ofw::DBQ_ERR_CORRUPT);
  EXPECT_LE(popped, kRecords);
}

TEST_F(DbqCorruption, TornTailAndShortFiles) {
  filled<Single>(path, 0, kRecords, kLen);
  // An append cut short: the master counts an 11th record whose blocks hold
  // nothing yet (appended, free flag clear, length 0).
  RawFile f(path);
  f.bytes().resize(f.bytes().size() + 2 * B, 0);
  for (int id = 31; id <= 32; ++id) {
    f.setI32(id, 0, id);
    f.setU8(id, 4, 40);
    f.setI32(id, 14, fmt::kDataMagic);
  }
  f.setI32(blockOf(9, 2), 5, 31);
  f.setI32(0, 9, 32);
  f.setI32(0, 22, 11);
  f.setU64(0, 26, 11 * kLen - 60);
  f.setU8(0, 21, 1);
  f.save();
  Single target(t.file("target"));
  ofw::SalvageResult r = salvage(path, target);
  EXPECT_EQ(r.records, 10u);
  EXPECT_EQ(r.unreadBytes, static_cast<uint64_t>(kLen - 60));
  // Files that are not queue files at all.
  writeFile(path, std::vector<unsigned char>(100, 7));
  EXPECT_EQ(salvage(path, target).unreadBytes, 100u);
  writeFile(path, std::vector<unsigned char>(4 * B, 0xff));
  r = salvage(path, target);
  EXPECT_EQ(r.records, 0u);
  EXPECT_EQ(r.unreadBytes, static_cast<uint64_t>(4 * B));
  EXPECT_EQ(target.count(), 10);
}

TEST_F(DbqCorruption, SalvageDirectoryGoesOnPastADamagedFile) {
  filled<Composite>(dir, 0, 12, kLen, 4 * 1024);  // files 0 (0-2), 1 (3-5)...
  RawFile f(dir + "/1");
  f.setI32(blockOf(1, 0), 34, 9);  // the second record of file 1
  f.save();
  Single target(t.file("target"));
  ofw::SalvageResult r = ofw::salvageQueueDirectory(dir, target, ofw::getLogger("test.spool"));
  std::vector<uint32_t> want = seqs(0, 12);
  want.erase(want.begin() + 4);
  EXPECT_EQ(seqsOf(target), want);
  EXPECT_EQ(r.records, 11u);
  EXPECT_EQ(r.unreadBytes, 1u * kLen);
  EXPECT_EQ(r.skippedBlocks, 3u);
  EXPECT_EQ(r.files, 4u);
}

// A target that fails stops the salvage without raising.
TEST_F(DbqCorruption, SalvageStopsWhenTheTargetFails) {
  filled<Single>(path, 0, kRecords, kLen);
  DBQSingle closed(B);  // never opened: every enqueue raises
  ofw::SalvageResult r = salvage(path, closed);
  EXPECT_TRUE(r.targetFailed);
  EXPECT_EQ(r.records, 0u);
}

}  // namespace
