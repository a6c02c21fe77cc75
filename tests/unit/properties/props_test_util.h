// Temporary directories and files for the configuration tests.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "ofw/config/propertyset.h"

namespace proptest {

using testsupport::TempDir;

using testsupport::readFile;

inline bool exists(const std::string& path) { return testsupport::fileExists(path); }

// True when one record of the sink holds `text` (exactly, or as a part when `part`).
inline bool hasRecord(const ofw::LogSink& sink, const std::string& text, bool part = false) {
  for (const auto& r : sink.records())
    if (part ? r.second.find(text) != std::string::npos : r.second == text) return true;
  return false;
}

inline std::vector<std::string> items(std::initializer_list<const char*> l) {
  return std::vector<std::string>(l.begin(), l.end());
}

}  // namespace proptest
