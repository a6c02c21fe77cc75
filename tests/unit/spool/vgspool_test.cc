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
  std::string tool = std::string(VGD_BIN_DIR) + "/vgspool";
  std::string outPath, errPath;
  TempDir t;
  outPath = t.file("out");
  errPath = t.file("err");
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    _exit(127);
  }
  ToolRun r;
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  auto o = readFile(outPath);
  auto e = readFile(errPath);
  r.out.assign(o.begin(), o.end());
  r.err.assign(e.begin(), e.end());
  return r;
}

using Vgspool = SpoolDirTest;

TEST_F(Vgspool, ReadOnlyCommandsChangeNothing) {
  std::string dir = t.file("spool");
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  for (const char* n : {"3", "4", "7"}) {
    ofw::DBQSingle s(B);
    ASSERT_TRUE(s.open(dir + "/" + n, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
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
  r = vgspool({"cat", t.file("none")});
  EXPECT_EQ(r.status, 1);
  r = vgspool({"pop", t.file("none")});
  EXPECT_EQ(r.status, 1);
  r = vgspool({"stat", t.file("none")});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists(t.file("none")));
}

TEST_F(Vgspool, CheckAndDump) {
  std::string dir = t.file("spool");
  {
    ofw::DBQComposite q(B);
    ASSERT_TRUE(q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
    for (uint32_t i = 0; i < 3; ++i) put(q, record(i, 1000));
    q.dequeue();
  }
  ToolRun r = vgspool({"check", dir});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Queue is abnormal."), std::string::npos);
  EXPECT_EQ(vgspool({"dump", dir}).status, 0);

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
  std::string dir = t.file("spool");
  {
    ofw::DBQComposite q(B);
    ASSERT_TRUE(q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
    for (uint32_t i = 0; i < 3; ++i) put(q, record(i, 400));  // blocks 1, 2, 3
    q.dequeue();                                               // block 1 is the free list
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
  {
    ofw::DBQComposite q(B);
    ASSERT_TRUE(q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, ""));
    EXPECT_EQ(q.count(), 2);
  }
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
