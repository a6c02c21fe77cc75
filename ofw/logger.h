// Named loggers with inherited levels.
//
// Loggers live in one process-wide table keyed by their dotted full name; the
// parent of "a.b.c" is "a.b", of "a" the root logger. Level, circular-buffer
// level, facility and show-more flags are -1 ("inherit") until first resolved
// by walking up the parents; the resolved value is then stored in the child.
//
// Callers never format a record whose level is off: use the OFW_LOG family of
// macros, which test isLevelEnabled() before evaluating any argument and pass
// the source file, line and function.
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace ofw {

class Properties;

class Logger {
 public:
  enum LogLevel { TRACE = 0, DEBUG = 1, DIAG = 2, INFO = 3, WARN = 4, ERROR = 5, FATAL = 6, DISABLED = 7 };
  static const char* const LEVEL_NAMES[8];
  static constexpr size_t MAX_RECORD = 1024;

  // Upper-cases the text and returns the matching level, INFO for "", -1 otherwise.
  static int TextToLevel(const std::string& text);
  // Syslog facility by name (the 20 standard names), -1 when unknown.
  static int TextToFacility(const std::string& text);

  static boost::shared_ptr<Logger> GetLogger(const std::string& name);
  static boost::shared_ptr<Logger> GetRootLogger();
  // A logger cached per thread (used for records relayed from clients, whose
  // thread name changes per request).
  static boost::shared_ptr<Logger> GetThreadPrivateLogger(const std::string& name);

  // The name records of the calling thread carry ("" = none).
  static void SetThreadName(const std::string& name);
  static std::string GetThreadName();

  const std::string& getName() const { return name_; }
  const std::string& getDisplayName() const { return displayName_; }

  bool isLevelEnabled(int level);
  int getEffectiveLevel();
  void setLevel(int level);  // -1 = inherit

  void log(int level, const char* file, int line, const char* function, const char* fmt, ...)
      __attribute__((format(printf, 6, 7)));
  void logSysErr(int level, int err, const char* file, int line, const char* function,
                 const char* fmt, ...) __attribute__((format(printf, 7, 8)));
  // Hexadecimal dump: each byte "%02x " with its printable form "%c " beside it.
  void hexData(int level, const char* title, const void* bytes, size_t length);
  // Writes an already formatted message as a record of this logger.
  void logText(int level, const char* file, int line, const char* function, const std::string& text);

  // Starts / stops the background log thread that writes records; while it is
  // not running records are written synchronously. stopThread writes every
  // queued record before it returns.
  static void startThread(bool root = true);
  static void stopThread(bool root = true);
  // Flushes and closes the destination.
  static void close();
  // Re-reads levels, facilities, show-more flags and the circular buffer
  // settings from the configuration.
  static void ReconfigureLevels(Properties& props);
  static void ReconfigureBuffer(bool enabled, int level);
  static void SetBufferActive(bool active);

  // Implementation detail, public for the logger table.
  Logger(const std::string& name, boost::shared_ptr<Logger> parent);
  int resolveLevel();
  int resolveFacility();
  int resolveShowMore();
  int resolveBufferLevel();
  void resetInherited();
  void setFacility(int f) { facility_ = f; }
  void setShowMore(int s) { showMore_ = s; }
  void setBufferLevel(int l) { bufferLevel_ = l; }

 private:
  std::string name_;
  std::string displayName_;
  boost::shared_ptr<Logger> parent_;
  int level_ = -1;
  int bufferLevel_ = -1;
  int facility_ = -1;
  int showMore_ = -1;
};

typedef boost::shared_ptr<Logger> LoggerPtr;

// Shorthand every module uses.
inline LoggerPtr getLogger(const std::string& name, bool threadPrivate = false) {
  return threadPrivate ? Logger::GetThreadPrivateLogger(name) : Logger::GetLogger(name);
}

}  // namespace ofw

#define OFW_LOG(logger, level, ...)                                                        \
  do {                                                                                     \
    const ::ofw::LoggerPtr& ofw_log_l_ = (logger);                                         \
    if (ofw_log_l_ && ofw_log_l_->isLevelEnabled(level))                                   \
      ofw_log_l_->log((level), __FILE__, __LINE__, __func__, __VA_ARGS__);                 \
  } while (0)
#define OFW_LOG_ERRNO(logger, level, err, ...)                                             \
  do {                                                                                     \
    const ::ofw::LoggerPtr& ofw_log_l_ = (logger);                                         \
    if (ofw_log_l_ && ofw_log_l_->isLevelEnabled(level))                                   \
      ofw_log_l_->logSysErr((level), (err), __FILE__, __LINE__, __func__, __VA_ARGS__);    \
  } while (0)
#define OFW_TRACE(logger, ...) OFW_LOG(logger, ::ofw::Logger::TRACE, __VA_ARGS__)
#define OFW_DEBUG(logger, ...) OFW_LOG(logger, ::ofw::Logger::DEBUG, __VA_ARGS__)
#define OFW_DIAG(logger, ...) OFW_LOG(logger, ::ofw::Logger::DIAG, __VA_ARGS__)
#define OFW_INFO(logger, ...) OFW_LOG(logger, ::ofw::Logger::INFO, __VA_ARGS__)
#define OFW_WARN(logger, ...) OFW_LOG(logger, ::ofw::Logger::WARN, __VA_ARGS__)
#define OFW_ERROR(logger, ...) OFW_LOG(logger, ::ofw::Logger::ERROR, __VA_ARGS__)
#define OFW_FATAL(logger, ...) OFW_LOG(logger, ::ofw::Logger::FATAL, __VA_ARGS__)
