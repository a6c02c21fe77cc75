// Helpers shared by the directory client tests: paths of the built libraries,
// a temporary directory and the stand-in's data file.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace capi_test {

inline std::string libraryPath(const char* name) {
  return std::string(VGD_BIN_DIR) + "/../lib/" + name;
}
inline std::string standinPath() { return libraryPath("libcapi.so"); }
inline std::string nocorePath() { return libraryPath("libcapi_nocore.so"); }
inline std::string exampleDataPath() {
  return std::string(VGD_SOURCE_DIR) + "/standins/capi/example-directory.json";
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "capi_test.XXXXXX").string();
    if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes through a temporary name and renames, as a replaced data file would be.
  bool write(const std::string& name, const std::string& content) const {
    const std::string tmp = file("." + name + ".tmp");
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out.write(content.data(), static_cast<std::streamsize>(content.size()));
      if (!out) return false;
    }
    return ::rename(tmp.c_str(), file(name).c_str()) == 0;
  }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Points the stand-in at a data file for the lifetime of the object.
class DataFileEnv {
 public:
  explicit DataFileEnv(const std::string& path) { ::setenv("OPW_STANDIN_DATA", path.c_str(), 1); }
  ~DataFileEnv() { ::unsetenv("OPW_STANDIN_DATA"); }
  DataFileEnv(const DataFileEnv&) = delete;
  DataFileEnv& operator=(const DataFileEnv&) = delete;
};

}  // namespace capi_test
