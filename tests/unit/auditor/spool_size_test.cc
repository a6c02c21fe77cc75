// The spools' size on disk that `spool.maxdbsize` is checked against is a
// running total kept by the queues: after posts (with files rolled over),
// dequeues (emptied files deleted, free blocks given back), a session spool's
// removal and a restart it equals the bytes of the files on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "auditor_test_util.h"
#include "ofw/config/properties.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

// Bytes of the regular files directly in `dir`.
uint64_t filesIn(const fs::path& dir) {
  uint64_t total = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

class SpoolSize : public ::testing::Test {
 protected:
  void SetUp() override {
    ofw::Props().setProperty("spool.max.single.file.size", "8");  // KiB: files roll over
    auditor_ = auditortest::newAuditor(dir_);
  }
  void TearDown() override {
    auditor_.reset();
    ofw::Props().setProperty("spool.max.single.file.size", "");
  }
  void post(const ofw::Guid& guid, int count, size_t size) {
    auditortest::post(*auditor_, guid, std::string(size, 'x'), count);
  }
  // The common spool's files and every session queue's files, counted here.
  uint64_t onDisk() {
    uint64_t total = filesIn(dir_ + "/spool-dbqc");
    if (!fs::exists(dir_ + "/spool-sessions")) return total;
    for (const auto& bucket : fs::directory_iterator(dir_ + "/spool-sessions"))
      for (const auto& e : fs::directory_iterator(bucket.path()))
        if (e.path().extension() == ".dbq") total += filesIn(e.path());
    return total;
  }

  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::unique_ptr<Vigilog::Auditor> auditor_;
};

TEST_F(SpoolSize, RunningTotalFollowsPostsDequeuesAndRemovals) {
  const ofw::Guid a = ofw::Guid::generate(), b = ofw::Guid::generate();
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), onDisk());

  post(a, 60, 1000);
  post(b, 30, 3000);
  post(ofw::Guid(), 20, 700);
  const uint64_t full = onDisk();
  EXPECT_GT(full, 60u * 1000 + 30u * 3000);
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), full);

  boost::shared_ptr<ofw::DBQ> qa = auditor_->sessions()->getDBQ(a, 512);
  for (int i = 0; i < 45; ++i) qa->dequeue();
  auditor_->commonSpool()->dequeue();
  EXPECT_LT(onDisk(), full);
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), onDisk());

  qa.reset();
  auditor_->discardSessionSpool(a);
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), onDisk());

  // Posting goes on to the spool that remains, and a restart counts the same.
  post(b, 5, 9000);
  const uint64_t last = onDisk();
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), last);
  auditor_.reset();
  auditor_ = auditortest::newAuditor(dir_);
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), last);
  post(b, 1, 100);
  EXPECT_EQ(auditor_->getDbSizeOnDisk(), onDisk());
}

}  // namespace
