// Continuation messages and spool resumption: a saved message reads back byte
// for byte with its type 9, a damaged or missing file counts as missing, a
// session's file is replaced whole; resumeSpool undoes only real spools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "auditor_test_util.h"
#include "ovgfw/ovg_message.h"
#include "support/test_support.h"

namespace {

class Continuation : public ::testing::Test {
 protected:
  void SetUp() override {
    auditor_ = auditortest::newAuditor(dir_, dir_ + "/session");
  }
  void TearDown() override { auditor_.reset(); }
  static ovgfw::OVGRequestMessage startOf(const ofw::Guid& g, const std::string& user) {
    ovgfw::OVGRequestMessage m(ovgfw::OVGMessage::TYPE_SESSION_START);
    m.writeGUID(g);
    m.writeString(user);
    return m;
  }
  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::unique_ptr<Vigilog::Auditor> auditor_;
};

TEST_F(Continuation, SavedMessageReadsBackWholeAndIsReplacedNotAppended) {
  const ofw::Guid g = ofw::Guid::fromString("00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(auditor_->continueMessageFilePath(g), dir_ + "/session/3322110055447766" "8899aabbccddeeff");
  ovgfw::OVGRequestMessage first = startOf(g, "a-long-user-name");
  first.setType(ovgfw::OVGMessage::TYPE_SESSION_RESUME);
  auditor_->saveContinueMessage(g, first);
  ovgfw::OVGRequestMessage second = startOf(g, "b");
  second.setType(ovgfw::OVGMessage::TYPE_SESSION_RESUME);
  const std::string want = second.serialize();
  auditor_->saveContinueMessage(g, second);

  ovgfw::OVGRequestMessage back;
  ASSERT_TRUE(auditor_->getContinueMessage(g, back));
  EXPECT_EQ(back.getType(), ovgfw::OVGMessage::TYPE_SESSION_RESUME);
  EXPECT_EQ(back.serialize(), want);  // the shorter second message, nothing of the first left
  struct stat st;
  ASSERT_EQ(stat(auditor_->continueMessageFilePath(g).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auditor_->deleteContinueMessage(g);
  EXPECT_FALSE(auditor_->getContinueMessage(g, back));
}

TEST_F(Continuation, DamagedFileCountsAsMissing) {
  const ofw::Guid g = ofw::Guid::fromString("0f0e0d0c-0b0a-0908-0706-050403020100");
  for (const std::string& bytes : {std::string(), std::string("\x09\x00", 2), std::string(12, '\0')}) {
    std::ofstream(auditor_->continueMessageFilePath(g), std::ios::binary | std::ios::trunc) << bytes;
    ovgfw::OVGRequestMessage back;
    EXPECT_FALSE(auditor_->getContinueMessage(g, back)) << bytes.size() << " bytes";
  }
}

TEST_F(Continuation, ResumeSpoolClearsTheNamedPauseAndRefusesUnknownNames) {
  ofw::Status common(dir_ + "/spool-dbqc.status");
  common.setFlag(ofw::Status::FLAG_PAUSED);
  ofw::Status at(dir_ + "/spool-atdbqc.status");
  at.setFlag(ofw::Status::FLAG_PAUSED);
  EXPECT_TRUE(auditor_->resumeSpool("common"));
  EXPECT_FALSE(ofw::Status(dir_ + "/spool-dbqc.status").isFlagSet(ofw::Status::FLAG_PAUSED));
  EXPECT_TRUE(ofw::Status(dir_ + "/spool-atdbqc.status").isFlagSet(ofw::Status::FLAG_PAUSED));
  EXPECT_FALSE(auditor_->resumeSpool("00112233-4455-6677-8899-aabbccddeeff"));  // no such session spool
  EXPECT_FALSE(auditor_->resumeSpool("garbage"));
  EXPECT_TRUE(auditor_->resumeSpool("all"));
  EXPECT_FALSE(ofw::Status(dir_ + "/spool-atdbqc.status").isFlagSet(ofw::Status::FLAG_PAUSED));
}

}  // namespace
