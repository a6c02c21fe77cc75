// The free-space floor of the spool file system ("spool.diskspace.min" and
// "spool.diskspace.softlimit"): a bare number is a percentage of free space,
// a number followed by KB, MB, GB or TB (any case), or B, an absolute amount.
// One strict parser serves the Auditor and the scheduler's disk check.
#pragma once
#include <cstdint>
#include <string>

#include "ofw/logging/logger.h"

namespace Vigilog {

struct DiskThreshold {
  bool percent = true;
  uint64_t value = 10;  // percent (0-100) or bytes
};

// Parses text strictly. An empty text, an unknown suffix, a percentage above
// 100 or a number that overflows logs a WARN naming key and uses def.
DiskThreshold parseDiskThreshold(const std::string& text, const std::string& key, const DiskThreshold& def,
                                 const ofw::LoggerPtr& logger);

struct DiskSpace {
  uint64_t freeBytes = 0;   // available to unprivileged users, whole KiB
  uint64_t totalBytes = 0;  // whole KiB
};
// statvfs of path; zeros when it fails.
DiskSpace diskSpaceOf(const std::string& path);

// The whole percentage of free space (single precision, truncated); 0 for a
// total below 1.
int percentFree(const DiskSpace& space);

// The floor rule: free ≤ an absolute floor, or the whole percentage of free
// space (single precision, truncated) ≤ a percentage floor. A total below 1
// is never over quota.
bool isOverQuota(const DiskSpace& space, const DiskThreshold& floor, const ofw::LoggerPtr& logger);

}  // namespace Vigilog
