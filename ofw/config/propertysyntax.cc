#include "ofw/config/propertysyntax.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>

namespace ofw {
namespace propsyntax {

namespace {

bool isQuote(char c) { return c == '"' || c == '\''; }

// The control character an escape letter stands for, or 0.
char controlEscape(char c) {
  switch (c) {
    case 't':
      return '\t';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 'f':
      return '\f';
    case 'v':
      return '\v';
    default:
      return 0;
  }
}

bool isNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Escape for characters that would otherwise end or split a value.
bool appendControlEscape(std::string& out, char c) {
  switch (c) {
    case '\t':
      out += "\\t";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\f':
      out += "\\f";
      return true;
    case '\v':
      out += "\\v";
      return true;
    default:
      return false;
  }
}

}  // namespace

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isKeyTerminator(char c) { return isSpace(c) || c == ':' || c == '='; }

bool isListSeparator(char c) { return isSpace(c) || c == ','; }

bool endsWithContinuation(const std::string& line) {
  size_t n = 0;
  for (size_t i = line.size(); i > 0 && line[i - 1] == '\\'; --i) ++n;
  return (n % 2) == 1;
}

bool splitLine(const std::string& line, std::string& key, std::string& rest) {
  size_t n = line.size();
  size_t i = 0;
  while (i < n && isSpace(line[i])) ++i;
  size_t start = i;
  while (i < n) {
    if (line[i] == '\\') {
      i += (i + 1 < n) ? 2 : 1;
      continue;
    }
    if (isKeyTerminator(line[i])) break;
    ++i;
  }
  key = unescapeKey(line.substr(start, i - start));
  if (key.empty()) return false;
  // Separator: white space, then ":=", ':' or '=' when present.
  while (i < n && isSpace(line[i])) ++i;
  if (i + 1 < n && line[i] == ':' && line[i + 1] == '=') {
    i += 2;
  } else if (i < n && (line[i] == ':' || line[i] == '=')) {
    ++i;
  }
  rest = line.substr(i);
  return true;
}

std::string unescapeKey(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      char d = text[++i];
      char ctl = controlEscape(d);
      out += ctl ? ctl : d;
    } else {
      out += c;
    }
  }
  if (out.size() >= 2 && isQuote(out[0]) && out.back() == out[0])
    out = out.substr(1, out.size() - 2);
  return out;
}

std::string normalizeWhitespace(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  char quote = 0;
  bool pendingSpace = false;
  size_t n = value.size();
  for (size_t i = 0; i < n; ++i) {
    char c = value[i];
    if (quote) {
      out += c;
      if (c == '\\' && i + 1 < n) {
        out += value[++i];
      } else if (c == quote) {
        quote = 0;
      }
      continue;
    }
    if (isSpace(c)) {
      if (!out.empty()) pendingSpace = true;
      continue;
    }
    if (pendingSpace) {
      out += ' ';
      pendingSpace = false;
    }
    out += c;
    if (c == '\\' && i + 1 < n) {
      out += value[++i];
    } else if (isQuote(c)) {
      quote = c;
    }
  }
  // A pending run at the end is the trailing white space: dropped.
  return out;
}

std::string expandVariables(const std::string& raw,
                            const std::function<bool(const std::string&, std::string&)>& lookup) {
  std::string out;
  out.reserve(raw.size());
  char quote = 0;
  size_t n = raw.size();
  for (size_t i = 0; i < n; ++i) {
    char c = raw[i];
    if (c == '\\' && i + 1 < n) {
      out += c;
      out += raw[++i];
      continue;
    }
    if (quote) {
      if (c == quote) quote = 0;
      if (c != '$' || quote == '\'') {
        out += c;
        continue;
      }
    } else if (isQuote(c)) {
      quote = c;
      out += c;
      continue;
    } else if (c != '$') {
      out += c;
      continue;
    }
    // c == '$' outside single quotes.
    if (i + 1 >= n || !isNameStart(raw[i + 1])) {
      out += c;
      continue;
    }
    size_t j = i + 1;
    while (j < n && isNameChar(raw[j])) ++j;
    std::string name = raw.substr(i + 1, j - i - 1);
    std::string value;
    if (lookup && lookup(name, value)) out += value;
    i = j - 1;
  }
  return out;
}

