// Temporary directories and files for the configuration tests.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ofw/config/propertyset.h"

namespace proptest {

using testsupport::readFile;
using testsupport::TempDir;
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

// The ways a configuration file (or a file a value refers to) is refused.
enum class Unsafe { None, WorldWritable, Symlink, HardLinks, NotRoot, Missing, Directory, Fifo };

// Replaces whatever dir/name is by a file of `content` made unsafe in the way
// given (Symlink: a link to such a file; None: the file as it is); returns its path.
inline std::string makeUnsafe(TempDir& dir, const std::string& name, Unsafe how, const std::string& content) {
  const std::string path = dir.file(name);
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  int rc = 0;
  switch (how) {
    case Unsafe::None:
    case Unsafe::NotRoot:
    case Unsafe::HardLinks:
      dir.write(name, content);
      if (how == Unsafe::NotRoot) rc = ::chown(path.c_str(), 65534, 65534);
      if (how == Unsafe::HardLinks) rc = ::link(path.c_str(), (path + ".second").c_str());
      break;
    case Unsafe::WorldWritable:
      dir.write(name, content, 0646);
      break;
    case Unsafe::Symlink:
      rc = ::symlink(dir.write(name + ".target", content).c_str(), path.c_str());
      break;
    case Unsafe::Missing:
      break;
    case Unsafe::Directory:
      rc = ::mkdir(path.c_str(), 0755);
      break;
    case Unsafe::Fifo:
      rc = ::mkfifo(path.c_str(), 0644);
      break;
  }
  if (rc != 0) throw std::runtime_error("cannot make " + path + " unsafe");
  return path;
}

}  // namespace proptest
