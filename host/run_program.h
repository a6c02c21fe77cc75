// Runs an outside program (never through a shell) and reports how it ended.
#pragma once
#include <string>
#include <vector>

namespace ovg {

struct ProgramResult {
  bool ran = false;             // the program was started and waited for
  bool exitedNormally = false;  // it called exit (not killed by a signal)
  int exitCode = -1;            // its exit status when exitedNormally, else -1
  int error = 0;                // errno of a failed start or wait
  bool timedOut = false;        // killed after timeoutSeconds
};

// Where the program's standard output and error go.
enum class ProgramOutput { Inherit, DevNull };

// Starts path with args (argv[0] = path) with standard input on /dev/null
// (and standard output and error too with ProgramOutput::DevNull),
// default signal dispositions, an empty signal mask and no inherited
// descriptors beyond 0-2, then waits for it. A program still running after
// timeoutSeconds (> 0) is killed with SIGKILL and reported as timedOut.
// Safe to call from any thread.
ProgramResult runProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutSeconds = 60, ProgramOutput output = ProgramOutput::Inherit);

}  // namespace ovg
