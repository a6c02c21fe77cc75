// The action-count report: the daemon's action counters and the passwd
// caches' hit and miss figures as ordered (label, value) pairs, the reply of
// the action-count query. Labels are 24 characters wide (padded with spaces)
// so that tools can print them as a column; values are decimal texts, some
// followed by their parts in parentheses.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "auditor/action_count.h"
#include "server/passwd_cache.h"

namespace ovg {

typedef std::vector<std::pair<std::string, std::string>> ReportPairs;

// `counts` is a snapshot of all AC_COUNT counters (taken under their mutex).
ReportPairs actionCountReport(const uint32_t* counts, const PasswdCacheCounters& hits,
                              const PasswdCacheCounters& misses);

// A copy of the counters taken under actionCountMutex (AC_COUNT entries).
void snapshotActionCounts(uint32_t* out);

}  // namespace ovg
