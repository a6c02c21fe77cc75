#include "ofw/logging/logger.h"

#include <boost/weak_ptr.hpp>
#include <cxxabi.h>

#include <exception>
#include <errno.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "ofw/exceptions.h"
#include "ofw/logging/filelogging.h"
#include "ofw/format.h"
#include "ofw/logging/logqueue.h"
#include "ofw/config/properties.h"
#include "ofw/config/strcase.h"
#include "ofw/threads/thread.h"

// Lock order: reconfigure lock -> table lock; the destination, buffer, drain
// and thread locks are never held while the table lock is taken, and nothing
// below the destination lock logs through a Logger.

namespace ofw {

const char* const Logger::LEVEL_NAMES[8] = {"TRACE", "DEBUG", "DIAG",  "INFO",
                                            "WARN",  "ERROR", "FATAL", "DISABLED"};
std::atomic<bool> Logger::bufferActive_{false};

namespace {

enum Field : unsigned { F_LEVEL = 1, F_BUFFER = 2, F_FACILITY = 4, F_SHOWMORE = 8 };

const size_t kMaxBufferKiB = 64 * 1024;   // circular buffer ceiling (64 MiB)
const int kMaxKeptFiles = 1000;           // rotation ceiling for logger.file.maxcount
const int kMaxQueueSize = 1 << 20;        // ceiling for logger.queue.size

struct DestConfig {
  std::string destination = "syslog";
  bool openlog = true;
  int facility = LOG_AUTH;
  FileLoggingOptions file;
  int queueSize = 256;
};

struct Globals {
  Mutex reconfigureLock;
  Mutex tableLock;  // the table and every logger's inherited values
  std::map<std::string, LoggerPtr, StringCaseLessThan> table;
  std::vector<boost::weak_ptr<Logger>> privateLoggers;
  std::map<std::string, int, StringCaseLessThan> explicitBufferLevels;

  Mutex destLock;  // config, destination state, file pointer
  DestConfig config;
  bool destOpen = false;
  bool openlogDone = false;
  bool atexitDone = false;
  std::unique_ptr<FileLogging> file;

  Mutex bufferLock;
  boost::shared_ptr<CircularBuffer> cbuf;
  size_t bufferBytes = 128 * 1024;
  bool bufferEnabled = false;
  bool bufferPaused = false;

  Mutex threadLock;  // start / stop
  Mutex drainLock;   // held while a stopping queue is drained
  std::atomic<RunQueue*> queue{nullptr};
  std::vector<boost::shared_ptr<RunQueue>> queues;  // kept: producers may hold the pointer
  std::unique_ptr<Thread> thread;

