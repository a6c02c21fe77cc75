// The C log layer (see clog.h).
#include "ofw/logging/clog.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace {

enum EmergencyKind { EM_NONE = 0, EM_SYSLOG, EM_FILE };

struct PendingRecord {
  uint32_t time;
  int32_t pid;
  int32_t level;
  int32_t line;
  std::string file;
  std::string function;
  std::string text;
};

const char* const kLevelNames[5] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};

int syslogPriority(int level) {
  switch (level) {
    case LOG_BUFFER_TRACE:
    case LOG_BUFFER_DEBUG:
      return LOG_DEBUG;
    case LOG_BUFFER_INFO:
      return LOG_INFO;
    case LOG_BUFFER_WARN:
      return LOG_WARNING;
    default:
      return LOG_ERR;
  }
}

int clampLevel(int level) {
  return level < LOG_BUFFER_TRACE ? LOG_BUFFER_TRACE : level > LOG_BUFFER_ERROR ? LOG_BUFFER_ERROR : level;
}

}  // namespace

struct LogBuffer {
  pthread_mutex_t lock;
  std::string program;
  std::string destination;
  std::string socketPath;
  int level = LOG_BUFFER_INFO;
  int timeout = 300;
  int connectTimeout = 5;
  LogBufferSender sender = nullptr;
  void* context = nullptr;
  bool started = false;
  bool emergencyMode = false;  // a send failed: records go to the emergency log until restarted
  std::vector<PendingRecord> pending;
  // Emergency destination, configured on first use.
  EmergencyKind kind = EM_NONE;
  int facility = LOG_AUTH;
  int fd = -1;
};

namespace {

struct Guard {
  explicit Guard(LogBuffer* b) : b_(b) { pthread_mutex_lock(&b_->lock); }
  ~Guard() { pthread_mutex_unlock(&b_->lock); }
  LogBuffer* b_;
};

void emergencyText(LogBuffer* b, int level, const char* text);

// Configures the emergency destination from the destination text (buffer lock held).
void configureEmergency(LogBuffer* b) {
  if (b->kind != EM_NONE) return;
  std::string d = b->destination;
  if (d.empty() || strcasecmp(d.c_str(), "syslog") == 0) {
    b->kind = EM_SYSLOG;
    b->facility = LOG_AUTH;
    return;
  }
  if (d.compare(0, 5, "file ") == 0) {
    std::string path = d.substr(5);
    size_t i = path.find_first_not_of(" \t");
    path = i == std::string::npos ? std::string() : path.substr(i);
    int fd = path.empty() ? -1 : open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      b->kind = EM_FILE;
      b->fd = fd;
      return;
    }
    int err = path.empty() ? EINVAL : errno;
    b->kind = EM_SYSLOG;
    b->facility = LOG_AUTH;
    emergencyText(b, LOG_BUFFER_ERROR,
                  ofw::format("Failed to open file log '%s': %s", path.c_str(), ofw::errnoText(err).c_str())
                      .c_str());
    return;
  }
  int facility = ofw::Logger::TextToFacility(d);
  b->kind = EM_SYSLOG;
  if (facility >= 0) {
    // openlog is left to the host program (it would change the daemon's own
    // syslog identity); the facility travels in the priority instead.
    b->facility = facility;
    return;
  }
  b->facility = LOG_AUTH;
  emergencyText(b, LOG_BUFFER_ERROR,
                ofw::format("Illegal value for log destination '%s': Illegal syslog facility name", d.c_str())
                    .c_str());
}

void emergencyText(LogBuffer* b, int level, const char* text) {
  configureEmergency(b);
  level = clampLevel(level);
  if (b->kind == EM_FILE) {
    char when[64];
    time_t now = time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm) || strftime(when, sizeof when, "%b %d %T", &tm) == 0)
      snprintf(when, sizeof when, "%s", "<Time Error>");
    // One write per line: several processes may append to the same file.
    std::string line = ofw::format("%s %s[%d] %s: %s\n", when, b->program.c_str(),
                                   static_cast<int>(getpid()), kLevelNames[level], text);
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = write(b->fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    return;
  }
  syslog(b->facility | syslogPriority(level), "%s[%d] %s: %s", b->program.c_str(),
         static_cast<int>(getpid()), kLevelNames[level], text);
}

