// The pid file: the decimal pid with no trailing newline, mode 0644.
#pragma once
#include <string>

namespace vgd {

// Writes the pid file (umask 0133 while creating). Returns false on failure.
bool writePidFile(const std::string& path, long pid);
// Removes it, logging as the shutdown does.
void removePidFile(const std::string& path);

}  // namespace vgd
