// Failed writes: a full disk (here a file size limit, which makes write fail
// with EFBIG) or an injected ENOSPC/EIO at any write of a commit. The operation
// raises IOException with the errno as code, the file is put back byte for
// byte, and the queue goes on with exactly the records committed before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQSingle;

namespace {

// Sets a file size limit for the scope, with SIGXFSZ ignored.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit r = saved_;
    r.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &r) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_;
  sighandler_t oldHandler_;
  bool ok_ = false;
};

using DbqNoSpace = SpoolDirTest;

TEST_F(DbqNoSpace, FileSizeLimitFailsTheAppendAndKeepsTheQueue) {
  Single q(path);
  putAll(q, 0, 5, 1000);
  const off_t size = fileSize(path);
  ASSERT_EQ(size, 16 * B);
  std::vector<unsigned char> before = readFile(path);
  {
    FileSizeLimit limit(static_cast<rlim_t>(size + B));  // room for one block, the record needs three
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(raised<ofw::IOException>([&] { put(q, record(5, 1000)); }).code, EFBIG);
    EXPECT_TRUE(q.isOpen());
    EXPECT_EQ(q.count(), 5);
    EXPECT_EQ(q.getDataSize(), 5000u);
    EXPECT_EQ(readFile(path), before);  // the partly appended block was cut off again
    EXPECT_EQ(q.getQueueSizeOnDisk(), static_cast<uint64_t>(size));
    // A removal frees blocks; an append into them needs no new space.
    EXPECT_EQ(popSeq(q), 0u);
    put(q, record(5, 1000));
    EXPECT_EQ(fileSize(path), size);
  }
  EXPECT_EQ(seqsOf(q, 1000), seqs(1, 6));
  q.close();
  Single again(path);
  EXPECT_EQ(seqsOf(again, 1000), seqs(1, 6));
  EXPECT_TRUE(intact(again));
}

TEST_F(DbqNoSpace, CompositeRaisesAndStaysInPlace) {
  Composite q(dir);
  put(q, record(0, 3000));
  {
    FileSizeLimit limit(static_cast<rlim_t>(fileSize(dir + "/0")));
    ASSERT_TRUE(limit.ok());
    // The recovery never moves a full spool aside.
    EXPECT_EQ(recovered<ofw::IOException>(q, [&] { put(q, record(1, 3000)); }).code, EFBIG);
  }
  EXPECT_TRUE(q.isOpen());
  // A closed queue is reopened in place, also after ENOSPC.
  q.close();
  q.handleException(ofw::IOException("Block 3 write failed (fs.write)", ENOSPC));
  EXPECT_TRUE(q.isOpen());
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.getDataSize(), 3000u);
  put(q, record(1, 3000));
  EXPECT_EQ(seqsOf(q, 3000), seqs(0, 2));
  EXPECT_EQ(entries(t.path()), std::vector<std::string>{"spool"});  // no moved-aside copy
}

// Injected failures at the n-th write of an operation.
int gFailAt = 0;
int gFailErrno = ENOSPC;
bool gFailOnward = false;  // every later write fails too (the undo cannot write either)
int failNthWrite(int, off_t, size_t) {
  if (gFailAt <= 0) return gFailOnward ? gFailErrno : 0;
  return --gFailAt == 0 ? gFailErrno : 0;
}

struct Injection {
  const char* name;
  bool pop;  // fail a removal instead of an append
  int failAt;
  int err;
};

class DbqInjectedFailure : public SpoolDirTest, public ::testing::WithParamInterface<Injection> {};

// A queue whose next append reuses free blocks, so that a commit overwrites
// blocks in place: the undo must write their old images back.
void prepare(DBQSingle& q, const std::string& path) {
  ASSERT_TRUE(q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  putAll(q, 0, 6, 1000);
  q.dequeue();
  q.dequeue();  // records 2..5 left; six blocks free
}

TEST_P(DbqInjectedFailure, TheFileIsPutBackByteForByte) {
  const Injection& in = GetParam();
  DBQSingle q(B);
  prepare(q, path);
  std::vector<unsigned char> before = readFile(path);
  gFailAt = in.failAt;
  gFailErrno = in.err;
  gFailOnward = false;
  ofw::Block::setWriteFaultHook(failNthWrite);
  auto r = raised<ofw::IOException>([&] { in.pop ? q.dequeue() : put(q, record(6, 1000)); });
  ofw::Block::setWriteFaultHook(nullptr);
  EXPECT_EQ(r.code, in.err) << r.what;
  EXPECT_EQ(readFile(path), before);
  EXPECT_TRUE(q.isOpen());
  EXPECT_EQ(q.count(), 4);
  EXPECT_EQ(seqsOf(q, 1000), seqs(2, 6));
  // The queue goes on.
  put(q, record(6, 1000));
  EXPECT_EQ(popSeq(q), 2u);
  EXPECT_TRUE(intact(q));
}

// An append of 1000 bytes into free blocks writes: the master (operation 1),
// the dirty blocks in runs, the master (operation 0). A removal writes the
// master, the freed blocks and the old free tail, the master.
INSTANTIATE_TEST_SUITE_P(
    Writes, DbqInjectedFailure,
    ::testing::Values(Injection{"AppendFirstMaster", false, 1, ENOSPC}, Injection{"AppendBlocks", false, 2, ENOSPC},
                      Injection{"AppendTailBlock", false, 3, EIO}, Injection{"AppendLastMaster", false, 4, EIO},
                      Injection{"RemoveFirstMaster", true, 1, ENOSPC}, Injection{"RemoveBlocks", true, 2, EIO},
                      Injection{"RemoveLastMaster", true, 3, ENOSPC}),
    [](const ::testing::TestParamInfo<Injection>& i) { return std::string(i.param.name); });

// When the undo cannot write either, the queue closes and the file is left
// marked as not shut cleanly; salvage then finds every committed record.
TEST_F(DbqNoSpace, UndoThatCannotWriteLeavesTheFileUnclean) {
  {
    Composite q(dir);
    putAll(q, 0, 6, 1000);
    q.dequeue();
    gFailAt = 2;  // the master with the operation reaches the file, nothing after it
    gFailErrno = EIO;
    gFailOnward = true;
    ofw::Block::setWriteFaultHook(failNthWrite);
    EXPECT_THROW(put(q, record(6, 1000)), ofw::IOException);
    ofw::Block::setWriteFaultHook(nullptr);
    gFailOnward = false;
    EXPECT_FALSE(q.isOpen());
  }
  ofw::DBQComposite q(B);
  EXPECT_EQ(recovered<ofw::IOException>(q, [&] { q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""); }).what,
            "DBQSingle is not shut cleanly.");
  EXPECT_EQ(seqsOf(q, 1000), seqs(1, 6));
}

}  // namespace
