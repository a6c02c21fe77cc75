// The watchdog process: started once at start-up, it restarts the daemon
// when the daemon stops abnormally.
#pragma once
#include <sys/types.h>

#include "ofw/logging/logger.h"

namespace vgd {

// Forks and executes `program` with the command line "ovgwatch", the
// daemon's pid in decimal, then argv[1..argc-1]. Returns the child's pid, or
// -1 when fork failed (ERROR "Unable to fork ovgwatch: %s").
//
// Between fork and exec the child calls only async-signal-safe functions (the
// command line is built before the fork): another thread may hold a logger or
// allocator lock at fork time, and the child would wait for it forever. When
// exec fails the child writes "Unable to exec ovgwatch: error N" to
// descriptor 2 and exits 1; it never logs.
pid_t startWatchdog(const ofw::LoggerPtr& logger, const char* program, int argc, char** argv);

}  // namespace vgd
