#include "server/action_count_report.h"

#include "ofw/format.h"

namespace ovg {

namespace {

// The labels of counters 0-13; counter 9 is reported inside counter 8's line.
const char* const kLabels[AC_COUNT] = {
    "Check connection        ", "Send active list        ", "Update agent status     ",
    "Rebind to best SCP      ", "Try to connect collector", "Post session data       ",
    "Flush SCP cache         ", "Collector connect       ", "Collector disconnect    ",
    nullptr,                    "NSS calls - by name     ", "NSS calls - by uid      ",
    "OVGsh connect           ", "OVGsh disconnect        ",
};

std::string cacheFigures(const PasswdCacheCounters& c) {
  return ofw::format("%llu (AD name: %llu, AD UID: %llu, Local name: %llu, Local UID: %llu)",
                     static_cast<unsigned long long>(c.total()), static_cast<unsigned long long>(c.adName),
                     static_cast<unsigned long long>(c.adUid), static_cast<unsigned long long>(c.localName),
                     static_cast<unsigned long long>(c.localUid));
}

}  // namespace

ReportPairs actionCountReport(const uint32_t* counts, const PasswdCacheCounters& hits,
                              const PasswdCacheCounters& misses) {
  ReportPairs out;
  for (int i = 0; i < AC_COUNT; ++i) {
    if (i == AC_DESPOOL_FAILED) continue;
    std::string value;
    if (i == AC_UPDATE_STATUS_FAILED) {
      // A disconnection is counted by its cause: a failed heartbeat or a failed despool.
      uint64_t sum = static_cast<uint64_t>(counts[AC_UPDATE_STATUS_FAILED]) + counts[AC_DESPOOL_FAILED];
      value = ofw::format("%llu (Update agent status failed: %u, Despool failed: %u)",
                          static_cast<unsigned long long>(sum), counts[AC_UPDATE_STATUS_FAILED],
                          counts[AC_DESPOOL_FAILED]);
    } else {
      value = std::to_string(counts[i]);
    }
    out.emplace_back(kLabels[i], value);
  }
  out.emplace_back("NSS cache hit           ", cacheFigures(hits));
  out.emplace_back("NSS cache miss          ", cacheFigures(misses));
  return out;
}

void snapshotActionCounts(uint32_t* out) {
  std::lock_guard<std::mutex> g(actionCountMutex);
  for (int i = 0; i < AC_COUNT; ++i) out[i] = actionCount[i];
}

}  // namespace ovg
