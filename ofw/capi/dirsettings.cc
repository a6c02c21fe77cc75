#include "ofw/capi/dirsettings.h"

#include <sys/stat.h>

#include <fstream>

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

bool IsDUZInstalled(const std::string& libraryPath) {
  struct stat st;
  return ::stat(libraryPath.c_str(), &st) == 0;
}

}  // namespace ofw
