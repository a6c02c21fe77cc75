// The spool information of the status query comes from the spools' status
// files as they are on disk now: paused and in-progress flags and the text,
// for the common, audit-trail and every session spool.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "auditor_test_util.h"
#include "ofw/dbq/status.h"
#include "ovgfw/session_queue.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> describe(const std::vector<ovgfw::SpoolInfo>& list) {
  std::vector<std::string> out;
  for (const ovgfw::SpoolInfo& i : list)
    out.push_back(i.name + "|" + (i.paused ? "paused" : "-") + "|" + (i.inProgress ? "busy" : "-") + "|" + i.status);
  return out;
}

TEST(SpoolInfo, ReadsTheFlagsAndTextsOfEverySpoolFromDisk) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  std::unique_ptr<Vigilog::Auditor> auditor = auditortest::newAuditor(dir);
  EXPECT_EQ(describe(auditor->getSpoolInfoList()),
            (std::vector<std::string>{"Common Spool|-|-|", "Audit Trail Spool|-|-|"}));
  EXPECT_TRUE(auditor->getSessionSpoolInfoList().empty());

  // Another writer of the status files (as after a restart) is seen at once.
  ofw::Status(dir + "/spool-dbqc.status").setStatus(0, "Undecodable record: x", ofw::Status::FLAG_PAUSED);
  ofw::Status(dir + "/spool-atdbqc.status").setFlag(ofw::Status::FLAG_IN_PROGRESS);
  const ofw::Guid guid = ofw::Guid::fromString("0f1e2d3c4b5a49788796a5b4c3d2e1f0");
  boost::shared_ptr<ovgfw::SessionQueue> session = auditor->sessions()->add(guid, 1 << 20);
  session->pause();
  session->setStatus("rejected");
  EXPECT_EQ(describe(auditor->getSpoolInfoList()),
            (std::vector<std::string>{"Common Spool|paused|-|Undecodable record: x", "Audit Trail Spool|-|busy|"}));
  EXPECT_EQ(describe(auditor->getSessionSpoolInfoList()),
            std::vector<std::string>{"Session Spool " + guid.toSwappedMSString() + "|paused|-|rejected"});

  EXPECT_THROW(ovgfw::SpoolInfo("", false, false, "x"), ofw::SystemException);
}

}  // namespace
