// The directory client's settings files: one small file per setting, named
// prefix + setting name (by default "/var/orvanepw/kset.<name>"), whose content
// is the setting's value.
#pragma once
#include <string>

#include "ofw/paths.h"

namespace ofw {

// Reads the setting; false when the file cannot be read. The value is the
// file's first line without its line end.
bool getDirectorySetting(const std::string& name, std::string& value,
                         const std::string& prefix = paths::KSET_PREFIX);

// Stores a setting the same way (file prefix + name holding the value and a
// line end), replacing the file atomically (ofw/atomic_file.h). Throws
// InvalidArgumentException for a value with a line end or NUL (it could not be
// read back), IOException when the file cannot be replaced.
void setDirectorySetting(const std::string& name, const std::string& value,
                         const std::string& prefix = paths::KSET_PREFIX);

// The host's long joined name: the directory client's joined host name
// (setting "host") followed, when it holds no dot, by "." and the joined
// domain (setting "domain"). Throws ofw::NotFoundException when the host is
// not joined (either setting missing or empty).
std::string longJoinedHostName(const std::string& prefix = paths::KSET_PREFIX);

// Whether this process runs in a container: the marker file a container
// runtime leaves at the root ("/.dockerenv" or "/run/.containerenv") exists
// under `root` ("" = the real root).
bool isInContainer(const std::string& root = std::string());

// "directory client installed" = its library file exists.
bool IsDUZInstalled(const std::string& libraryPath = paths::CAPI_LIBRARY);

}  // namespace ofw
