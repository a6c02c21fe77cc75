// The exception of the collector-side packet encoding.
#pragma once
#include <string>

#include "ofw/exceptions.h"

namespace meridia {

// Every encoding error of ByteSequenceModeler and Packet. Its type text is
// "ByteSequenceModelerException".
class MeridiaException : public ofw::Base_Exception {
 public:
  explicit MeridiaException(const std::string& message, int code = 0, const char* file = nullptr,
                            int line = 0, bool log = false)
      : ofw::Base_Exception(message, "ByteSequenceModelerException", code, file, line, log) {}
};

}  // namespace meridia
