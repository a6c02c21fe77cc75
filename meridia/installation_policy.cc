// The group-policy file: see "Group policy file" in the README.
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "meridia/installation_info.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/unique_fd.h"
#include "ofw/config/strcase.h"

namespace meridia {

namespace {

const size_t kMaxPolicySize = 64 * 1024;

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

[[noreturn]] void badPolicy(const std::string& where, const std::string& why) {
  OFW_THROW(ofw::BadDataException, "Badly formatted policy: " + where + ": " + why);
}

}  // namespace

ofw::Guid InstallationInfo::GetCurrentInstallationGuid(const std::string& policyFile) {
  ofw::UniqueFd fd(::open(policyFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    int err = errno;
    if (err == ENOENT) return ofw::Guid();
    OFW_THROW_CODE(ofw::IOException, ofw::withErrno("Unable to read policy " + policyFile, err), err);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    OFW_THROW_CODE(ofw::IOException, "Policy " + policyFile + " is not a regular file", EINVAL);
  // One byte more than allowed, so that an oversized file is seen as such.
  std::string text(kMaxPolicySize + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd.get(), &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      OFW_THROW_CODE(ofw::IOException, ofw::withErrno("Unable to read policy " + policyFile, err), err);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  return ParsePolicy(text, policyFile);
}

ofw::Guid InstallationInfo::ParsePolicy(const std::string& text, const std::string& policyFile) {
  if (text.size() > kMaxPolicySize) badPolicy(policyFile, "larger than 64 KiB");
  ofw::Guid result;
  std::set<std::string, ofw::StringCaseLessThan> names;
  size_t lineNo = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    const std::string where = policyFile + " line " + std::to_string(lineNo);
    for (char c : line)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) badPolicy(where, "control character");
    const std::string content = trim(line);
    if (content.empty() || content[0] == '#') continue;
    size_t eq = content.find('=');
    if (eq == std::string::npos) badPolicy(where, "expected Name=Value");
    const std::string name = trim(content.substr(0, eq));
    std::string value = trim(content.substr(eq + 1));
    if (name.empty() || name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                               "0123456789._-") != std::string::npos)
      badPolicy(where, "bad value name '" + name + "'");
    if (!names.insert(name).second) badPolicy(where, "repeated value " + name);
    if (strcasecmp(name.c_str(), "InstallationGuid") != 0 || value.empty()) continue;
    if (value.size() == 38 && value.front() == '{' && value.back() == '}') value = value.substr(1, 36);
    if (!ofw::Guid::isValidGuidStringFormat(value)) badPolicy(where, "InstallationGuid is not a GUID");
    result = ofw::Guid::fromString(value);
  }
  return result;
}

}  // namespace meridia
