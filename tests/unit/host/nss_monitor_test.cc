// The name-service hook and its monitor, with the stand-in editing script on a
// name-service configuration, shell list, twin directories and lock file in a
// temporary directory.
#include "host/nss_monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/twin_shells.h"
#include "ofw/exceptions.h"
#include "support/descriptors.h"
#include "unit/host/host_test_support.h"

namespace {

using namespace hosttest;

const char kUnhooked[] = "passwd: files systemd\ngroup: files\n";
const char kHooked[] = "passwd: files systemd orvanevg\ngroup: files\n";

// True when nobody holds the lock on path.
bool lockIsFree(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR);
  struct flock lk = {};
  lk.l_type = F_WRLCK;
  bool free = fd >= 0 && fcntl(fd, F_OFD_SETLK, &lk) == 0;
  if (fd >= 0) close(fd);
  return free;
}

class NssHook : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(dir_.file("bin").c_str(), 0755);
    writeFile(dir_.file("bin/bash"), "a shell\n", 0755);
    writeFile(dir_.file("bin/nologin"), "no\n", 0755);
    writeFile(dir_.file("orvanevg"), "the audit shell\n", 0755);
    writeFile(dir_.file("nsswitch.conf"), kUnhooked);
    writeFile(dir_.file("shells"), "# shells\n/bin/sh\n");
    writeFile(dir_.file("libcapi.so"), "");
    writeFile(dir_.file("kset.host"), "host\n");
    writeFile(dir_.file("kset.domain"), "example.test\n");
    writeFile(dir_.file("nscd.sh"), "#!/bin/sh\necho \"$*\" >> '" + dir_.file("nscd.calls") + "'\n", 0755);
    p_.script = std::string(VGD_SOURCE_DIR) + "/standins/scripts/autoedit_default_nss.pl";
    p_.nsswitch = dir_.file("nsswitch.conf");
    p_.capiLibrary = dir_.file("libcapi.so");
    p_.unhookMarker = dir_.file("NSSPurposelyInactivated");
    p_.ksetPrefix = dir_.file("kset.");
    p_.bindInProgress = dir_.file("bind");
    p_.lockFile = dir_.file("vgcontrol.lock");
    p_.shellsFile = dir_.file("shells");
    p_.auditShell = dir_.file("orvanevg");
    p_.builtinShells = {dir_.file("bin/bash"), dir_.file("bin/ksh")};
    p_.nscdScripts = {dir_.file("nscd.sh")};
    p_.trustedOwner = geteuid();
    setenv("AUTOEDIT_NSSWITCH", p_.nsswitch.c_str(), 1);
    setenv("AUTOEDIT_CALLS", dir_.file("calls").c_str(), 1);
    unsetenv("AUTOEDIT_FAIL");
  }
  std::string calls() { return readFile(dir_.file("calls")); }
  bool isTwin(const std::string& path) {
    struct stat a, b;
    return stat(path.c_str(), &a) == 0 && stat(p_.auditShell.c_str(), &b) == 0 && a.st_ino == b.st_ino;
  }

  TempDir dir_;
  LogCapture log_{dir_.file("log")};
  ovg::NssHookPaths p_;
};

TEST_F(NssHook, ALostHookIsRepaired) {
  ovg::NssMonitor monitor(p_);
  EXPECT_EQ(monitor.lastAnswer(), -1);
  monitor.monitorNssConf();
  EXPECT_EQ(monitor.lastAnswer(), 0);  // what the check found, before the repair
  EXPECT_EQ(readFile(p_.nsswitch), kHooked);
  // "Not enabled" from the unhook step does not stop the cycle; no revert runs.
  EXPECT_EQ(calls(),
            "--lib_name orvanevg --is_nss_active\n"
            "--lib_name orvanevg --is_nss_normal\n"
            "--lib_name orvanevg --is_nss_active\n"
            "--lib_name orvanevg --is_nss_active\n"
            "--lib_name orvanevg\n");
  EXPECT_TRUE(isTwin(dir_.file("bin/ovgx/bash")));
  EXPECT_EQ(readFile(p_.shellsFile), "# shells\n/bin/sh\n" + dir_.file("bin/bash") + "\n");
  EXPECT_EQ(readFile(dir_.file("nscd.calls")), "restartandflush\n");
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss unhooked: " + p_.script + " returned status 1(Error))"));
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss HookByNSS: " + p_.script + " successful"));
  EXPECT_TRUE(lockIsFree(p_.lockFile));
}

