#include "host/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace ovg {

namespace {

// Owns the spawn attribute objects.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool actionsOk = false;
  bool attrOk = false;
  SpawnSetup() {
    actionsOk = posix_spawn_file_actions_init(&actions) == 0;
    attrOk = posix_spawnattr_init(&attr) == 0;
  }
  ~SpawnSetup() {
    if (actionsOk) posix_spawn_file_actions_destroy(&actions);
    if (attrOk) posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

double monotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

ProgramResult runProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutSeconds, ProgramOutput output) {
  ProgramResult result;
  std::vector<std::string> store;
  store.reserve(args.size() + 1);
  store.push_back(path);
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(store.size() + 1);
  for (std::string& a : store) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  SpawnSetup setup;
  if (!setup.actionsOk || !setup.attrOk) {
    result.error = ENOMEM;
    return result;
  }
  int rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  if (output == ProgramOutput::DevNull) {
    if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif
  sigset_t empty, all;
  sigemptyset(&empty);
  sigfillset(&all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attr, &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attr, &all);
  if (rc == 0) rc = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc != 0) {
    result.error = rc;
    return result;
  }

  pid_t pid = -1;
  rc = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  if (rc != 0) {
    result.error = rc;
    return result;
  }

  int status = 0;
  const double deadline = monotonicSeconds() + (timeoutSeconds > 0 ? timeoutSeconds : 0);
  for (;;) {
    pid_t w = waitpid(pid, &status, timeoutSeconds > 0 ? WNOHANG : 0);
    if (w == pid) break;
    if (w < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      return result;
    }
    // w == 0: still running.
    if (monotonicSeconds() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.ran = true;
      result.timedOut = true;
      result.error = ETIMEDOUT;
      return result;
    }
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  result.ran = true;
  if (WIFEXITED(status)) {
    result.exitedNormally = true;
    result.exitCode = WEXITSTATUS(status);
  }
  return result;
}

}  // namespace ovg
