// The text rules of the configuration file: one logical line at a time.
//
//   line      := comment | key separator value
//   comment   := a logical line whose first character is '#' or '!'
//   key       := characters up to the first unescaped space, CR, LF, VT, FF,
//                TAB, ':' or '='; escapes processed, enclosing quotes removed
//   separator := optional white space, then ":=", ':' or '=' (or nothing)
//   value     := the rest of the line
//
// A physical line ending with an odd number of backslashes continues on the
// next one (the backslash becomes a space). A logical line holds at most
// kMaxLineLength bytes (the 1,024-byte line buffer less its terminating zero;
// the line end is not counted).
//
// A value goes through three steps: white-space normalisation (outside quotes:
// leading white space removed, inner runs collapsed to one space, the trailing
// one dropped), `$` expansion (not inside single quotes, not when escaped) and
// unescaping (outside quotes "\x" becomes "x"; everywhere \t \n \r \f \v become
// TAB LF CR FF VT; a value wholly enclosed in matching quotes loses them).
// The text after expansion and before unescaping is the "raw" value: value
// lists are split from it, so escaped and quoted separators survive.
//
// Inside quotes a backslash still pairs with the next character for the
// purpose of finding the closing quote, but the pair is kept as written.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ofw {
namespace propsyntax {

constexpr size_t kLineBuffer = 1024;
constexpr size_t kMaxLineLength = kLineBuffer - 1;

// space, TAB, LF, CR, VT, FF
bool isSpace(char c);
// Characters that end a key.
bool isKeyTerminator(char c);
// Separators of an inline value list: TAB, VT, LF, CR, FF, ',' and space.
bool isListSeparator(char c);

// Number of trailing backslashes is odd: the line continues.
bool endsWithContinuation(const std::string& line);

// Splits a logical (non-comment) line. Returns false when the key is empty
// (the line is ignored). `key` is unescaped and unquoted; `rest` is the value
// text after the separator, not yet normalised.
bool splitLine(const std::string& line, std::string& key, std::string& rest);

// Key text as written -> key: every escape processed, then enclosing quotes removed.
std::string unescapeKey(const std::string& text);

std::string normalizeWhitespace(const std::string& value);

// Replaces $NAME (NAME = [A-Za-z_][A-Za-z0-9_]*) outside single quotes and not
// escaped by the text `lookup` gives; a name without a value is removed. A `$`
// not followed by a name stays. The substituted text is not scanned again.
std::string expandVariables(const std::string& raw,
                            const std::function<bool(const std::string&, std::string&)>& lookup);

// True when the text starts with an unescaped quote whose matching unescaped
// quote is the last character.
bool isWhollyQuoted(const std::string& raw);

// Raw value -> stored value. With keepQuotes the enclosing quotes stay.
std::string unescapeValue(const std::string& raw, bool keepQuotes = false);

// Splits a raw value at unescaped, unquoted list separators; each piece is
// unescaped and unquoted; empty pieces and pieces that end up empty are dropped.
std::vector<std::string> splitValueList(const std::string& raw);

// A raw value that starts with "file:" refers to a file; returns its path
// (unescaped, trimmed).
bool isFileReference(const std::string& raw);
std::string fileReferencePath(const std::string& raw);

// One line of a referenced list file: trimmed; empty, '#' and '!' lines give
// nothing; items are separated by white space, ',' or NUL.
std::vector<std::string> splitListFileLine(const std::string& line);

// Text that parses back to exactly the given key / stored value / list.
// formatValueList leaves out empty items and never starts with "file:".
std::string formatKey(const std::string& key);
std::string formatValue(const std::string& value);
std::string formatValueList(const std::vector<std::string>& items);
// A raw value made safe to write as one line: line-breaking characters become
// escapes and a dangling backslash is doubled, so it cannot end the line early
// or join the next one.
std::string sanitizeRaw(const std::string& raw);

// Physical lines from a file, a stream or a buffer. `fill` gives up to n
// bytes, 0 at the end, -1 on a read error.
class LineReader {
 public:
  explicit LineReader(std::function<long(char*, size_t)> fill) : fill_(std::move(fill)) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // One physical line without its line end ("\n" or "\r\n"). Returns 1 for a
  // line, 0 at the end, -5 on a read error. A line longer than kMaxLineLength
  // is consumed whole but only its start is kept, with `overLong` set; memory
  // stays bounded whatever the input.
  int next(std::string& line, bool& overLong);

 private:
  std::function<long(char*, size_t)> fill_;
  char buf_[4096];
  size_t pos_ = 0;
  size_t len_ = 0;
  bool eof_ = false;
};

// Typed conversions shared by the C layer and ofw::Properties.
int toInt(const std::string& value);            // strtol base 10, truncated to 32 bits
unsigned int toUInt(const std::string& value);  // strtoul base 10, truncated to 32 bits
// "true"/"yes"/"1" and "false"/"no"/"0", any case; false when none of them.
bool toBool(const std::string& value, bool& result);
// Optional sign, at least one digit, nothing else, within 32 bits.
bool isDecimalInt32(const std::string& value);

// Seconds per unit letter: s m h d w M y; 0 for an unknown letter.
long unitFactor(char unit);

// Time value -> seconds. `messages` receives the warnings to log (bad unit,
// negative value, value too large); the result is then `def` × the caller's unit.
// -1 (with or without unit) is returned as -1; so is a default of -1.
long toSeconds(const std::string& value, const std::string& key, char unit, long def,
               std::vector<std::string>* messages);

}  // namespace propsyntax
}  // namespace ofw
