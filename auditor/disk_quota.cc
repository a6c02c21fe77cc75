#include "auditor/disk_quota.h"

#include <strings.h>
#include <sys/statvfs.h>

#include <cctype>
#include <limits>

namespace Vigilog {

DiskThreshold parseDiskThreshold(const std::string& text, const std::string& key, const DiskThreshold& def,
                                 const ofw::LoggerPtr& logger) {
  size_t i = 0;
  uint64_t number = 0;
  bool overflow = false;
  while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (number > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    number = number * 10 + digit;
    ++i;
  }
  std::string suffix = text.substr(i);
  DiskThreshold t;
  bool ok = i > 0 && !overflow;
  if (ok && suffix.empty()) {
    t.percent = true;
    t.value = number;
    ok = number <= 100;
  } else if (ok) {
    int shift = -1;
    if (strcasecmp(suffix.c_str(), "B") == 0) shift = 0;
    else if (strcasecmp(suffix.c_str(), "KB") == 0) shift = 10;
    else if (strcasecmp(suffix.c_str(), "MB") == 0) shift = 20;
    else if (strcasecmp(suffix.c_str(), "GB") == 0) shift = 30;
    else if (strcasecmp(suffix.c_str(), "TB") == 0) shift = 40;
    ok = shift >= 0 && number <= (std::numeric_limits<uint64_t>::max() >> shift);
    t.percent = false;
    t.value = ok ? number << shift : 0;
  }
  if (!ok) {
    OFW_WARN(logger, "Illegal value for %s: '%s'. Using %llu%s.", key.c_str(), text.c_str(),
             static_cast<unsigned long long>(def.value), def.percent ? "%" : " bytes");
    return def;
  }
  return t;
}

DiskSpace diskSpaceOf(const std::string& path) {
  DiskSpace s;
  struct statvfs vfs;
  if (statvfs(path.c_str(), &vfs) != 0) return s;
  s.freeBytes = (static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize) / 1024 * 1024;
  s.totalBytes = (static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize) / 1024 * 1024;
  return s;
}

int percentFree(const DiskSpace& space) {
  if (space.totalBytes < 1) return 0;
  float percent = static_cast<float>(space.freeBytes) / static_cast<float>(space.totalBytes) * 100.0f;
  return static_cast<int>(percent);
}

bool isOverQuota(const DiskSpace& space, const DiskThreshold& floor, const ofw::LoggerPtr& logger) {
  if (space.totalBytes < 1) return false;
  if (!floor.percent) {
    if (space.freeBytes <= floor.value) {
      OFW_DEBUG(logger, "overDiskQuota - ByteFree: %lld minimum: %lld, returning true",
                static_cast<long long>(space.freeBytes), static_cast<long long>(floor.value));
      return true;
    }
    return false;
  }
  int whole = percentFree(space);
  if (whole <= static_cast<int>(floor.value)) {
    OFW_DEBUG(logger, "overDiskQuota - percentFree: %d minimum: %d, returning true", whole,
              static_cast<int>(floor.value));
    return true;
  }
  return false;
}

}  // namespace Vigilog
