#include "meridia/keywords.h"

#include <strings.h>

#include <cstdio>

namespace meridia {

bool parseKeyword(const std::string& text, Keyword& out) {
  Keyword k;
  std::string* part = &k.name;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\') {
      if (++i == text.size()) return false;
      part->push_back(text[i]);
    } else if (c == ':' && part == &k.name) {
      part = &k.value;
    } else {
      part->push_back(c);
    }
  }
  if (part == &k.name || k.name.empty()) return false;
  out = std::move(k);
  return true;
}

bool splitCrammed(const std::string& text, std::vector<std::string>& entries) {
  std::vector<std::string> result;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\') {
      if (i + 1 == text.size()) return false;
      current.push_back(c);
      current.push_back(text[++i]);
    } else if (c == ';') {
      if (!current.empty()) result.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) result.push_back(current);
  entries.swap(result);
  return true;
}

namespace {

std::string escapeKeywordPart(const std::string& text, bool isName) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || (isName && c == ':')) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string keywordFilterValue(const std::string& name, const std::string& value) {
  const std::string entry = escapeKeywordPart(name, true) + ":" + escapeKeywordPart(value, false);
  std::string out;
  for (char c : entry) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "\\%02x", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool findKeyword(const std::vector<Keyword>& keywords, const std::string& name, std::string& value) {
  for (const Keyword& k : keywords) {
    if (strcasecmp(k.name.c_str(), name.c_str()) == 0) {
      value = k.value;
      return true;
    }
  }
  return false;
}

bool parseIPv4(const std::string& text, uint32_t& address) {
  uint32_t result = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3)
      value = value * 10 + static_cast<unsigned>(text[pos++] - '0');
    size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    result = (result << 8) | value;
  }
  if (pos != text.size()) return false;
  address = result;
  return true;
}

std::string formatIPv4(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (address >> 24) & 0xff, (address >> 16) & 0xff,
                (address >> 8) & 0xff, address & 0xff);
  return text;
}

}  // namespace meridia
