// One spool as the spool-information query reports it.
#pragma once
#include <string>

#include "ofw/exceptions.h"

namespace ovgfw {

struct SpoolInfo {
  // An empty name raises ofw::SystemException "spoolName may not be empty".
  SpoolInfo(std::string spoolName, bool isPaused, bool isInProgress, std::string statusText)
      : name(std::move(spoolName)), paused(isPaused), inProgress(isInProgress), status(std::move(statusText)) {
    if (name.empty()) OFW_THROW(ofw::SystemException, "spoolName may not be empty");
  }
  std::string name;
  bool paused;      // status flag 0x1
  bool inProgress;  // status flag 0x2 (being forwarded)
  std::string status;
};

}  // namespace ovgfw