int cLevelOfLoggerLevel(int l) {
  switch (l) {
    case ofw::Logger::TRACE:
      return LOG_BUFFER_TRACE;
    case ofw::Logger::DEBUG:
      return LOG_BUFFER_DEBUG;
    case ofw::Logger::DIAG:
    case ofw::Logger::INFO:
      return LOG_BUFFER_INFO;
    case ofw::Logger::WARN:
      return LOG_BUFFER_WARN;
    default:
      return LOG_BUFFER_ERROR;
  }
}

LogRecordFields fieldsOf(const LogBuffer* b, const PendingRecord& r) {
  LogRecordFields f;
  f.time = r.time;
  f.program = b->program.c_str();
  f.pid = r.pid;
  f.level = r.level;
  f.file = r.file.c_str();
  f.line = r.line;
  f.function = r.function.c_str();
  f.text = r.text.c_str();
  return f;
}

// Sends the records, or writes them and the failure to the emergency log (lock held).
void deliver(LogBuffer* b, const std::vector<PendingRecord>& records) {
  if (records.empty()) return;
  if (b->sender && !b->emergencyMode) {
    std::vector<LogRecordFields> fields;
    fields.reserve(records.size());
    for (const PendingRecord& r : records) fields.push_back(fieldsOf(b, r));
    char error[256];
    error[0] = '\0';
    int rc = b->sender(b->context, b, fields.data(), fields.size(), error, sizeof error);
    if (rc == 0) return;
    error[sizeof error - 1] = '\0';
    b->emergencyMode = true;
    if (rc == LOG_BUFFER_ECONNECT)
      emergencyText(b, LOG_BUFFER_ERROR,
                    ofw::format("Failed to open logging connection to vgd through '%s': %s",
                                b->socketPath.c_str(), error)
                        .c_str());
    else
      emergencyText(b, LOG_BUFFER_ERROR, ofw::format("Failed to send log message: %s", error).c_str());
  }
  for (const PendingRecord& r : records) emergencyText(b, cLevelOfLoggerLevel(r.level), r.text.c_str());
}

}  // namespace

