// The code pages session data may be configured in.
#pragma once
#include <string>

namespace vgd {

// Index of the first supported code page whose pattern (POSIX extended,
// case-insensitive) matches name, or -1.
int getCPIndex(const std::string& name);
// The canonical name of a supported code page ("iso-8859-1", "utf8").
const char* canonicalCodePage(int index);
// lang_setting lower-cased, mapped to its canonical name; "utf8" (and
// *supported = false) when it matches no pattern.
std::string resolveCodePage(const std::string& setting, bool* supported);

}  // namespace vgd
