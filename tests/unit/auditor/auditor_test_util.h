// Helpers shared by the Auditor tests: an Auditor over spools in one
// directory, and session data records posted to it.
#pragma once
#include <sys/time.h>

#include <memory>
#include <string>

#include "auditor/auditor.h"
#include "server/session_records.h"

namespace auditortest {

// An Auditor with its session, common and audit-trail spools under `dir`.
inline std::unique_ptr<Vigilog::Auditor> newAuditor(const std::string& dir, const std::string& continuation = "") {
  std::unique_ptr<Vigilog::Auditor> a(new Vigilog::Auditor());
  a->init(dir + "/spool-sessions", dir + "/spool-dbqc", dir + "/spool-atdbqc", continuation);
  return a;
}

// Posts `count` data records of `text`; returns the bytes of the last as spooled.
inline std::string post(Vigilog::Auditor& a, const ofw::Guid& guid, const std::string& text, int count = 1) {
  const struct timeval when = {1700000000, 0};
  std::string bytes;
  for (int i = 0; i < count; ++i) {
    ovgfw::OVGRequestMessage m;
    ovg::buildSessionData(m, guid, when, 2, text.data(), static_cast<uint32_t>(text.size()));
    bytes = m.serialize();
    a.postSessionData(guid, m);
  }
  return bytes;
}

}  // namespace auditortest
