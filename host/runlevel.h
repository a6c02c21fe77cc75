// The system's current run level, as the audit shell needs it to tell
// boot-time scripts from logins.
#pragma once
#include <utmp.h>

#include <mutex>

#include "ofw/paths.h"

// Tries the sources UTMP, Systemd and (only when askDaemon) Daemon in this
// order and returns the first run level >= 0; -1 when none gives one.
// utmpPath: the utmp database to scan; program: the run-level program.
// The daemon calls it with askDaemon false: it never asks itself.
int GetCurrentRunlevel(bool askDaemon, const char* utmpPath = _PATH_UTMP,
                       const char* program = ofw::paths::RUNLEVEL_PROGRAM);

// UTMP source: the last RUN_LVL record of the database. 'S'/'s' -> 1,
// '0'-'9' -> 0-9, any other character -> -256; no record -> -errno (never 0:
// -ENOENT when the scan left errno at 0).
int GetRunlevelFromUtmp(const char* utmpPath);

// Systemd source: the run-level program's exit code when it exited normally
// with 0-9, else -1.
int GetRunlevelFromProgram(const char* program);

// utmpname() and the getutent() family share process-wide state. Every user
// of the utmp database in this process holds this mutex across utmpname ...
// endutent and restores the default database name before releasing it.
std::mutex& UtmpDatabaseMutex();
