#include "host/nss_hook.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/run_program.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ovg {

namespace {

const int kScriptTimeoutSeconds = 120;

ofw::LoggerPtr hookLogger() { return ofw::getLogger("ovg.vgd.nss"); }

bool nonEmptyFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// Runs a query mode; true when the script answered 0.
bool askScript(const NssHookPaths& p, const std::vector<std::string>& modeArgs, const char* yes, const char* no) {
  int code = RunAutoEditScript(p, modeArgs);
  OFW_DEBUG(hookLogger(), "%s: %s returned status %d(%s))", code == 0 ? yes : no, p.script.c_str(), code,
            getAutoEditScriptStatusString(code));
  return code == 0;
}

void runEditMode(const NssHookPaths& p, const std::vector<std::string>& modeArgs, const char* what) {
  int code = RunAutoEditScript(p, modeArgs);
  if (code != 0)
    throw ofw::SystemException(ofw::format("execution of %s script failed: code=%d (%s)", p.script.c_str(), code,
                                           getAutoEditScriptStatusString(code)),
                               code, __FILE__, __LINE__);
  OFW_DEBUG(hookLogger(), "%s: %s successful", what, p.script.c_str());
}

}  // namespace

const char* getAutoEditScriptStatusString(int code) {
  switch (code) {
    case 0: return "Success";
    case 1: return "Error";
    case 2: return "File is empty";
    default: return "Unknown";
  }
}

int RunAutoEditScript(const NssHookPaths& p, const std::vector<std::string>& modeArgs) {
  std::vector<std::string> args = {"--lib_name", "orvanevg"};
  args.insert(args.end(), modeArgs.begin(), modeArgs.end());
  ProgramResult r = runProgram(p.script, args, kScriptTimeoutSeconds, ProgramOutput::DevNull);
  return r.ran && r.exitedNormally ? r.exitCode : -1;
}

bool isHostJoined(const NssHookPaths& p) {
  return nonEmptyFile(p.ksetPrefix + "host") && nonEmptyFile(p.ksetPrefix + "domain") &&
         access(p.bindInProgress.c_str(), F_OK) != 0;
}

bool IsHooked(const NssHookPaths& p) { return ofw::IsDUZInstalled(p.capiLibrary) && IsNSSHooked(p); }

bool IsNSSHooked(const NssHookPaths& p) {
  struct stat st;
  if (stat(p.nsswitch.c_str(), &st) != 0) {
    int err = errno;
    throw ofw::SystemException(
        ofw::format("Configuration file %s error: %s", p.nsswitch.c_str(), ofw::errnoText(err).c_str()), err,
        __FILE__, __LINE__);
  }
  return askScript(p, {"--is_nss_active"}, "hooked", "unhooked");
}

void HookByNSS(const NssHookPaths& p) {
  if (IsNSSHooked(p)) throw ofw::AlreadyException("Vigilog has already been enabled", 0, __FILE__, __LINE__);
  runEditMode(p, {}, "HookByNSS");
}

void UnhookNSS(const NssHookPaths& p) {
  if (!IsNSSHooked(p)) throw ofw::NotFoundException("Vigilog is not enabled", 0, __FILE__, __LINE__);
  runEditMode(p, {"--do_revert"}, "UnhookNSS");
}

void EnableSessionAudit(const NssHookPaths& p) {
  if (ofw::IsDUZInstalled(p.capiLibrary)) HookByNSS(p);
}

void DisableSessionAudit(const NssHookPaths& p) {
  if (ofw::IsDUZInstalled(p.capiLibrary)) UnhookNSS(p);
}

bool IsNSSNormal(bool joined, const NssHookPaths& p) {
  std::vector<std::string> mode = {"--is_nss_normal"};
  if (!joined) mode.push_back("--not_joined");
  return askScript(p, mode, "normal", "abnormal");
}

bool IsPurposelyUnhooked(const NssHookPaths& p) { return access(p.unhookMarker.c_str(), F_OK) == 0; }

}  // namespace ovg
