#include "daemon/codepage.h"

#include <regex.h>

#include <cctype>

namespace vgd {

namespace {
struct CodePage {
  char pattern[128];
  char name[32];
};
const CodePage supportedCPList[] = {
    {"iso[-_]?8859[-_]1", "iso-8859-1"},
    {"utf[-_]?8", "utf8"},
};
}  // namespace

int getCPIndex(const std::string& name) {
  int i = 0;
  for (const CodePage& cp : supportedCPList) {
    regex_t re;
    if (regcomp(&re, cp.pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0) {
      bool match = regexec(&re, name.c_str(), 0, nullptr, 0) == 0;
      regfree(&re);
      if (match) return i;
    }
    ++i;
  }
  return -1;
}

const char* canonicalCodePage(int index) {
  if (index < 0 || index >= static_cast<int>(sizeof supportedCPList / sizeof supportedCPList[0]))
    return "utf8";
  return supportedCPList[index].name;
}

std::string resolveCodePage(const std::string& setting, bool* supported) {
  std::string lower;
  for (char c : setting) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  int i = getCPIndex(lower);
  if (supported) *supported = i >= 0;
  return i >= 0 ? canonicalCodePage(i) : "utf8";
}

}  // namespace vgd
