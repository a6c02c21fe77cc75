// Writing properties back into the configuration file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "ofw/config/propertyset.h"
#include "props_test_util.h"

namespace {

using ofw::Properties;
using proptest::items;
using proptest::readFile;
using proptest::TempDir;

const char* kOriginal =
    "# header comment\n"
    "! bang comment\n"
    "alpha = 1\n"
    "list = a, b\n"
    "\n"
    "beta = 2 \\\n"
    "   continued\n"
    "ALPHA = 3\n"
    "   indented = keep   \n"
    "# tail\n";

class WriteBack : public ::testing::Test {
 protected:
  void SetUp() override {
    conf = dir.write("conf", kOriginal, 0640);
    ASSERT_EQ(p.loadFromFile(conf), 0);
  }
  void expectNoLeftovers() {
    EXPECT_FALSE(proptest::exists(conf + ".loc"));
    EXPECT_FALSE(proptest::exists(conf + ".new"));
  }
  TempDir dir;
  std::string conf;
  Properties p;
};

TEST_F(WriteBack, SavePropertyReplacesTheEffectiveDefinitionInPlace) {
  p.setProperty("alpha", "42");
  ASSERT_EQ(p.saveProperty("alpha"), 0);
  std::string expected(kOriginal);
  expected.replace(expected.find("ALPHA = 3"), 9, "alpha = 42");
  EXPECT_EQ(readFile(conf), expected);
  expectNoLeftovers();
  Properties q(conf);
  EXPECT_EQ(q.getInt("alpha", 0), 42);
  struct stat st;
  ASSERT_EQ(::stat(conf.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(WriteBack, ContinuedDefinitionIsReplacedWhole) {
  p.setProperty("beta", "3");
  ASSERT_EQ(p.saveProperty("beta"), 0);
  std::string expected(kOriginal);
  const std::string old = "beta = 2 \\\n   continued\n";
  expected.replace(expected.find(old), old.size(), "beta = 3\n");
  EXPECT_EQ(readFile(conf), expected);
}

TEST_F(WriteBack, NewKeyIsAppended) {
  p.setProperty("gamma", "new value");
  ASSERT_EQ(p.saveProperty("gamma"), 0);
  EXPECT_EQ(readFile(conf), std::string(kOriginal) + "gamma = new value\n");
  // A file without a final line end gets one before the appended line.
  dir.write("conf", "x = 1", 0644);
  ASSERT_EQ(p.saveProperty("gamma"), 0);
  EXPECT_EQ(readFile(conf), "x = 1\ngamma = new value\n");
}

TEST_F(WriteBack, ValueListsAreWrittenAndReadBack) {
  ASSERT_EQ(p.setValueList("list", items({"x", "y z", "w,v"})), 0);
  EXPECT_EQ(*p.getValueList("list"), items({"x", "y z", "w,v"}));
  EXPECT_NE(readFile(conf).find("list = x, y\\ z, w\\,v\n"), std::string::npos);
  Properties q(conf);
  EXPECT_EQ(*q.getValueList("list"), items({"x", "y z", "w,v"}));
  EXPECT_EQ(q.getProperty("ALPHA"), "3");
  expectNoLeftovers();
}

TEST_F(WriteBack, AddAndDeleteListItems) {
  ASSERT_EQ(p.addValueList("list", "c"), 0);
  EXPECT_EQ(*p.getValueList("list"), items({"a", "b", "c"}));
  std::string before = readFile(conf);
  ASSERT_EQ(p.addValueList("list", "b"), 0);  // already there: nothing written
  EXPECT_EQ(readFile(conf), before);
  ASSERT_EQ(p.delValueList("list", "a"), 0);
  EXPECT_EQ(*p.getValueList("list"), items({"b", "c"}));
  ASSERT_EQ(p.delValueList("list", "absent"), 0);
  ASSERT_EQ(p.addValueList("fresh", "one"), 0);
  Properties q(conf);
  EXPECT_EQ(*q.getValueList("list"), items({"b", "c"}));
  EXPECT_EQ(*q.getValueList("fresh"), items({"one"}));
  EXPECT_NE(readFile(conf).find("# header comment\n! bang comment\nalpha = 1\nlist = b, c\n"),
            std::string::npos);
}

TEST_F(WriteBack, FileReferenceListsAreNotRewritten) {
  std::string users = dir.write("users", "u1\n");
  p.setProperty("refs", "file:" + users);
  ASSERT_EQ(p.saveProperty("refs"), 0);
  std::string before = readFile(conf);
  EXPECT_EQ(p.addValueList("refs", "u2"), -22);
  EXPECT_EQ(readFile(conf), before);
  EXPECT_EQ(readFile(users), "u1\n");
}

TEST_F(WriteBack, HeldLockRefusesAndLeavesTheFile) {
  int fd = ::open((conf + ".loc").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  p.setProperty("alpha", "9");
  EXPECT_EQ(p.saveProperty("alpha"), -EEXIST);
  EXPECT_EQ(readFile(conf), kOriginal);
  EXPECT_TRUE(proptest::exists(conf + ".loc"));  // somebody else's lock stays
  EXPECT_EQ(p.setValueList("list", items({"z"})), -EEXIST);
  EXPECT_EQ(*p.getValueList("list"), items({"a", "b"}));  // memory unchanged on failure
}

TEST_F(WriteBack, UnsafeFileIsNotRewritten) {
  ASSERT_EQ(::chmod(conf.c_str(), 0666), 0);
  p.setProperty("alpha", "9");
  EXPECT_EQ(p.saveProperty("alpha"), -125);
  EXPECT_EQ(readFile(conf), kOriginal);
  expectNoLeftovers();
}

TEST_F(WriteBack, ValuesCannotInjectLinesOrJoinTheNextLine) {
  p.setProperty("inj", "x\nvgd.socket = /tmp/evil\r");
  ASSERT_EQ(p.saveProperty("inj"), 0);
  p.setProperty("tail", "ends\\");
  ASSERT_EQ(p.saveProperty("tail"), 0);
  p.setProperty("after", "1");
  ASSERT_EQ(p.saveProperty("after"), 0);
  Properties q(conf);
  ASSERT_EQ(q.lastLoadStatus(), 0);
  EXPECT_FALSE(q.keyExists("vgd.socket"));
  EXPECT_EQ(q.getProperty("inj"), "x\nvgd.socket = /tmp/evil\r");
  EXPECT_EQ(q.getProperty("after"), "1");
}

TEST_F(WriteBack, ValueTooLongForOneLineIsRefused) {
  std::vector<std::string> many(300, "item");
  EXPECT_EQ(p.setValueList("list", many), -22);
  EXPECT_EQ(readFile(conf), kOriginal);
  Properties q(conf);
  EXPECT_EQ(q.lastLoadStatus(), 0);
}

TEST_F(WriteBack, StoreWithoutFileCannotSaveOrReload) {
  Properties mem;
  ASSERT_EQ(mem.loadFromString("a = 1\n"), 0);
  ofw::getLogger("util.properties")->setLevel(ofw::Logger::TRACE);
  EXPECT_EQ(mem.saveProperty("a"), -22);
  EXPECT_EQ(mem.setValueList("a", items({"x"})), -22);
  ofw::getLogger("util.properties")->setLevel(-1);
  EXPECT_EQ(mem.reload(), -22);
  EXPECT_EQ(mem.getInt("a", 0), 1);
  EXPECT_TRUE(mem.fileName().empty());
  EXPECT_EQ(p.saveProperty("absent.key"), -2);
}

TEST_F(WriteBack, MessagesNameTheLockAndEachLine) {
  ofw::getLogger("util.properties")->setLevel(ofw::Logger::DEBUG);
  ofw::PropertySet set(false, ofw::PropertySet::FLAG_NO_DIRECTORY_VARIABLES);
  ofw::LogSink sink;
  ASSERT_EQ(set.loadFromFile(conf, sink), 0);
  set.setProperty("alpha", "5");
  ASSERT_EQ(set.saveProperty("alpha", sink), 0);
  EXPECT_TRUE(proptest::hasRecord(sink, "Create lock file " + conf + ".loc"));
  EXPECT_TRUE(proptest::hasRecord(sink, "Save line from old config: # header comment"));
  EXPECT_TRUE(proptest::hasRecord(sink, "Save line from memory: alpha = 5"));
  EXPECT_TRUE(proptest::hasRecord(sink, "Remove lock file " + conf + ".loc"));
  ofw::PropertySet unloaded(false, 0);
  EXPECT_EQ(unloaded.saveProperty("alpha", sink), -22);
  EXPECT_TRUE(proptest::hasRecord(sink, "SaveProperty call without initialising CProperties2"));
  ofw::getLogger("util.properties")->setLevel(-1);
}

}  // namespace
