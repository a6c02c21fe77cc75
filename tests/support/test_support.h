// What many unit tests need: a temporary directory, whole-file reads and
// writes, and the expected bytes of the host-order formats.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// A directory under /tmp (mode 0755, so that a child of another user can
// enter it), removed with everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "vgd-test") {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes the file through a new inode (write, chmod, rename); returns its path.
  std::string write(const std::string& name, const std::string& content, mode_t mode = 0644) const;

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces `path` through a temporary name, with `mode`; throws on failure.
inline void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  const std::string tmp = path + ".tmp-write";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + tmp);
  }
  if (::chmod(tmp.c_str(), mode) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot install " + path);
}

inline std::string TempDir::write(const std::string& name, const std::string& content, mode_t mode) const {
  writeFile(file(name), content, mode);
  return file(name);
}

inline bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// Expected wire and file bytes, built by shifts independently of the codec
// under test, in the host's byte order (the formats' integer order).
inline bool hostIsLittleEndian() {
  const uint16_t probe = 1;
  return *reinterpret_cast<const unsigned char*>(&probe) == 1;
}
// The `width` low bytes of v, most significant first, reversed on little-endian hosts.
inline std::string hostBytes(uint64_t v, int width) {
  std::string big;
  for (int i = width - 1; i >= 0; --i) big += static_cast<char>((v >> (8 * i)) & 0xff);
  if (hostIsLittleEndian()) return std::string(big.rbegin(), big.rend());
  return big;
}
inline std::string u16(uint64_t v) { return hostBytes(v, 2); }
inline std::string u32(uint64_t v) { return hostBytes(v, 4); }
inline std::string u64(uint64_t v) { return hostBytes(v, 8); }

inline std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

inline std::string hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace testsupport
