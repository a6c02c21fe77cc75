#include "tools/vgctl/report.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <ctime>

namespace vgctl {

Report::Member& Report::add(const std::string& key, Kind kind) {
  members_.emplace_back();
  members_.back().key = key;
  members_.back().kind = kind;
  return members_.back();
}

Report::Member* Report::find(const std::string& key) {
  for (Member& m : members_)
    if (m.key == key) return &m;
  return nullptr;
}

Report& Report::text(const std::string& key, const std::string& value) {
  add(key, kText).text = value;
  return *this;
}

Report& Report::number(const std::string& key, long long value) {
  add(key, kNumber).number = value;
  return *this;
}

Report& Report::flag(const std::string& key, bool value) {
  add(key, kFlag).flag = value;
  return *this;
}

Report& Report::time(const std::string& key, long long seconds) {
  add(key, kTime).number = seconds;
  return *this;
}

Report& Report::object(const std::string& key) {
  Member& m = add(key, kObject);
  m.items.emplace_back(new Report);
  return *m.items.back();
}

void Report::list(const std::string& key) {
  if (!find(key)) add(key, kList);
}

void Report::textList(const std::string& key) {
  if (!find(key)) add(key, kTexts);
}

void Report::appendText(const std::string& key, const std::string& value) {
  Member* m = find(key);
  if (!m) m = &add(key, kTexts);
  m->texts.push_back(value);
}

Report& Report::append(const std::string& key) {
  Member* m = find(key);
  if (!m) m = &add(key, kList);
  m->items.emplace_back(new Report);
  return *m->items.back();
}

void Report::printText(std::FILE* out, int indent) const {
  size_t width = 0;
  for (const Member& m : members_)
    if (m.kind != kObject && m.kind != kList && m.kind != kTexts) width = std::max(width, m.key.size() + 1);
  for (const Member& m : members_) {
    std::string label = m.key + ":";
    switch (m.kind) {
      case kText: std::fprintf(out, "%*s%-*s %s\n", indent, "", static_cast<int>(width), label.c_str(), m.text.c_str()); break;
      case kNumber: std::fprintf(out, "%*s%-*s %lld\n", indent, "", static_cast<int>(width), label.c_str(), m.number); break;
      case kFlag: std::fprintf(out, "%*s%-*s %s\n", indent, "", static_cast<int>(width), label.c_str(), m.flag ? "yes" : "no"); break;
      case kTime: {
        char date[64] = "never";
        time_t t = static_cast<time_t>(m.number);
        struct tm tm;
        if (t != 0 && localtime_r(&t, &tm)) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &tm);
        std::fprintf(out, "%*s%-*s %s\n", indent, "", static_cast<int>(width), label.c_str(), date);
        break;
      }
      case kObject:
        std::fprintf(out, "%*s%s\n", indent, "", label.c_str());
        m.items[0]->printText(out, indent + 2);
        break;
      case kList:
        std::fprintf(out, "%*s%s%s\n", indent, "", label.c_str(), m.items.empty() ? " none" : "");
        for (size_t i = 0; i < m.items.size(); ++i) {
          if (i > 0) std::fprintf(out, "\n");
          m.items[i]->printText(out, indent + 2);
        }
        break;
      case kTexts:
        std::fprintf(out, "%*s%s%s\n", indent, "", label.c_str(), m.texts.empty() ? " none" : "");
        for (const std::string& t : m.texts) std::fprintf(out, "%*s%s\n", indent + 2, "", t.c_str());
        break;
    }
  }
}

template <class Writer>
void Report::write(Writer& w) const {
  w.StartObject();
  for (const Member& m : members_) {
    w.Key(m.key.c_str(), static_cast<rapidjson::SizeType>(m.key.size()));
    switch (m.kind) {
      case kText: w.String(m.text.c_str(), static_cast<rapidjson::SizeType>(m.text.size())); break;
      case kNumber:
      case kTime: w.Int64(m.number); break;
      case kFlag: w.Bool(m.flag); break;
      case kObject: m.items[0]->write(w); break;
      case kList:
        w.StartArray();
        for (const auto& item : m.items) item->write(w);
        w.EndArray();
        break;
      case kTexts:
        w.StartArray();
        for (const std::string& t : m.texts) w.String(t.c_str(), static_cast<rapidjson::SizeType>(t.size()));
        w.EndArray();
        break;
    }
  }
  w.EndObject();
}

std::string Report::json() const {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
  write(w);
  return std::string(buffer.GetString(), buffer.GetSize());
}

void Report::printJson(std::FILE* out) const { std::fprintf(out, "%s\n", json().c_str()); }

}  // namespace vgctl