TEST_F(NssHook, AnUnchangedConfigurationIsNotAskedAgain) {
  writeFile(p_.nsswitch, kHooked);
  writeFile(p_.bindInProgress, "");  // not joined
  ovg::NssMonitor monitor(p_);
  monitor.monitorNssConf();
  EXPECT_EQ(monitor.lastAnswer(), 1);
  monitor.monitorNssConf();
  EXPECT_EQ(log_.occurrences("has been changed."), 1u);
  writeFile(p_.nsswitch, std::string(kHooked) + "# edited\n");
  monitor.monitorNssConf();
  EXPECT_EQ(log_.occurrences("has been changed."), 2u);
  EXPECT_EQ(calls(),
            "--lib_name orvanevg --is_nss_active\n"
            "--lib_name orvanevg --is_nss_normal --not_joined\n"
            "--lib_name orvanevg --is_nss_normal --not_joined\n"
            "--lib_name orvanevg --is_nss_active\n"
            "--lib_name orvanevg --is_nss_normal --not_joined\n");
}

TEST_F(NssHook, TheMarkerOrTheControlToolsLockKeepsTheCheckAway) {
  writeFile(p_.unhookMarker, "");
  ovg::NssMonitor monitor(p_);
  monitor.monitorNssConf();
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss Auditing purposely disabled. Do not enable audit automatically."));
  unlink(p_.unhookMarker.c_str());

  int held = open(p_.lockFile.c_str(), O_RDWR);
  struct flock lk = {};
  lk.l_type = F_WRLCK;
  ASSERT_EQ(0, fcntl(held, F_OFD_SETLK, &lk));
  monitor.monitorNssConf();
  close(held);
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss Lock file (" + p_.lockFile + ") is owned by some process already."));

  EXPECT_EQ(calls(), "");
  EXPECT_EQ(readFile(p_.nsswitch), kUnhooked);
  EXPECT_EQ(access(dir_.file("bin/ovgx").c_str(), F_OK), -1);
  EXPECT_EQ(access(dir_.file("nscd.calls").c_str(), F_OK), -1);
}

TEST_F(NssHook, WithoutTheDirectoryClientOnlyShellsAndCacheAreRefreshed) {
  unlink(p_.capiLibrary.c_str());
  EXPECT_FALSE(ovg::IsHooked(p_));
  ovg::NssMonitor monitor(p_);
  monitor.monitorNssConf();
  EXPECT_EQ(calls(), "");
  EXPECT_EQ(readFile(p_.nsswitch), kUnhooked);
  EXPECT_TRUE(isTwin(dir_.file("bin/ovgx/bash")));
  struct stat st;
  ASSERT_EQ(0, stat(dir_.file("bin/ovgx").c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(readFile(dir_.file("nscd.calls")), "restartandflush\n");
}

TEST_F(NssHook, AFailureInTheCycleEndsItAndFreesTheLock) {
  setenv("AUTOEDIT_FAIL", "hook", 1);
  ovg::NssMonitor monitor(p_);
  const int before = testsupport::openDescriptors();
  monitor.monitorNssConf();
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss Can't complete the unhook and hook cycle: execution of " + p_.script +
                            " script failed: code=1 (Error)"));
  EXPECT_EQ(access(dir_.file("nscd.calls").c_str(), F_OK), -1);
  EXPECT_TRUE(lockIsFree(p_.lockFile));
  EXPECT_EQ(testsupport::openDescriptors(), before);

  unlink(p_.nsswitch.c_str());
  EXPECT_THROW(monitor.monitorNssConf(), ofw::SystemException);
  EXPECT_THROW(ovg::IsNSSHooked(p_), ofw::SystemException);
  EXPECT_FALSE(monitor.inProgress());
  EXPECT_EQ(testsupport::openDescriptors(), before);
}

TEST_F(NssHook, ScriptRunsWithOutputOnDevNullAndItsCodeNamesTheStatus) {
  writeFile(dir_.file("probe"),
            "#!/bin/sh\n[ \"$*\" = '--lib_name orvanevg --is_nss_normal --not_joined' ] || exit 1\n"
            "[ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && [ \"$(readlink /proc/$$/fd/2)\" = /dev/null ] "
            "|| exit 1\nexit 2\n",
            0755);
  p_.script = dir_.file("probe");
  EXPECT_FALSE(ovg::IsNSSNormal(false, p_));
  EXPECT_TRUE(log_.contains("abnormal: " + p_.script + " returned status 2(File is empty))"));
  try {
    ovg::HookByNSS(p_);
    ADD_FAILURE() << "no exception";
  } catch (const ofw::SystemException& e) {
    EXPECT_EQ(std::string(e.what()), "execution of " + p_.script + " script failed: code=1 (Error)");
  }
}

