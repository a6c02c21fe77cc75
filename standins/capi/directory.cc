#include "standins/capi/directory.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace capi_standin {

namespace {

char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char kHexDigits[] = "0123456789abcdef";

void appendHexEscape(std::string& out, unsigned char c) {
  out += '\\';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0f];
}

std::string describe(const char* fmt, size_t index, const std::string& detail) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, index);
  return std::string(buf) + detail;
}

bool parseInteger(const std::string& text, long long& value) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || end != text.c_str() + text.size()) return false;
  value = v;
  return true;
}

}  // namespace

std::string lower(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = lowerChar(c);
  return out;
}

bool iequals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowerChar(a[i]) != lowerChar(b[i])) return false;
  return true;
}

// ---- Distinguished names ----------------------------------------------------

bool parseDN(const std::string& text, DN& dn) {
  DN result;
  size_t pos = 0;
  const size_t n = text.size();
  auto skipSpaces = [&] {
    while (pos < n && text[pos] == ' ') ++pos;
  };
  skipSpaces();
  if (pos == n) {
    dn.clear();
    return true;
  }
  for (;;) {
    skipSpaces();
    Rdn rdn;
    while (pos < n && text[pos] != '=' && text[pos] != ' ') {
      char c = text[pos];
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.';
      if (!ok) return false;
      rdn.type += c;
      ++pos;
    }
    if (rdn.type.empty()) return false;
    skipSpaces();
    if (pos == n || text[pos] != '=') return false;
    ++pos;
    skipSpaces();
    if (pos < n && text[pos] == '"') {
      ++pos;
      bool closed = false;
      while (pos < n) {
        char c = text[pos++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (pos == n) return false;
          c = text[pos++];
        }
        rdn.value += c;
      }
      if (!closed) return false;
      skipSpaces();
    } else {
      size_t keep = 0;  // length of the value up to its last significant character
      while (pos < n && text[pos] != ',' && text[pos] != ';') {
        char c = text[pos++];
        if (c == '\\') {
          if (pos == n) return false;
          int hi = hexValue(text[pos]);
          if (hi >= 0) {
            if (pos + 1 >= n) return false;
            int lo = hexValue(text[pos + 1]);
            if (lo < 0) return false;
            rdn.value += static_cast<char>(hi * 16 + lo);
            pos += 2;
          } else {
            rdn.value += text[pos++];
          }
          keep = rdn.value.size();
          continue;
        }
        rdn.value += c;
        if (c != ' ') keep = rdn.value.size();
      }
      rdn.value.resize(keep);
    }
    result.push_back(std::move(rdn));
    if (pos == n) break;
    if (text[pos] != ',' && text[pos] != ';') return false;
    ++pos;
    skipSpaces();
    if (pos == n) return false;  // a separator must be followed by an RDN
  }
  dn.swap(result);
  return true;
}

