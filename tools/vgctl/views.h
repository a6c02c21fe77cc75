// How the daemon's answers appear in a command's report: the agent state, the
// per-collector records, the spools with their backlog. Shared by the status
// screen and the commands that show one part of it.
#pragma once
#include <vector>

#include "tools/vgctl/daemon_queries.h"
#include "tools/vgctl/report.h"
#include "tools/vgctl/spool_backlog.h"

namespace vgctl {

void addCollector(Report& r, const CollectorStatus& s);
void addConnections(Report& r, const std::vector<ConnectionStats>& list);
// Asks the daemon for its spool sizes and despool rates.
void addSizes(Report& r, Daemon& d);
// The spools' backlog from their files, the directories as the daemon names
// them; empty for a caller that is not root (the directories are root's).
std::vector<SpoolBacklog> readSpoolBacklog(Daemon& d);
// Records, bytes and the oldest record's age over all spools, and the spools
// that could not be read.
void addBacklogTotals(Report& r, const std::vector<SpoolBacklog>& list);
// Every spool the daemon lists, with its backlog where its files were read.
void addSpools(Report& r, const std::vector<SpoolEntry>& list, const std::vector<SpoolBacklog>& backlog);

}  // namespace vgctl
