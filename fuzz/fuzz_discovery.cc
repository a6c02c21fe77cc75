// The parsers of collector discovery: crammed audit-store values, the group
// policy file, keyword entries and IPv4 text. The first byte picks the
// parser; the rest is its input. IPv4 text must survive a parse/print round
// trip, and a filter value must never carry an unescaped filter character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "meridia/installation_info.h"
#include "meridia/instance.h"
#include "meridia/keywords.h"
#include "ofw/exceptions.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void fuzzInstance(const std::string& text) {
  try {
    meridia::Instance in = meridia::Instance::Parse(text);
    for (const meridia::Instance::Subnet& s : in.subnets()) {
      check(s.bits >= 1 && s.bits <= 32);
      check(in.Contains(s.network) > 0);
    }
    in.Contains("site", "forest");
    in.ToString();
  } catch (const ofw::BadDataException&) {
  }
}

void fuzzPolicy(const std::string& text) {
  try {
    meridia::InstallationInfo::ParsePolicy(text, "fuzz");
  } catch (const ofw::BadDataException&) {
  }
}

void fuzzKeywords(const std::string& text) {
  std::vector<std::string> entries;
  if (meridia::splitCrammed(text, entries)) {
    for (const std::string& e : entries) {
      check(!e.empty());
      meridia::Keyword k;
      if (!meridia::parseKeyword(e, k)) continue;
      check(!k.name.empty());
      const std::string filter = meridia::keywordFilterValue(k.name, k.value);
      check(filter.find_first_of(std::string("*()\0", 4)) == std::string::npos);
    }
  }
  uint32_t address = 0;
  if (meridia::parseIPv4(text, address)) check(meridia::formatIPv4(address) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: fuzzInstance(text); break;
    case 1: fuzzPolicy(text); break;
    default: fuzzKeywords(text); break;
  }
  return 0;
}
