// Runs the outside programs the daemon starts (tenant key script, name-service
// cache scripts, run-level program) and reports how they ended.
#pragma once
#include <string>
#include <vector>

namespace ofw {

struct ScriptResult {
  bool ran = false;        // fork and exec succeeded
  bool exitedNormally = false;
  int exitCode = -1;       // exit status when exitedNormally, else -1
  int error = 0;           // errno of a failed fork/exec/wait
};

// Runs path with args (argv[0] = path), waits for it, never through a shell.
// The child gets /dev/null on standard input.
ScriptResult runScript(const std::string& path, const std::vector<std::string>& args);

// Reaps finished background children (those registered here) without
// blocking. Children of runScript are waited for by runScript itself and are
// never reaped here, so a reap cannot steal their exit status.
void registerBackgroundChild(int pid);
void spawnfv_reap();

// Name-service cache requests: 0 "restart", 1 "flush", 2 "restartandflush".
// Runs the first of the scripts that exists; logs as the daemon does. Returns
// the script's exit status, or -1 when no script exists or the code is unknown.
int ProcessNscdRequest(int request, const std::vector<std::string>& scripts);
int ProcessNscdRequest(int request);

}  // namespace ofw
