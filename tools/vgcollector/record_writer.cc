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
  // Hexadecimal digits need no escaping: written as a raw JSON string.
  std::string quoted(bytes.size() * 2 + 2, '"');
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    quoted[1 + 2 * i] = digits[c >> 4];
    quoted[2 + 2 * i] = digits[c & 15];
  }
  writer_.Key(key);
  writer_.RawValue(quoted.data(), quoted.size(), rapidjson::kStringType);
  return *this;
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
