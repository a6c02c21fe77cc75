// Log destinations other than syslog: a rotating log file and the in-memory
// circular buffer, and the record prefix both use.
#pragma once
#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ofw/threads/mutex.h"

namespace ofw {

// Writes tag + local time ("%F %T %z") + " " + host name (up to its first '.',
// "NOHOSTNAME" when unknown) + " " + program name + "[" + pid + "]: " into
// buffer (format "%s%s %s %s[%d]: "; "<Time Error>" replaces a time that cannot
// be converted). Returns the length written (always < size; 0 when size is 0).
int BuildMessagePrefix(char* buffer, size_t size, const char* tag);

// The write cache of a log file: whole records are appended until it is written out.
class LogCache {
 public:
  explicit LogCache(size_t capacity) : buffer_(capacity), used_(0) {}
  // false (nothing copied) when the bytes do not fit.
  bool append(const char* data, size_t length);
  const char* data() const { return buffer_.data(); }
  size_t size() const { return used_; }
  size_t capacity() const { return buffer_.size(); }
  void clear() { used_ = 0; }

 private:
  std::vector<char> buffer_;
  size_t used_;
};

struct FileLoggingOptions {
  long long maxBytes = 512LL * 1024 * 1024;  // rotate at a flush point once the file reaches it
  int maxCount = 5;                          // old files kept: ".1" ... ".maxCount"
  bool zipBackup = false;                    // old files compressed: ".1.gz" ...
  int flushFrequency = 10;                   // every N-th record is a flush point
  bool operator==(const FileLoggingOptions& o) const {
    return maxBytes == o.maxBytes && maxCount == o.maxCount && zipBackup == o.zipBackup &&
           flushFrequency == o.flushFrequency;
  }
};

// A log file. Thread safe (one lock per file). Records are written as prefix +
// text + "\n". Every N-th record (the flush frequency) is a flush point: the
// write cache (N KiB for 2 <= N <= 512; none for 0 and 1; negative N means 10,
// above 512 means 512) is written out or the stream flushed, and the size is
// checked by descriptor and by path; at the maximum size the file is rotated.
// Compression of a rotated file runs on a helper thread so that the writer
// never waits for it; the next rotation and close() wait for it to finish.
class FileLogging {
 public:
  FileLogging(const std::string& path, const FileLoggingOptions& options);
  ~FileLogging();  // close()
  FileLogging(const FileLogging&) = delete;
  FileLogging& operator=(const FileLogging&) = delete;

  // Opens (creates, mode 0600) the file for appending. false with errno set on failure.
  bool open();
  bool isOpen();
  // false when the file is not open (the caller then uses syslog). After open()
  // succeeded once, a file lost later (a failed reopen during rotation) is
  // opened again, at most one attempt a second, until close().
  bool log(const char* text);
  // Writes out the cache and flushes the stream (not a flush point: no size check).
  void flush();
  // Flushes and closes the file, waits for a running compression.
  void close();

  const std::string& getPath() const { return path_; }
  const FileLoggingOptions& getOptions() const { return options_; }
  // Old file name for index i (".i" or ".i.gz").
  std::string backupName(int i, bool zipped) const;

  // Effective flush frequency and cache size (0 = no cache) for a configured value.
  static int EffectiveFlushFrequency(int configured, size_t* cacheBytes);
  // Copies src into a gzip file dst (written to dst + ".tmp", then renamed). true on success.
  static bool CompressFile(const std::string& src, const std::string& dst);

 private:
  bool openLocked(bool truncate);
  void writeOut();
  void flushPoint();
  void rotate();
  void waitForCompression();
  static void* compressMain(void* self);

  std::string path_;
  FileLoggingOptions options_;
  int frequency_;
  Mutex lock_;
  FILE* stream_ = nullptr;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  unsigned long counter_ = 0;
  bool wantOpen_ = false;
  time_t lastAttempt_ = 0;
  bool dirty_ = false;
  std::unique_ptr<LogCache> cache_;
  // Background compression of ".1" into ".1.gz" (a plain pthread: ofw::Thread
  // reads the configuration and logs, neither allowed inside the write path).
  pthread_t compressor_{};
  bool compressing_ = false;
  std::string compressSrc_;
  std::string compressDst_;
};

// The in-memory record of the most recent log records. Records are written as
// BuildMessagePrefix("_cbuf ") + text, each followed by the end marker, which
// the next record overwrites from its second byte on.
class CircularBuffer {
 public:
  static constexpr const char* END_MARKER = "\n_cbuf_END__\n";
  static constexpr size_t END_MARKER_LENGTH = 13;
  // The largest record this buffer ever writes (prefix + 1,024-byte text).
  static constexpr size_t MAX_ENTRY = 1024 + 320;
  // Smallest buffer that holds one full record and the marker.
  static constexpr size_t MIN_SIZE = 2048;

  // Sizes below MIN_SIZE are raised to MIN_SIZE (the caller warns).
  explicit CircularBuffer(size_t bytes);
  void write(const char* text);
  // The raw buffer (for a dump or a test) and the current write position.
  std::string contents();
  size_t position();
  size_t size() const { return buffer_.size(); }

 private:
  Mutex lock_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
};

}  // namespace ofw