std::string canonicalDN(const DN& dn) {
  std::string out;
  for (size_t i = 0; i < dn.size(); ++i) {
    if (i) out += ',';
    out += lower(dn[i].type);
    out += '=';
    const std::string value = lower(dn[i].value);
    for (size_t j = 0; j < value.size(); ++j) {
      unsigned char c = static_cast<unsigned char>(value[j]);
      if (c < 0x20 || c == 0x7f) {
        appendHexEscape(out, c);
        continue;
      }
      bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                     c == ';' || c == '=' || (j == 0 && (c == '#' || c == ' ')) ||
                     (j + 1 == value.size() && c == ' ');
      if (special) out += '\\';
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool domainOfDN(const DN& dn, std::string& domain) {
  std::string out;
  bool any = false;
  for (const Rdn& rdn : dn) {
    if (!iequals(rdn.type, "dc")) continue;
    if (rdn.value.empty()) return false;
    if (any) out += '.';
    out += rdn.value;
    any = true;
  }
  if (!any) return false;
  domain.swap(out);
  return true;
}

// ---- GUIDs --------------------------------------------------------------------

bool normalizeGuid(const std::string& text, std::string& digits) {
  std::string out;
  for (char c : text) {
    if (c == '{' || c == '}' || c == '-') continue;
    if (hexValue(c) < 0) return false;
    out += lowerChar(c);
  }
  if (out.size() != 32) return false;
  digits.swap(out);
  return true;
}

std::string swapGuidDigits(const std::string& digits) {
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  if (digits.size() != 32) return out;
  for (int byte : kOrder) out.append(digits, static_cast<size_t>(byte) * 2, 2);
  return out;
}

// ---- Directory objects --------------------------------------------------------

const Values* Entry::find(const std::string& name) const {
  for (const Attribute& a : attributes)
    if (iequals(a.name, name)) return &a.values;
  return nullptr;
}

std::string Entry::category() const {
  const Values* v = find("objectCategory");
  return (v && !v->empty()) ? v->front() : std::string();
}

Entry Entry::restrictedTo(const char* const* names) const {
  Entry copy;
  copy.dn = dn;
  copy.canonicalRdns = canonicalRdns;
  copy.canonicalDn = canonicalDn;
  copy.domain = domain;
  copy.guid = guid;
  for (const Attribute& a : attributes) {
    bool keep = names == nullptr || (!a.name.empty() && a.name[0] == '_');
    for (const char* const* p = names; !keep && p && *p; ++p)
      if (iequals(a.name, *p)) keep = true;
    if (keep) copy.attributes.push_back(a);
  }
  return copy;
}

int parseAuditLevel(const std::string& text) {
  static const char* const kNames[4] = {"audit_if_possible", "no_audit", "audit_required",
                                        "use_sysrights"};
  for (int i = 0; i < 4; ++i)
    if (iequals(text, kNames[i])) return i;
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') return text[0] - '0';
  return -1;
}

namespace {

bool jsonToText(const rapidjson::Value& v, std::string& out) {
  if (v.IsString()) {
    out.assign(v.GetString(), v.GetStringLength());
    return out.find('\0') == std::string::npos;
  }
  if (v.IsBool()) {
    out = v.GetBool() ? "TRUE" : "FALSE";
    return true;
  }
  if (v.IsInt64()) {
    out = std::to_string(v.GetInt64());
    return true;
  }
  if (v.IsUint64()) {
    out = std::to_string(v.GetUint64());
    return true;
  }
  return false;
}

bool buildEntry(const rapidjson::Value& object, size_t index, Entry& entry, std::string& error) {
  if (!object.IsObject()) {
    error = describe("object %zu is not a JSON object", index, "");
    return false;
  }
  bool haveDn = false;
  for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
    Attribute attribute;
    attribute.name.assign(m->name.GetString(), m->name.GetStringLength());
    if (attribute.name.empty() || attribute.name.find('\0') != std::string::npos) {
      error = describe("object %zu has an empty or invalid attribute name", index, "");
      return false;
    }
    if (entry.find(attribute.name)) {
      error = describe("object %zu repeats attribute ", index, attribute.name);
      return false;
    }
    const rapidjson::Value& v = m->value;
    std::string text;
    if (v.IsArray()) {
      for (auto e = v.Begin(); e != v.End(); ++e) {
        if (!jsonToText(*e, text)) {
          error = describe("object %zu: bad value in attribute ", index, attribute.name);
          return false;
        }
        attribute.values.push_back(text);
      }
    } else if (jsonToText(v, text)) {
      attribute.values.push_back(text);
    } else {
      error = describe("object %zu: bad value of attribute ", index, attribute.name);
      return false;
    }
    if (iequals(attribute.name, "_dn")) {
      if (attribute.values.size() != 1) {
        error = describe("object %zu: _dn must have exactly one value", index, "");
        return false;
      }
      entry.dn = attribute.values[0];
      haveDn = true;
    } else if (iequals(attribute.name, "_guid")) {
      if (attribute.values.size() != 1 || !normalizeGuid(attribute.values[0], entry.guid)) {
        error = describe("object %zu: _guid is not a GUID", index, "");
        return false;
      }
    }
    entry.attributes.push_back(std::move(attribute));
  }
  if (!haveDn) {
    error = describe("object %zu has no _dn", index, "");
    return false;
  }
  DN dn;
  if (!parseDN(entry.dn, dn) || dn.empty()) {
    error = describe("object %zu: bad _dn ", index, entry.dn);
    return false;
  }
  for (Rdn& rdn : dn) {
    rdn.type = lower(rdn.type);
    rdn.value = lower(rdn.value);
  }
  entry.canonicalDn = canonicalDN(dn);
  if (!domainOfDN(dn, entry.domain)) entry.domain.clear();
  entry.canonicalRdns.swap(dn);
  if (!entry.find("_objectCategory")) {
    if (const Values* category = entry.find("objectCategory"))
      entry.attributes.push_back(Attribute{"_objectCategory", *category});
  }
  return true;
}

}  // namespace

std::shared_ptr<const Directory> Directory::parse(const char* data, size_t size,
                                                  std::string& error) {
  rapidjson::Document doc;
  // Iterative parsing keeps deeply nested input from exhausting the stack.
  doc.Parse<rapidjson::kParseIterativeFlag>(data, size);
  if (doc.HasParseError()) {
    error = describe("JSON error at offset %zu: ", doc.GetErrorOffset(),
                     rapidjson::GetParseError_En(doc.GetParseError()));
    return nullptr;
  }
  if (!doc.IsObject()) {
    error = "the data file is not a JSON object";
    return nullptr;
  }
  auto dir = std::make_shared<Directory>();
  auto objects = doc.FindMember("objects");
  if (objects == doc.MemberEnd() || !objects->value.IsArray()) {
    error = "the data file has no \"objects\" array";
    return nullptr;
  }
  size_t index = 0;
  for (auto o = objects->value.Begin(); o != objects->value.End(); ++o, ++index) {
    Entry entry;
    if (!buildEntry(*o, index, entry, error)) return nullptr;
    if (dir->byDn_.count(entry.canonicalDn)) {
      error = describe("object %zu repeats the DN ", index, entry.dn);
      return nullptr;
    }
    dir->byDn_.emplace(entry.canonicalDn, dir->entries_.size());
    dir->entries_.push_back(std::move(entry));
  }
  auto gc = doc.FindMember("globalCatalog");
  if (gc != doc.MemberEnd()) {
    if (!gc->value.IsBool()) {
      error = "\"globalCatalog\" is not true or false";
      return nullptr;
    }
    dir->globalCatalog_ = gc->value.GetBool();
  }
  auto levels = doc.FindMember("auditLevels");
  if (levels != doc.MemberEnd()) {
    if (!levels->value.IsObject()) {
      error = "\"auditLevels\" is not a JSON object";
      return nullptr;
    }
    for (auto m = levels->value.MemberBegin(); m != levels->value.MemberEnd(); ++m) {
      std::string user(m->name.GetString(), m->name.GetStringLength());
      std::string text;
      int level = -1;
      if (m->value.IsInt()) {
        level = m->value.GetInt();
        if (level < 0 || level > 3) level = -1;
      } else if (m->value.IsString() && jsonToText(m->value, text)) {
        level = parseAuditLevel(text);
      }
      if (level < 0) {
        error = "bad audit level for user " + user;
        return nullptr;
      }
      dir->auditLevels_.emplace_back(user, level);
    }
  }
  return dir;
}

const Entry* Directory::findByCanonicalDn(const std::string& canonicalDn) const {
  auto it = byDn_.find(canonicalDn);
  return it == byDn_.end() ? nullptr : &entries_[it->second];
}

const Entry* Directory::fetch(const std::string& text, bool& badDn) const {
  badDn = false;
  auto bracketed = [&](const char* prefix, std::string& inner) {
    size_t p = std::char_traits<char>::length(prefix);
    if (text.size() < p + 1 || !iequals(text.substr(0, p), prefix) || text.back() != '>')
      return false;
    inner = text.substr(p, text.size() - p - 1);
    return true;
  };
  std::string inner;
  if (bracketed("<GUID=", inner)) {
    std::string digits;
    if (!normalizeGuid(inner, digits)) {
      badDn = true;
      return nullptr;
    }
    const std::string swapped = swapGuidDigits(digits);
    for (const Entry& e : entries_)
      if (!e.guid.empty() && (e.guid == digits || e.guid == swapped)) return &e;
    return nullptr;
  }
  if (bracketed("<SID=", inner)) {
    for (const Entry& e : entries_) {
      const Values* sid = e.find("_SID");
      if (sid && !sid->empty() && iequals(sid->front(), inner)) return &e;
    }
    return nullptr;
  }
  DN dn;
  if (!parseDN(text, dn)) {
    badDn = true;
    return nullptr;
  }
  if (dn.empty()) return nullptr;
  return findByCanonicalDn(canonicalDN(dn));
}

bool Directory::auditLevelFor(const std::string& user, int& level) const {
  for (const auto& p : auditLevels_)
    if (p.first == user) {
      level = p.second;
      return true;
    }
  for (const auto& p : auditLevels_)
    if (iequals(p.first, user)) {
      level = p.second;
      return true;
    }
  return false;
}

// ---- Search filters -----------------------------------------------------------

namespace {

class FilterParser {
 public:
  FilterParser(const std::string& text, std::string& error) : s_(text), error_(error) {}

  bool parseWhole(Filter& f) {
    if (s_.empty()) return fail("empty filter");
    if (s_[0] != '(') return parseItem(0, s_.size(), f);
    if (!parseParenthesized(f, 1)) return false;
    if (pos_ != s_.size()) return fail("characters after the filter");
    return true;
  }

 private:
  bool fail(const char* why) {
    error_ = describe("bad filter at offset %zu: ", pos_, why);
    return false;
  }

  bool parseParenthesized(Filter& f, int depth) {
    if (depth > kMaxFilterDepth) return fail("nested too deeply");
    if (pos_ >= s_.size() || s_[pos_] != '(') return fail("expected '('");
    ++pos_;
    if (pos_ >= s_.size()) return fail("unexpected end");
    char c = s_[pos_];
    if (c == '&' || c == '|') {
      f.kind = c == '&' ? Filter::AND : Filter::OR;
      ++pos_;
      while (pos_ < s_.size() && s_[pos_] == '(') {
        Filter child;
        if (!parseParenthesized(child, depth + 1)) return false;
        f.children.push_back(std::move(child));
      }
    } else if (c == '!') {
      f.kind = Filter::NOT;
      ++pos_;
      Filter child;
      if (!parseParenthesized(child, depth + 1)) return false;
      f.children.push_back(std::move(child));
    } else {
      size_t end = s_.find(')', pos_);
      if (end == std::string::npos) return fail("missing ')'");
      if (!parseItem(pos_, end, f)) return false;
      pos_ = end;
    }
    if (pos_ >= s_.size() || s_[pos_] != ')') return fail("expected ')'");
    ++pos_;
    return true;
  }

  bool unescape(size_t begin, size_t end, std::string& out) {
    out.clear();
    for (size_t i = begin; i < end; ++i) {
      char c = s_[i];
      if (c == '(' || c == ')') {
        pos_ = i;
        return fail("unescaped parenthesis in a value");
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      int hi = i + 1 < end ? hexValue(s_[i + 1]) : -1;
      int lo = i + 2 < end ? hexValue(s_[i + 2]) : -1;
      if (hi < 0 || lo < 0) {
        pos_ = i;
        return fail("bad escape in a value");
      }
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    return true;
  }

  bool parseItem(size_t begin, size_t end, Filter& f) {
    size_t p = begin;
    while (p < end) {
      char c = s_[p];
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || c == '.' || c == ';';
      if (!ok) break;
      ++p;
    }
    pos_ = p;
    if (p == begin) return fail("missing attribute name");
    f.attribute = s_.substr(begin, p - begin);
    if (p >= end) return fail("missing operator");
    size_t valueBegin;
    if (s_[p] == '=') {
      f.kind = Filter::EQUAL;
      valueBegin = p + 1;
    } else if (p + 1 < end && s_[p + 1] == '=' && (s_[p] == '>' || s_[p] == '<' || s_[p] == '~')) {
      f.kind = s_[p] == '>' ? Filter::GREATER_OR_EQUAL
                            : (s_[p] == '<' ? Filter::LESS_OR_EQUAL : Filter::APPROX);
      valueBegin = p + 2;
    } else {
      return fail("bad operator");
    }
    if (f.kind != Filter::EQUAL) {
      for (size_t i = valueBegin; i < end; ++i)
        if (s_[i] == '*') {
          pos_ = i;
          return fail("wildcard in an ordering or approximate match");
        }
      return unescape(valueBegin, end, f.value);
    }
    if (end - valueBegin == 1 && s_[valueBegin] == '*') {
      f.kind = Filter::PRESENT;
      return true;
    }
    std::vector<std::string> parts;
    size_t segment = valueBegin;
    for (size_t i = valueBegin; i <= end; ++i) {
      if (i == end || s_[i] == '*') {
        std::string part;
        if (!unescape(segment, i, part)) return false;
        parts.push_back(std::move(part));
        segment = i + 1;
      }
    }
    if (parts.size() == 1) {
      f.value.swap(parts[0]);
    } else {
      f.kind = Filter::SUBSTRING;
      f.parts.swap(parts);
    }
    return true;
  }

  const std::string& s_;
  std::string& error_;
  size_t pos_ = 0;
};

void appendFilterValue(std::string& out, const std::string& value) {
  for (char ch : value) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0)
      appendHexEscape(out, c);
    else
      out += ch;
  }
}

void appendFilter(std::string& out, const Filter& f) {
  out += '(';
  switch (f.kind) {
    case Filter::AND:
    case Filter::OR:
    case Filter::NOT:
      out += f.kind == Filter::AND ? '&' : (f.kind == Filter::OR ? '|' : '!');
      for (const Filter& child : f.children) appendFilter(out, child);
      break;
    case Filter::PRESENT:
      out += f.attribute + "=*";
      break;
    case Filter::SUBSTRING:
      out += f.attribute + "=";
      for (size_t i = 0; i < f.parts.size(); ++i) {
        if (i) out += '*';
        appendFilterValue(out, f.parts[i]);
      }
      break;
    case Filter::EQUAL:
    case Filter::GREATER_OR_EQUAL:
    case Filter::LESS_OR_EQUAL:
    case Filter::APPROX:
      out += f.attribute;
      out += f.kind == Filter::EQUAL ? "="
             : f.kind == Filter::GREATER_OR_EQUAL ? ">="
             : f.kind == Filter::LESS_OR_EQUAL ? "<=" : "~=";
      appendFilterValue(out, f.value);
      break;
  }
  out += ')';
}

const Values* valuesFor(const Entry& entry, const std::string& attribute) {
  const Values* v = entry.find(attribute);
  if (v == nullptr && iequals(attribute, "objectClass")) v = entry.find("objectCategory");
  if (v == nullptr && iequals(attribute, "distinguishedName")) v = entry.find("_dn");
  return v;
}

bool substringMatch(const std::string& value, const std::vector<std::string>& parts) {
  const std::string v = lower(value);
  const std::string initial = lower(parts.front());
  const std::string final = lower(parts.back());
  if (v.size() < initial.size() + final.size()) return false;
  if (v.compare(0, initial.size(), initial) != 0) return false;
  if (v.compare(v.size() - final.size(), final.size(), final) != 0) return false;
  size_t pos = initial.size();
  const size_t limit = v.size() - final.size();
  for (size_t i = 1; i + 1 < parts.size(); ++i) {
    const std::string any = lower(parts[i]);
    size_t at = v.find(any, pos);
    if (at == std::string::npos || at + any.size() > limit) return false;
    pos = at + any.size();
  }
  return true;
}

// <0, 0, >0; numerically when both are integers.
int compareValues(const std::string& a, const std::string& b) {
  long long x, y;
  if (parseInteger(a, x) && parseInteger(b, y)) return x < y ? -1 : (x > y ? 1 : 0);
  return lower(a).compare(lower(b));
}

}  // namespace

bool parseFilter(const std::string& text, Filter& filter, std::string& error) {
  Filter result;
  FilterParser parser(text, error);
  if (!parser.parseWhole(result)) return false;
  filter = std::move(result);
  return true;
}

std::string toString(const Filter& filter) {
  std::string out;
  appendFilter(out, filter);
  return out;
}

bool matches(const Filter& f, const Entry& entry) {
  switch (f.kind) {
    case Filter::AND:
      for (const Filter& child : f.children)
        if (!matches(child, entry)) return false;
      return true;
    case Filter::OR:
      for (const Filter& child : f.children)
        if (matches(child, entry)) return true;
      return false;
    case Filter::NOT:
      return f.children.size() == 1 && !matches(f.children[0], entry);
    default:
      break;
  }
  const Values* values = valuesFor(entry, f.attribute);
  if (values == nullptr) return false;
  for (const std::string& v : *values) {
    switch (f.kind) {
      case Filter::PRESENT:
        return true;
      case Filter::EQUAL:
      case Filter::APPROX:
        if (iequals(v, f.value)) return true;
        break;
      case Filter::SUBSTRING:
        if (substringMatch(v, f.parts)) return true;
        break;
      case Filter::GREATER_OR_EQUAL:
        if (compareValues(v, f.value) >= 0) return true;
        break;
      case Filter::LESS_OR_EQUAL:
        if (compareValues(v, f.value) <= 0) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace capi_standin