TEST_F(NssHook, JoinedNeedsHostAndDomainAndNoBindInProgress) {
  EXPECT_TRUE(ovg::isHostJoined(p_));
  writeFile(p_.bindInProgress, "");
  EXPECT_FALSE(ovg::isHostJoined(p_));
  unlink(p_.bindInProgress.c_str());
  writeFile(dir_.file("kset.domain"), "");
  EXPECT_FALSE(ovg::isHostJoined(p_));
}

TEST_F(NssHook, AvailableShellsLeaveOutWhatCannotBeALoginShell) {
  mkdir(dir_.file("bin/ovgx").c_str(), 0755);
  writeFile(dir_.file("bin/ovgx/bash"), "", 0755);
  writeFile(dir_.file("bin/vgsh_bash"), "", 0755);
  writeFile(dir_.file("bin/passwd"), "", 0755);
  writeFile(dir_.file("bin/zsh"), "", 0755);
  writeFile(p_.shellsFile, "# comment\n\n  " + dir_.file("bin/zsh") + "  \n" + dir_.file("bin/nologin") + "\n" +
                               dir_.file("bin/ovgx/bash") + "\n" + dir_.file("bin/vgsh_bash") + "\n" +
                               dir_.file("bin/passwd") + "\n" + dir_.file("bin/missing") + "\n" + dir_.file("bin") +
                               "\nbin/bash\n" + dir_.file("bin/bash") + "\n");
  EXPECT_EQ(ovg::getAvailableShells(p_, false),
            (std::vector<std::string>{dir_.file("bin/zsh"), dir_.file("bin/bash")}));
  // The built-in list joins without repeats or missing entries.
  EXPECT_EQ(ovg::getAvailableShells(p_, true), ovg::getAvailableShells(p_, false));
}

