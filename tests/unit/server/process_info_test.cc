// The parent walk reads "/proc/<pid>/stat" after the last ')': a command name
// with spaces or ')' must not shift the fields.
#include "support/test_support.h"
#include "server/process_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

namespace {

class FakeProc : public ::testing::Test {
 protected:
  void process(int pid, const std::string& comm, int ppid, int pgrp) {
    std::string dir = root_ + "/" + std::to_string(pid);
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/stat") << pid << " (" << comm << ") S " << ppid << " " << pgrp << " 1 0 -1 4194560\n";
  }
  testsupport::TempDir tmp_;
  const std::string root_ = tmp_.path();
};

TEST_F(FakeProc, CommandNamesCannotShiftTheFields) {
  process(100, "evil) S 1 1", 42, 100);
  process(101, "a b c", 43, 101);
  process(102, "))", 44, 102);
  EXPECT_EQ(ovg::parentPid(100, root_), 42);
  EXPECT_EQ(ovg::parentPid(101, root_), 43);
  EXPECT_EQ(ovg::parentPid(102, root_), 44);
  EXPECT_EQ(ovg::parentPid(999, root_), 0);  // no such process
}

TEST_F(FakeProc, AncestorWalkStopsAtTheFirstAuditedShell) {
  process(10, "sshd", 1, 10);
  process(20, "ovgsh", 10, 20);
  process(30, "bash) S 10", 20, 30);  // would claim parent 10 if parsed naively
  process(40, "sudo", 30, 40);
  std::set<int> audited = {20};
  auto isAudited = [&audited](int pid) { return audited.count(pid) != 0; };
  EXPECT_EQ(ovg::findAuditedAncestor(40, isAudited, root_), 20);
  audited = {10};
  EXPECT_EQ(ovg::findAuditedAncestor(40, isAudited, root_), 10);
  audited.clear();
  EXPECT_EQ(ovg::findAuditedAncestor(40, isAudited, root_), 0);
  // A loop in the (forged) table ends.
  process(50, "x", 51, 50);
  process(51, "y", 50, 51);
  EXPECT_EQ(ovg::findAuditedAncestor(50, isAudited, root_), 0);
}

TEST(ProcessGroup, OwnedByTheCallerOnly) {
  int uid = static_cast<int>(getuid());
  EXPECT_TRUE(ovg::processGroupOwnedBy(getpgrp(), uid));
  EXPECT_FALSE(ovg::processGroupOwnedBy(getpgrp(), uid + 12345));
  EXPECT_TRUE(ovg::processGroupOwnedBy(getpgrp(), -1));
  EXPECT_FALSE(ovg::processGroupOwnedBy(0, uid));
  EXPECT_FALSE(ovg::processGroupOwnedBy(0x7ffffff0, -1));
  EXPECT_TRUE(ovg::processOwnedBy(getpid(), uid));
  EXPECT_FALSE(ovg::processOwnedBy(getpid(), uid + 12345));
  EXPECT_FALSE(ovg::processOwnedBy(0, uid));
}

// A terminal named without a path ("pts/3") is looked up under the device
// directory; one that does not exist belongs to no one.
TEST_F(FakeProc, TerminalsByPathOrByNameUnderTheDeviceDirectory) {
  int uid = static_cast<int>(getuid());
  mkdir((root_ + "/pts").c_str(), 0755);
  std::ofstream(root_ + "/pts/3") << "";
  EXPECT_TRUE(ovg::terminalOwnedBy("pts/3", uid, root_));
  EXPECT_TRUE(ovg::terminalOwnedBy(root_ + "/pts/3", uid, "/nonexistent"));
  EXPECT_FALSE(ovg::terminalOwnedBy("pts/3", uid + 12345, root_));
  EXPECT_FALSE(ovg::terminalOwnedBy("pts/4", uid, root_));
  EXPECT_FALSE(ovg::terminalOwnedBy("", uid, root_));
}

}  // namespace
