// A damaged spool never stops posting: the Auditor moves it aside, salvages
// the records that can still be read into a fresh spool, logs an ERROR, and
// the record being posted lands after the salvaged ones.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../logging/log_test_util.h"
#include "auditor_test_util.h"
#include "ofw/dbq/dbq_format.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ovgfw/session_queue.h"

namespace {

using namespace ofw::dbqfmt;

class SpoolRecovery : public ::testing::Test {
 protected:
  std::unique_ptr<Vigilog::Auditor> newAuditor() { return auditortest::newAuditor(dir_); }

  static std::vector<std::string> records(const std::string& spool) {
    std::vector<std::string> out;
    ofw::DBQComposite q(kDefaultBlockSize);
    if (!q.open(spool, ofw::DBQ_READ_ONLY, 0600, false, std::string())) return out;
    q.forEachRecord([&out](const unsigned char* d, unsigned int len) {
      out.emplace_back(reinterpret_cast<const char*>(d), len);
      return true;
    });
    return out;
  }

  // Directories next to `path` whose name starts with its name and a dot
  // (the status file beside a spool is not one).
  static std::vector<std::string> movedAside(const std::string& path) {
    const std::filesystem::path p(path);
    const std::string base = p.filename().string() + ".";
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(p.parent_path()))
      if (e.is_directory() && e.path().filename().string().compare(0, base.size(), base) == 0)
        out.push_back(e.path().string());
    return out;
  }

  static std::vector<unsigned char> readBlock(const std::string& file, int id) {
    std::vector<unsigned char> b(kDefaultBlockSize);
    int fd = open(file.c_str(), O_RDONLY);
    ssize_t n = pread(fd, b.data(), b.size(), static_cast<off_t>(id) * kDefaultBlockSize);
    close(fd);
    if (n != kDefaultBlockSize) b.clear();
    return b;
  }
  // Inverts one byte of the file (checksums are not recomputed).
  static void flipByte(const std::string& file, off_t offset) {
    int fd = open(file.c_str(), O_RDWR);
    unsigned char c = 0;
    ASSERT_EQ(pread(fd, &c, 1, offset), 1);
    c = static_cast<unsigned char>(~c);
    ASSERT_EQ(pwrite(fd, &c, 1, offset), 1);
    close(fd);
  }
  // The block that holds the queue's last record (the master's tail link).
  static int tailBlock(const std::string& file) {
    std::vector<unsigned char> m = readBlock(file, 0);
    return m.empty() ? -1 : getInt32(&m[kTailOffset]);
  }

  std::string logText() { return log_.contents(); }

  logtest::LogCapture log_;
  testsupport::TempDir tmp_;
  const std::string dir_ = tmp_.path(), sessions_ = dir_ + "/spool-sessions", common_ = dir_ + "/spool-dbqc",
                    at_ = dir_ + "/spool-atdbqc";
};

TEST_F(SpoolRecovery, SessionSpoolWithDamagedTailIsSalvagedAndPostingGoesOn) {
  ofw::Guid guid = ofw::Guid::generate();
  std::string one, two;
  {
    auto a = newAuditor();
    one = auditortest::post(*a, guid, "one");
    two = auditortest::post(*a, guid, "two");
    auditortest::post(*a, guid, "three");
    a->stop();
  }
  std::string spool = sessions_ + "/" + ovgfw::sessionBucketName(guid) + "/" + guid.toSwappedMSString() + ".dbq";
  std::string file = spool + "/0";
  int tail = tailBlock(file);
  ASSERT_GT(tail, 0);
  // A payload byte of the block holding "three": its checksum no longer matches.
  flipByte(file, static_cast<off_t>(tail) * kDefaultBlockSize + static_cast<off_t>(kDataXHeaderSize) + 5);

  auto b = newAuditor();
  std::string four;
  ASSERT_NO_THROW(four = auditortest::post(*b, guid, "four"));
  std::string five = auditortest::post(*b, guid, "five");
  b->stop();

  EXPECT_EQ(records(spool), (std::vector<std::string>{one, two, four, five}));
  std::vector<std::string> aside = movedAside(spool);
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(tailBlock(aside[0] + "/0"), tail) << "the moved-aside copy is left as it was";
  EXPECT_NE(logText().find("ERROR"), std::string::npos) << logText();
  EXPECT_NE(logText().find("Error encountered in a spool"), std::string::npos) << logText();
}

TEST_F(SpoolRecovery, DamagedCommonSpoolIsSalvagedAtInitAndPostingGoesOn) {
  ofw::Guid none;
  std::string one, two;
  {
    auto a = newAuditor();
    one = auditortest::post(*a, none, "common one");
    two = auditortest::post(*a, none, "common two");
    auditortest::post(*a, none, "common three");
    a->stop();
  }
  std::string file = common_ + "/0";
  int tail = tailBlock(file);
  ASSERT_GT(tail, 0);
  flipByte(file, static_cast<off_t>(tail) * kDefaultBlockSize + static_cast<off_t>(kDataXHeaderSize) + 5);
  flipByte(file, static_cast<off_t>(kMasterXHeaderSize) + 7);  // the master's checksum fails too

  std::unique_ptr<Vigilog::Auditor> b;
  ASSERT_NO_THROW(b = newAuditor());
  ASSERT_TRUE(b->commonSpool()->isOpen());
  std::string four = auditortest::post(*b, none, "common four");
  b->stop();

  EXPECT_EQ(records(common_), (std::vector<std::string>{one, two, four}));
  EXPECT_EQ(movedAside(common_).size(), 1u);
  EXPECT_NE(logText().find("The Common spool at " + common_ + " is damaged"), std::string::npos) << logText();
}

// The continuation directory is 0700 whatever the umask (the daemon's 0177
// would leave a directory no one can enter), also when an earlier run left it
// with another mode.
TEST_F(SpoolRecovery, ContinuationDirectoryIsPrivateWhateverTheUmask) {
  const std::string fresh = dir_ + "/cont-new", left = dir_ + "/cont-old";
  ASSERT_EQ(mkdir(left.c_str(), 0755), 0);
  mode_t old = umask(0177);
  for (const std::string& path : {fresh, left}) {
    Vigilog::Auditor a;
    a.init(sessions_, common_, at_, path);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
  }
  umask(old);
}

}  // namespace
