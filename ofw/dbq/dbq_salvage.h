// Salvage of queues that were moved aside (not shut cleanly, or corrupt).
//
// A moved-aside queue file is read leniently from its head, without trusting
// its master beyond the head link: each record is taken only when every one of
// its blocks lies inside the file, has the file's data type and its own ID,
// passes its magic and checksum, is not on the free list, carries the record's
// length, has the spanning flag on every block but the last and the span
// sequence 0, 1, 2... (extended format), and the chain visits no block twice.
// Reading stops at the first block that fails (an append cut short at the end,
// or damage in the middle); the records before it are kept, in order. The
// moved-aside copy is only read, never changed or removed.
//
// What could not be read is reported in bytes: the record bytes the master
// claims beyond those salvaged (or the whole file when not even its master can
// be read).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "ofw/dbq/dbq.h"
#include "ofw/dbq/dbq_format.h"
#include "ofw/logging/logger.h"

namespace ofw {

struct SalvageResult {
  uint64_t files = 0;        // queue files read
  uint64_t records = 0;      // records recovered (and appended to the target)
  uint64_t bytes = 0;        // bytes of those records
  uint64_t unreadBytes = 0;  // bytes that could not be read
  bool targetFailed = false; // appending to the target failed; salvage stopped there
  std::string stopReason;    // why reading of the last file stopped early ("" = reached its end)
};

// Reads the records of the queue file at `path` leniently (rules above) and
// hands each to `sink`, head first. The pointer is valid during the call only.
// `sink` may throw: reading stops and the exception propagates. Allocation is
// bounded by the file's size.
SalvageResult readQueueFileLeniently(const std::string& path, int blockSize,
                                     const std::function<void(const unsigned char*, unsigned int)>& sink);

// Appends every salvageable record of the moved-aside queue file `path` to
// `target`, in order, and logs at WARN how many records were salvaged and how
// many bytes could not be read. A failure of `target` stops the salvage
// (targetFailed); it is logged, not raised.
SalvageResult salvageQueueFile(const std::string& path, DBQ& target, const LoggerPtr& logger,
                               int blockSize = dbqfmt::kDefaultBlockSize);

// The same for every numbered file of the moved-aside queue directory, lowest
// number first. Damage in one file stops the reading of that file only.
SalvageResult salvageQueueDirectory(const std::string& movedAsidePath, DBQ& target, const LoggerPtr& logger,
                                    int blockSize = dbqfmt::kDefaultBlockSize);

}  // namespace ofw
