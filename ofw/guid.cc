#include "ofw/guid.h"

#include <uuid/uuid.h>

#include <cctype>
#include <cstring>

#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ofw {

const int MSGuidByteOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::array<unsigned char, 16> parseDigits(const std::string& text) {
  std::array<unsigned char, 16> out{};
  if (text == "NULL") return out;
  size_t nibble = 0;
  for (char c : text) {
    if (c == '{' || c == '-' || c == '}') continue;
    int v = hexValue(c);
    if (v < 0 || nibble >= 32) break;
    if (nibble % 2 == 0)
      out[nibble / 2] = static_cast<unsigned char>(v << 4);
    else
      out[nibble / 2] |= static_cast<unsigned char>(v);
    ++nibble;
  }
  return out;
}

std::string hexOf(const unsigned char* b, bool dashes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (dashes && (i == 4 || i == 6 || i == 8 || i == 10)) s += '-';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 0x0f];
  }
  return s;
}

}  // namespace

Guid::Guid(const unsigned char* raw16) { std::memcpy(bytes_.data(), raw16, 16); }

Guid Guid::generate() {
  uuid_t u;
  uuid_generate_random(u);
  return Guid(u);
}

Guid Guid::fromString(const std::string& text) {
  Guid g;
  g.bytes_ = parseDigits(text);
  return g;
}

Guid Guid::fromMSValue(const unsigned char* ms16) {
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes_[MSGuidByteOrder[i]] = ms16[i];
  return g;
}

Guid Guid::fromSwappedString(const std::string& text) {
  std::array<unsigned char, 16> ms = parseDigits(text);
  return fromMSValue(ms.data());
}

bool Guid::isValidGuidStringFormat(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
    } else if (hexValue(text[i]) < 0) {
      return false;
    }
  }
  return true;
}

std::array<unsigned char, 16> Guid::getMSValue() const {
  std::array<unsigned char, 16> ms;
  for (int i = 0; i < 16; ++i) ms[i] = bytes_[MSGuidByteOrder[i]];
  return ms;
}

std::string Guid::toString() const { return hexOf(bytes_.data(), false); }
std::string Guid::toMSString() const { return hexOf(bytes_.data(), true); }
std::string Guid::toSwappedString() const { return hexOf(getMSValue().data(), false); }
std::string Guid::toSwappedMSString() const { return hexOf(getMSValue().data(), true); }

std::string Guid::toEscapedString() const {
  std::string s;
  for (unsigned char b : bytes_) s += format("\\%02x", b);
  return s;
}

std::string Guid::toDN() const { return "<GUID=" + toString() + ">"; }

bool Guid::isNull() const {
  for (unsigned char b : bytes_)
    if (b) return false;
  return true;
}

AdGuid AdGuid::parse(const std::string& text) {
  std::string::size_type at = text.find('@');
  std::string guidText = at == std::string::npos ? text : text.substr(0, at);
  std::string domain = at == std::string::npos ? std::string() : text.substr(at + 1);
  std::string digits;
  for (char c : guidText)
    if (c != '{' && c != '}' && c != '-') digits += c;
  bool ok = digits.size() == 32;
  for (char c : digits) ok = ok && hexValue(c) >= 0;
  if (!ok || (at != std::string::npos && domain.empty()))
    throw BadDataException(format("Expecting guid@domain, not %s", text.c_str()), 0, __FILE__,
                           __LINE__);
  return AdGuid(Guid::fromString(guidText), domain);
}

std::string AdGuid::toString() const {
  std::string s = guid_.toMSString();
  if (!domain_.empty()) s += " in domain " + domain_;
  return s;
}

}  // namespace ofw
