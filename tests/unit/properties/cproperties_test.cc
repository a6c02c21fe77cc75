// The C properties layer: a handle that is not valid, and its trace file. (The
// entry points hand over to the property store, whose tests cover what they
// do.)
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
