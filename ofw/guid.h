// 16-byte identifiers and their text forms.
//
// A Guid holds its bytes in the order of its text form: byte 0 is printed
// first. The "swapped" forms reorder the bytes by MSGuidByteOrder, which is the
// byte layout the directory and the collector's packet headers use.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace ofw {

extern const int MSGuidByteOrder[16];

class Guid {
 public:
  static constexpr size_t SIZE = 16;

  Guid() { bytes_.fill(0); }
  explicit Guid(const unsigned char* raw16);

  // A new random GUID (libuuid).
  static Guid generate();

  // Parses "NULL" (all zero) or hexadecimal digits, skipping '{', '-' and '}'.
  // Missing trailing bytes are zero; parsing stops at the first other character.
  static Guid fromString(const std::string& text);
  // The same text read as a swapped form (the inverse of toSwappedString /
  // toSwappedMSString).
  static Guid fromSwappedString(const std::string& text);
  // Raw bytes in the swapped (directory) layout.
  static Guid fromMSValue(const unsigned char* ms16);

  // 36 characters, '-' at 8, 13, 18 and 23, hexadecimal digits elsewhere.
  static bool isValidGuidStringFormat(const std::string& text);

  std::string toString() const;           // 32 lower-case digits
  std::string toMSString() const;         // 8-4-4-4-12
  std::string toSwappedString() const;    // 32 digits, bytes in MSGuidByteOrder
  std::string toSwappedMSString() const;  // 8-4-4-4-12, bytes in MSGuidByteOrder
  std::string toEscapedString() const;    // "\xx" per byte
  std::string toDN() const;               // "<GUID=" + 32 digits + ">"
  // The bytes in the swapped layout.
  std::array<unsigned char, 16> getMSValue() const;

  bool isNull() const;
  const unsigned char* data() const { return bytes_.data(); }
  unsigned char* data() { return bytes_.data(); }

  bool operator==(const Guid& o) const { return bytes_ == o.bytes_; }
  bool operator!=(const Guid& o) const { return bytes_ != o.bytes_; }
  bool operator<(const Guid& o) const { return bytes_ < o.bytes_; }

 private:
  std::array<unsigned char, 16> bytes_;
};

// A GUID with the domain it belongs to: "guid@domain" or "guid".
class AdGuid {
 public:
  AdGuid() = default;
  AdGuid(const Guid& g, std::string domain) : guid_(g), domain_(std::move(domain)) {}
  // Throws BadDataException "Expecting guid@domain, not %s".
  static AdGuid parse(const std::string& text);
  const Guid& guid() const { return guid_; }
  const std::string& domain() const { return domain_; }
  // The 36-character form, then " in domain " and the domain when there is one.
  std::string toString() const;

 private:
  Guid guid_;
  std::string domain_;
};

}  // namespace ofw
