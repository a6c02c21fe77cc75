#include "audittrail/at_params.h"

#include <cstring>

#include "ofw/codec.h"
#include "ofw/format.h"
#include "ofw/guid.h"

namespace audittrail {

namespace {

const char* const kTypeNames[] = {"END",   "UINT16",    "UINT32", "UINT64", "INT16",     "INT32",
                                  "INT64", "FLOAT",     "UTF8STRING", "WSTRING", "BYTE", "WCHAR",
                                  "EPOCHTIME", "GUID", "UTF8STRINGARRAY", "WSTRINGARRAY"};

const char kCannotDisplay[] = "<cannot display>";

// Signed and unsigned integers of 2, 4 or 8 bytes; false for another size.
bool unsignedOf(const std::string& v, size_t size, uint64_t* out) {
  if (v.size() != size) return false;
  const char* p = v.data();
  *out = size == 2 ? ofw::codec::getU16(p) : size == 4 ? ofw::codec::getU32(p) : ofw::codec::getU64(p);
  return true;
}

bool signedOf(const std::string& v, size_t size, int64_t* out) {
  uint64_t u = 0;
  if (!unsignedOf(v, size, &u)) return false;
  *out = size == 2   ? static_cast<int16_t>(u)
         : size == 4 ? static_cast<int32_t>(u)
                     : static_cast<int64_t>(u);
  return true;
}

std::string untilNul(const std::string& v, size_t from = 0) {
  size_t end = v.find('\0', from);
  return v.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// The unescaped text of a value, "" when it cannot be rendered; *logged is
// set when the value's own DEBUG line was written.
std::string valueText(uint32_t type, const std::string& v, const char* name, const ofw::LoggerPtr& logger,
                      bool* ok) {
  *ok = true;
  uint64_t u = 0;
  int64_t s = 0;
  switch (type) {
    case AT_PARAM_UINT16:
    case AT_PARAM_UINT32:
      if (!unsignedOf(v, type == AT_PARAM_UINT16 ? 2 : 4, &u)) break;
      OFW_DEBUG(logger, "%s: %u", name, static_cast<unsigned>(u));
      return std::to_string(u);
    case AT_PARAM_UINT64:
      if (!unsignedOf(v, 8, &u)) break;
      OFW_DEBUG(logger, "%s: %llu", name, static_cast<unsigned long long>(u));
      return std::to_string(u);
    case AT_PARAM_INT16:
    case AT_PARAM_INT32:
      if (!signedOf(v, type == AT_PARAM_INT16 ? 2 : 4, &s)) break;
      OFW_DEBUG(logger, "%s: %d", name, static_cast<int>(s));
      return std::to_string(s);
    case AT_PARAM_INT64:
      if (!signedOf(v, 8, &s)) break;
      OFW_DEBUG(logger, "%s: %lld", name, static_cast<long long>(s));
      return std::to_string(s);
    case AT_PARAM_FLOAT: {
      double d = 0;
      if (v.size() == sizeof(float)) {
        float f;
        std::memcpy(&f, v.data(), sizeof f);
        d = f;
      } else if (v.size() == sizeof(double)) {
        std::memcpy(&d, v.data(), sizeof d);
      } else {
        break;
      }
      OFW_DEBUG(logger, "%s: %f", name, d);
      return ofw::format("%f", d);
    }
    case AT_PARAM_BYTE:
      if (v.size() != 1) break;
      OFW_DEBUG(logger, "%s: 0x%02x", name, static_cast<unsigned>(ofw::codec::getU8(v.data())));
      return ofw::format("0x%02x", static_cast<unsigned>(ofw::codec::getU8(v.data())));
    case AT_PARAM_WCHAR:
      if (!unsignedOf(v, 2, &u) && !unsignedOf(v, 4, &u)) break;
      OFW_DEBUG(logger, "%s: 0x%04x", name, static_cast<unsigned>(u));
      return ofw::format("0x%04x", static_cast<unsigned>(u));
    case AT_PARAM_EPOCHTIME: {
      if (!signedOf(v, 4, &s) && !signedOf(v, 8, &s)) break;
      std::string text = std::to_string(s);
      OFW_DEBUG(logger, "%s: %s sec", name, text.c_str());
      return text;
    }
    case AT_PARAM_GUID: {
      if (v.size() != ofw::Guid::SIZE) break;
      std::string text = ofw::Guid(reinterpret_cast<const unsigned char*>(v.data())).toMSString();
      OFW_DEBUG(logger, "%s: %s", name, text.c_str());
      return text;
    }
    case AT_PARAM_UTF8STRING: {
      std::string text = untilNul(v);
      OFW_DEBUG(logger, "%s: %s", name, text.c_str());
      return escapeATValue(text);
    }
    case AT_PARAM_UTF8STRINGARRAY: {
      std::string text;
      for (size_t at = 0; at < v.size();) {
        std::string item = untilNul(v, at);
        if (at > 0) text += ';';
        text += escapeATValue(item);
        at += item.size() + 1;
      }
      OFW_DEBUG(logger, "%s: %s", name, text.c_str());
      return text;
    }
    default:
      break;
  }
  *ok = false;
  return std::string();
}

}  // namespace

const char* ATParamTypeToString(uint32_t type) {
  return type < sizeof kTypeNames / sizeof kTypeNames[0] ? kTypeNames[type] : "<unknown>";
}

std::string escapeATValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == ',' || c == ';' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string renderATParam(uint32_t type, const std::string& value, const ofw::LoggerPtr& logger) {
  const char* name = ATParamTypeToString(type);
  if (type == AT_PARAM_END || type > AT_PARAM_WSTRINGARRAY) {
    OFW_DEBUG(logger, "Unknown ATAPI_PARAM_TYPE %d", static_cast<int>(type));
    return kCannotDisplay;
  }
  if (value.empty()) {
    OFW_DEBUG(logger, "%s: <null>", name);
    return "<null>";
  }
  bool ok = false;
  std::string text = valueText(type, value, name, logger, &ok);
  if (ok) return text;
  OFW_DEBUG(logger, "%s: <cannot display>", name);
  return kCannotDisplay;
}

}  // namespace audittrail
