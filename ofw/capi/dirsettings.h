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

// "directory client installed" = its library file exists.
bool IsDUZInstalled(const std::string& libraryPath = paths::CAPI_LIBRARY);

}  // namespace ofw
