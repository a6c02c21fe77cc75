// Case-insensitive ordering of keys (strcasecmp).
#pragma once
#include <strings.h>

#include <string>

namespace ofw {
struct StringCaseLessThan {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};
}  // namespace ofw