bool isWhollyQuoted(const std::string& raw) {
  size_t n = raw.size();
  if (n < 2 || !isQuote(raw[0])) return false;
  char q = raw[0];
  for (size_t i = 1; i < n; ++i) {
    if (raw[i] == '\\') {
      ++i;
      continue;
    }
    if (raw[i] == q) return i == n - 1;
  }
  return false;
}

std::string unescapeValue(const std::string& raw, bool keepQuotes) {
  size_t begin = 0, end = raw.size();
  char quote = 0;
  if (!keepQuotes && isWhollyQuoted(raw)) {
    quote = raw[0];
    begin = 1;
    end = raw.size() - 1;
  }
  std::string out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    char c = raw[i];
    if (c == '\\' && i + 1 < end) {
      char d = raw[++i];
      char ctl = controlEscape(d);
      if (ctl) {
        out += ctl;
      } else if (quote) {
        out += c;
        out += d;
      } else {
        out += d;
      }
      continue;
    }
    out += c;
    if (quote) {
      if (c == quote) quote = 0;
    } else if (isQuote(c)) {
      quote = c;
    }
  }
  return out;
}

std::vector<std::string> splitValueList(const std::string& raw) {
  std::vector<std::string> items;
  std::string piece;
  auto flush = [&]() {
    if (!piece.empty()) {
      std::string item = unescapeValue(piece);
      if (!item.empty()) items.push_back(std::move(item));
      piece.clear();
    }
  };
  char quote = 0;
  size_t n = raw.size();
  for (size_t i = 0; i < n; ++i) {
    char c = raw[i];
    if (c == '\\' && i + 1 < n) {
      piece += c;
      piece += raw[++i];
      continue;
    }
    if (quote) {
      piece += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (isQuote(c)) {
      quote = c;
      piece += c;
    } else if (isListSeparator(c)) {
      flush();
    } else {
      piece += c;
    }
  }
  flush();
  return items;
}

bool isFileReference(const std::string& raw) { return raw.compare(0, 5, "file:") == 0; }

std::string fileReferencePath(const std::string& raw) {
  return trim(unescapeValue(raw).substr(5));
}

std::vector<std::string> splitListFileLine(const std::string& line) {
  std::vector<std::string> items;
  std::string t = trim(line);
  if (t.empty() || t[0] == '#' || t[0] == '!') return items;
  std::string cur;
  for (char c : t) {
    if (isSpace(c) || c == ',' || c == '\0') {
      if (!cur.empty()) items.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) items.push_back(cur);
  return items;
}

std::string formatKey(const std::string& key) {
  std::string out;
  for (size_t i = 0; i < key.size(); ++i) {
    char c = key[i];
    if (appendControlEscape(out, c)) continue;
    if (c == '\\' || c == ' ' || c == ':' || c == '=' || ((c == '#' || c == '!') && i == 0))
      out += '\\';
    out += c;
  }
  return out;
}

std::string formatValue(const std::string& value) {
  std::string out;
  size_t n = value.size();
  for (size_t i = 0; i < n; ++i) {
    char c = value[i];
    if (appendControlEscape(out, c)) continue;
    if (c == ' ') {
      bool single = i > 0 && i + 1 < n && value[i - 1] != ' ' && value[i + 1] != ' ';
      if (!single) out += '\\';
    } else if (c == '\\' || isQuote(c) || c == '$') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string formatValueList(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (item.empty()) continue;
    if (!out.empty()) out += ", ";
    for (char c : item) {
      if (appendControlEscape(out, c)) continue;
      if (c == '\\' || isQuote(c) || c == '$' || c == ',' || c == ' ') out += '\\';
      out += c;
    }
  }
  if (isFileReference(out)) out.insert(4, 1, '\\');
  return out;
}

std::string sanitizeRaw(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    // A line end would cut the value short and start a line of its own.
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '\r') {
      out += "\\r";
      continue;
    }
    out += c;
  }
  if (endsWithContinuation(out)) out += '\\';
  return out;
}

int LineReader::next(std::string& line, bool& overLong) {
  line.clear();
  overLong = false;
  bool any = false;
  const size_t keep = kMaxLineLength + 2;  // room for a '\r' and one byte too many
  for (;;) {
    if (pos_ == len_) {
      if (eof_) {
        if (!any) return 0;
        break;
      }
      long r = fill_(buf_, sizeof buf_);
      if (r < 0) return -5;
      if (r == 0) {
        eof_ = true;
        continue;
      }
      pos_ = 0;
      len_ = static_cast<size_t>(r);
    }
    any = true;
    const char* start = buf_ + pos_;
    const char* nl = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
    size_t take = nl ? static_cast<size_t>(nl - start) : len_ - pos_;
    size_t room = line.size() < keep ? keep - line.size() : 0;
    line.append(start, std::min(take, room));
    if (take > room) overLong = true;
    pos_ += take + (nl ? 1 : 0);
    if (nl) break;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > kMaxLineLength) {
    overLong = true;
    line.resize(kMaxLineLength);
  }
  return 1;
}

int toInt(const std::string& value) {
  long v = std::strtol(value.c_str(), nullptr, 10);
  return static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long>(v)));
}

