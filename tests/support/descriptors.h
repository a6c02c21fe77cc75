// The open descriptors of this process, for the leak checks.
#pragma once
#include <filesystem>
#include <iterator>

namespace testsupport {

inline int openDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

}  // namespace testsupport
