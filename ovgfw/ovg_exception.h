// Errors of the collector protocol above the packet layer.
#pragma once
#include <string>

#include "ofw/exceptions.h"

// A message or connection error. Type text "OVGException".
class OVGException : public ofw::Base_Exception {
 public:
  explicit OVGException(const std::string& message, int code = 0, const char* file = nullptr,
                        int line = 0, bool log = false)
      : ofw::Base_Exception(message, "OVGException", code, file, line, log) {}
};

// An error that concerns one session's data rather than the connection: the
// collector rejected that session's records. Type text "OVGSessionException".
class OVGSessionException : public ofw::Base_Exception {
 public:
  explicit OVGSessionException(const std::string& message, int code = 0,
                               const char* file = nullptr, int line = 0, bool log = false)
      : ofw::Base_Exception(message, "OVGSessionException", code, file, line, log) {}
};

namespace ovgfw {
using ::OVGException;
using ::OVGSessionException;
}  // namespace ovgfw
