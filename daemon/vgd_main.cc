#include "daemon/vgd_main.h"

#include <cstdio>

#include "ofw/paths.h"

namespace vgd {
int daemonMain(int, char**) {
  std::printf("%s\n", ofw::paths::VERSION_TEXT);
  return 0;
}
}  // namespace vgd
