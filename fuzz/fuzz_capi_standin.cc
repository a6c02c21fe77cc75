// The directory client stand-in's parsers: the JSON data file, search filters
// and distinguished names. The first byte picks the parser; the rest is its
// input. Filters and DNs must survive a print/parse round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "standins/capi/directory.h"

using namespace capi_standin;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void fuzzData(const std::string& text) {
  std::string error;
  auto dir = Directory::parse(text.data(), text.size(), error);
  check(dir != nullptr || !error.empty());
  if (!dir) return;
  for (const Entry& e : dir->entries()) {
    DN dn;
    check(parseDN(e.canonicalDn, dn));
    check(canonicalDN(dn) == e.canonicalDn);
    bool badDn = false;
    check(dir->fetch(e.dn, badDn) == dir->findByCanonicalDn(e.canonicalDn));
    check(!badDn);
  }
}

void fuzzFilter(const std::string& text) {
  Filter filter;
  std::string error;
  if (!parseFilter(text, filter, error)) {
    check(!error.empty());
    return;
  }
  const std::string printed = toString(filter);
  Filter again;
  check(parseFilter(printed, again, error));
  check(toString(again) == printed);

  Entry entry;
  entry.dn = "CN=x,DC=example,DC=com";
  entry.attributes.push_back(Attribute{"Keywords", {"Version:1", "Site:a*b", "", "(x)"}});
  entry.attributes.push_back(Attribute{"objectCategory", {"Person"}});
  entry.attributes.push_back(Attribute{"_Uid", {"10001"}});
  check(matches(filter, entry) == matches(again, entry));
}

void fuzzDn(const std::string& text) {
  DN dn;
  if (!parseDN(text, dn)) return;
  const std::string canonical = canonicalDN(dn);
  DN again;
  check(parseDN(canonical, again));
  check(canonicalDN(again) == canonical);
  std::string d1, d2;
  bool has = domainOfDN(dn, d1);
  check(has == domainOfDN(again, d2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      fuzzData(text);
      break;
    case 1:
      fuzzFilter(text);
      break;
    default:
      fuzzDn(text);
      break;
  }
  return 0;
}
