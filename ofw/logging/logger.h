// Named loggers with inherited levels.
//
// Loggers live in one process-wide table keyed by their dotted full name
// (compared without regard to case, like the configuration keys); the
// parent of "a.b.c" is "a.b", of "a" the root logger. Level, circular-buffer
// level, facility and show-more flags are -1 ("inherit") until first resolved
// by walking up the parents; the resolved value is then stored in the child.
//
// Callers never format a record whose level is off: use the OFW_LOG family of
// macros, which test isLevelEnabled() before evaluating any argument and pass
// the source file, line and function.
//
// A record is "<LEVEL padded to 5> [<thread name> ][<display name> ]["<file>:<line>
// <function>()" ]<message>", at most 1,023 characters (longer messages are cut).
// It goes to the background log thread's queue while that thread runs, and is
// written synchronously otherwise. The destination (syslog or a log file) and
// every level come from the properties last given to ReconfigureLevels; until
// then records go to syslog at INFO.
#pragma once
#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstdarg>
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
  // "fd:<fd> <what>", formatted only when a record needs it (the server names
  // its thread so for every request); `what` must outlive the name.
  static void SetThreadName(int fd, const char* what);
  static std::string GetThreadName();

  const std::string& getName() const { return name_; }
  const std::string& getDisplayName() const { return displayName_; }

  // One comparison when the level is resolved and the circular buffer is off.
  bool isLevelEnabled(int level) {
    int l = level_.load(std::memory_order_relaxed);
    if (l < 0) l = resolveLevel();
    if (level >= l && level < DISABLED) return true;
    return bufferActive_.load(std::memory_order_relaxed) && bufferWants(level);
  }
  int getEffectiveLevel();
  void setLevel(int level);  // -1 = inherit
  bool isThreadPrivate() const { return threadPrivate_; }

  void log(int level, const char* file, int line, const char* function, const char* fmt, ...)
      __attribute__((format(printf, 6, 7)));
  void logSysErr(int level, int err, const char* file, int line, const char* function,
                 const char* fmt, ...) __attribute__((format(printf, 7, 8)));
  // Hexadecimal dump: each byte "%02x " with its printable form "%c " beside it.
  void hexData(int level, const char* title, const void* bytes, size_t length);
  // Writes an already formatted message as a record of this logger.
  void logText(int level, const char* file, int line, const char* function, const std::string& text);

  // Starts / stops the background log thread "com.orvane.logger" that writes
  // records; while it is not running records are written synchronously.
  // stopThread writes every queued record before it returns. A queue size
  // (`logger.queue.size`) below 1 leaves the thread off.
  static void startThread(bool root = true);
  static void stopThread(bool root = true);
  static bool isThreadRunning();
  // Flushes and closes the destination (it is opened again by the next record).
  static void close();
  // Writes out what the log file holds in its write cache.
  static void flush();
  // Re-reads levels, facilities, show-more flags, the circular buffer and the
  // destination settings from the given properties (never from Props()). Call
  // it without holding the properties' own lock.
  static void ReconfigureLevels(Properties& props);
  // Enables or disables the circular buffer and sets the root's buffer level.
  static void ReconfigureBuffer(bool enabled, int level);
  // Pauses or resumes the circular buffer without changing its configuration.
  static void SetBufferActive(bool active);
  // The raw circular buffer ("" when it was never enabled).
  static std::string GetBufferContents();

  // The program name used by openlog and the record prefix (default: the
  // invoked program's base name).
  static void SetProgramName(const std::string& name);
  static const char* ProgramName();

  // Implementation detail, public for the logger table.
  Logger(const std::string& name, boost::shared_ptr<Logger> parent, bool threadPrivate = false);
  // A field's own value when set, else its parent's (`rootDefault` at the
  // root), stored in the field; under the table lock.
  int resolve(std::atomic<int> Logger::*field, int rootDefault);
  int resolveLevel();
  int resolveFacility();
  int resolveShowMore();
  int resolveBufferLevel();
  void resetInherited();
  // Explicit values (-1 = inherit); loggers that inherited the old value pick up the new one.
  void setFacility(int f);
  void setShowMore(int s);
  void setBufferLevel(int l);

 private:
  bool bufferWants(int level);
  void emit(int level, const char* file, int line, const char* function, const char* fmt,
            va_list ap, const char* suffix);
  size_t renderHeader(char* buffer, size_t size, int level, const char* file, int line,
                      const char* function);
  void dispatch(int level, const char* text);

  // Loggers that inherited one of the fields (not set explicitly) forget the
  // value and resolve it again from their parents on next use.
  static void ForgetInherited(unsigned fields);
  void setExplicit(unsigned field, int value);

  static std::atomic<bool> bufferActive_;

  std::string name_;
  std::string displayName_;
  boost::shared_ptr<Logger> parent_;
  bool threadPrivate_;
  bool client_;
  std::atomic<int> level_{-1};
  std::atomic<int> bufferLevel_{-1};
  std::atomic<int> facility_{-1};
  std::atomic<int> showMore_{-1};
  unsigned explicit_ = 0;  // which values were set rather than inherited (table lock)
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
