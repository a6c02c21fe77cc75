// The stand-in directory: the data file's model, distinguished names and
// search filters. Everything here reports bad input by its result (false, a
// null pointer, an error text) and never by crashing; exceptions are limited
// to std::bad_alloc.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace capi_standin {

// ASCII-only case folding: names and values compare case-insensitively, other
// bytes compare exactly.
std::string lower(const std::string& text);
bool iequals(const std::string& a, const std::string& b);

// ---- Distinguished names ----------------------------------------------------

struct Rdn {
  std::string type;   // as written
  std::string value;  // unescaped
};
typedef std::vector<Rdn> DN;

// Parses "type=value,type=value,..." with backslash escapes ("\," and "\2C"
// forms) and quoted values. The empty text is the empty DN. False on bad syntax.
bool parseDN(const std::string& text, DN& dn);
// Lower-cased types and values, re-escaped: equal for DNs that name the same
// object.
std::string canonicalDN(const DN& dn);
// DC values joined with "."; false when the DN has no DC component.
bool domainOfDN(const DN& dn, std::string& domain);

// ---- GUIDs --------------------------------------------------------------------

// 32 lower-case hexadecimal digits from any text form ("{...}", with or
// without '-'); false when the text is not a GUID.
bool normalizeGuid(const std::string& text, std::string& digits);
// The same GUID in the directory's byte order (bytes 3 2 1 0 5 4 7 6 8..15).
std::string swapGuidDigits(const std::string& digits);

// ---- Directory objects --------------------------------------------------------

typedef std::vector<std::string> Values;

struct Attribute {
  std::string name;
  Values values;
};

struct Entry {
  std::string dn;           // as written in the data file
  DN canonicalRdns;         // lower-cased, for scope tests
  std::string canonicalDn;  // canonicalDN(canonicalRdns)
  std::string domain;       // lower-case domain, "" when the DN has no DC
  std::string guid;         // normalizeGuid form, "" when none
  std::vector<Attribute> attributes;

  // Case-insensitive; null when absent.
  const Values* find(const std::string& name) const;
  // First value of "objectCategory", "" when none.
  std::string category() const;
  // A copy holding only the named attributes (case-insensitive) and the
  // pseudo-attributes ("_" names). names == nullptr keeps everything.
  Entry restrictedTo(const char* const* names) const;
};

// Audit levels: 0 audit_if_possible, 1 no_audit, 2 audit_required,
// 3 use_sysrights. Accepts the names (any case) and the digits 0-3; -1 otherwise.
int parseAuditLevel(const std::string& text);

class Directory {
 public:
  // Parses the data file's text (JSON, see README.md). Null with a reason in
  // error when the text is not a well-formed data file.
  static std::shared_ptr<const Directory> parse(const char* data, size_t size,
                                                std::string& error);

  const std::vector<Entry>& entries() const { return entries_; }
  bool globalCatalogAvailable() const { return globalCatalog_; }
  // Null when no object has that DN.
  const Entry* findByCanonicalDn(const std::string& canonicalDn) const;
  // "<GUID=...>" (either byte order), "<SID=...>" or a DN; null when none.
  // Sets badDn when the text is neither.
  const Entry* fetch(const std::string& text, bool& badDn) const;
  // Level from the top-level "auditLevels" map; false when not listed.
  bool auditLevelFor(const std::string& user, int& level) const;

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> byDn_;
  std::vector<std::pair<std::string, int>> auditLevels_;
  bool globalCatalog_ = true;
};

// ---- Search filters -----------------------------------------------------------

struct Filter {
  enum Kind { AND, OR, NOT, EQUAL, PRESENT, SUBSTRING, GREATER_OR_EQUAL, LESS_OR_EQUAL, APPROX };
  Kind kind = EQUAL;
  std::vector<Filter> children;  // AND, OR, NOT
  std::string attribute;
  std::string value;               // EQUAL, GREATER_OR_EQUAL, LESS_OR_EQUAL, APPROX
  std::vector<std::string> parts;  // SUBSTRING: initial, any..., final ("" = none)
};

// Parses an LDAP string filter: "(&(a=b)(c=d))", "(|...)", "(!...)", equality,
// presence "(a=*)", substrings "(a=x*y)", ">=", "<=", "~=", values with "\XX"
// escapes; a bare "a=b" is accepted too. Nesting is limited to kMaxFilterDepth.
// False with a reason in error on bad syntax.
constexpr int kMaxFilterDepth = 64;
bool parseFilter(const std::string& text, Filter& filter, std::string& error);
// The canonical text of a filter; parseFilter(toString(f)) gives f again.
std::string toString(const Filter& filter);
// Attribute names and values compare case-insensitively; a multi-valued
// attribute matches when any value does. "objectClass" falls back to
// "objectCategory", "distinguishedName" to "_dn".
bool matches(const Filter& filter, const Entry& entry);

}  // namespace capi_standin
