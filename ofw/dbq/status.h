// The small status file of a spool: flags (paused, in progress), a status code
// and a status text, kept on disk so that they survive a restart.
//
// File format (text), four newline-ended lines and a tail:
//   1           format version; a file whose first line is not "1" is ignored
//   <flags>     unsigned, lowercase hexadecimal
//   <time>      seconds since the epoch of the last change of code or text
//   <code>      signed decimal
//   <text>      everything after the fourth newline up to the end of the file
//
// Every read re-reads the file when it exists; every change re-reads it, does
// nothing when the values would not change, and otherwise replaces the file as
// a whole: the new content goes to a temporary file in the same directory,
// which is flushed to disk and renamed over the status file, so a crash leaves
// either the old or the new status, never a torn one. A file that is not a
// valid version-1 status file (wrong version, malformed number, too large) is
// ignored and the fields keep their values.
//
// Each object has its own mutex. Several objects on the same file coordinate
// through the file; within one process their read-modify-write cycles are also
// serialized, so concurrent changes to different flags are not lost.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "ofw/threads/mutex.h"

namespace ofw {

class Status {
 public:
  static constexpr int FORMAT_VERSION = 1;
  // Flags used by session spools.
  static constexpr unsigned FLAG_PAUSED = 0x1;
  static constexpr unsigned FLAG_IN_PROGRESS = 0x2;
  // Larger files are not status files written by this class and are ignored.
  static constexpr size_t MAX_FILE_SIZE = 1024 * 1024;

  // Creates the parent directory (mode 0755) when missing. Throws IOException
  // "No permission to write to status file" when the file exists but is not
  // writable. Does not read or create the file.
  explicit Status(const std::string& path);
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  // Reads. Throw IOException "Unable to open status file" when the file exists
  // but cannot be read.
  bool isFlagSet(unsigned flag);  // any bit of `flag` set
  unsigned getFlags();
  int getStatus();
  std::string getStatusString();
  time_t getTime();

  // Changes. Throw IOException "Unable to write status file" when the file
  // cannot be replaced (and the read errors above).
  void setFlag(unsigned flag);
  void clearFlag(unsigned flag);
  // Sets code and text; the time becomes now when either changes.
  void setStatus(int code, const std::string& text);
  // Sets code, text and the whole flags word; the time becomes now when the
  // code or the text changes.
  void setStatus(int code, const std::string& text, unsigned flags);
  // Sets the text; the time becomes now when it changes.
  void setStatusString(const std::string& text);

  const std::string& getPath() const { return path_; }

 private:
  struct Fields {
    unsigned flags = 0;
    long long time = 0;
    int code = 0;
    std::string text;
  };
  // Re-reads the file into fields_ when it exists and is a valid status file.
  void refreshLocked();
  // Writes `next` when it differs from fields_, then adopts it.
  void commitLocked(const Fields& next);
  void writeFile(const Fields& f);

  const std::string path_;
  Mutex mutex_;
  Fields fields_;
};

// The file content for the given values (exposed for tests and tools).
std::string formatStatusFile(unsigned flags, long long time, int code, const std::string& text);

}  // namespace ofw
