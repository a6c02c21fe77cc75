// The spool file system's disk-full state. The scheduler's disk check keeps
// it; the Auditor owns it (Auditor::isDiskFull). An episode starts when free
// space falls below a threshold and ends once free space is clear of the
// thresholds again by the reset margin; each warning is logged at most once
// per episode.
#pragma once
#include <atomic>

namespace Vigilog {

struct DiskState {
  // Free space fell below `spool.diskspace.min` and has not recovered yet.
  std::atomic<bool> diskFull{false};
  // The "AUDITING HAS BEEN STOPPED ..." warning was logged in this episode.
  std::atomic<bool> stopWarned{false};
  // The "... almost full ..." warning was logged in this episode.
  std::atomic<bool> softWarned{false};

  // Forgets that the warnings were logged: the next episode logs them again.
  void resetLogIsPrinted() {
    stopWarned.store(false);
    softWarned.store(false);
  }
};

}  // namespace Vigilog
