#include "ofw/format.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace ofw {

std::string vformat(const char* fmt, va_list ap) {
  char small[256];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vformat(fmt, ap);
  va_end(ap);
  return s;
}

std::string errnoText(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* s = strerror_r(err, buf, sizeof buf);
  return s ? std::string(s) : std::string("Unknown error");
}

}  // namespace ofw
