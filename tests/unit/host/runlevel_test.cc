#include "host/runlevel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>

#include <cstring>
#include <fstream>
#include <string>

#include "host/run_program.h"
#include "unit/host/host_test_support.h"

namespace {

using namespace hosttest;

// Records appended in order, as the system writes them (pututline would replace the earlier one).
void appendRecord(const std::string& path, short type, int pidField) {
  struct utmp u;
  memset(&u, 0, sizeof(u));
  u.ut_type = type;
  u.ut_pid = pidField;
  strncpy(u.ut_user, "runlevel", sizeof(u.ut_user));
  strncpy(u.ut_id, "~~", sizeof(u.ut_id));
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(&u), sizeof(u));
}

std::string writeScript(const TempDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir.file(name);
  writeFile(path, "#!/bin/sh\n" + body + "\n", 0755);
  return path;
}

class Runlevel : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string utmp_ = dir_.file("utmp");
};

struct RecordCase {
  int pidField;
  int level;
};

class UtmpRecord : public Runlevel, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(UtmpRecord, GivesLevel) {
  appendRecord(utmp_, RUN_LVL, GetParam().pidField);
  EXPECT_EQ(GetParam().level, GetRunlevelFromUtmp(utmp_.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Characters, UtmpRecord,
                         ::testing::Values(RecordCase{'S', 1}, RecordCase{'s', 1},
                                           RecordCase{('N' << 8) | 'S', 1},  // low byte only
                                           RecordCase{'0', 0}, RecordCase{'3', 3},
                                           RecordCase{('N' << 8) | '5', 5}, RecordCase{'9', 9},
                                           RecordCase{'x', -256}, RecordCase{0, -256}));

TEST_F(Runlevel, SingleUserRecordReportsOne) {
  LogCapture log(dir_.file("log"));
  appendRecord(utmp_, RUN_LVL, 'S');
  // The program is never needed when utmp answers.
  EXPECT_EQ(1, GetCurrentRunlevel(false, utmp_.c_str(), dir_.file("no-program").c_str()));
  EXPECT_TRUE(log.contains("UTMP returns runlevel 1 (errno=0)"));
  EXPECT_FALSE(log.contains("Systemd returns runlevel"));
}

TEST_F(Runlevel, LastRecordWins) {
  appendRecord(utmp_, RUN_LVL, '2');
  appendRecord(utmp_, USER_PROCESS, 1234);
  appendRecord(utmp_, RUN_LVL, '5');
  appendRecord(utmp_, BOOT_TIME, 0);
  EXPECT_EQ(5, GetRunlevelFromUtmp(utmp_.c_str()));
}

TEST_F(Runlevel, NoRecordIsNegative) {
  appendRecord(utmp_, USER_PROCESS, 1234);
  EXPECT_LT(GetRunlevelFromUtmp(utmp_.c_str()), 0);
  writeFile(utmp_, "", 0644);
  EXPECT_LT(GetRunlevelFromUtmp(utmp_.c_str()), 0);
  EXPECT_LT(GetRunlevelFromUtmp(dir_.file("missing").c_str()), 0);
  // A torn record at the end is not a record.
  writeFile(utmp_, std::string(100, '\x01'), 0644);
  EXPECT_LT(GetRunlevelFromUtmp(utmp_.c_str()), 0);
}

TEST_F(Runlevel, ProgramExitCodeUsedWithoutUtmpRecord) {
  LogCapture log(dir_.file("log"));
  std::string program = writeScript(dir_, "vggetrunlvl", "exit 5");
  EXPECT_EQ(5, GetCurrentRunlevel(false, utmp_.c_str(), program.c_str()));
  EXPECT_TRUE(log.contains("execution of script " + program + " returns 1(5)"));
  EXPECT_TRUE(log.contains("Systemd returns runlevel 5 (errno=0)"));
}

struct ProgramCase {
  std::string body;
  int level;
};

class RunlevelProgram : public Runlevel, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(RunlevelProgram, ExitCodes) {
  std::string program = writeScript(dir_, "prog", GetParam().body);
  EXPECT_EQ(GetParam().level, GetCurrentRunlevel(false, utmp_.c_str(), program.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Codes, RunlevelProgram,
                         ::testing::Values(ProgramCase{"exit 0", 0}, ProgramCase{"exit 3", 3},
                                           ProgramCase{"exit 9", 9}, ProgramCase{"exit 10", -1},
                                           ProgramCase{"exit 255", -1},
                                           ProgramCase{"kill -9 $$", -1},
                                           ProgramCase{"read x; exit 4", 4}));  // stdin is /dev/null

TEST_F(Runlevel, MissingProgramAndNoRecordGiveMinusOne) {
  LogCapture log(dir_.file("log"));
  std::string program = dir_.file("missing-program");
  EXPECT_EQ(-1, GetCurrentRunlevel(false, utmp_.c_str(), program.c_str()));
  EXPECT_TRUE(log.contains("ERROR: execution of script " + program + " failed: 2: "));
  EXPECT_FALSE(log.contains("Daemon returns runlevel"));
  EXPECT_EQ(-1, GetCurrentRunlevel(true, utmp_.c_str(), program.c_str()));
  EXPECT_TRUE(log.contains("Daemon returns runlevel -1"));
}

TEST_F(Runlevel, UtmpDefaultNameRestored) {
  appendRecord(utmp_, RUN_LVL, '3');
  ASSERT_EQ(3, GetRunlevelFromUtmp(utmp_.c_str()));
  // A later default scan must not read the test file.
  std::lock_guard<std::mutex> guard(UtmpDatabaseMutex());
  setutent();
  bool sawTestRecord = false;
  while (struct utmp* u = getutent())
    if (u->ut_type == RUN_LVL && strncmp(u->ut_user, "runlevel", sizeof(u->ut_user)) == 0 &&
        strncmp(u->ut_id, "~~", 2) == 0 && (u->ut_pid & 0xff) == '3')
      sawTestRecord = true;
  endutent();
  EXPECT_FALSE(sawTestRecord);
}

TEST_F(Runlevel, RunProgramPassesArgumentsAndClosesDescriptors) {
  std::string out = dir_.file("out");
  std::string program = writeScript(
      dir_, "args", "echo \"$1|$2\" > '" + out + "'; ls /proc/self/fd | wc -l >> '" + out + "'");
  int leaked = open("/dev/null", O_RDONLY);  // without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  ovg::ProgramResult r = ovg::runProgram(program, {"one", "two words"});
  close(leaked);
  ASSERT_TRUE(r.ran);
  EXPECT_TRUE(r.exitedNormally);
  EXPECT_EQ(0, r.exitCode);
  std::string text = readFile(out);
  EXPECT_EQ(0u, text.find("one|two words\n")) << text;
  // 0, 1, 2 and the descriptor ls itself opens on /proc/self/fd.
  EXPECT_NE(std::string::npos, text.find("\n4\n")) << text;
}

TEST_F(Runlevel, RunProgramReportsFailuresAndTimeouts) {
  ovg::ProgramResult missing = ovg::runProgram(dir_.file("none"), {});
  EXPECT_FALSE(missing.ran);
  EXPECT_EQ(ENOENT, missing.error);

  std::string notExecutable = dir_.file("plain");
  writeFile(notExecutable, "exit 0\n", 0644);
  ovg::ProgramResult denied = ovg::runProgram(notExecutable, {});
  EXPECT_FALSE(denied.ran);
  EXPECT_EQ(EACCES, denied.error);

  std::string sleeper = writeScript(dir_, "sleeper", "exec sleep 600");
  ovg::ProgramResult slow = ovg::runProgram(sleeper, {}, 1);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_FALSE(slow.exitedNormally);
}

TEST_F(Runlevel, RunProgramResetsBlockedSignals) {
  // A thread that blocks SIGTERM must not hand the block to the child; a
  // death by signal has no exit code.
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, &old);
  std::string killed = writeScript(dir_, "killed", "kill -TERM $$; exit 7");
  ovg::ProgramResult k = ovg::runProgram(killed, {});
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_TRUE(k.ran);
  EXPECT_FALSE(k.exitedNormally);
  EXPECT_EQ(-1, k.exitCode);
}

}  // namespace
