// The known configuration keys: the product's table, the framework's table
// and the table of this project's own keys (limits and options the product's
// documentation does not have; the README lists them), each row a key, its
// type and its documented default ("" when none is documented). They drive the syntax check of the configuration file
// (Properties::propertiesCheck); every reader still passes its own default.
#pragma once
#include <cstddef>
#include <string>

namespace ofw {

enum class PropertyType { INT = 0, STRING = 1, BOOL = 2, LIST = 3 };

struct PropertyDescriptor {
  const char* key;
  PropertyType type;
  const char* defaultValue;
};

constexpr size_t kProductPropertyCount = 160;
constexpr size_t kFrameworkPropertyCount = 17;

extern const PropertyDescriptor kProductProperties[kProductPropertyCount];
extern const PropertyDescriptor kFrameworkProperties[kFrameworkPropertyCount];
extern const PropertyDescriptor kProjectProperties[];
extern const size_t kProjectPropertyCount;

// The row of a key (any case) in any of the tables, or nullptr.
const PropertyDescriptor* findPropertyDescriptor(const std::string& key);

// Why `value` does not suit the row's type; empty when it does. INT rows take
// a decimal integer within 32 bits, BOOL rows one of true/false/yes/no/1/0
// (any case); a LIST row whose value refers to a file checks that the file
// passes the configuration security check.
std::string checkPropertyValue(const PropertyDescriptor& row, const std::string& value);

}  // namespace ofw
