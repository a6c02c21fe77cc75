// What vgcollector writes: one JSON object per line, one line per unit it
// received (or per connection event), flushed as soon as it is written so
// that a test may read the file while the collector runs.
#pragma once
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vgcollector {

// One line being built: keys in the order they are added.
class JsonLine {
 public:
  JsonLine() : writer_(buffer_) { writer_.StartObject(); }
  JsonLine& add(const char* key, const std::string& value);
  JsonLine& add(const char* key, const char* value) { return add(key, std::string(value)); }
  JsonLine& add(const char* key, int64_t value);
  JsonLine& add(const char* key, bool value);
  JsonLine& add(const char* key, const std::vector<std::string>& values);
  // Binary data as lower-case hexadecimal digits.
  JsonLine& addHex(const char* key, const std::string& bytes);
  std::string finish();

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// Appends lines to a stream, one writer at a time.
class RecordWriter {
 public:
  explicit RecordWriter(FILE* out) : out_(out) {}
  void write(JsonLine& line);

 private:
  std::mutex mutex_;
  FILE* out_;
};

}  // namespace vgcollector
