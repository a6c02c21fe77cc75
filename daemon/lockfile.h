// The daemon's lock file: an fcntl write lock on the whole file, held by an
// open descriptor for the daemon's lifetime, so that two daemons never share
// one spool.
#pragma once
#include <string>

#include "ofw/logging/logger.h"

namespace vgd {

class LockFile {
 public:
  enum Result { TAKEN, HELD_BY_OTHER, FAILED };

  explicit LockFile(std::string path) : path_(std::move(path)) {}
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // One attempt. HELD_BY_OTHER sets *holder to the holder's pid. FAILED means
  // the file could not be created, opened safely or locked (logged).
  Result tryTake(long* holder);
  // Up to `attempts` tries, sleepSeconds apart while another daemon holds it.
  Result take(int attempts, int sleepSeconds, long* holder);

 private:
  std::string path_;
  int fd_ = -1;
  ofw::LoggerPtr logger_ = ofw::getLogger("ovg.vgd");
};

}  // namespace vgd
