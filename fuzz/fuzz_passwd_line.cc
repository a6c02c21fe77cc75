// Local passwd file lines: parsePasswdLine on arbitrary bytes, with the
// format/parse round trip of every accepted entry.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>

#include "server/passwd_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  ovg::PasswdEntry entry;
  if (!ovg::parsePasswdLine(line, entry)) return 0;
  if (entry.name.empty() || entry.uid == 4294967295u || entry.gid == 4294967295u) abort();
  std::string again = entry.name + ":" + entry.passwd + ":" + std::to_string(entry.uid) + ":" +
                      std::to_string(entry.gid) + ":" + entry.gecos + ":" + entry.dir + ":" +
                      entry.shell;
  ovg::PasswdEntry back;
  if (!ovg::parsePasswdLine(again, back)) abort();
  if (back.name != entry.name || back.passwd != entry.passwd || back.uid != entry.uid ||
      back.gid != entry.gid || back.gecos != entry.gecos || back.dir != entry.dir ||
      back.shell != entry.shell)
    abort();
  return 0;
}
