#include "tools/vgctl/spool_backlog.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>

#include "ofw/dbq/dbq_format.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/format.h"
#include "tools/shellside/session_record_reader.h"

namespace vgctl {

namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') out.push_back(e->d_name);
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

SpoolBacklog readOne(const std::string& name, const std::string& dir) {
  SpoolBacklog b;
  b.name = name;
  try {
    ofw::DBQComposite q(ofw::dbqfmt::kDefaultBlockSize);
    if (!q.open(dir, ofw::DBQ_READ_ONLY, 0600, false, std::string())) {
      b.error = "cannot open " + dir + ": " + ofw::errnoText(errno);
      return b;
    }
    b.records = q.count();
    b.bytes = q.getDataSize();
    b.readable = true;
    if (b.records > 0) {
      boost::shared_array<unsigned char> data;
      unsigned int len = 0;
      q.peek(data, len);
      ovg::SessionRecordView head;
      std::string error;
      if (data && ovg::decodeSessionRecord(data.get(), len, head, error)) {
        b.headTimeKnown = true;
        b.headTime = head.time.tv_sec;
      }
    }
  } catch (const std::exception& e) {
    b.readable = false;
    b.error = dir + ": " + e.what();
  }
  return b;
}

}  // namespace

std::vector<SpoolBacklog> readBacklog(const std::string& commonDir, const std::string& atDir,
                                      const std::string& sessionsDir) {
  std::vector<SpoolBacklog> out;
  out.push_back(readOne("common", commonDir));
  out.push_back(readOne("audit trail", atDir));
  for (const std::string& bucket : entries(sessionsDir))
    for (const std::string& spool : entries(sessionsDir + "/" + bucket)) {
      if (spool.size() < 4 || spool.compare(spool.size() - 4, 4, ".dbq") != 0) continue;
      out.push_back(readOne(spool.substr(0, spool.size() - 4), sessionsDir + "/" + bucket + "/" + spool));
    }
  return out;
}

}  // namespace vgctl
