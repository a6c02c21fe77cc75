// The shells side of the name-service hook: the list of usable shells, their
// entries in the system's shell list, and the twin of the audit shell that
// stands beside every shell (its directory + "/ovgx/" + its name).
//
// Twins are made only below directories owned by NssHookPaths::trustedOwner
// that neither group nor others may write, and every step works on directory
// descriptors without following symbolic links: a shell-list entry under a
// user-writable directory can never make the daemon remove, replace or relabel
// another file.
#pragma once
#include <string>
#include <vector>

#include "host/nss_hook.h"
#include "ofw/logging/logger.h"

namespace ovg {

// The absolute entries of the system's shell list (comments and blank lines
// skipped), followed by the built-in list when withBuiltin, each once, without
// entries whose base name is "nologin" or "passwd" or starts with "vgsh_",
// paths containing "/ovgx/", and paths that do not exist or are directories.
std::vector<std::string> getAvailableShells(const NssHookPaths& p, bool withBuiltin);

// Appends to the system's shell list every available shell it lacks; the
// file is replaced as a whole and keeps its mode and owner. Never throws for a
// file problem: logs and returns.
void addValidShellToEtcShells(const NssHookPaths& p);

// Makes (or remakes) the twin of every available shell: a hard link to the
// audit shell renamed over the old twin, or, where linking fails, a copy
// written (atomically) only when the twin's content differs; the SELinux label
// is restored when SELinux is enabled.
void makeOvgOwnShell(const NssHookPaths& p, const ofw::LoggerPtr& logger);

}  // namespace ovg
