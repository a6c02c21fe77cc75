// Daemon-wide values the session handlers read, set once at start-up.
#pragma once
#include <string>

namespace ovg {
// Code page of session data ("utf8" or "iso-8859-1").
extern std::string gSrcEncoding;
// The data directory named in the out-of-space messages.
extern std::string gDataDir;
}  // namespace ovg
