// vgctl: the administrator's control and status tool, a client of the
// daemon's local socket.
//
//   vgctl [-s SOCKET] [-g SIGNING] [-t SECONDS] [--json] COMMAND [ARGS]
//
// `vgctl status` tells in one screen whether this host's sessions are audited
// and forwarded, and exits 1 when they are not; the other commands show one
// part of it or ask the daemon to act. Exit statuses: see kUsage below.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/config/properties.h"
#include "ofw/guid.h"
#include "ofw/paths.h"
#include "ovgfw/agent_state.h"
#include "tools/vgctl/daemon_queries.h"
#include "tools/vgctl/report.h"
#include "tools/vgctl/views.h"

namespace vgctl {
namespace {

enum Exit {
  kOk = 0,          // done; status: sessions audited and forwarded
  kNotDone = 1,     // status: not audited or not forwarded; a query answered "no"; the daemon could not act
  kUsageError = 2,  // bad command line
  kDown = 3,        // the daemon does not answer on its socket
  kRefused = 4,     // the request needs root
  kNoAnswer = 5,    // the daemon did not answer a request (unknown to it, malformed reply, time-out)
};

const char kUsage[] =
    "usage: vgctl [-s SOCKET] [-g SIGNING] [-t SECONDS] [--json] COMMAND [ARGS]\n"
    "  (SOCKET: the configuration's vgd.socket under /var/orvanevg; SIGNING: allowed)\n"
    "  status                       is this host audited and forwarded? (everything below in one screen)\n"
    "  online                       session and audit-trail channels to the collector\n"
    "  collector                    agent state, installation, audit store, collector, per-collector statistics\n"
    "  spools                       spool entries with paused flag and status (root), sizes, despool rates\n"
    "  counts                       action counters and passwd cache hits and misses\n"
    "  hooked                       is the name-service hook in place?\n"
    "  params | param NAME          disk-space thresholds | one configuration value as the daemon holds it\n"
    "  is-audited PID [PSID [TTY]]  does the process belong to an audited session?\n"
    "  libaudit [enable|disable]    advanced monitoring: query or switch (root)\n"
    "  reload-monitoring            reload the advanced-monitoring configuration (root)\n"
    "  reload                       re-read the configuration (root)\n"
    "  flush [passwd|installation|all]   flush the passwd caches and/or the installation cache (root)\n"
    "  resume all|common|at|GUID    resume paused spools (root)\n"
    "  rebind                       choose the best collector again and print the verdict (root)\n"
    "  stop                         stop the daemon (root)\n"
    "  ping\n"
    "exit status: 0 done (status: audited and forwarded), 1 not audited or forwarded / answered no / the daemon\n"
    "could not act, 2 usage, 3 the daemon is not running, 4 refused: needs root, 5 the daemon did not answer\n";

struct Context {
  Daemon& daemon;
  Report& report;
  std::vector<std::string> args;  // after the command
};

// A control request refused because the caller is not root.
int refused(Context& c, const std::string& what) {
  c.report.text("error", "only root may " + what);
  return kRefused;
}

// One item of the status screen; an item the daemon cannot answer is shown
// as unavailable and does not hide the others.
bool attempt(Report& r, const char* key, const std::function<void()>& f) {
  try {
    f();
    return true;
  } catch (const DaemonError& e) {
    if (e.kind == DaemonError::kUnreachable) throw;
    r.text(key, std::string("unavailable: ") + e.what());
    return false;
  }
}

int cmdStatus(Context& c) {
  Daemon& d = c.daemon;
  Report& r = c.report;
  std::vector<std::string> problems;
  bool hooked = false, online = false, atOnline = false;
  ping(d);
  r.text("daemon", "running");
  // Filled in below; placed first so that the verdict leads the screen.
  Report& verdict = r.object("verdict");
  if (!attempt(r, "hooked", [&] { hooked = queryBool(d, MsgType::VGQueryIsHooked); }))
    problems.push_back("the name-service hook is unknown");
  else {
    r.flag("hooked", hooked);
    if (!hooked) problems.push_back("the name-service hook is not in place: logins are not audited");
  }
  if (!attempt(r, "online", [&] { online = queryBool(d, MsgType::VGQueryIsDaemonOnline); }))
    problems.push_back("the collector connection is unknown");
  else {
    r.flag("online", online);
    if (!online) problems.push_back("not connected to a collector: records stay in the spools");
  }
  attempt(r, "audit_trail_online", [&] {
    atOnline = queryBool(d, MsgType::VGQueryIsATChannelOnline);
    r.flag("audit_trail_online", atOnline);
  });
  attempt(r, "agent", [&] {
    CollectorStatus agent = queryCollectorStatus(d);
    addCollector(r.object("agent"), agent);
    // The spool refuses new records: sessions go on unaudited.
    if (agent.state == ovgfw::AgentState::SPOOL_DISK_FULL)
      problems.push_back("the spool's disk volume is too full: new sessions are not audited");
  });
  attempt(r, "spool_sizes", [&] { addSizes(r.object("spool_sizes"), d); });
  attempt(r, "backlog", [&] {
    if (geteuid() == 0)
      addBacklogTotals(r, readSpoolBacklog(d));
    else
      r.text("backlog", "root only");
  });
  attempt(r, "paused_spools", [&] {
    std::vector<SpoolEntry> spools = querySpoolInfo(d);
    if (spools.empty()) {
      r.text("paused_spools", "root only");
      return;
    }
    r.textList("paused_spools");
    for (const SpoolEntry& s : spools) {
      if (!s.paused) continue;
      std::string text = s.name + (s.status.empty() ? "" : ": " + s.status);
      r.appendText("paused_spools", text);
      problems.push_back("spool paused: " + text);
    }
  });
  attempt(r, "connections", [&] { addConnections(r, queryConnectionStatistics(d)); });
  attempt(r, "advanced_monitoring", [&] { r.flag("advanced_monitoring", queryBool(d, MsgType::VGQueryIsLibauditEnabled)); });

  verdict.flag("audited_and_forwarded", problems.empty());
  verdict.textList("problems");
  for (const std::string& p : problems) verdict.appendText("problems", p);
  return problems.empty() ? kOk : kNotDone;
}

int cmdOnline(Context& c) {
  bool online = queryBool(c.daemon, MsgType::VGQueryIsDaemonOnline);
  c.report.flag("online", online);
  c.report.flag("audit_trail_online", queryBool(c.daemon, MsgType::VGQueryIsATChannelOnline));
  return online ? kOk : kNotDone;
}

int cmdCollector(Context& c) {
  c.report.text("collector_connected", queryString(c.daemon, MsgType::VGQueryCollectorStatus));
  addCollector(c.report.object("agent"), queryCollectorStatus(c.daemon));
  addConnections(c.report, queryConnectionStatistics(c.daemon));
  return kOk;
}

int cmdSpools(Context& c) {
  addSizes(c.report.object("spool_sizes"), c.daemon);
  std::vector<SpoolEntry> spools = querySpoolInfo(c.daemon);
  if (spools.empty()) return refused(c, "list the spools");
  std::vector<SpoolBacklog> backlog = readSpoolBacklog(c.daemon);
  addBacklogTotals(c.report, backlog);
  addSpools(c.report, spools, backlog);
  return kOk;
}

int cmdCounts(Context& c) {
  for (const auto& p : queryActionCounts(c.daemon)) {
    std::string key = p.first;
    key.erase(key.find_last_not_of(' ') + 1);
    c.report.text(key, p.second);
  }
  return kOk;
}

int cmdHooked(Context& c) {
  bool hooked = queryBool(c.daemon, MsgType::VGQueryIsHooked);
  c.report.flag("hooked", hooked);
  return hooked ? kOk : kNotDone;
}

int cmdParams(Context& c) {
  std::pair<int32_t, int32_t> p = queryDiskParameters(c.daemon);
  c.report.number("spool.diskspace.min", p.first);
  c.report.number("spool.diskspace.softlimit", p.second);
  return kOk;
}

int cmdParam(Context& c) {
  c.report.text(c.args[0], queryParameter(c.daemon, c.args[0]));
  return kOk;
}

bool parseInt(const std::string& s, int32_t* out) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

int cmdIsAudited(Context& c) {
  int32_t pid = 0, psid = -1;
  if (!parseInt(c.args[0], &pid) || (c.args.size() > 1 && !parseInt(c.args[1], &psid))) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  std::string id;
  bool audited = querySessionAudited(c.daemon, pid, psid, c.args.size() > 2 ? c.args[2] : "", &id);
  c.report.flag("audited", audited);
  if (audited) c.report.text("session", id);
  return audited ? kOk : kNotDone;
}

int cmdLibaudit(Context& c) {
  if (c.args.empty()) {
    bool on = queryBool(c.daemon, MsgType::VGQueryIsLibauditEnabled);
    c.report.flag("advanced_monitoring", on);
    return kOk;
  }
  if (c.args[0] != "enable" && c.args[0] != "disable") {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  Answer a = requestMonitoring(c.daemon, MsgType::VGEnableLibaudit, c.args[0] == "enable");
  c.report.number("status", a.status).text("message", a.text);
  if (a.status == 0) return kOk;
  return geteuid() == 0 ? kNotDone : kRefused;
}

int cmdReloadMonitoring(Context& c) {
  Answer a = requestMonitoring(c.daemon, MsgType::VGReloadMonitoring, false);
  c.report.number("status", a.status).text("message", a.text);
  if (a.status == 0) return kOk;
  return geteuid() == 0 ? kNotDone : kRefused;
}

int cmdReload(Context& c) {
  int32_t s = requestStatus(c.daemon, MsgType::VGReloadProps);
  c.report.number("status", s);
  if (s == 500) return refused(c, "reload the configuration");
  if (s != 0) {
    c.report.text("error", "the configuration could not be read; the daemon keeps the running one");
    return kNotDone;
  }
  c.report.text("result", "configuration reloaded");
  return kOk;
}

int cmdFlush(Context& c) {
  std::string which = c.args.empty() ? "all" : c.args[0];
  if (which != "all" && which != "passwd" && which != "installation") {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  if (which != "installation") {
    int32_t s = requestStatus(c.daemon, MsgType::VGFlushCache);
    c.report.number("passwd_status", s);
    if (s == 502) return refused(c, "flush the caches");
    if (s != 0) return kNotDone;
  }
  if (which != "passwd") {
    int32_t s = requestStatus(c.daemon, MsgType::VGFlushInstallationInfoCache);
    c.report.number("installation_status", s);
    if (s == 500) return refused(c, "flush the caches");
    if (s != 0) {
      c.report.text("error", "the installation cache could not be flushed");
      return kNotDone;
    }
  }
  c.report.text("result", "flushed");
  return kOk;
}

int cmdResume(Context& c) {
  const std::string& name = c.args[0];
  if (name != "all" && name != "common" && name != "at" && !ofw::Guid::isValidGuidStringFormat(name)) {
    std::fprintf(stderr, "vgctl: resume: not a spool: %s (all, common, at or a session GUID)\n", name.c_str());
    return kUsageError;
  }
  int32_t s = requestStatus(c.daemon, MsgType::VGResumeSpool, &name);
  c.report.number("status", s);
  if (s == 500) return refused(c, "resume spools");
  if (s != 0) {
    c.report.text("error", "spool " + name + " could not be resumed");
    return kNotDone;
  }
  c.report.text("result", "resumed " + name);
  return kOk;
}

int cmdRebind(Context& c) {
  // The daemon may take up to its own rebind time-out to choose.
  long seconds = std::strtol(queryParameter(c.daemon, "lrpc2.rebind.timeout").c_str(), nullptr, 10);
  if (seconds <= 0) seconds = 300;
  Answer a = requestRebind(c.daemon, static_cast<int>(seconds) + c.daemon.timeout());
  if (a.status != 0) c.report.number("status", a.status);
  c.report.text("verdict", a.text);
  // Others than root get the daemon's refusal text in place of a verdict.
  if (a.status == 500 || geteuid() != 0) return kRefused;
  return a.status == 0 ? kOk : kNotDone;
}

int cmdStop(Context& c) {
  requestStop(c.daemon);
  // The daemon answers whoever asks and stops only for root.
  if (geteuid() != 0) return refused(c, "stop the daemon");
  c.report.text("result", "stopping");
  return kOk;
}

int cmdPing(Context& c) {
  ping(c.daemon);
  c.report.text("daemon", "running");
  return kOk;
}

struct Command {
  int (*run)(Context&);
  size_t minArgs;
  size_t maxArgs;
};

const std::map<std::string, Command>& commands() {
  static const std::map<std::string, Command> table = {
      {"status", {cmdStatus, 0, 0}},       {"online", {cmdOnline, 0, 0}},
      {"collector", {cmdCollector, 0, 0}}, {"spools", {cmdSpools, 0, 0}},
      {"counts", {cmdCounts, 0, 0}},       {"hooked", {cmdHooked, 0, 0}},
      {"params", {cmdParams, 0, 0}},       {"param", {cmdParam, 1, 1}},
      {"is-audited", {cmdIsAudited, 1, 3}}, {"libaudit", {cmdLibaudit, 0, 1}},
      {"reload-monitoring", {cmdReloadMonitoring, 0, 0}},
      {"reload", {cmdReload, 0, 0}},       {"flush", {cmdFlush, 0, 1}},
      {"resume", {cmdResume, 1, 1}},       {"rebind", {cmdRebind, 0, 0}},
      {"stop", {cmdStop, 0, 0}},           {"ping", {cmdPing, 0, 0}},
  };
  return table;
}

int run(int argc, char** argv) {
  // The socket as the daemon's configuration names it. Signing "allowed"
  // follows the daemon's own setting, whatever it is (and before a reload
  // made a changed setting the daemon's).
  std::string socket =
      std::string(ofw::paths::DATA_DIR) + "/" + ofw::Props().getProperty("vgd.socket", "audit");
  int signing = SIGN_SETTING_ALLOWED;
  int timeout = 30;
  bool json = false;
  static const option longOptions[] = {{"json", no_argument, nullptr, 'j'},
                                       {"socket", required_argument, nullptr, 's'},
                                       {"signing", required_argument, nullptr, 'g'},
                                       {"timeout", required_argument, nullptr, 't'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "+js:g:t:h", longOptions, nullptr)) != -1) {
    switch (opt) {
      case 'j': json = true; break;
      case 's': socket = optarg; break;
      case 'g': signing = SignStringToSignSetting(optarg); break;
      case 't': timeout = std::atoi(optarg); break;
      case 'h': std::fputs(kUsage, stdout); return kOk;
      default: std::fputs(kUsage, stderr); return kUsageError;
    }
  }
  if (optind >= argc || timeout <= 0) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  auto it = commands().find(argv[optind]);
  std::vector<std::string> args(argv + optind + 1, argv + argc);
  if (it == commands().end() || args.size() < it->second.minArgs || args.size() > it->second.maxArgs) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  Daemon daemon(socket, timeout, signing);
  Report report;
  Context c{daemon, report, args};
  int rc;
  try {
    // The session opens with the first request, after the arguments were checked.
    rc = it->second.run(c);
  } catch (const DaemonError& e) {
    bool down = e.kind == DaemonError::kUnreachable;
    if (down) report.text("daemon", "not running");
    report.text("error", e.what());
    rc = down ? kDown : kNoAnswer;
  }
  if (rc == kUsageError) return rc;
  if (json) {
    report.printJson(stdout);
  } else {
    report.printText(stdout);
  }
  if (rc != kOk && rc != kNotDone) std::fprintf(stderr, "vgctl: %s\n", rc == kDown ? "vgd is not running" : rc == kRefused ? "refused: needs root" : "the daemon did not answer");
  return rc;
}

}  // namespace
}  // namespace vgctl

int main(int argc, char** argv) { return vgctl::run(argc, argv); }