TEST_F(NssHook, TheShellListIsReplacedKeepingItsModeAndOwner) {
  chmod(p_.shellsFile.c_str(), 0640);
  ASSERT_EQ(0, chown(p_.shellsFile.c_str(), 0, 65534));
  ovg::addValidShellToEtcShells(p_);
  struct stat st;
  ASSERT_EQ(0, stat(p_.shellsFile.c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(readFile(p_.shellsFile), "# shells\n/bin/sh\n" + dir_.file("bin/bash") + "\n");
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss Add " + dir_.file("bin/bash") + " to /etc/shells."));
  // Nothing lacking: the file is left alone.
  ovg::addValidShellToEtcShells(p_);
  struct stat again;
  ASSERT_EQ(0, stat(p_.shellsFile.c_str(), &again));
  EXPECT_EQ(again.st_ino, st.st_ino);
  // No leftovers of the replacement.
  for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos);

  // A symbolic link is neither cut nor followed.
  writeFile(dir_.file("real-shells"), "/bin/sh\n");
  unlink(p_.shellsFile.c_str());
  ASSERT_EQ(0, symlink(dir_.file("real-shells").c_str(), p_.shellsFile.c_str()));
  ovg::addValidShellToEtcShells(p_);
  EXPECT_EQ(readFile(dir_.file("real-shells")), "/bin/sh\n");
  ASSERT_EQ(0, lstat(p_.shellsFile.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  unlink(p_.shellsFile.c_str());
  ovg::addValidShellToEtcShells(p_);
  EXPECT_TRUE(log_.contains("WARN  ovg.vgd.nss Fail to open /etc/shells for adding our own shells to it."));
}

// A twin directory that is not the trusted owner's alone is skipped and what
// it leads to left untouched.
enum class Unsafe { Symlink, WorldWritable, OtherOwner, WritableShellDirectory };

class UnsafeTwinDirectory : public NssHook, public ::testing::WithParamInterface<Unsafe> {};

TEST_P(UnsafeTwinDirectory, IsSkipped) {
  const std::string victim = dir_.file("victim");
  mkdir(victim.c_str(), 0755);
  writeFile(victim + "/bash", "precious\n", 0644);
  const std::string twinDir = dir_.file("bin/ovgx");
  switch (GetParam()) {
    case Unsafe::Symlink: ASSERT_EQ(0, symlink(victim.c_str(), twinDir.c_str())); break;
    case Unsafe::WorldWritable:
      ASSERT_EQ(0, rename(victim.c_str(), twinDir.c_str()));
      chmod(twinDir.c_str(), 0777);
      break;
    case Unsafe::OtherOwner:
      ASSERT_EQ(0, rename(victim.c_str(), twinDir.c_str()));
      ASSERT_EQ(0, chown(twinDir.c_str(), 65534, 65534));
      break;
    case Unsafe::WritableShellDirectory: chmod(dir_.file("bin").c_str(), 0777); break;
  }
  const std::string target = GetParam() == Unsafe::Symlink || GetParam() == Unsafe::WritableShellDirectory
                                 ? victim + "/bash"
                                 : twinDir + "/bash";
  ovg::makeOvgOwnShell(p_, ofw::getLogger("ovg.vgd.nss"));
  EXPECT_EQ(readFile(target), "precious\n");
  EXPECT_FALSE(isTwin(target));
  if (GetParam() == Unsafe::WritableShellDirectory) {
    EXPECT_EQ(access(twinDir.c_str(), F_OK), -1);
  }
  EXPECT_TRUE(log_.contains("Skipping twin shells in "));
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnsafeTwinDirectory,
                         ::testing::Values(Unsafe::Symlink, Unsafe::WorldWritable, Unsafe::OtherOwner,
                                           Unsafe::WritableShellDirectory));

TEST_F(NssHook, AnOldTwinIsReplacedAndAMissingAuditShellSkipsTheShell) {
  mkdir(dir_.file("bin/ovgx").c_str(), 0755);
  ASSERT_EQ(0, symlink(dir_.file("bin/bash").c_str(), dir_.file("bin/ovgx/bash").c_str()));
  ovg::makeOvgOwnShell(p_, ofw::getLogger("ovg.vgd.nss"));
  EXPECT_TRUE(isTwin(dir_.file("bin/ovgx/bash")));
  EXPECT_EQ(readFile(dir_.file("bin/bash")), "a shell\n");  // the old twin's target is untouched
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss Linking " + p_.auditShell + " to " + dir_.file("bin/ovgx/bash")));

  unlink(p_.auditShell.c_str());
  ovg::makeOvgOwnShell(p_, ofw::getLogger("ovg.vgd.nss"));
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss " + p_.auditShell + " is not found."));
}

TEST_F(NssHook, AcrossFileSystemsTheTwinIsACopyWrittenOnlyWhenItDiffers) {
  // The audit shell on another file system than the twin: linking fails.
  char shm[] = "/dev/shm/vgd-audit-shell-XXXXXX";
  int fd = mkstemp(shm);
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat a, b;
  ASSERT_EQ(0, stat(shm, &a));
  ASSERT_EQ(0, stat(dir_.path().c_str(), &b));
  if (a.st_dev == b.st_dev) {
    unlink(shm);
    GTEST_SKIP() << "/dev/shm and the temporary directory share a file system";
  }
  writeFile(shm, "the audit shell\n", 04775);
  p_.auditShell = shm;
  ovg::makeOvgOwnShell(p_, ofw::getLogger("ovg.vgd.nss"));
  const std::string twin = dir_.file("bin/ovgx/bash");
  struct stat first;
  ASSERT_EQ(0, lstat(twin.c_str(), &first));
  EXPECT_EQ(readFile(twin), "the audit shell\n");
  EXPECT_EQ(first.st_mode & 07777, 04755u);  // never writable by group or others
  EXPECT_TRUE(log_.contains("DEBUG ovg.vgd.nss Failed to hard link to " + twin + ", error: "));
  // An equal twin stays as it is; a changed audit shell is copied again.
  ovg::makeOvgOwnShell(p_, ofw::getLogger("ovg.vgd.nss"));
  struct stat second;
  ASSERT_EQ(0, lstat(twin.c_str(), &second));
  EXPECT_EQ(second.st_ino, first.st_ino);
  writeFile(shm, "a newer audit shell\n", 0755);
  ovg::makeOvgOwnShell(p_, ofw::getLogger("ovg.vgd.nss"));
  EXPECT_EQ(readFile(twin), "a newer audit shell\n");
  unlink(shm);
}

}  // namespace