  Mutex dropLock;
  std::string lastDropped;
  std::atomic<unsigned long> dropped{0};
  std::atomic<long long> lastDropWarning{LLONG_MIN / 2};
};

Globals& G() {
  static Globals* g = new Globals;  // never destroyed: threads may log during exit
  return *g;
}

thread_local std::string tThreadName;
thread_local int tNameFd = -1;                // with tNameWhat: a name not formatted yet
thread_local const char* tNameWhat = nullptr;

const std::string& threadName() {
  if (tNameWhat) {
    tThreadName = format("fd:%d %s", tNameFd, tNameWhat);
    tNameWhat = nullptr;
  }
  return tThreadName;
}
thread_local bool tIsLogThread = false;
thread_local std::map<std::string, LoggerPtr> tPrivate;  // freed when the thread ends

std::atomic<const char*> gProgramName{nullptr};

int priorityOf(int level) {
  switch (level) {
    case Logger::TRACE:
    case Logger::DEBUG:
      return LOG_DEBUG;
    case Logger::DIAG:
    case Logger::INFO:
      return LOG_INFO;
    case Logger::WARN:
      return LOG_WARNING;
    case Logger::ERROR:
      return LOG_ERR;
    default:
      return LOG_CRIT;
  }
}

long long monotonicMillis() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Appends printf output at *n, never past size - 1.
void appendf(char* buf, size_t size, size_t* n, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void appendf(char* buf, size_t size, size_t* n, const char* fmt, ...) {
  if (*n + 1 >= size) return;
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(buf + *n, size - *n, fmt, ap);
  va_end(ap);
  if (r < 0) return;
  *n += static_cast<size_t>(r);
  if (*n > size - 1) *n = size - 1;
}

void flushAtExit() { Logger::flush(); }

// Opens the destination on first use (destination lock held).
void openDestinationLocked(Globals& g) {
  if (g.destOpen) return;
  g.destOpen = true;
  if (!g.openlogDone && g.config.openlog) {
    static const char* ident = strdup(Logger::ProgramName());
    openlog(ident, LOG_PID, g.config.facility);
    g.openlogDone = true;
  }
  const std::string& dest = g.config.destination;
  if (geteuid() == 0 && !dest.empty() && dest != "syslog") {
    std::unique_ptr<FileLogging> f(new FileLogging(dest, g.config.file));
    if (f->open()) {
      g.file = std::move(f);
      if (!g.atexitDone) {
        atexit(flushAtExit);
        g.atexitDone = true;
      }
    } else {
      int err = errno;
      errno = err;
      syslog(LOG_ERR, "Could not open %s: %m", dest.c_str());
    }
  }
}

// The drop warning goes straight to the destination (never through the full
// queue), at most once a second (unless forced), with the count dropped since
// the last one.
void reportDropped(bool force) {
  Globals& g = G();
  if (g.dropped.load() == 0) return;
  long long now = monotonicMillis();
  long long last = g.lastDropWarning.load();
  if (!force && now - last < 1000) return;
  if (!g.lastDropWarning.compare_exchange_strong(last, now)) return;
  unsigned long n = g.dropped.exchange(0);
  if (n == 0) return;
  std::string text;
  {
    Lock l(g.dropLock);
    text = g.lastDropped;
  }
  char buf[Logger::MAX_RECORD];
  snprintf(buf, sizeof buf,
           "%-5s util.logger Warning: Orvane logger dropping messages:(%s) Please insure syslog is "
           "running correctly or increase the value of %s in orvanepw.conf. (%lu dropped)",
           "ERROR", text.c_str(), "logger.queue.size", n);
  int facility;
  {
    Lock l(g.destLock);
    facility = g.config.facility;
  }
  FinalRendering(LOG_ERR | facility, buf);
}

// Only counts: the warning is written by the log thread (after its next record
// or when idle) or by stopThread, so a caller never waits for the destination.
void noteDropped(const char* text) {
  Globals& g = G();
  {
    Lock l(g.dropLock);
    g.lastDropped = text;
  }
  g.dropped.fetch_add(1);
}

void logIdle() {
  Logger::flush();
  reportDropped(false);
}

void* logThreadMain(void* arg) {
  RunQueue* q = static_cast<RunQueue*>(arg);
  tIsLogThread = true;
  for (;;) {
    try {
      q->runQueue(1);
      return nullptr;
    } catch (const QueueInterrupted&) {
      return nullptr;
    } catch (const std::exception& e) {
      syslog(LOG_WARNING, "Unexpected runqueue exception %s", e.what());
    } catch (...) {
      if (!std::current_exception()) {  // thread cancellation (forced unwinding)
        PrepareCancellationRethrow();
        throw;
      }
      syslog(LOG_WARNING, "Unexpected runqueue exception %s", "of unknown type");
    }
    if (q->isShuttingDown()) return nullptr;
    struct timespec ts = {0, 10000000L};
    nanosleep(&ts, nullptr);
  }
}

bool validLoggerName(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  if (name.find("..") != std::string::npos) return false;
  for (unsigned char c : name)
    if (!isgraph(c)) return false;
  return true;
}

bool parseInt(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  while (end && isspace(static_cast<unsigned char>(*end))) ++end;
  if (errno != 0 || !end || *end != '\0') return false;
  *out = v;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- names, levels

int Logger::TextToLevel(const std::string& text) {
  if (text.empty()) return INFO;
  std::string up;
  for (char c : text) up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (int i = 0; i < 8; ++i)
    if (up == LEVEL_NAMES[i]) return i;
  return -1;
}

int Logger::TextToFacility(const std::string& text) {
  static const struct {
    const char* name;
    int value;
  } facilities[20] = {{"auth", LOG_AUTH},     {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON},
                      {"daemon", LOG_DAEMON}, {"ftp", LOG_FTP},           {"kern", LOG_KERN},
                      {"lpr", LOG_LPR},       {"mail", LOG_MAIL},         {"news", LOG_NEWS},
                      {"syslog", LOG_SYSLOG}, {"user", LOG_USER},         {"uucp", LOG_UUCP},
                      {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},     {"local2", LOG_LOCAL2},
                      {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},     {"local5", LOG_LOCAL5},
                      {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7}};
  for (auto& f : facilities)
    if (strcasecmp(text.c_str(), f.name) == 0) return f.value;
  return -1;
}

void Logger::SetProgramName(const std::string& name) {
  gProgramName.store(strdup(name.c_str()));  // the previous copy may still be in use: kept
}

const char* Logger::ProgramName() {
  const char* p = gProgramName.load();
  if (p) return p;
  return program_invocation_short_name ? program_invocation_short_name : "vgd";
}

// ---------------------------------------------------------------- the table

Logger::Logger(const std::string& name, LoggerPtr parent, bool threadPrivate)
    : name_(name), parent_(parent), threadPrivate_(threadPrivate) {
  displayName_ = name.compare(0, 5, "diag.") == 0 ? name.substr(5) : name;
  client_ = name == "client" || name.compare(0, 7, "client.") == 0;
}

LoggerPtr Logger::GetRootLogger() { return GetLogger(""); }

LoggerPtr Logger::GetLogger(const std::string& name) {
  Globals& g = G();
  Lock l(g.tableLock);
  auto it = g.table.find(name);
  if (it != g.table.end()) return it->second;
  LoggerPtr parent;
  if (!name.empty()) {
    std::string::size_type dot = name.rfind('.');
    parent = GetLogger(dot == std::string::npos ? std::string() : name.substr(0, dot));
  }
  LoggerPtr logger(new Logger(name, parent));
  if (name.empty()) {
    logger->level_ = INFO;
    logger->bufferLevel_ = INFO;
    logger->facility_ = LOG_AUTH;
    logger->showMore_ = 0;
    logger->explicit_ = F_LEVEL | F_BUFFER | F_FACILITY | F_SHOWMORE;
  }
  g.table[name] = logger;
  return logger;
}

LoggerPtr Logger::GetThreadPrivateLogger(const std::string& name) {
  auto it = tPrivate.find(name);
  if (it != tPrivate.end()) return it->second;
  // A private copy whose values are always inherited from the shared logger of
  // the same name, so configuration of "log.<name>" applies to it too.
  LoggerPtr shared = GetLogger(name);
  LoggerPtr logger(new Logger(name, shared, true));
  {
    Globals& g = G();
    Lock l(g.tableLock);
    g.privateLoggers.push_back(logger);
  }
  tPrivate[name] = logger;
  return logger;
}

void Logger::SetThreadName(const std::string& name) {
  tThreadName = name;
  tNameWhat = nullptr;
}
void Logger::SetThreadName(int fd, const char* what) {
  tNameFd = fd;
  tNameWhat = what ? what : "";
}
std::string Logger::GetThreadName() { return threadName(); }

int Logger::resolve(std::atomic<int> Logger::*field, int rootDefault) {
  int v = (this->*field).load(std::memory_order_relaxed);
  if (v >= 0) return v;
  Lock l(G().tableLock);
  v = (this->*field).load();
  if (v >= 0) return v;
  v = parent_ ? parent_->resolve(field, rootDefault) : rootDefault;
  (this->*field).store(v);
  return v;
}

int Logger::resolveLevel() { return resolve(&Logger::level_, INFO); }
int Logger::resolveFacility() { return resolve(&Logger::facility_, LOG_AUTH); }
int Logger::resolveShowMore() { return resolve(&Logger::showMore_, 0); }
int Logger::resolveBufferLevel() { return resolve(&Logger::bufferLevel_, INFO); }

void Logger::resetInherited() {
  level_ = -1;
  bufferLevel_ = -1;
  facility_ = -1;
  showMore_ = -1;
  explicit_ = 0;
}

int Logger::getEffectiveLevel() {
  int l = level_.load(std::memory_order_relaxed);
  return l >= 0 ? l : resolveLevel();
}

bool Logger::bufferWants(int level) {
  if (level < 0 || level >= DISABLED) return false;
  return level >= resolveBufferLevel();
}

void Logger::setExplicit(unsigned field, int value) {
  std::atomic<int>* target = field == F_LEVEL      ? &level_
                             : field == F_BUFFER   ? &bufferLevel_
                             : field == F_FACILITY ? &facility_
                                                   : &showMore_;
  target->store(value < 0 ? -1 : value);
  if (value < 0)
    explicit_ &= ~field;
  else
    explicit_ |= field;
}

void Logger::ForgetInherited(unsigned fields) {
  Globals& g = G();
  Lock l(g.tableLock);
  auto forget = [fields](Logger& lg) {
    if ((fields & F_LEVEL) && !(lg.explicit_ & F_LEVEL)) lg.level_ = -1;
    if ((fields & F_BUFFER) && !(lg.explicit_ & F_BUFFER)) lg.bufferLevel_ = -1;
    if ((fields & F_FACILITY) && !(lg.explicit_ & F_FACILITY)) lg.facility_ = -1;
    if ((fields & F_SHOWMORE) && !(lg.explicit_ & F_SHOWMORE)) lg.showMore_ = -1;
  };
  for (auto& kv : g.table) forget(*kv.second);
  for (auto& w : g.privateLoggers)
    if (LoggerPtr p = w.lock()) forget(*p);
}

void Logger::setLevel(int level) {
  Lock l(G().tableLock);
  setExplicit(F_LEVEL, level > DISABLED ? DISABLED : level);
  ForgetInherited(F_LEVEL);
}

void Logger::setFacility(int f) {
  Lock l(G().tableLock);
  setExplicit(F_FACILITY, f);
  ForgetInherited(F_FACILITY);
}

void Logger::setShowMore(int s) {
  Lock l(G().tableLock);
  setExplicit(F_SHOWMORE, s < 0 ? -1 : (s & 7));
  ForgetInherited(F_SHOWMORE);
}

void Logger::setBufferLevel(int lv) {
  Lock l(G().tableLock);
  setExplicit(F_BUFFER, lv > DISABLED ? DISABLED : lv);
  ForgetInherited(F_BUFFER);
}

// ---------------------------------------------------------------- records

size_t Logger::renderHeader(char* buf, size_t size, int level, const char* file, int line,
                            const char* function) {
  size_t n = 0;
  buf[0] = '\0';
  appendf(buf, size, &n, "%-5s ", LEVEL_NAMES[level]);
  const std::string& thread = threadName();
  if (!thread.empty()) appendf(buf, size, &n, "<%s> ", thread.c_str());
  if (!client_ && !displayName_.empty()) appendf(buf, size, &n, "%s ", displayName_.c_str());
  int more = resolveShowMore() & 7;
  if (more) {
    appendf(buf, size, &n, "\"");
    bool any = false;
    if ((more & 1) && file) {
      const char* base = strrchr(file, '/');
      appendf(buf, size, &n, "%s", base ? base + 1 : file);
      any = true;
    }
    if (more & 2) {
      appendf(buf, size, &n, ":%d", line);
      any = true;
    }
    if ((more & 4) && function) appendf(buf, size, &n, "%s%s()", any ? " " : "", function);
    appendf(buf, size, &n, "\" ");
  }
  return n;
}

void Logger::dispatch(int level, const char* text) {
  if (bufferActive_.load(std::memory_order_relaxed) && bufferWants(level)) {
    boost::shared_ptr<CircularBuffer> cb;
    {
      Globals& g = G();
      Lock l(g.bufferLock);
      cb = g.cbuf;
    }
    if (cb) cb->write(text);
  }
  if (level < getEffectiveLevel()) return;
  int priority = resolveFacility() | priorityOf(level);
  Globals& g = G();
  RunQueue* q = g.queue.load(std::memory_order_acquire);
  if (q && !tIsLogThread) {
    switch (q->tryPost(boost::shared_ptr<QueueAble>(new QueuedMessage(priority, text)))) {
      case RunQueue::POSTED:
        return;
      case RunQueue::FULL:
        noteDropped(text);
        return;
      case RunQueue::SHUTTING_DOWN: {
        // Wait until the stopping thread wrote what is still queued, so that
        // this thread's records stay in order.
        Lock l(g.drainLock);
        FinalRendering(priority, text);
        return;
      }
    }
  }
  FinalRendering(priority, text);
}

void Logger::emit(int level, const char* file, int line, const char* function, const char* fmt,
                  va_list ap, const char* suffix) {
  if (level < 0 || level >= DISABLED || !isLevelEnabled(level)) return;
  char buf[MAX_RECORD];
  size_t n = renderHeader(buf, sizeof buf, level, file, line, function);
  if (n + 1 < sizeof buf) {
    int r = vsnprintf(buf + n, sizeof buf - n, fmt, ap);
    if (r > 0) n += static_cast<size_t>(r);
    if (n > sizeof buf - 1) n = sizeof buf - 1;
  }
  if (suffix) appendf(buf, sizeof buf, &n, ": %s", suffix);
  dispatch(level, buf);
}

void Logger::log(int level, const char* file, int line, const char* function, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit(level, file, line, function, fmt, ap, nullptr);
  va_end(ap);
}

void Logger::logSysErr(int level, int err, const char* file, int line, const char* function,
                       const char* fmt, ...) {
  if (level < 0 || level >= DISABLED || !isLevelEnabled(level)) return;
  std::string errText = errnoText(err);
  va_list ap;
  va_start(ap, fmt);
  emit(level, file, line, function, fmt, ap, errText.c_str());
  va_end(ap);
}

void Logger::logText(int level, const char* file, int line, const char* function,
                     const std::string& message) {
  if (level < 0 || level >= DISABLED || !isLevelEnabled(level)) return;
  char buf[MAX_RECORD];
  size_t n = renderHeader(buf, sizeof buf, level, file, line, function);
  appendf(buf, sizeof buf, &n, "%s", message.c_str());
  dispatch(level, buf);
}

void Logger::hexData(int level, const char* title, const void* bytes, size_t length) {
  if (level < 0 || level >= DISABLED || !isLevelEnabled(level)) return;
  // One record per 16 bytes: offset, the bytes as "%02x ", then each byte's
  // printable form as "%c " ('.' for others). Dumps stop after 4 KiB so that a
  // large buffer cannot flood the log queue.
  const size_t kShown = 4096;
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  logText(level, nullptr, 0, nullptr,
          format("%s (%lu bytes)", title ? title : "", static_cast<unsigned long>(length)));
  if (!b) return;
  size_t shown = length < kShown ? length : kShown;
  for (size_t off = 0; off < shown; off += 16) {
    std::string line = format("%04lx: ", static_cast<unsigned long>(off));
    size_t end = off + 16 < shown ? off + 16 : shown;
    for (size_t i = off; i < off + 16; ++i) line += i < end ? format("%02x ", b[i]) : "   ";
    line += " ";
    for (size_t i = off; i < end; ++i) line += format("%c ", isprint(b[i]) ? b[i] : '.');
    while (!line.empty() && line.back() == ' ') line.pop_back();
    logText(level, nullptr, 0, nullptr, line);
  }
  if (shown < length)
    logText(level, nullptr, 0, nullptr,
            format("... %lu more bytes not shown", static_cast<unsigned long>(length - shown)));
}

// ---------------------------------------------------------------- destination

void FinalRendering(int priority, const char* text) {
  Globals& g = G();
  {
    Lock l(g.destLock);
    openDestinationLocked(g);
    if (!g.file || !g.file->log(text)) syslog(priority, "%s", text);
  }
  if (tIsLogThread && g.dropped.load(std::memory_order_relaxed) != 0) reportDropped(false);
}

void Logger::close() {
  Globals& g = G();
  Lock l(g.destLock);
  if (g.file) {
    g.file->close();
    g.file.reset();
  }
  g.destOpen = false;
}

void Logger::flush() {
  Globals& g = G();
  Lock l(g.destLock);
  if (g.file) g.file->flush();
}

// ---------------------------------------------------------------- log thread

void Logger::startThread(bool) {
  Globals& g = G();
  static LoggerPtr logger = GetLogger("util.logger");
  Lock l(g.threadLock);
  if (g.queue.load()) return;
  int size;
  {
    Lock d(g.destLock);
    size = g.config.queueSize;
  }
  if (size < 1) {
    OFW_WARN(logger, "LogQueue disabled.  Recommended for debugging only.");
    return;
  }
  boost::shared_ptr<RunQueue> q(new RunQueue("com.orvane.logger", static_cast<size_t>(size), true));
  q->setIdleHandler(&logIdle);
  std::unique_ptr<Thread> t(new Thread);
  try {
    t->start("com.orvane.logger", &logThreadMain, q.get(), Thread::DEFAULT_PRIORITY);
  } catch (const std::exception& e) {
    OFW_ERROR(logger, "Unable to start the background log thread: %s", e.what());
    return;
  }
  g.queues.push_back(q);
  g.thread = std::move(t);
  g.queue.store(q.get(), std::memory_order_release);
  OFW_DEBUG(logger, "starting background log thread");
}

void Logger::stopThread(bool) {
  Globals& g = G();
  static LoggerPtr logger = GetLogger("util.logger");
  Lock l(g.threadLock);
  RunQueue* q = g.queue.load();
  if (!q) return;
  {
    Lock d(g.drainLock);
    try {
      q->shutdown(g.thread.get());
    } catch (const std::exception& e) {
      syslog(LOG_WARNING, "Unexpected runqueue exception %s", e.what());
    }
    // What the thread did not write before it was interrupted is written here.
    std::deque<QueueAblePtr> rest = q->takeAll();
    for (auto& item : rest) {
      try {
        item->run();
      } catch (...) {
      }
    }
    g.queue.store(nullptr, std::memory_order_release);
  }
  g.thread.reset();
  reportDropped(true);
  flush();
  OFW_DEBUG(logger, "stopped background log thread");
}

bool Logger::isThreadRunning() { return G().queue.load() != nullptr; }

// ---------------------------------------------------------------- circular buffer

void Logger::ReconfigureBuffer(bool enabled, int level) {
  Globals& g = G();
  {
    Lock l(g.bufferLock);
    if (enabled && !g.cbuf) g.cbuf.reset(new CircularBuffer(g.bufferBytes));
    g.bufferEnabled = enabled;
    bufferActive_.store(g.bufferEnabled && !g.bufferPaused && g.cbuf);
  }
  if (level < 0 || level >= DISABLED) level = INFO;
  GetRootLogger()->setBufferLevel(level);
}

void Logger::SetBufferActive(bool active) {
  Globals& g = G();
  Lock l(g.bufferLock);
  g.bufferPaused = !active;
  bufferActive_.store(g.bufferEnabled && !g.bufferPaused && g.cbuf);
}

std::string Logger::GetBufferContents() {
  Globals& g = G();
  boost::shared_ptr<CircularBuffer> cb;
  {
    Lock l(g.bufferLock);
    cb = g.cbuf;
  }
  return cb ? cb->contents() : std::string();
}

// ---------------------------------------------------------------- reconfiguration

namespace {

struct Message {
  int level;
  std::string text;
};
typedef std::vector<Message> Messages;

struct Setting {
  std::string name;
  int value;
};

// Everything ReconfigureLevels takes from the properties, read holding none
// of the logging locks.
struct LogSettings {
  int rootLevel = Logger::INFO;
  int rootFacility = LOG_AUTH;
  int rootShowMore = 0;
  int bufferLevel = Logger::INFO;
  std::vector<Setting> levels, facilities, showMores, bufferLevels;  // per logger name
  bool bufferEnabled = false;
  long bufferKiB = 0;
  DestConfig dest;
};

void warn(Messages& m, std::string text) { m.push_back({Logger::WARN, std::move(text)}); }

// The "<prefix><logger name>" settings. A bad name is reported with
// `badName` (one %s: the name), a value `parse` refuses with `badValue` (two
// %s: key and value); either is skipped.
std::vector<Setting> readPerLogger(Properties& props, const std::string& prefix, const char* badName,
                                   const char* badValue, int (*parse)(const std::string&), Messages& m) {
  std::vector<Setting> out;
  for (auto& kv : props.findPrefix(prefix)) {
    std::string name = kv.first.substr(prefix.size());
    if (!validLoggerName(name)) {
      warn(m, format(badName, name.c_str()));
      continue;
    }
    int v = parse(kv.second);
    if (v < 0) {
      warn(m, format(badValue, kv.first.c_str(), kv.second.c_str()));
      continue;
    }
    out.push_back({name, v});
  }
  return out;
}

int parseLevel(const std::string& text) { return Logger::TextToLevel(text); }
int parseFacility(const std::string& text) { return Logger::TextToFacility(text); }
int parseShowMore(const std::string& text) {
  long v = 0;
  return parseInt(text, &v) && v >= 0 ? static_cast<int>(v & 7) : -1;
}

void readLevels(Properties& props, LogSettings& s, Messages& m) {
  std::string v = props.getProperty("log", "INFO");
  s.rootLevel = Logger::TextToLevel(v);
  if (s.rootLevel < 0) {
    warn(m, format("Illegal value for property 'log': '%s'. Using 'INFO'.", v.c_str()));
    s.rootLevel = Logger::INFO;
  }
  s.levels = readPerLogger(props, "log.", "Illegal log name: '%s'",
                           "Illegal log level. Property: '%s', value: '%s'", parseLevel, m);

  std::string fv = props.getProperty("logger.facility", "auth");
  s.rootFacility = Logger::TextToFacility(fv);
  if (s.rootFacility < 0) {
    warn(m, format("Illegal value facility name: '%s' for '%s'. Using '%s'.", fv.c_str(),
                   "logger.facility", "auth"));
    s.rootFacility = LOG_AUTH;
  }
  s.facilities = readPerLogger(props, "logger.facility.", "Illegal facility name: '%s'",
                               "Illegal log facility. Property: '%s', value: '%s'", parseFacility, m);

  long rootShowMore = 0;
  std::string sv = props.getProperty("logger.showmore", "0");
  if (!parseInt(sv, &rootShowMore) || rootShowMore < 0) {
    warn(m, format("Illegal value for property '%s': '%s'. Using '%s'.", "logger.showmore", sv.c_str(),
                   "0"));
    rootShowMore = 0;
  }
  s.rootShowMore = static_cast<int>(rootShowMore & 7);
  s.showMores = readPerLogger(props, "logger.showmore.", "Illegal log name: '%s'",
                              "Illegal value for property '%s': '%s'", parseShowMore, m);
}

void readBuffer(Properties& props, LogSettings& s, Messages& m) {
  std::string mv = props.getProperty("logger.memory.log", "INFO");
  s.bufferLevel = Logger::TextToLevel(mv);
  if (s.bufferLevel == Logger::DISABLED) {
    warn(m, "Circular buffer log level cannot be NONE. Using 'INFO'.");
    s.bufferLevel = Logger::INFO;
  } else if (s.bufferLevel < 0) {
    warn(m, format("Illegal value for property '%s': '%s'. Using 'INFO'.", "logger.memory.log",
                   mv.c_str()));
    s.bufferLevel = Logger::INFO;
  }
  s.bufferLevels = readPerLogger(props, "logger.memory.log.", "Illegal log.memory name: '%s'",
                                 "Illegal log level. Property: '%s', value: '%s'", parseLevel, m);
  s.bufferEnabled = props.getBool("logger.memory.enabled", false);
  s.bufferKiB = props.getInt("logger.memory.bufsize", 128);
  const long minKiB = static_cast<long>((CircularBuffer::MIN_SIZE + 1023) / 1024);
  if (s.bufferKiB < minKiB) {
    warn(m, format("Circular buffer size %ld KiB is below one record. Using %ld KiB.", s.bufferKiB,
                   minKiB));
    s.bufferKiB = minKiB;
  } else if (s.bufferKiB > static_cast<long>(kMaxBufferKiB)) {
    warn(m, format("Circular buffer size %ld KiB is too large. Using %ld KiB.", s.bufferKiB,
                   static_cast<long>(kMaxBufferKiB)));
    s.bufferKiB = static_cast<long>(kMaxBufferKiB);
  }
}

void readDestination(Properties& props, LogSettings& s, Messages& m) {
  DestConfig& c = s.dest;
  c.destination = props.getProperty("logger.destination", "syslog");
  c.openlog = props.getBool(std::string("logger.openlog.") + Logger::ProgramName(), true);
  c.facility = s.rootFacility;
  long maxMb = props.getInt("logger.file.maxsize", 512);
  if (maxMb <= 0) maxMb = 512;
  c.file.maxBytes = static_cast<long long>(maxMb) * 1024 * 1024;
  c.file.maxCount = props.getInt("logger.file.maxcount", 5);
  if (c.file.maxCount > kMaxKeptFiles) {
    warn(m, format("Illegal value for property '%s': '%d'. Using '%d'.", "logger.file.maxcount",
                   c.file.maxCount, kMaxKeptFiles));
    c.file.maxCount = kMaxKeptFiles;
  }
  c.file.zipBackup = props.getBool("logger.file.zip.backup", false);
  c.file.flushFrequency = props.getInt("logger.file.flush.frequency", 10);
  c.queueSize = props.getInt("logger.queue.size", 256);
  if (c.queueSize > kMaxQueueSize) {
    warn(m, format("Illegal value for property '%s': '%d'. Using '%d'.", "logger.queue.size",
                   c.queueSize, kMaxQueueSize));
    c.queueSize = kMaxQueueSize;
  }
}

}  // namespace

void Logger::ReconfigureLevels(Properties& props) {
  Globals& g = G();
  Lock serial(g.reconfigureLock);
  Messages messages;
  LogSettings s;
  readLevels(props, s, messages);
  readBuffer(props, s, messages);
  readDestination(props, s, messages);
  const DestConfig& c = s.dest;

  // Levels, facilities and show-more flags.
  {
    Lock l(g.tableLock);
    for (auto& kv : g.table) kv.second->resetInherited();
    std::vector<boost::weak_ptr<Logger>> live;
    for (auto& w : g.privateLoggers) {
      if (LoggerPtr p = w.lock()) {
        p->resetInherited();
        live.push_back(w);
      }
    }
    g.privateLoggers.swap(live);
    LoggerPtr root = GetRootLogger();
    root->setExplicit(F_LEVEL, s.rootLevel);
    root->setExplicit(F_FACILITY, s.rootFacility);
    root->setExplicit(F_SHOWMORE, s.rootShowMore);
    root->setExplicit(F_BUFFER, s.bufferLevel);
    for (auto& e : s.levels) GetLogger(e.name)->setExplicit(F_LEVEL, e.value);
    for (auto& e : s.facilities) GetLogger(e.name)->setExplicit(F_FACILITY, e.value);
    for (auto& e : s.showMores) GetLogger(e.name)->setExplicit(F_SHOWMORE, e.value);
    for (auto& e : s.bufferLevels) GetLogger(e.name)->setExplicit(F_BUFFER, e.value);
  }

  // Destination: a changed file or destination is reopened by the next record.
  {
    Lock l(g.destLock);
    bool fileChanged = c.destination != g.config.destination || !(c.file == g.config.file);
    g.config = c;
    if (fileChanged && g.destOpen) {
      if (g.file) {
        g.file->close();
        g.file.reset();
      }
      g.destOpen = false;
    }
  }

  // Circular buffer.
  {
    Lock l(g.bufferLock);
    size_t bytes = static_cast<size_t>(s.bufferKiB) * 1024;
    g.bufferBytes = bytes;
    if (s.bufferEnabled && (!g.cbuf || g.cbuf->size() != bytes)) g.cbuf.reset(new CircularBuffer(bytes));
    g.bufferEnabled = s.bufferEnabled;
    bufferActive_.store(g.bufferEnabled && !g.bufferPaused && g.cbuf);
  }
  messages.push_back({DEBUG, s.bufferEnabled ? "circular buffer has been enabled\n"
                                           : "circular buffer is not enabled\n"});

  LoggerPtr logger = GetLogger("util.logger");
  for (auto& m : messages) OFW_LOG(logger, m.level, "%s", m.text.c_str());
}

}  // namespace ofw
