// An ordered tree of named values, a command's answer: printed for people as
// aligned "key: value" lines, or for scripts as one JSON object with the same
// keys. Members keep the order they were added in.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vgctl {

class Report {
 public:
  Report& text(const std::string& key, const std::string& value);
  Report& number(const std::string& key, long long value);
  Report& flag(const std::string& key, bool value);
  // Seconds since the epoch: a number in JSON, a local date in the text (0: "never").
  Report& time(const std::string& key, long long seconds);
  // A nested object under key (created empty).
  Report& object(const std::string& key);
  // A new object appended to the list under key (the list is created on first use).
  Report& append(const std::string& key);
  // An empty list under key, so that JSON readers find [] rather than no key.
  void list(const std::string& key);
  // An empty list of texts under key; appendText adds to it.
  void textList(const std::string& key);
  void appendText(const std::string& key, const std::string& value);

  void printText(std::FILE* out, int indent = 0) const;
  void printJson(std::FILE* out) const;
  std::string json() const;

 private:
  enum Kind { kText, kNumber, kFlag, kTime, kObject, kList, kTexts };
  struct Member {
    std::string key;
    Kind kind;
    std::string text;
    long long number = 0;
    bool flag = false;
    std::vector<std::unique_ptr<Report>> items;  // one for kObject
    std::vector<std::string> texts;               // kTexts
  };
  Member& add(const std::string& key, Kind kind);
  Member* find(const std::string& key);
  template <class Writer>
  void write(Writer& w) const;

  std::vector<Member> members_;
};

}  // namespace vgctl