unsigned int toUInt(const std::string& value) {
  unsigned long v = std::strtoul(value.c_str(), nullptr, 10);
  return static_cast<unsigned int>(static_cast<uint32_t>(v));
}

bool toBool(const std::string& value, bool& result) {
  const char* v = value.c_str();
  if (!strcasecmp(v, "true") || !strcasecmp(v, "yes") || !strcmp(v, "1")) {
    result = true;
    return true;
  }
  if (!strcasecmp(v, "false") || !strcasecmp(v, "no") || !strcmp(v, "0")) {
    result = false;
    return true;
  }
  return false;
}

bool isDecimalInt32(const std::string& value) {
  size_t i = 0;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
  if (i == value.size()) return false;
  for (size_t j = i; j < value.size(); ++j)
    if (value[j] < '0' || value[j] > '9') return false;
  errno = 0;
  long long v = std::strtoll(value.c_str(), nullptr, 10);
  return errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

long unitFactor(char unit) {
  switch (unit) {
    case 's':
      return 1;
    case 'm':
      return 60;
    case 'h':
      return 3600;
    case 'd':
      return 86400;
    case 'w':
      return 604800;
    case 'M':
      return 2628000;
    case 'y':
      return 31536000;
    default:
      return 0;
  }
}

long toSeconds(const std::string& value, const std::string& key, char unit, long def,
               std::vector<std::string>* messages) {
  long callerFactor = unitFactor(unit);
  if (callerFactor == 0) callerFactor = 1;
  long fallback;
  if (def == -1) {
    fallback = -1;
  } else if (__builtin_mul_overflow(def, callerFactor, &fallback)) {
    fallback = def < 0 ? LONG_MIN : LONG_MAX;
  }
  auto warn = [&](const std::string& m) {
    if (messages) messages->push_back(m);
    return fallback;
  };
  if (value.empty()) return fallback;

  const char* text = value.c_str();
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(text, &end, 10);
  bool range = errno == ERANGE;
  if (end == text) return warn("Bad unit specification in property file: " + value);
  while (*end && isSpace(*end)) ++end;
  long factor = callerFactor;
  if (*end) {
    const char* u = end++;
    while (*end && isSpace(*end)) ++end;
    factor = *end ? 0 : unitFactor(*u);
    if (factor == 0) return warn("Bad unit specification in property file: " + std::string(u));
  }
  if (number == -1) return -1;
  if (number < 0)
    return warn("Negative time specification in property file for " + key +
                " is ignored.  Using default.");
  long seconds;
  if (range || __builtin_mul_overflow(number, factor, &seconds))
    return warn("Time specification in property file for " + key +
                " is too large.  Using default.");
  return seconds;
}

}  // namespace propsyntax
}  // namespace ofw
