#include "tools/vgcollector/record_writer.h"

namespace vgcollector {

JsonLine& JsonLine::add(const char* key, const std::string& value) {
  writer_.Key(key);
  writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  return *this;
}

JsonLine& JsonLine::add(const char* key, int64_t value) {
  writer_.Key(key);
  writer_.Int64(value);
  return *this;
}

JsonLine& JsonLine::add(const char* key, bool value) {
  writer_.Key(key);
  writer_.Bool(value);
  return *this;
}

JsonLine& JsonLine::add(const char* key, const std::vector<std::string>& values) {
  writer_.Key(key);
  writer_.StartArray();
  for (const auto& v : values) writer_.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  writer_.EndArray();
  return *this;
}

JsonLine& JsonLine::addHex(const char* key, const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return add(key, hex);
}

std::string JsonLine::finish() {
  writer_.EndObject();
  return std::string(buffer_.GetString(), buffer_.GetSize());
}

void RecordWriter::write(JsonLine& line) {
  std::string text = line.finish();
  text += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  fwrite(text.data(), 1, text.size(), out_);
  fflush(out_);
}

}  // namespace vgcollector
