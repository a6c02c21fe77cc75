#include "ofw/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace ofw {

int fillRandom(void* dst, size_t length) {
  auto* p = static_cast<uint8_t*>(dst);
  while (length > 0) {
    const ssize_t n = getrandom(p, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace ofw
