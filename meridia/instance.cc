#include "meridia/instance.h"

#include <strings.h>

#include <set>

#include "meridia/keywords.h"
#include "ofw/exceptions.h"
#include "ofw/guid.h"

namespace meridia {

namespace {

bool iequals(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string join(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& v : values) {
    if (!out.empty()) out += ", ";
    out += v;
  }
  return out;
}

[[noreturn]] void bad(const std::string& reason) { OFW_THROW(ofw::BadDataException, reason); }

std::string checkedGuid(const Keyword& k) {
  if (!ofw::Guid::isValidGuidStringFormat(k.value)) bad(k.name + " '" + k.value + "' is not a GUID");
  return k.value;
}

Instance::Subnet parseSubnet(const std::string& text) {
  size_t slash = text.find('/');
  uint32_t address = 0;
  if (slash == std::string::npos || !parseIPv4(text.substr(0, slash), address))
    bad("Subnet '" + text + "' is not address/bits");
  const std::string bitsText = text.substr(slash + 1);
  if (bitsText.empty() || bitsText.size() > 2 || bitsText.find_first_not_of("0123456789") != std::string::npos ||
      (bitsText.size() > 1 && bitsText[0] == '0'))
    bad("Subnet '" + text + "' is not address/bits");
  int bits = std::stoi(bitsText);
  if (bits < 1 || bits > 32) bad("Subnet '" + text + "' has a prefix outside 1-32");
  Instance::Subnet s;
  s.bits = bits;
  s.network = address & (bits == 32 ? 0xffffffffu : ~(0xffffffffu >> bits));
  s.text = text;
  return s;
}

}  // namespace

Instance Instance::Parse(const std::string& value, const ofw::LoggerPtr& logger) {
  std::vector<std::string> entries;
  if (!splitCrammed(value, entries)) bad("the value ends in a lone '\\'");
  Instance in;
  std::set<std::string> seen;
  struct Single {
    const char* name;
    std::string* field;
  };
  std::string affinityText;
  const Single singles[] = {{"InstanceName", &in.name_},
                            {"BindingInfo", &in.bindingInfo_},
                            {"NonActiveBindingInfo", &in.nonActiveBindingInfo_},
                            {"BindingType", &in.bindingType_},
                            {"AgentSiteAffinity", &affinityText},
                            {"SystemTypeAffinity", &in.systemTypeAffinity_}};
  for (const std::string& entry : entries) {
    Keyword k;
    if (!parseKeyword(entry, k)) bad("malformed keyword entry '" + entry + "'");
    bool handled = false;
    for (const Single& s : singles) {
      if (!iequals(k.name, s.name)) continue;
      if (!seen.insert(s.name).second) bad(std::string("repeated keyword ") + s.name);
      *s.field = k.value;
      handled = true;
    }
    if (handled) continue;
    if (iequals(k.name, "InstanceGuid")) {
      if (!seen.insert("InstanceGuid").second) bad("repeated keyword InstanceGuid");
      in.guid_ = checkedGuid(k);
    } else if (iequals(k.name, "SiteName")) {
      in.sites_.push_back(k.value);
    } else if (iequals(k.name, "Subnet")) {
      in.subnets_.push_back(parseSubnet(k.value));
    } else if (iequals(k.name, "TrustedAgents")) {
      in.trustedAgents_.push_back(checkedGuid(k));
    } else if (iequals(k.name, "TrustedServers")) {
      in.trustedServers_.push_back(checkedGuid(k));
    } else {
      OFW_DEBUG(logger, "Ignoring unsupported crammed attribute '%s'", k.name.c_str());
    }
  }
  in.agentSiteAffinity_ = iequals(affinityText, "True");
  return in;
}

void Instance::CreateInstances(const std::vector<std::string>& values, std::vector<Instance>& out,
                               const ofw::LoggerPtr& logger) {
  for (const std::string& value : values) {
    try {
      Instance in = Parse(value, logger);
      if (!in.isServiceInstance()) {
        OFW_DEBUG(logger,
                  "Skipping service binding information %s because the binding type isn't a service instance",
                  value.c_str());
        continue;
      }
      if (in.name_.empty()) bad("no InstanceName");
      if (in.guid_.empty()) bad("no InstanceGuid");
      OFW_DEBUG(logger, "Adding %s", in.ToString().c_str());
      out.push_back(std::move(in));
    } catch (const ofw::BadDataException& e) {
      OFW_WARN(logger, "Skipping service binding information '%s': %s", value.c_str(), e.what());
    }
  }
}

int Instance::Contains(uint32_t address) const {
  for (const Subnet& s : subnets_) {
    uint32_t mask = s.bits == 32 ? 0xffffffffu : ~(0xffffffffu >> s.bits);
    if ((address & mask) == s.network) return s.bits;
  }
  return 0;
}

bool Instance::Contains(const std::string& site, const std::string& forest) const {
  const std::string wanted = forest.empty() ? site : site + "@" + forest;
  for (const std::string& s : sites_)
    if (iequals(s, wanted)) return true;
  return false;
}

bool Instance::ContainsUnixAffinity() const {
  return systemTypeAffinity_.empty() || systemTypeAffinity_ == "0" || systemTypeAffinity_ == "2";
}

std::string Instance::ToString() const {
  std::vector<std::string> subnets;
  for (const Subnet& s : subnets_) subnets.push_back(s.text);
  return "Instance name=" + name_ + " guid=" + guid_ + " bindingInfo=" + bindingInfo_ +
         " bindingType=" + bindingType_ + " sites=" + join(sites_) + " subnets=" + join(subnets) +
         " trustedAgents=" + join(trustedAgents_) + " trustedServers=" + join(trustedServers_) +
         " agentSiteAffinity=" + (agentSiteAffinity_ ? "true" : "false") +
         " systemTypeAffinity=" + systemTypeAffinity_;
}

}  // namespace meridia
