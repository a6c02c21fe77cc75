#include "ofw/exceptions.h"

#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace ofw {

void ExceptionDetails::logSelf() const {
  static LoggerPtr logger = getLogger("util.except");
  OFW_LOG(logger, Logger::DEBUG, "%s %s (reference %s:%d rc: %d)", typeName_.c_str(),
          message_.c_str(), file_.c_str(), line_, code_);
}

Base_Exception::Base_Exception(const std::string& message, const char* typeName, int code,
                               const char* file, int line, bool log)
    : ExceptionDetails(message, typeName, code, file, line) {
  if (log) logSelf();
}

BadAllocException::BadAllocException(const std::string& message, int code, const char* file,
                                     int line, bool log)
    : ExceptionDetails(message, "BadAllocException", code, file, line) {
  if (log) logSelf();
}

NoThreadsAvailable::NoThreadsAvailable(const std::string& message, int code, const char* file,
                                       int line, bool log)
    : std::runtime_error(message), ExceptionDetails(message, "NoThreadsAvailable", code, file, line) {
  if (log) logSelf();
}

BufferFullException::BufferFullException(const std::string& message, int code, const char* file,
                                         int line, bool log)
    : std::out_of_range(message), ExceptionDetails(message, "BufferFullException", code, file, line) {
  if (log) logSelf();
}

std::string withErrno(const std::string& text, int err) { return text + ": " + errnoText(err); }

}  // namespace ofw