extern "C" {

int LogBufferLevelToLoggerLevel(int level) {
  switch (clampLevel(level)) {
    case LOG_BUFFER_TRACE:
      return ofw::Logger::TRACE;
    case LOG_BUFFER_DEBUG:
      return ofw::Logger::DEBUG;
    case LOG_BUFFER_INFO:
      return ofw::Logger::INFO;
    case LOG_BUFFER_WARN:
      return ofw::Logger::WARN;
    default:
      return ofw::Logger::ERROR;
  }
}

int LogBufferTextToLevel(const char* text) {
  if (!text) return -1;
  if (strcasecmp(text, "TRACE") == 0) return LOG_BUFFER_TRACE;
  if (strcasecmp(text, "DEBUG") == 0) return LOG_BUFFER_DEBUG;
  if (strcasecmp(text, "INFO") == 0) return LOG_BUFFER_INFO;
  if (strcasecmp(text, "WARN") == 0 || strcasecmp(text, "WARNING") == 0) return LOG_BUFFER_WARN;
  if (strcasecmp(text, "ERROR") == 0) return LOG_BUFFER_ERROR;
  return -1;
}

int LogBufferCreate(LogBuffer** out, const char* program, const char* destination, int level,
                    const char* socketPath, int timeoutSeconds, int connectTimeoutSeconds) {
  if (!out) return LOG_BUFFER_EINVAL;
  *out = nullptr;
  if (level < LOG_BUFFER_TRACE || level > LOG_BUFFER_ERROR) return LOG_BUFFER_EINVAL;
  LogBuffer* b = new (std::nothrow) LogBuffer;
  if (!b) return LOG_BUFFER_ENOMEM;
  if (pthread_mutex_init(&b->lock, nullptr) != 0) {
    delete b;
    return LOG_BUFFER_ENOMEM;
  }
  b->program = program && *program ? program : "unknown";
  b->destination = destination ? destination : "syslog";
  b->socketPath = socketPath ? socketPath : "";
  b->level = level;
  b->timeout = timeoutSeconds;
  b->connectTimeout = connectTimeoutSeconds;
  *out = b;
  return LOG_BUFFER_OK;
}

int LogBufferFree(LogBuffer* b) {
  if (!b) return LOG_BUFFER_OK;
  {
    Guard g(b);
    std::vector<PendingRecord> rest;
    rest.swap(b->pending);
    b->emergencyMode = true;  // never start a connection while going away
    deliver(b, rest);
    if (b->fd >= 0) close(b->fd);
    b->fd = -1;
  }
  pthread_mutex_destroy(&b->lock);
  delete b;
  return LOG_BUFFER_OK;
}

int LogBufferSetSender(LogBuffer* b, LogBufferSender sender, void* context) {
  if (!b) return LOG_BUFFER_EINVAL;
  Guard g(b);
  b->sender = sender;
  b->context = context;
  return LOG_BUFFER_OK;
}

int LogBufferSetLevel(LogBuffer* b, int level) {
  if (!b || level < LOG_BUFFER_TRACE || level > LOG_BUFFER_ERROR) return LOG_BUFFER_EINVAL;
  Guard g(b);
  b->level = level;
  return LOG_BUFFER_OK;
}

int LogBufferGetLevel(const LogBuffer* b) { return b ? b->level : -1; }
const char* LogBufferProgram(const LogBuffer* b) { return b ? b->program.c_str() : ""; }
const char* LogBufferSocketPath(const LogBuffer* b) { return b ? b->socketPath.c_str() : ""; }
int LogBufferTimeout(const LogBuffer* b) { return b ? b->timeout : -1; }
int LogBufferConnectTimeout(const LogBuffer* b) { return b ? b->connectTimeout : -1; }

int LogBufferStart(LogBuffer* b) {
  if (!b) return LOG_BUFFER_EINVAL;
  Guard g(b);
  b->started = true;
  b->emergencyMode = false;
  std::vector<PendingRecord> rest;
  rest.swap(b->pending);
  deliver(b, rest);
  return LOG_BUFFER_OK;
}

int LogBufferWrite(LogBuffer* b, int level, const char* file, int line, const char* function,
                   const char* format, ...) {
  if (!b || !format) return LOG_BUFFER_EINVAL;
  level = clampLevel(level);
  {
    Guard g(b);
    if (level < b->level) return LOG_BUFFER_OK;
  }
  char text[LOG_BUFFER_RECORD_SIZE];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n < 0) text[0] = '\0';
  try {
    std::vector<PendingRecord> one(1);
    PendingRecord& r = one[0];
    r.time = static_cast<uint32_t>(time(nullptr));
    r.pid = static_cast<int32_t>(getpid());
    r.level = LogBufferLevelToLoggerLevel(level);
    r.line = line;
    r.file = file ? file : "";
    r.function = function ? function : "";
    r.text = text;
    Guard g(b);
    if (b->sender && !b->started) {
      if (b->pending.size() < LOG_BUFFER_MAX_PENDING) {
        b->pending.push_back(std::move(r));
        return LOG_BUFFER_OK;
      }
      emergencyText(b, level, text);  // keep the memory bounded
      return LOG_BUFFER_OK;
    }
    deliver(b, one);
  } catch (const std::bad_alloc&) {
    return LOG_BUFFER_ENOMEM;
  }
  return LOG_BUFFER_OK;
}

int LogBufferEmergency(LogBuffer* b, int level, const char* text) {
  if (!b || !text) return LOG_BUFFER_EINVAL;
  Guard g(b);
  emergencyText(b, level, text);
  return LOG_BUFFER_OK;
}

int LogBufferSendToLogger(void*, const LogBuffer*, const LogRecordFields* records, size_t count,
                          char* error, size_t errorSize) {
  if (!records) {
    if (error && errorSize) snprintf(error, errorSize, "%s", "no records");
    return LOG_BUFFER_ESEND;
  }
  ofw::LoggerPtr logger = ofw::getLogger("client", true);
  for (size_t i = 0; i < count; ++i) {
    const LogRecordFields& r = records[i];
    int level = r.level;
    if (level < ofw::Logger::TRACE || level >= ofw::Logger::DISABLED) level = ofw::Logger::ERROR;
    if (logger->isLevelEnabled(level))
      logger->logText(level, r.file, r.line, r.function, r.text ? r.text : "");
  }
  return LOG_BUFFER_OK;
}

}  // extern "C"
