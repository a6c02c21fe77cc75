// The name-service hook: the product's name-service module listed in the
// host's name-service configuration, so that directory users get a login
// shell that is a twin of the audit shell. Asking, hooking and unhooking all go
// through the product's editing script; the daemon never edits the name-service
// configuration itself.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "ofw/logging/logger.h"
#include "ofw/paths.h"

namespace ovg {

// Where the pieces of the hook live. The defaults are the installed system's;
// tests point every one of them into a temporary directory.
struct NssHookPaths {
  std::string script = ofw::paths::NSS_EDIT_SCRIPT;
  std::string nsswitch = ofw::paths::NSSWITCH_CONF;
  // Its existence means "directory client installed".
  std::string capiLibrary = ofw::paths::CAPI_LIBRARY;
  std::string unhookMarker = ofw::paths::NSS_UNHOOK_MARKER;
  // Join markers: prefix + "host", prefix + "domain", and the bind in progress.
  std::string ksetPrefix = ofw::paths::KSET_PREFIX;
  std::string bindInProgress = ofw::paths::BIND_IN_PROGRESS;
  std::string lockFile = ofw::paths::VGCONTROL_LOCK;
  std::string shellsFile = ofw::paths::SHELLS_FILE;
  std::string auditShell = ofw::paths::AUDIT_SHELL;
  // Shells added to the system's list when they exist.
  std::vector<std::string> builtinShells = {"/sbin/sh", "/bin/sh", "/bin/csh", "/usr/bin/ksh", "/bin/ksh", "/bin/bash"};
  // Name-service cache scripts, the first existing one is run.
  std::vector<std::string> nscdScripts = {ofw::paths::NSCD_SCRIPT, ofw::paths::NSCD_SCRIPT_ALT};
  // The only owner a directory may have for twin shells to be made in it.
  uid_t trustedOwner = 0;
};

// "Success" (0), "Error" (1), "File is empty" (2), "Unknown" for anything else.
const char* getAutoEditScriptStatusString(int code);

// Runs the editing script with "--lib_name orvanevg" and `modeArgs`, its
// output sent to /dev/null, and returns its exit code; -1 when it could not
// be run, was killed or did not end within two minutes.
int RunAutoEditScript(const NssHookPaths& p, const std::vector<std::string>& modeArgs);

// The host counts as joined when prefix+"host" and prefix+"domain" exist and are
// not empty and no bind is in progress.
bool isHostJoined(const NssHookPaths& p);

// false when the directory client is not installed, else IsNSSHooked().
bool IsHooked(const NssHookPaths& p = NssHookPaths());
// The query mode's answer. Throws ofw::SystemException when the name-service
// configuration is missing.
bool IsNSSHooked(const NssHookPaths& p = NssHookPaths());
// Throw ofw::AlreadyException / ofw::NotFoundException when there is nothing
// to do, ofw::SystemException when the script fails.
void HookByNSS(const NssHookPaths& p = NssHookPaths());
void UnhookNSS(const NssHookPaths& p = NssHookPaths());
// Hook / unhook when the directory client is installed, else nothing.
void EnableSessionAudit(const NssHookPaths& p = NssHookPaths());
void DisableSessionAudit(const NssHookPaths& p = NssHookPaths());
// Whether the name-service configuration looks as the product expects.
bool IsNSSNormal(bool joined, const NssHookPaths& p = NssHookPaths());
// An administrator turned auditing off on purpose (the marker exists).
bool IsPurposelyUnhooked(const NssHookPaths& p = NssHookPaths());

}  // namespace ovg
