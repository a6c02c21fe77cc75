// What the session handlers learn about local processes from /proc.
#pragma once
#include <functional>
#include <string>

namespace ovg {

// The parent pid of pid: the fourth field of "<procRoot>/<pid>/stat", read
// after the last ')' so that a command name holding spaces or ')' cannot
// shift the fields. 0 when the file cannot be read or parsed.
int parentPid(int pid, const std::string& procRoot = "/proc");

// Walks up from pid and returns the first ancestor (pid itself included) for
// which isAudited is true, or 0. The walk ends at pid 0, at a pid whose parent
// is itself, and after a bounded number of steps.
int findAuditedAncestor(int pid, const std::function<bool(int)>& isAudited, const std::string& procRoot = "/proc");

// True when pgid names an existing process group whose leader (or, failing
// that, any member) belongs to uid.
bool processGroupOwnedBy(int pgid, int uid, const std::string& procRoot = "/proc");

// True when pid > 0 is an existing process whose owner is uid.
bool processOwnedBy(int pid, int uid, const std::string& procRoot = "/proc");

// True when the terminal tty exists and belongs to uid. A name that is not a
// path ("pts/3") is taken under devRoot, as the audit shells send both forms.
bool terminalOwnedBy(const std::string& tty, int uid, const std::string& devRoot = "/dev");

}  // namespace ovg
