// Salvage of queues that were moved aside (not shut cleanly, or corrupt).
//
// A moved-aside queue file is read leniently. A record is taken only when
// every one of its blocks lies inside the file, has the file's data type and
// its own ID, passes its magic and checksum, is not on the free list, carries
// the record's length, has the spanning flag on every block but the last and
// the span sequence 0, 1, 2... (extended format), and belongs to no other
// record taken. First the records are read as the master links them, from its
// head to its tail. When that chain breaks (damage), or the master counts bytes
// it did not reach, or the master itself is unusable,
// every block of the file is then tried as the start of an intact record, so
// that damage in one place loses only the records it touches. Records joined
// by intact links keep their link order; runs of records that damage separates
// are ordered by the write stamp (time, then age) of their first block. The
// moved-aside copy is only read, never changed or removed.
//
// What could not be read is reported in bytes (the record bytes the master
// claims beyond those salvaged, or the whole file when its master is unusable)
// and in blocks (those that belong to no intact record and are not free).
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
  uint64_t skippedBlocks = 0;  // blocks of no intact record and not free (0 when the chain was whole)
  bool targetFailed = false; // appending to the target failed; salvage stopped there
  std::string stopReason;    // why the chain from the master's head broke in the last file ("" = it did not)
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
// number first.
SalvageResult salvageQueueDirectory(const std::string& movedAsidePath, DBQ& target, const LoggerPtr& logger,
                                    int blockSize = dbqfmt::kDefaultBlockSize);

}  // namespace ofw
