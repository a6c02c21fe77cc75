// The vgspool tool, run as a program against a spool: it never changes what it
// only reads, never repairs, and reports damage. (push, cat and stat are run by
// the forwarding end-to-end test.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "ofw/dbq/dbqcomposite.h"
#include "spool_test_util.h"

using namespace spooltest;

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

ToolRun vgspool(const std::vector<std::string>& args) {
  TempDir t;
  std::string cmd = std::string(VGD_BIN_DIR) + "/vgspool";
  for (const std::string& a : args) cmd += " '" + a + "'";
  int status = std::system((cmd + " >" + t.file("out") + " 2>" + t.file("err")).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::readFile(t.file("out")),
          testsupport::readFile(t.file("err"))};
}

using Vgspool = SpoolDirTest;

TEST_F(Vgspool, ReadOnlyCommandsChangeNothing) {
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  for (const char* n : {"3", "4", "7"}) {
    Single s(dir + "/" + n);
    if (std::string(n) != "4") put(s, record(static_cast<uint32_t>(n[0]), 100));
  }
  std::vector<std::vector<unsigned char>> before;
  for (const char* n : {"3", "4", "7"}) before.push_back(readFile(dir + "/" + n));
  for (const char* cmd : {"cat", "stat", "check", "dump"}) {
    ToolRun r = vgspool({cmd, dir});
    EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
  }
  int i = 0;
  for (const char* n : {"3", "4", "7"}) EXPECT_EQ(readFile(dir + "/" + n), before[i++]) << n;
  EXPECT_FALSE(exists(dir + "/5"));
  EXPECT_FALSE(exists(dir + "/0"));
  ToolRun r = vgspool({"stat", dir});
  EXPECT_EQ(r.out.find("count: 2\n"), 0u) << r.out;
  EXPECT_NE(r.out.find("files: 3\n"), std::string::npos);
  // Missing directories are reported, never created.
  for (const char* cmd : {"cat", "pop", "stat"}) EXPECT_EQ(vgspool({cmd, t.file("none")}).status, 1) << cmd;
  EXPECT_FALSE(exists(t.file("none")));
}

TEST_F(Vgspool, CheckReportsDamageAndNoCommandRepairsIt) {
  {
    Composite q(dir);
    putAll(q, 0, 3, 1000);
    q.dequeue();
  }
  ToolRun r = vgspool({"check", dir});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Queue is abnormal."), std::string::npos);

  RawFile f(dir + "/0");
  f.setI32(5, 34, 7);  // a span sequence
  f.save();
  r = vgspool({"check", dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nQueue is abnormal. Block 5 has the span sequence 7, expected 1"), std::string::npos)
      << r.out;
  r = vgspool({"cat", dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("span sequence"), std::string::npos) << r.err;
  // An unclean file: push refuses it (the tool never repairs), check reports it.
  f.setI32(5, 34, 1);
  f.setU8(0, 21, 2);
  f.save();
  r = vgspool({"check", dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Queue is abnormal. The file was not shut cleanly"), std::string::npos) << r.out;
  writeFile(t.file("x"), {1, 2, 3});
  r = vgspool({"push", dir, t.file("x")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("DBQSingle is not shut cleanly."), std::string::npos) << r.err;
  EXPECT_EQ(readFile(dir + "/0"), f.bytes());
}

// A block at the end of the file that no chain links to: one appended for a
// record whose commit never began, or a free block unlinked by a commit whose
// truncation never happened (a process killed in between). check reports it;
// the next writable open cuts it off and the records stay.
class VgspoolUnlinkedBlock : public SpoolDirTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VgspoolUnlinkedBlock, CheckReportsItAndAnOpenReclaimsIt) {
  {
    Composite q(dir);
    putAll(q, 0, 3, 400);  // blocks 1, 2, 3
    q.dequeue();           // block 1 is the free list
  }
  RawFile f(dir + "/0");
  f.bytes().resize(5 * B, 0);
  f.setI32(4, 0, 4);
  f.setU8(4, 4, fmt::kTypeDataX);
  f.setI32(4, 14, fmt::kDataMagic);
  if (GetParam()) {
    f.setU8(4, 13, fmt::kFlagFree);
    f.setI32(4, 9, 1);  // its previous block no longer links to it
  }
  f.save();
  ToolRun r = vgspool({"check", dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Queue is abnormal. 1 blocks are on no chain"), std::string::npos) << r.out;
  EXPECT_EQ(Composite(dir).count(), 2);
  EXPECT_EQ(fileSize(dir + "/0"), 4 * B);
  r = vgspool({"check", dir});
  EXPECT_EQ(r.status, 0) << r.out;
  r = vgspool({"cat", dir});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 2u * (2 * 400 + 1));  // two records in hexadecimal lines
}

INSTANTIATE_TEST_SUITE_P(Kinds, VgspoolUnlinkedBlock, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "FreeNotTruncated" : "AppendNotCommitted");
                         });

}  // namespace
