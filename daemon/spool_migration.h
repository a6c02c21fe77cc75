// Migration of the single-file spool of earlier versions ("spool.dbq" in the
// data directory) into the first file of the composite spool directory.
// Never stops start-up.
#pragma once
#include <string>

namespace vgd {
void upgradeDB(const std::string& dataDir, const std::string& newSpoolDir);
}
