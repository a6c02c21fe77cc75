#include "tools/vgctl/views.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>

#include "lrpc2/msg_types.h"
#include "ovgfw/agent_state.h"

namespace vgctl {

namespace {

long long leadingNumber(const std::string& s) { return std::strtoll(s.c_str(), nullptr, 10); }

long long ageOf(const SpoolBacklog& b) {
  return b.headTimeKnown ? static_cast<long long>(std::time(nullptr) - b.headTime) : -1;
}

// The backlog entry of the spool the daemon names "Common Spool", "Audit
// Trail Spool" or "Session Spool <id>"; null when its files were not read.
const SpoolBacklog* backlogFor(const std::vector<SpoolBacklog>& list, const std::string& spoolName) {
  static const std::string kSession = "Session Spool ";
  std::string name = spoolName == "Common Spool"        ? "common"
                     : spoolName == "Audit Trail Spool" ? "audit trail"
                     : spoolName.compare(0, kSession.size(), kSession) == 0 ? spoolName.substr(kSession.size())
                                                                             : spoolName;
  for (const SpoolBacklog& b : list)
    if (b.name == name) return &b;
  return nullptr;
}

}  // namespace

void addCollector(Report& r, const CollectorStatus& s) {
  r.number("state", s.state);
  r.text("state_text", ovgfw::AgentState::EnumToString(s.state));
  r.text("description", s.description);
  r.text("installation", s.installation);
  r.text("audit_store", s.auditStore);
  r.text("collector", s.collector);
  r.flag("online", s.online);
}

void addConnections(Report& r, const std::vector<ConnectionStats>& list) {
  r.list("connections");
  for (const ConnectionStats& c : list) {
    Report& e = r.append("connections");
    e.text("target", c.target);
    e.time("off_limits_until", c.times[0]);
    e.time("last_connected", c.times[1]);
    e.time("last_transmission", c.times[2]);
    e.time("last_connect_error_time", c.times[3]);
    e.time("last_transmission_error_time", c.times[4]);
    e.text("last_connect_error", c.connectError);
    e.text("last_transmission_error", c.transmissionError);
  }
}

void addSizes(Report& r, Daemon& d) {
  r.number("session_spool_bytes", leadingNumber(queryString(d, MsgType::VGQueryDBSize)));
  r.number("audit_trail_spool_bytes", leadingNumber(queryString(d, MsgType::VGQueryATDBSize)));
  r.number("despool_bytes_per_second", leadingNumber(queryString(d, MsgType::VGQueryDespoolRate)));
  r.number("audit_trail_despool_bytes_per_second", leadingNumber(queryString(d, MsgType::VGQueryDespoolATRate)));
}

std::vector<SpoolBacklog> readSpoolBacklog(Daemon& d) {
  if (geteuid() != 0) return {};
  auto dir = [&d](const char* key, const char* def) {
    std::string v = queryParameter(d, key);
    return std::string("/var/orvanevg/") + (v.empty() ? def : v);
  };
  return readBacklog(dir("vgd.spool", "spool-dbqc"), dir("vgd.at.spool", "spool-atdbqc"),
                     dir("vgd.sessions.spool", "spool-sessions"));
}

void addBacklogTotals(Report& r, const std::vector<SpoolBacklog>& list) {
  long long records = 0, bytes = 0, oldestAge = -1;
  std::vector<std::string> unreadable;
  for (const SpoolBacklog& b : list) {
    if (!b.readable) {
      unreadable.push_back(b.name + ": " + b.error);
      continue;
    }
    records += b.records;
    bytes += static_cast<long long>(b.bytes);
    oldestAge = std::max(oldestAge, ageOf(b));
  }
  Report& total = r.object("backlog");
  total.number("records", records);
  total.number("bytes", bytes);
  // Seconds since the oldest record still spooled was made (-1: none).
  total.number("oldest_record_age_seconds", oldestAge);
  total.textList("unreadable");
  for (const std::string& u : unreadable) total.appendText("unreadable", u);
}

void addSpools(Report& r, const std::vector<SpoolEntry>& list, const std::vector<SpoolBacklog>& backlog) {
  r.list("spools");
  for (const SpoolEntry& s : list) {
    Report& e = r.append("spools");
    e.text("name", s.name);
    e.flag("paused", s.paused);
    e.flag("in_progress", s.inProgress);
    e.text("status", s.status);
    if (const SpoolBacklog* b = backlogFor(backlog, s.name)) {
      if (!b->readable) {
        e.text("error", b->error);
        continue;
      }
      e.number("records", b->records);
      e.number("bytes", static_cast<long long>(b->bytes));
      e.number("oldest_record_age_seconds", ageOf(*b));
    }
  }
}

}  // namespace vgctl
