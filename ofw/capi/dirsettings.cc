#include "ofw/capi/dirsettings.h"

#include <sys/stat.h>

#include <fstream>

#include "ofw/atomic_file.h"
#include "ofw/exceptions.h"

namespace ofw {

bool getDirectorySetting(const std::string& name, std::string& value, const std::string& prefix) {
  std::ifstream in(prefix + name);
  if (!in) return false;
  std::string line;
  if (!std::getline(in, line) && !in.eof()) return false;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  value = line;
  return true;
}

void setDirectorySetting(const std::string& name, const std::string& value, const std::string& prefix) {
  if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    OFW_THROW(InvalidArgumentException, "Setting " + name + " cannot hold a line end");
  replaceFile(prefix + name, value + "\n");
}

std::string longJoinedHostName(const std::string& prefix) {
  std::string host, domain;
  if (!getDirectorySetting("host", host, prefix) || host.empty())
    OFW_THROW(NotFoundException, "The host is not joined: no joined host name");
  if (host.find('.') != std::string::npos) return host;
  if (!getDirectorySetting("domain", domain, prefix) || domain.empty())
    OFW_THROW(NotFoundException, "The host is not joined: no joined domain");
  return host + "." + domain;
}

bool isInContainer(const std::string& root) {
  struct stat st;
  return ::stat((root + "/.dockerenv").c_str(), &st) == 0 || ::stat((root + "/run/.containerenv").c_str(), &st) == 0;
}

bool IsDUZInstalled(const std::string& libraryPath) {
  struct stat st;
  return ::stat(libraryPath.c_str(), &st) == 0;
}

}  // namespace ofw
