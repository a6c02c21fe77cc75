// Reading the local passwd file directly, never through the name-service
// switch (a look-up through it could come back into the daemon through its own
// name-service module).
#pragma once
#include <stdint.h>

#include <string>

namespace ovg {

struct PasswdEntry {
  std::string name;
  std::string passwd;
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string gecos;
  std::string dir;
  std::string shell;
};

// Lines longer than this are skipped whole.
constexpr size_t kMaxPasswdLine = 65536;

// One line "name:passwd:uid:gid:gecos:dir:shell" (no line end). False for
// anything else: a field count other than 7, an empty name, a name starting
// with '+' or '-' (compat entries), uid/gid that are not decimal numbers below
// 4294967295, or a NUL byte.
bool parsePasswdLine(const std::string& line, PasswdEntry& entry);

// The first entry of the file with that name / uid. 0 when found, ENOENT when
// not found, otherwise the errno of the failed open or read.
int CallFrmFileGetpwnam_r(const std::string& path, const std::string& name, PasswdEntry& entry);
int CallFrmFileGetpwuid_r(const std::string& path, uint32_t uid, PasswdEntry& entry);

// "name@localhost" -> "name"; other names unchanged.
std::string RemoveAtLocalhost(const std::string& name);
bool EndsWithAtLocalhost(const std::string& name);

}  // namespace ovg
