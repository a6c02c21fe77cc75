// Provisional implementation: synchronous records to syslog or a file. The
// background thread, rotation and circular buffer follow.
#include "ofw/logger.h"

#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "ofw/format.h"
#include "ofw/properties.h"

namespace ofw {

const char* const Logger::LEVEL_NAMES[8] = {"TRACE", "DEBUG", "DIAG",  "INFO",
                                            "WARN",  "ERROR", "FATAL", "DISABLED"};

namespace {
std::recursive_mutex& tableMutex() {
  static std::recursive_mutex m;
  return m;
}
std::map<std::string, LoggerPtr>& table() {
  static std::map<std::string, LoggerPtr> t;
  return t;
}
thread_local std::string tThreadName;
std::mutex writeMutex;
FILE* logFile = nullptr;
bool destinationOpen = false;

void openDestination() {
  if (destinationOpen) return;
  destinationOpen = true;
  std::string dest = Props().getProperty("logger.destination", "syslog");
  if (dest != "syslog" && !dest.empty()) {
    logFile = std::fopen(dest.c_str(), "a");
    if (!logFile) syslog(LOG_ERR, "Could not open %s: %m", dest.c_str());
  }
}

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

void finalRendering(int priority, const std::string& text) {
  std::lock_guard<std::mutex> g(writeMutex);
  openDestination();
  if (logFile) {
    std::fprintf(logFile, "%s\n", text.c_str());
    std::fflush(logFile);
  } else {
    syslog(priority, "%s", text.c_str());
  }
}
}  // namespace

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
  } facilities[] = {{"auth", LOG_AUTH},     {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON},
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

Logger::Logger(const std::string& name, LoggerPtr parent) : name_(name), parent_(parent) {
  displayName_ = name.compare(0, 5, "diag.") == 0 ? name.substr(5) : name;
}

LoggerPtr Logger::GetRootLogger() { return GetLogger(""); }

LoggerPtr Logger::GetLogger(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(tableMutex());
  auto it = table().find(name);
  if (it != table().end()) return it->second;
  LoggerPtr parent;
  if (!name.empty()) {
    std::string::size_type dot = name.rfind('.');
    parent = GetLogger(dot == std::string::npos ? std::string() : name.substr(0, dot));
  }
  LoggerPtr l(new Logger(name, parent));
  if (name.empty()) l->level_ = INFO;
  table()[name] = l;
  return l;
}

LoggerPtr Logger::GetThreadPrivateLogger(const std::string& name) { return GetLogger(name); }

void Logger::SetThreadName(const std::string& name) { tThreadName = name; }
std::string Logger::GetThreadName() { return tThreadName; }

int Logger::resolveLevel() {
  std::lock_guard<std::recursive_mutex> g(tableMutex());
  if (level_ < 0) level_ = parent_ ? parent_->resolveLevel() : INFO;
  return level_;
}
int Logger::resolveFacility() {
  std::lock_guard<std::recursive_mutex> g(tableMutex());
  if (facility_ < 0) facility_ = parent_ ? parent_->resolveFacility() : LOG_AUTH;
  return facility_;
}
int Logger::resolveShowMore() {
  std::lock_guard<std::recursive_mutex> g(tableMutex());
  if (showMore_ < 0) showMore_ = parent_ ? parent_->resolveShowMore() : 0;
  return showMore_;
}
int Logger::resolveBufferLevel() {
  std::lock_guard<std::recursive_mutex> g(tableMutex());
  if (bufferLevel_ < 0) bufferLevel_ = parent_ ? parent_->resolveBufferLevel() : INFO;
  return bufferLevel_;
}
void Logger::resetInherited() { level_ = bufferLevel_ = facility_ = showMore_ = -1; }

int Logger::getEffectiveLevel() {
  int l = level_;
  return l >= 0 ? l : resolveLevel();
}
bool Logger::isLevelEnabled(int level) { return level >= getEffectiveLevel() && level < DISABLED; }
void Logger::setLevel(int level) { level_ = level; }

void Logger::logText(int level, const char* file, int line, const char* function,
                     const std::string& message) {
  std::string text = format("%-5s ", level >= 0 && level < 8 ? LEVEL_NAMES[level] : "?");
  if (!tThreadName.empty()) text += "<" + tThreadName + "> ";
  if (!(name_ == "client" || name_.compare(0, 7, "client.") == 0) && !displayName_.empty())
    text += displayName_ + " ";
  text += message;
  if (text.size() > MAX_RECORD - 1) text.resize(MAX_RECORD - 1);
  (void)file;
  (void)line;
  (void)function;
  finalRendering(priorityOf(level), text);
}

void Logger::log(int level, const char* file, int line, const char* function, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string m = vformat(fmt, ap);
  va_end(ap);
  logText(level, file, line, function, m);
}

void Logger::logSysErr(int level, int err, const char* file, int line, const char* function,
                       const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string m = vformat(fmt, ap);
  va_end(ap);
  logText(level, file, line, function, m + ": " + errnoText(err));
}

void Logger::hexData(int level, const char* title, const void* bytes, size_t length) {
  if (!isLevelEnabled(level)) return;
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  std::string s = title ? title : "";
  for (size_t i = 0; i < length; ++i) {
    s += format("%02x ", b[i]);
    s += format("%c ", isprint(b[i]) ? b[i] : '.');
  }
  logText(level, nullptr, 0, nullptr, s);
}

void Logger::startThread(bool) {}
void Logger::stopThread(bool) {}
void Logger::close() {
  std::lock_guard<std::mutex> g(writeMutex);
  if (logFile) std::fclose(logFile);
  logFile = nullptr;
  destinationOpen = false;
}

void Logger::ReconfigureLevels(Properties& props) {
  std::lock_guard<std::recursive_mutex> g(tableMutex());
  for (auto& kv : table()) kv.second->resetInherited();
  int root = TextToLevel(props.getProperty("log", "INFO"));
  GetRootLogger()->level_ = root < 0 ? INFO : root;
  for (auto& kv : props.findPrefix("log.")) {
    int l = TextToLevel(kv.second);
    if (l >= 0) GetLogger(kv.first.substr(4))->level_ = l;
  }
}
void Logger::ReconfigureBuffer(bool, int) {}
void Logger::SetBufferActive(bool) {}

}  // namespace ofw
