// The C properties layer: the handle, its entry points and its trace file.
#include "ofw/config/cproperties.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "props_test_util.h"

namespace {

using proptest::TempDir;

struct Handle {
  CProperties2* h = nullptr;
  ~Handle() {
    if (h) destroyProps(h);
  }
};

std::string take(char* s) {
  std::string r = s ? s : "<null>";
  std::free(s);
  return r;
}

TEST(CProperties, InvalidHandleGivesEinvalOrTheDefault) {
  Handle p;
  ASSERT_EQ(newProps(&p.h, 0, 0), 0);
  EXPECT_EQ(p.h->isLoaded(p.h), 0);
  EXPECT_EQ(p.h->reload(p.h), CPROPS_EINVAL);  // no file to reload
  CProperties2 copy = *p.h;
  copy.valid = 0;
  char* v = nullptr;
  CPropsValueList* l = nullptr;
  EXPECT_EQ(copy.get(&copy, "k", &v), CPROPS_EINVAL);
  EXPECT_EQ(copy.getInt(&copy, "k", 7), 7);
  EXPECT_EQ(copy.getBool(&copy, "k", 1), 1);
  EXPECT_EQ(copy.getTime(&copy, "k", 'm', 2), 120);
  EXPECT_EQ(copy.getValueList(&copy, "k", "", &l), CPROPS_EINVAL);
  EXPECT_EQ(copy.setProperty(&copy, "k", "v"), CPROPS_EINVAL);
  EXPECT_EQ(copy.saveProperty(&copy, "k"), CPROPS_EINVAL);
  EXPECT_EQ(copy.loadFromFile(&copy, "/etc/passwd"), CPROPS_EINVAL);
  EXPECT_EQ(take(copy.getWithDefault(&copy, "k", "d")), "d");
  EXPECT_EQ(destroyProps(&copy), CPROPS_EINVAL);
  EXPECT_EQ(destroyProps(nullptr), CPROPS_EINVAL);
  EXPECT_EQ(newProps(nullptr, 0, 0), CPROPS_EINVAL);
  EXPECT_EQ(p.h->get(p.h, nullptr, &v), CPROPS_EINVAL);
}

TEST(CProperties, GettersAndChanges) {
  TempDir dir;
  std::string users = dir.write("users", "u1 u2\n");
  std::string conf = dir.write("conf", "n = 42\nb = yes\nt = 2h\nl = a, \"b c\"\nf = file:" + users +
                                            "\npre.x = 1\nPRE.y = 2\n");
  Handle p;
  ASSERT_EQ(newPropsFromFile(&p.h, conf.c_str(), 0, CPROPS_FLAG_NO_DIRECTORY_VARIABLES), 0);
  CProperties2* h = p.h;
  EXPECT_EQ(h->isLoaded(h), 1);
  EXPECT_EQ(h->size(h), 7);
  char* v = nullptr;
  ASSERT_EQ(h->get(h, "N", &v), 0);
  EXPECT_EQ(take(v), "42");
  EXPECT_EQ(h->get(h, "absent", &v), CPROPS_ENOENT);
  EXPECT_EQ(take(h->getWithDefault(h, "absent", "d")), "d");
  EXPECT_EQ(h->getWithDefault(h, "absent", nullptr), nullptr);
  EXPECT_EQ(h->getInt(h, "n", 0), 42);
  EXPECT_EQ(h->getUInt(h, "n", 0), 42u);
  EXPECT_EQ(h->getBool(h, "b", 0), 1);
  EXPECT_EQ(h->getTime(h, "t", 's', 0), 7200);

  CPropsValueList* l = nullptr;
  ASSERT_EQ(h->getValueList(h, "l", "", &l), 0);
  ASSERT_EQ(l->count, 2u);
  EXPECT_STREQ(l->items[1], "b c");
  char* text = nullptr;
  ASSERT_EQ(h->valueListToString(h, l, &text), 0);
  EXPECT_EQ(take(text), "a, b\\ c");
  ASSERT_EQ(h->setValueList(h, "copy", l), 0);
  cpropsFreeValueList(l);
  EXPECT_EQ(h->isStringInPropertyList(h, "copy", "", "b c"), 1);
  EXPECT_EQ(h->isStringInPropertyList(h, "f", "", "u2"), 1);
  EXPECT_EQ(h->isStringInPropertyList(h, "f", "", "u3"), 0);
  ASSERT_EQ(h->getValueList(h, "missing", "file:/nonexistent/x", &l), CPROPS_EIO);
  EXPECT_EQ(l->count, 0u);
  cpropsFreeValueList(l);

  ASSERT_EQ(h->getPropertyList(h, "pre.", &l), 0);
  ASSERT_EQ(l->count, 2u);
  EXPECT_STREQ(l->items[0], "pre.x");
  EXPECT_STREQ(l->items[1], "PRE.y");
  cpropsFreeValueList(l);
  EXPECT_EQ(h->delPropertySet(h, "Pre."), 2);
  EXPECT_EQ(h->deleteProperty(h, "n"), 0);
  EXPECT_EQ(h->deleteProperty(h, "n"), CPROPS_ENOENT);
  EXPECT_EQ(h->getInt(h, "n", -1), -1);
  ASSERT_EQ(h->setProperty(h, "n", "5"), 0);
  EXPECT_EQ(h->getInt(h, "n", -1), 5);
  ASSERT_EQ(h->saveProperty(h, "n"), 0);
  EXPECT_NE(proptest::readFile(conf).find("n = 5\n"), std::string::npos);

  h->cleanup(h);
  EXPECT_EQ(h->size(h), 0);
  EXPECT_EQ(h->isLoaded(h), 0);
}

TEST(CProperties, FailedLoadStillGivesAHandleAndReloadKeepsValues) {
  TempDir dir;
  Handle missing;
  EXPECT_EQ(newPropsFromFile(&missing.h, dir.file("none").c_str(), 0, 0), CPROPS_ENOENT);
  ASSERT_NE(missing.h, nullptr);
  EXPECT_EQ(missing.h->getInt(missing.h, "k", 3), 3);

  std::string conf = dir.write("conf", "k = 1\n");
  Handle p;
  ASSERT_EQ(newPropsFromFile(&p.h, conf.c_str(), 0, 0), 0);
  dir.write("conf", "k = 2\n", 0666);
  EXPECT_EQ(p.h->reload(p.h), CPROPS_ESECURITY);
  EXPECT_EQ(p.h->getInt(p.h, "k", 0), 1);
  dir.write("conf", "k = 3\n");
  EXPECT_EQ(p.h->reload(p.h), 0);
  EXPECT_EQ(p.h->getInt(p.h, "k", 0), 3);
}

TEST(CProperties, StreamBufferKeepLiteralsAndExpansion) {
  const char text[] = "k = \"$HOME\"  x\nv = val\n";
  FILE* f = fmemopen(const_cast<char*>(text), sizeof text - 1, "r");
  ASSERT_NE(f, nullptr);
  Handle literal;
  ASSERT_EQ(newPropsFromStream(&literal.h, f, 1, CPROPS_FLAG_NO_DIRECTORY_VARIABLES), 0);
  std::fclose(f);
  EXPECT_EQ(take(literal.h->getWithDefault(literal.h, "k", "")), "\"$HOME\" x");

  Handle p;
  ASSERT_EQ(newProps(&p.h, 0, CPROPS_FLAG_NO_DIRECTORY_VARIABLES), 0);
  ASSERT_EQ(cpropsLoadFromBuffer(p.h, text, sizeof text - 1), 0);
  ::setenv("PROPS_C_VAR", "/e", 1);
  char* out = nullptr;
  ASSERT_EQ(p.h->expandEnvVariables(p.h, "$PROPS_C_VAR/$v/$none.", &out), 0);
  EXPECT_EQ(take(out), "/e/val/.");
  ::unsetenv("PROPS_C_VAR");
  EXPECT_EQ(cpropsLoadFromBuffer(p.h, "a\0", 2), CPROPS_EIO);
  EXPECT_EQ(p.h->getInt(p.h, "absent", 4), 4);
}

TEST(CProperties, UnexpandUsesTheDirectoryVariables) {
  TempDir dir;
  dir.write("kset.domain", "example.com\n");
  dir.write("kset.host", "h1\n");
  Handle p;
  ASSERT_EQ(newProps(&p.h, 0, 0), 0);
  ASSERT_EQ(cpropsSetSettingsPrefix(p.h, dir.file("kset.").c_str()), 0);
  ASSERT_EQ(cpropsLoadFromBuffer(p.h, "k = $JOINNAME\n", 14), 0);
  EXPECT_EQ(take(p.h->getWithDefault(p.h, "k", "")), "h1");
  char* out = nullptr;
  ASSERT_EQ(p.h->unExpandEnvVariables(p.h, "h1.example.com", &out), 0);
  EXPECT_EQ(take(out), "$JOINNAME.$DOMAIN");
}

TEST(CProperties, SecureOpenReasons) {
  TempDir dir;
  std::string good = dir.write("good", "x\n");
  int fd = -1, reason = -1;
  ASSERT_EQ(cpropsSecureOpen(good.c_str(), &fd, &reason), 0);
  EXPECT_EQ(reason, CPROPS_REFUSAL_NONE);
  ::close(fd);
  std::string ww = dir.write("ww", "x\n", 0602);
  EXPECT_EQ(cpropsSecureOpen(ww.c_str(), &fd, &reason), CPROPS_ESECURITY);
  EXPECT_EQ(reason, CPROPS_REFUSAL_WORLD_WRITABLE);
  EXPECT_EQ(fd, -1);
  ASSERT_EQ(::symlink(good.c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(cpropsSecureOpen(dir.file("link").c_str(), &fd, &reason), CPROPS_ESECURITY);
  EXPECT_EQ(reason, CPROPS_REFUSAL_SYMLINK);
  EXPECT_EQ(cpropsSecureOpen(dir.file("none").c_str(), &fd, &reason), CPROPS_ENOENT);
  EXPECT_EQ(reason, CPROPS_REFUSAL_NOT_FOUND);
}

TEST(CProperties, TraceFileIsPrivateAndHonoursTheVerbosity) {
  TempDir dir;
  std::string conf = dir.write("conf", "k = v\n");
  std::string trace = dir.file("trace.") + std::to_string(::getpid());
  cpropsSetTracePrefix(dir.file("trace.").c_str());
  ::setenv("OFW_PROPERTIES2_DEBUG", "2", 1);
  {
    Handle p;
    ASSERT_EQ(newPropsFromFile(&p.h, conf.c_str(), 0, CPROPS_FLAG_NO_DIRECTORY_VARIABLES), 0);
  }
  ::unsetenv("OFW_PROPERTIES2_DEBUG");
  {
    Handle quiet;
    ASSERT_EQ(newPropsFromFile(&quiet.h, conf.c_str(), 0, CPROPS_FLAG_NO_DIRECTORY_VARIABLES), 0);
  }
  struct stat st;
  ASSERT_EQ(::lstat(trace.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::string content = proptest::readFile(trace);
  EXPECT_NE(content.find("Loading " + conf), std::string::npos);
  EXPECT_NE(content.find("Property k = v"), std::string::npos);
  EXPECT_EQ(content.find("Line 1:"), std::string::npos);  // verbosity 3 only
  size_t loads = 0;
  for (size_t at = 0; (at = content.find("Loading ", at)) != std::string::npos; ++at) ++loads;
  EXPECT_EQ(loads, 1u);

  // A symbolic link in place of the trace file is not followed.
  ASSERT_EQ(::unlink(trace.c_str()), 0);
  std::string target = dir.write("target", "");
  ASSERT_EQ(::symlink(target.c_str(), trace.c_str()), 0);
  ::setenv("OFW_PROPERTIES2_DEBUG", "3", 1);
  {
    Handle p;
    ASSERT_EQ(newPropsFromFile(&p.h, conf.c_str(), 0, CPROPS_FLAG_NO_DIRECTORY_VARIABLES), 0);
  }
  ::unsetenv("OFW_PROPERTIES2_DEBUG");
  cpropsSetTracePrefix(nullptr);
  EXPECT_EQ(proptest::readFile(target), "");
}

}  // namespace
