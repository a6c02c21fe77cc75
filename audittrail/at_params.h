// Typed parameters of an audit-trail event and their text in the event's
// parameter list.
//
// A client sends each parameter as a 32-bit type and a blob holding the value
// in its own host's layout. Rendering never trusts the blob: a value is read as
// a number, time, GUID or float only when the blob has exactly that value's
// size; otherwise the entry is "<cannot display>". An empty blob is "<null>".
#pragma once
#include <cstdint>
#include <string>

#include "ofw/logging/logger.h"

namespace audittrail {

enum ATAPI_PARAM_TYPE : uint32_t {
  AT_PARAM_END = 0,
  AT_PARAM_UINT16 = 1,
  AT_PARAM_UINT32 = 2,
  AT_PARAM_UINT64 = 3,
  AT_PARAM_INT16 = 4,
  AT_PARAM_INT32 = 5,
  AT_PARAM_INT64 = 6,
  AT_PARAM_FLOAT = 7,
  AT_PARAM_UTF8STRING = 8,
  AT_PARAM_WSTRING = 9,
  AT_PARAM_BYTE = 10,
  AT_PARAM_WCHAR = 11,
  AT_PARAM_EPOCHTIME = 12,
  AT_PARAM_GUID = 13,
  AT_PARAM_UTF8STRINGARRAY = 14,
  AT_PARAM_WSTRINGARRAY = 15,
};

// "END" … "WSTRINGARRAY"; "<unknown>" for any other value.
const char* ATParamTypeToString(uint32_t type);

// Each of ',', ';' and '\' preceded by '\': entries of the list are separated
// by ',' and the items of an array by ';'.
std::string escapeATValue(const std::string& value);

// The entry of one parameter in the list (escaped), logged at DEBUG as
// "<type name>: <value>". Value texts:
//   UINT16/32/64, INT16/32/64  decimal (2, 4 or 8 bytes)
//   FLOAT                      "%f" of a 4-byte float or an 8-byte double
//   BYTE                       "0x%02x" (1 byte); WCHAR "0x%04x" (2 or 4 bytes)
//   EPOCHTIME                  decimal seconds (4 or 8 bytes, signed)
//   GUID                       8-4-4-4-12 of 16 bytes in text order
//   UTF8STRING                 the bytes up to the first NUL
//   UTF8STRINGARRAY            NUL-separated items joined by ';'
//   WSTRING, WSTRINGARRAY      "<cannot display>": the width of the
//                              sender's wide characters is not known here
//   unknown type               "<cannot display>", logged as
//                              "Unknown ATAPI_PARAM_TYPE %d"
std::string renderATParam(uint32_t type, const std::string& value, const ofw::LoggerPtr& logger);

}  // namespace audittrail
