// The group-policy file: see "Group policy file" in the README.
#include <errno.h>
#include <strings.h>

#include <fstream>
#include <set>

#include "meridia/installation_info.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
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
  std::ifstream in(policyFile, std::ios::binary);
  if (!in) {
    int err = errno;
    if (err == ENOENT) return ofw::Guid();
    OFW_THROW_CODE(ofw::IOException, ofw::withErrno("Unable to read policy " + policyFile, err), err);
  }
  std::string text(kMaxPolicySize + 1, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (in.bad()) OFW_THROW(ofw::IOException, "Unable to read policy " + policyFile);
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
