// Value lists: inline splitting, "file:" references with their security
// check and refusal texts, the fallback to the default and the cache.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ofw/config/properties.h"
#include "ofw/config/propertyset.h"
#include "ofw/config/propertysyntax.h"
#include "ofw/config/securefile.h"
#include "props_test_util.h"

namespace {

using ofw::Properties;
using ofw::PropertySet;
using proptest::items;
using proptest::TempDir;
using List = std::vector<std::string>;

struct ListCase {
  const char* value;
  List expected;
};

class InlineList : public ::testing::TestWithParam<ListCase> {};

TEST_P(InlineList, SplitsAtUnescapedUnquotedSeparators) {
  Properties p;
  ASSERT_EQ(p.loadFromString(std::string("k = ") + GetParam().value + "\n"), 0);
  EXPECT_EQ(*p.getValueList("k"), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InlineList,
    ::testing::Values(ListCase{"a, b,,c", items({"a", "b", "c"})},
                      ListCase{"a b\\tc", items({"a", "b\tc"})},
                      ListCase{"\"a b\", c", items({"a b", "c"})},
                      ListCase{"a\\,b, c", items({"a,b", "c"})},
                      ListCase{"'x,y' z", items({"x,y", "z"})},
                      ListCase{"x\"1 2\"y", items({"x\"1 2\"y"})},
                      ListCase{"\"\", ,a", items({"a"})},
                      ListCase{"one", items({"one"})},
                      ListCase{"u1:2:3:aduser, u2::", items({"u1:2:3:aduser", "u2::"})},
                      ListCase{"file\\:x", items({"file:x"})}));

TEST(ValueList, DefaultIsUsedForAbsentOrEmptyKeys) {
  Properties p;
  ASSERT_EQ(p.loadFromString("empty =\nset = x\n"), 0);
  EXPECT_EQ(*p.getValueList("absent", "d1, d2"), items({"d1", "d2"}));
  EXPECT_EQ(*p.getValueList("empty", "d1"), items({"d1"}));
  EXPECT_EQ(*p.getValueList("set", "d1"), items({"x"}));
  EXPECT_TRUE(p.getValueList("absent")->empty());
}

// --- file references -----------------------------------------------------------

class FileReference : public ::testing::Test {
 protected:
  void SetUp() override {
    good = dir.write("users", "# comment\n! other comment\nu1, u2\n  u3 u4  \n\n#u5\nu6,,u7\r\n");
  }
  // The list of property k = file:<path>, and the sink's records.
  List listOf(const std::string& path, ofw::LogSink& sink, const std::string& def = "",
              bool* ok = nullptr) {
    PropertySet set(false, PropertySet::FLAG_NO_DIRECTORY_VARIABLES);
    std::string text = "k = file:" + path + "\n";
    EXPECT_EQ(set.loadFromText(text.data(), text.size(), sink), 0);
    List l;
    bool r = set.getValueList("k", def, l, sink);
    if (ok) *ok = r;
    return l;
  }
  TempDir dir;
  std::string good;
};

TEST_F(FileReference, ReadsItemsSkippingCommentsAndEmptyLines) {
  ofw::LogSink sink;
  bool ok = false;
  EXPECT_EQ(listOf(good, sink, "", &ok), items({"u1", "u2", "u3", "u4", "u6", "u7"}));
  EXPECT_TRUE(ok);
  Properties p;
  ASSERT_EQ(p.loadFromString("k = file: " + good + " \n"), 0);
  EXPECT_EQ(p.getValueList("k")->size(), 6u);
}

TEST_F(FileReference, OverLongLineIsLeftOutWhole) {
  std::string path = dir.write("long", "a\n" + std::string(1500, 'b') + "\nc\n");
  ofw::LogSink sink;
  EXPECT_EQ(listOf(path, sink), items({"a", "c"}));
  EXPECT_TRUE(proptest::hasRecord(sink, "has a line longer than 1023 bytes", true));
}

using proptest::Unsafe;

struct Refusal {
  Unsafe bad;
  const char* text;  // with %P for the path
};

class RefusedReference : public FileReference, public ::testing::WithParamInterface<Refusal> {
 protected:
  std::string makeBad() { return proptest::makeUnsafe(dir, "bad", GetParam().bad, "x\n"); }
  std::string expected(const std::string& path) {
    std::string t = GetParam().text;
    size_t at = t.find("%P");
    return at == std::string::npos ? t : t.replace(at, 2, path);
  }
};

TEST_P(RefusedReference, YieldsEmptyListAndTheRefusalText) {
  std::string bad = makeBad();
  ofw::LogSink sink;
  bool ok = true;
  EXPECT_TRUE(listOf(bad, sink, "", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(proptest::hasRecord(sink, expected(bad))) << expected(bad);
}

TEST_P(RefusedReference, FallsBackToAFileReferenceInTheDefault) {
  std::string bad = makeBad();
  ofw::LogSink sink;
  bool ok = false;
  EXPECT_EQ(listOf(bad, sink, "file:" + good, &ok).size(), 6u);
  EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, RefusedReference,
    ::testing::Values(
        Refusal{Unsafe::WorldWritable,
                "Config file [%P] is world writable. Skip reading config file for property k. Please "
                "ensure the file is not world writable to enhance security."},
        Refusal{Unsafe::Symlink,
                "Config file [%P] is symlink. Skip reading config file for property k. Please ensure "
                "the file is not a symlink to enhance security."},
        Refusal{Unsafe::HardLinks,
                "Config file [%P] has more than one hardlinks. Skip reading config file for property "
                "k. Please ensure the file has only one hardlink to enhance security."},
        Refusal{Unsafe::NotRoot,
                "Config file [%P] is not owned by root. Skip reading config file for property k. "
                "Please ensure the file is owned by root to enhance security."},
        Refusal{Unsafe::Missing, "Config file does not exist: %P"},
        Refusal{Unsafe::Directory,
                "Cannot open config file [%P] due to unknown error. Skip reading config file for "
                "property k"},
        Refusal{Unsafe::Fifo,
                "Cannot open config file [%P] due to unknown error. Skip reading config file for "
                "property k"}));

TEST_F(FileReference, DefaultFileReferenceIsReadForAnAbsentKey) {
  Properties p;
  ASSERT_EQ(p.loadFromString("other = 1\n"), 0);
  EXPECT_EQ(p.getValueList("k", "file:" + good)->size(), 6u);
  EXPECT_TRUE(p.getValueList("k", "file:" + dir.file("missing"))->empty());
}

TEST_F(FileReference, ListIsCachedPerKeyUntilReloadOrChange) {
  std::string conf = dir.write("conf", "k = file:" + good + "\n");
  Properties p(conf);
  ASSERT_EQ(p.lastLoadStatus(), 0);
  ofw::ValueList first = p.getValueList("k");
  ASSERT_EQ(first->size(), 6u);
  dir.write("users", "only\n");
  EXPECT_EQ(p.getValueList("k"), first);  // the same shared list, file not read again
  EXPECT_EQ(p.getValueList("K")->size(), 6u);
  ASSERT_EQ(p.reload(), 0);
  EXPECT_EQ(*p.getValueList("k"), items({"only"}));
  dir.write("users", "again\n");
  p.setProperty("k", "file:" + good);
  EXPECT_EQ(*p.getValueList("k"), items({"again"}));
  EXPECT_EQ(*first, items({"u1", "u2", "u3", "u4", "u6", "u7"}));  // handed-out lists never change
}

// The file is replaced by a symbolic link to another root-owned file at the
// last moment before the open: a check made on the path before the open would
// pass and the link be followed; the opened file is what is checked.
std::string gSwapTarget;
void swapForSymlink(const std::string& path) {
  if (gSwapTarget.empty()) return;
  std::string link = path + ".swap";
  if (::symlink(gSwapTarget.c_str(), link.c_str()) == 0) ::rename(link.c_str(), path.c_str());
  gSwapTarget.clear();
}

TEST_F(FileReference, FileSwappedBetweenCheckAndOpenIsNotRead) {
  std::string conf = dir.write("conf", "k = file:" + good + "\n");
  Properties p(conf);
  gSwapTarget = dir.write("other", "secret\n");
  ofw::setSecureOpenHook(swapForSymlink);
  ofw::ValueList list = p.getValueList("k");
  ofw::setSecureOpenHook(nullptr);
  ASSERT_TRUE(gSwapTarget.empty()) << "the file was never opened";
  EXPECT_TRUE(list->empty()) << "read: " << list->front();
}

}  // namespace
