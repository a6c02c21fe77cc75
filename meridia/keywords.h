// Keyword entries as the directory objects of collector discovery hold them.
//
// A keyword entry is a name, a ':' and a value ("Version:Orvane.Meridia.Server.1").
// A '\' makes the next character literal, so a name may hold ':' as "\:" and
// any text may hold '\' as "\\"; the entry splits at its first unescaped ':'
// (later colons belong to the value). An installation packs the keyword
// entries of one audit store into one "crammed" value, the entries separated
// by unescaped ';' ("InstanceName:Store A;SiteName:HQ;Subnet:10.0.0.0/8").
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace meridia {

struct Keyword {
  std::string name;
  std::string value;
};

// Splits at the first unescaped ':' and removes the escapes. False when there
// is no such ':', the name is empty, or the text ends in a lone '\'.
bool parseKeyword(const std::string& text, Keyword& out);

// The entries of a crammed value, split at unescaped ';' with their escapes
// kept; empty entries (";;", a trailing ';') are dropped. False when the text
// ends in a lone '\'.
bool splitCrammed(const std::string& text, std::vector<std::string>& entries);

// The entry "name:value" as a directory search must spell it: the name's
// '\' and ':' and the value's '\' escaped, then the whole made safe for an
// LDAP filter value (RFC 4515: '*', '(', ')', '\' and NUL as "\xx").
std::string keywordFilterValue(const std::string& name, const std::string& value);

// The value of the first keyword called `name` (compared ignoring case); false
// when there is none.
bool findKeyword(const std::vector<Keyword>& keywords, const std::string& name, std::string& value);

// Dotted-quad IPv4 text: four decimal parts 0-255 without leading zeros (a
// lone "0" is fine). The address in host order.
bool parseIPv4(const std::string& text, uint32_t& address);
std::string formatIPv4(uint32_t address);

}  // namespace meridia
