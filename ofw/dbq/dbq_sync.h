// When a block queue forces its committed bytes to the disk (key spool.sync).
//
//   none         no fdatasync: a commit survives the death of the process, and
//                the kernel writes it back in its own time (the default)
//   interval N   a commit calls fdatasync when the file's last one is N ms or
//                more ago (N in 1..3600000); the commits in between are synced
//                by the next commit after that, by close() and by flushDb()
//   always       fdatasync after every commit: enqueue and dequeue return
//                once the change is on the disk
//
// Keywords in any case, separated by blanks. A bad value is refused with a
// warning naming it, and none is used.
#pragma once
#include <cstdint>
#include <string>

namespace ofw {

struct SpoolSyncPolicy {
  enum Mode { NONE, INTERVAL, ALWAYS };
  Mode mode = NONE;
  int64_t intervalMs = 0;  // INTERVAL only
};

// Parses a value of spool.sync; false (and `out` untouched) when it is bad.
bool parseSpoolSync(const std::string& text, SpoolSyncPolicy& out);

// The policy configured in Props() now. A bad value is logged (WARN, once per
// distinct value) and NONE is returned.
SpoolSyncPolicy configuredSpoolSync();

// The sync state of one open queue file. Not thread-safe: its owner's mutex
// guards it. The descriptor stays owned by the caller.
class CommitSync {
 public:
  // Starts over for a file just opened, with the policy `p`.
  void reset(const SpoolSyncPolicy& p);
  // After a commit that wrote `bytes` to `fd`: syncs when the policy says so.
  // Returns 0 or the errno of a failed fdatasync (the commit itself stands).
  int afterCommit(int fd, uint64_t bytes);
  // Syncs the commits not synced yet (close, periodic flush). 0 or errno.
  int syncPending(int fd);
  // Under any policy but NONE, syncs the directory holding `path`, so that a
  // file just created survives a crash of the machine with its name. 0 or errno.
  int syncDirectoryOf(const std::string& path);

  // Process-wide: fdatasync calls made and the committed bytes they covered.
  static uint64_t statSyncs();
  static uint64_t statSyncedBytes();

 private:
  int sync(int fd);

  SpoolSyncPolicy policy_;
  int64_t lastSyncMs_ = 0;
  uint64_t pendingBytes_ = 0;
};

}  // namespace ofw
