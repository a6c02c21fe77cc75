#include "ofw/logging/filelogging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "ofw/logging/logger.h"
#include "ofw/unique_fd.h"

// Nothing in this file logs through ofw::Logger: it runs inside the logger's
// own write path, and a record written from here would re-enter it. Problems
// are reported with syslog().

namespace ofw {

namespace {

const char* hostName() {
  static char name[HOST_NAME_MAX + 1];
  static std::once_flag once;
  std::call_once(once, [] {
    char h[HOST_NAME_MAX + 1];
    if (gethostname(h, sizeof h) != 0) h[0] = '\0';
    h[HOST_NAME_MAX] = '\0';
    char* dot = strchr(h, '.');
    if (dot) *dot = '\0';
    snprintf(name, sizeof name, "%s", h[0] ? h : "NOHOSTNAME");
  });
  return name;
}

}  // namespace

int BuildMessagePrefix(char* buffer, size_t size, const char* tag) {
  if (!buffer || size == 0) return 0;
  char when[64];
  time_t now = time(nullptr);
  struct tm tm;
  if (!localtime_r(&now, &tm) || strftime(when, sizeof when, "%F %T %z", &tm) == 0)
    snprintf(when, sizeof when, "%s", "<Time Error>");
  int n = snprintf(buffer, size, "%s%s %s %s[%d]: ", tag ? tag : "", when, hostName(),
                   Logger::ProgramName(), static_cast<int>(getpid()));
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  if (static_cast<size_t>(n) >= size) n = static_cast<int>(size - 1);
  return n;
}

bool LogCache::append(const char* data, size_t length) {
  if (length > buffer_.size() - used_) return false;
  memcpy(buffer_.data() + used_, data, length);
  used_ += length;
  return true;
}

int FileLogging::EffectiveFlushFrequency(int configured, size_t* cacheBytes) {
  int n = configured < 0 ? 10 : configured;
  if (n > 512) n = 512;
  if (n <= 1) {
    if (cacheBytes) *cacheBytes = 0;
    return 1;
  }
  if (cacheBytes) *cacheBytes = static_cast<size_t>(n) * 1024;
  return n;
}

FileLogging::FileLogging(const std::string& path, const FileLoggingOptions& options)
    : path_(path), options_(options) {
  size_t cacheBytes = 0;
  frequency_ = EffectiveFlushFrequency(options.flushFrequency, &cacheBytes);
  if (cacheBytes) cache_.reset(new LogCache(cacheBytes));
  if (options_.maxBytes <= 0) options_.maxBytes = 512LL * 1024 * 1024;
}

FileLogging::~FileLogging() { close(); }

bool FileLogging::openLocked(bool truncate) {
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  int fd = ::open(path_.c_str(), flags, 0600);
  if (fd < 0) return false;
  FILE* f = fdopen(fd, "a");
  if (!f) {
    int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  stream_ = f;
  return true;
}

bool FileLogging::open() {
  Lock l(lock_);
  if (stream_) return true;
  if (!openLocked(false)) return false;
  wantOpen_ = true;
  return true;
}

bool FileLogging::isOpen() {
  Lock l(lock_);
  return stream_ != nullptr;
}

void FileLogging::writeOut() {
  if (!stream_) return;
  if (cache_ && cache_->size()) {
    fwrite(cache_->data(), 1, cache_->size(), stream_);
    cache_->clear();
  }
  if (fflush(stream_) != 0) clearerr(stream_);
  dirty_ = false;
}

bool FileLogging::log(const char* text) {
  Lock l(lock_);
  if (!stream_) {
    time_t now = time(nullptr);
    if (!wantOpen_ || now == lastAttempt_) return false;
    lastAttempt_ = now;
    if (!openLocked(false)) return false;
  }
  char prefix[512];
  size_t pl = static_cast<size_t>(BuildMessagePrefix(prefix, sizeof prefix, ""));
  size_t tl = strlen(text);
  bool flushPointNow = (++counter_ % static_cast<unsigned long>(frequency_)) == 0;
  if (cache_) {
    size_t total = pl + tl + 1;
    if (total > cache_->capacity() - cache_->size()) writeOut();
    if (total <= cache_->capacity()) {
      cache_->append(prefix, pl);
      cache_->append(text, tl);
      cache_->append("\n", 1);
    } else {
      fwrite(prefix, 1, pl, stream_);
      fwrite(text, 1, tl, stream_);
      fputc('\n', stream_);
    }
  } else {
    fwrite(prefix, 1, pl, stream_);
    fwrite(text, 1, tl, stream_);
    fputc('\n', stream_);
  }
  dirty_ = true;
  if (flushPointNow) {
    writeOut();
    flushPoint();
  }
  return true;
}

void FileLogging::flush() {
  Lock l(lock_);
  if (dirty_) writeOut();
}

void FileLogging::flushPoint() {
  if (!stream_) return;
  struct stat ps;
  if (stat(path_.c_str(), &ps) != 0 || ps.st_dev != dev_ || ps.st_ino != ino_) {
    // The file was moved or removed: go on in a file at the configured path.
    fclose(stream_);
    stream_ = nullptr;
    if (!openLocked(false)) {
      syslog(LOG_ERR, "Could not open %s: %m", path_.c_str());
      return;
    }
  }
  struct stat st;
  if (fstat(fileno(stream_), &st) == 0 && st.st_size >= options_.maxBytes) rotate();
}

std::string FileLogging::backupName(int i, bool zipped) const {
  return path_ + "." + std::to_string(i) + (zipped ? ".gz" : "");
}

void FileLogging::waitForCompression() {
  if (!compressing_) return;
  pthread_join(compressor_, nullptr);
  compressing_ = false;
}

void* FileLogging::compressMain(void* self) {
  FileLogging* f = static_cast<FileLogging*>(self);
  CompressFile(f->compressSrc_, f->compressDst_);
  return nullptr;
}

void FileLogging::rotate() {
  waitForCompression();
  if (stream_) {
    fclose(stream_);
    stream_ = nullptr;
  }
  int keep = options_.maxCount;
  if (keep < 1) {
    if (!openLocked(true)) syslog(LOG_ERR, "Could not open %s: %m", path_.c_str());
    return;
  }
  // Both suffix kinds are shifted so that a change of the compression setting
  // never leaves files beyond the kept count.
  for (int i = keep; i >= 1; --i) {
    for (bool zipped : {false, true}) {
      std::string from = backupName(i, zipped);
      if (i == keep)
        unlink(from.c_str());
      else
        rename(from.c_str(), backupName(i + 1, zipped).c_str());
    }
  }
  std::string first = backupName(1, false);
  if (rename(path_.c_str(), first.c_str()) != 0)
    syslog(LOG_ERR, "Could not rename %s to %s: %m", path_.c_str(), first.c_str());
  else if (options_.zipBackup) {
    compressSrc_ = first;
    compressDst_ = backupName(1, true);
    // Time-shared scheduling even when the writer runs real-time: a long
    // compression must not starve the daemon's threads.
    pthread_attr_t attr;
    bool haveAttr = pthread_attr_init(&attr) == 0;
    if (haveAttr) {
      struct sched_param sp;
      memset(&sp, 0, sizeof sp);
      pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
      pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
      pthread_attr_setschedparam(&attr, &sp);
    }
    if (pthread_create(&compressor_, haveAttr ? &attr : nullptr, &FileLogging::compressMain, this) == 0)
      compressing_ = true;
    else
      CompressFile(compressSrc_, compressDst_);
    if (haveAttr) pthread_attr_destroy(&attr);
  }
  if (!openLocked(false)) syslog(LOG_ERR, "Could not open %s: %m", path_.c_str());
}

void FileLogging::close() {
  Lock l(lock_);
  wantOpen_ = false;
  if (stream_) {
    writeOut();
    fclose(stream_);
    stream_ = nullptr;
  }
  waitForCompression();
}

bool FileLogging::CompressFile(const std::string& src, const std::string& dst) {
  std::string tmp = dst + ".tmp";
  UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    syslog(LOG_ERR, "Could not open %s: %m", src.c_str());
    return false;
  }
  UniqueFd outFd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!outFd) {
    syslog(LOG_ERR, "Could not open %s: %m", tmp.c_str());
    return false;
  }
  gzFile out = gzdopen(outFd.get(), "wb");
  if (!out) {
    outFd.reset();
    unlink(tmp.c_str());
    return false;
  }
  outFd.release();  // gzclose closes it
  bool ok = true;
  std::vector<char> buf(64 * 1024);
  for (;;) {
    ssize_t n = ::read(in.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    if (gzwrite(out, buf.data(), static_cast<unsigned>(n)) != static_cast<int>(n)) {
      ok = false;
      break;
    }
  }
  if (gzclose(out) != Z_OK) ok = false;
  if (ok && rename(tmp.c_str(), dst.c_str()) == 0) {
    unlink(src.c_str());
    return true;
  }
  // The uncompressed file stays: a failed compression never loses the old log.
  syslog(LOG_ERR, "Could not compress %s into %s", src.c_str(), dst.c_str());
  unlink(tmp.c_str());
  return false;
}

CircularBuffer::CircularBuffer(size_t bytes) : buffer_(bytes < MIN_SIZE ? MIN_SIZE : bytes, '\0') {}

void CircularBuffer::write(const char* text) {
  static_assert(MAX_ENTRY + END_MARKER_LENGTH <= MIN_SIZE, "one record and the marker must fit");
  char record[MAX_ENTRY];
  size_t len = static_cast<size_t>(BuildMessagePrefix(record, sizeof record, "_cbuf "));
  size_t room = sizeof record - len;
  size_t tl = strnlen(text, room);
  memcpy(record + len, text, tl);
  len += tl;
  Lock l(lock_);
  size_t size = buffer_.size();
  // Invariant: pos_ + END_MARKER_LENGTH - 1 <= size, and len + marker <= size.
  assert(pos_ + END_MARKER_LENGTH - 1 <= size && len + END_MARKER_LENGTH <= size);
  if (len + END_MARKER_LENGTH > size - pos_) {
    memset(buffer_.data() + pos_, ' ', size - pos_);
    pos_ = 0;
  }
  memcpy(buffer_.data() + pos_, record, len);
  memcpy(buffer_.data() + pos_ + len, END_MARKER, END_MARKER_LENGTH);
  pos_ += len + 1;
}

std::string CircularBuffer::contents() {
  Lock l(lock_);
  return std::string(buffer_.data(), buffer_.size());
}

size_t CircularBuffer::position() {
  Lock l(lock_);
  return pos_;
}

}  // namespace ofw
