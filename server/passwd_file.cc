#include "server/passwd_file.h"

#include <errno.h>

#include <cstdio>
#include <functional>

namespace ovg {

namespace {

const char kAtLocalhost[] = "@localhost";
const size_t kAtLocalhostLength = sizeof(kAtLocalhost) - 1;

bool parseId(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v >= 4294967295ULL) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

// Calls match on each well-formed entry until it returns true.
int scanFile(const std::string& path, const std::function<bool(const PasswdEntry&)>& match,
             PasswdEntry& found) {
  FILE* f = fopen(path.c_str(), "re");
  if (f == nullptr) return errno ? errno : EIO;
  std::string line;
  bool tooLong = false;
  int result = ENOENT;
  for (;;) {
    int c = getc_unlocked(f);
    if (c != EOF && c != '\n') {
      if (line.size() < kMaxPasswdLine)
        line += static_cast<char>(c);
      else
        tooLong = true;
      continue;
    }
    if (c == EOF && ferror(f)) {
      result = errno ? errno : EIO;
      break;
    }
    if (!tooLong && !line.empty()) {
      PasswdEntry entry;
      if (parsePasswdLine(line, entry) && match(entry)) {
        found = entry;
        result = 0;
        break;
      }
    }
    if (c == EOF) break;
    line.clear();
    tooLong = false;
  }
  fclose(f);
  return result;
}

}  // namespace

bool parsePasswdLine(const std::string& line, PasswdEntry& entry) {
  if (line.find('\0') != std::string::npos) return false;
  std::string fields[7];
  size_t pos = 0;
  for (int i = 0; i < 7; ++i) {
    size_t end = line.find(':', pos);
    if (i < 6) {
      if (end == std::string::npos) return false;
    } else if (end != std::string::npos) {
      return false;
    } else {
      end = line.size();
    }
    fields[i] = line.substr(pos, end - pos);
    pos = end + 1;
  }
  if (fields[0].empty() || fields[0][0] == '+' || fields[0][0] == '-') return false;
  PasswdEntry e;
  if (!parseId(fields[2], e.uid) || !parseId(fields[3], e.gid)) return false;
  e.name = fields[0];
  e.passwd = fields[1];
  e.gecos = fields[4];
  e.dir = fields[5];
  e.shell = fields[6];
  // CRs from a file with DOS line ends belong to no field.
  while (!e.shell.empty() && e.shell.back() == '\r') e.shell.pop_back();
  entry = e;
  return true;
}

int CallFrmFileGetpwnam_r(const std::string& path, const std::string& name, PasswdEntry& entry) {
  if (name.empty()) return ENOENT;
  return scanFile(path, [&](const PasswdEntry& e) { return e.name == name; }, entry);
}

int CallFrmFileGetpwuid_r(const std::string& path, uint32_t uid, PasswdEntry& entry) {
  return scanFile(path, [&](const PasswdEntry& e) { return e.uid == uid; }, entry);
}

bool EndsWithAtLocalhost(const std::string& name) {
  return name.size() >= kAtLocalhostLength &&
         name.compare(name.size() - kAtLocalhostLength, kAtLocalhostLength, kAtLocalhost) == 0;
}

std::string RemoveAtLocalhost(const std::string& name) {
  if (!EndsWithAtLocalhost(name)) return name;
  return name.substr(0, name.size() - kAtLocalhostLength);
}

}  // namespace ovg
