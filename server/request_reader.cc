#include "server/request_reader.h"

#include <cstdlib>
#include <ctime>
#include <cstring>

#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ovg {

namespace {
[[noreturn]] void bad(const char* field, int rc) {
  const char* text = MsgErr2Str(rc);
  throw ofw::BadDataException(ofw::format("Malformed request: cannot read %s (%s)", field, text ? text : "?"), rc,
                              __FILE__, __LINE__);
}
}  // namespace

int32_t RequestReader::int32(const char* field) {
  int32_t v = 0;
  int rc = MsgReadInt32(msg_, &v);
  if (rc != 0) bad(field, rc);
  return v;
}

uint32_t RequestReader::uint32(const char* field) {
  uint32_t v = 0;
  int rc = MsgReadUInt32(msg_, &v);
  if (rc != 0) bad(field, rc);
  return v;
}

bool RequestReader::boolean(const char* field) {
  int v = 0;
  int rc = MsgReadBool(msg_, &v);
  if (rc != 0) bad(field, rc);
  return v != 0;
}

std::string RequestReader::string(const char* field) {
  char* v = nullptr;
  int rc = MsgReadString(msg_, &v);
  if (rc != 0) bad(field, rc);
  std::string s = v ? std::string(v) : std::string();
  std::free(v);
  return s;
}

std::string RequestReader::blob(const char* field) {
  Bytes b = blobBytes(field);
  return std::string(b.data(), b.size);
}

RequestReader::Bytes RequestReader::blobBytes(const char* field) {
  void* data = nullptr;
  uint32_t length = 0;
  int rc = MsgReadBlob(msg_, &data, &length);
  Bytes b;
  b.owned.reset(static_cast<char*>(data));
  if (rc != 0) bad(field, rc);
  if (data) b.size = length;
  return b;
}

bool RequestReader::more() {
  int tag = 0;
  return MsgPeekData(msg_, &tag) == 0 && tag != 0;
}

struct timeval now() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    tv.tv_sec = time(nullptr);
    tv.tv_usec = 0;
  }
  return tv;
}

struct timeval timevalFromBlob(const std::string& blob, bool* valid) {
  struct timeval tv;
  if (blob.size() == sizeof tv) {
    std::memcpy(&tv, blob.data(), sizeof tv);
    if (tv.tv_usec >= 0 && tv.tv_usec < 1000000) {
      if (valid) *valid = true;
      return tv;
    }
  }
  if (valid) *valid = false;
  return now();
}

}  // namespace ovg
