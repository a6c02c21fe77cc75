// Failed writes: a full disk (here a file size limit, which makes write fail
// with EFBIG) or an injected ENOSPC/EIO at any write of a commit. The operation
// raises IOException with the errno as code, the file is put back byte for
// byte, and the queue goes on with exactly the records committed before.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::DBQSingle;

namespace {

std::vector<std::pair<uint32_t, size_t>> readAll(ofw::DBQ& q) {
  std::vector<std::pair<uint32_t, size_t>> out;
  auto visit = [&](const unsigned char* d, unsigned int len) {
    EXPECT_TRUE(isRecord(d, len, seqOf(d, len)));
    out.emplace_back(seqOf(d, len), len);
    return true;
  };
  if (auto* s = dynamic_cast<DBQSingle*>(&q)) s->forEachRecord(visit);
  if (auto* c = dynamic_cast<ofw::DBQComposite*>(&q)) c->forEachRecord(visit);
  return out;
}

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
  std::string path = t.file("q");
  DBQSingle q(B);
  ASSERT_TRUE(q.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  for (uint32_t i = 0; i < 5; ++i) put(q, record(i, 1000));
  const off_t size = fileSize(path);
  ASSERT_EQ(size, 16 * B);
  std::vector<unsigned char> before = readFile(path);
  {
    FileSizeLimit limit(static_cast<rlim_t>(size + B));  // room for one block, the record needs three
    ASSERT_TRUE(limit.ok());
    try {
      put(q, record(5, 1000));
      FAIL() << "the append succeeded past the limit";
    } catch (const ofw::IOException& e) {
      EXPECT_EQ(e.code(), EFBIG);
      EXPECT_TRUE(ofw::isDbqNoSpace(e));
    }
    EXPECT_TRUE(q.isOpen());
    EXPECT_EQ(q.count(), 5);
    EXPECT_EQ(q.getDataSize(), 5000u);
    EXPECT_EQ(readFile(path), before);  // the partly appended block was cut off again
    // A removal frees blocks; an append into them needs no new space.
    boost::shared_array<unsigned char> out;
    unsigned int len = 0;
    q.dequeue(out, len);
    EXPECT_TRUE(isRecord(out.get(), len, 0));
    put(q, record(5, 1000));
    EXPECT_EQ(fileSize(path), size);
  }
  std::vector<std::pair<uint32_t, size_t>> want;
  for (uint32_t i = 1; i <= 5; ++i) want.emplace_back(i, 1000);
  EXPECT_EQ(readAll(q), want);
  q.close();
  DBQSingle again(B);
  ASSERT_TRUE(again.open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
  EXPECT_EQ(readAll(again), want);
  std::ostringstream check;
  EXPECT_TRUE(again.checkIntegrity(check)) << check.str();
}

TEST_F(DbqNoSpace, CompositeRaisesAndStaysInPlace) {
  std::string dir = t.file("spool");
  ofw::DBQComposite q(B);
  ASSERT_TRUE(q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, "Common"));
  put(q, record(0, 3000));
  {
    FileSizeLimit limit(static_cast<rlim_t>(fileSize(dir + "/0")));
    ASSERT_TRUE(limit.ok());
    try {
      put(q, record(1, 3000));
      FAIL();
    } catch (const ofw::IOException& e) {
      EXPECT_TRUE(ofw::isDbqNoSpace(e));
      q.handleException(e);  // never moves a full spool aside
    }
  }
  EXPECT_TRUE(q.isOpen());
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.getDataSize(), 3000u);
  put(q, record(1, 3000));
  EXPECT_EQ(readAll(q), (std::vector<std::pair<uint32_t, size_t>>{{0, 3000}, {1, 3000}}));
  int entries = 0;
  DIR* d = ::opendir(t.path().c_str());
  while (struct dirent* e = ::readdir(d)) entries += e->d_name[0] != '.';
  ::closedir(d);
  EXPECT_EQ(entries, 1);  // no moved-aside copy
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
  for (uint32_t i = 0; i < 6; ++i) put(q, record(i, 1000));
  boost::shared_array<unsigned char> out;
  unsigned int len = 0;
  q.dequeue(out, len);
  q.dequeue(out, len);  // records 2..5 left; six blocks free
}

TEST_P(DbqInjectedFailure, TheFileIsPutBackByteForByte) {
  const Injection& in = GetParam();
  std::string path = t.file("q");
  DBQSingle q(B);
  prepare(q, path);
  std::vector<unsigned char> before = readFile(path);
  gFailAt = in.failAt;
  gFailErrno = in.err;
  gFailOnward = false;
  ofw::Block::setWriteFaultHook(failNthWrite);
  try {
    if (in.pop)
      q.dequeue();
    else
      put(q, record(6, 1000));
    ofw::Block::setWriteFaultHook(nullptr);
    FAIL() << "no failure";
  } catch (const ofw::IOException& e) {
    ofw::Block::setWriteFaultHook(nullptr);
    EXPECT_EQ(e.code(), in.err);
  }
  EXPECT_EQ(readFile(path), before);
  EXPECT_TRUE(q.isOpen());
  EXPECT_EQ(q.count(), 4);
  std::vector<std::pair<uint32_t, size_t>> want = {{2, 1000}, {3, 1000}, {4, 1000}, {5, 1000}};
  EXPECT_EQ(readAll(q), want);
  // The queue goes on.
  put(q, record(6, 1000));
  boost::shared_array<unsigned char> out;
  unsigned int len = 0;
  q.dequeue(out, len);
  EXPECT_TRUE(isRecord(out.get(), len, 2));
  std::ostringstream check;
  EXPECT_TRUE(q.checkIntegrity(check)) << check.str();
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
  std::string dir = t.file("spool");
  {
    ofw::DBQComposite q(B);
    ASSERT_TRUE(q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
    for (uint32_t i = 0; i < 6; ++i) put(q, record(i, 1000));
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
  try {
    q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, "");
    FAIL();
  } catch (const ofw::IOException& e) {
    EXPECT_STREQ(e.what(), "DBQSingle is not shut cleanly.");
    q.handleException(e);
  }
  std::vector<std::pair<uint32_t, size_t>> want;
  for (uint32_t i = 1; i < 6; ++i) want.emplace_back(i, 1000);
  EXPECT_EQ(readAll(q), want);
}

}  // namespace
