// Helpers of the spool tests: temporary directories, deterministic records,
// raw access to the blocks of a queue file.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/shared_array.hpp>
#include <algorithm>
#include <filesystem>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ofw/dbq/dbq.h"
#include "ofw/dbq/dbq_format.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"
#include "support/raised.h"
#include "support/test_support.h"

namespace spooltest {

namespace fmt = ofw::dbqfmt;
constexpr int B = 512;
constexpr int P = B - 42;  // payload of a dataX block

using testsupport::TempDir;

// Every spool test has a fresh directory of its own in `t`, with the usual
// names of a single-file queue (`path`) and a composite one (`dir`) in it.
class SpoolDirTest : public ::testing::Test {
 protected:
  TempDir t;
  const std::string path = t.file("q");
  const std::string dir = t.file("spool");
};

// Record `seq` of `len` bytes: the sequence number in the first 4 bytes (when
// they fit), then a pattern derived from it.
inline std::vector<unsigned char> record(uint32_t seq, size_t len) {
  std::vector<unsigned char> r(len);
  for (size_t i = 0; i < len; ++i) r[i] = static_cast<unsigned char>((seq * 131u + i * 7u + (i >> 8)) & 0xff);
  for (size_t i = 0; i < 4 && i < len; ++i) r[i] = static_cast<unsigned char>(seq >> (8 * i));
  return r;
}

inline uint32_t seqOf(const unsigned char* d, size_t len) {
  uint32_t s = 0;
  for (size_t i = 0; i < 4 && i < len; ++i) s |= static_cast<uint32_t>(d[i]) << (8 * i);
  return s;
}

inline bool isRecord(const unsigned char* d, size_t len, uint32_t seq) {
  std::vector<unsigned char> want = record(seq, len);
  return len == want.size() && (len == 0 || std::memcmp(d, want.data(), len) == 0);
}

// The sequence numbers of a queue's records, head first; every record must
// be intact (and `len` bytes long when `len` is not 0). Q: a queue with
// forEachRecord (single-file or composite).
template <class Q>
std::vector<uint32_t> seqsOf(Q& q, size_t len0 = 0) {
  std::vector<uint32_t> out;
  q.forEachRecord([&](const unsigned char* d, unsigned int len) {
    if (!isRecord(d, len, seqOf(d, len)) || (len0 && len != len0))
      throw std::runtime_error("record " + std::to_string(seqOf(d, len)) + " altered");
    out.push_back(seqOf(d, len));
    return true;
  });
  return out;
}

inline boost::shared_array<unsigned char> shared(const std::vector<unsigned char>& v) {
  boost::shared_array<unsigned char> a(new unsigned char[v.empty() ? 1 : v.size()]);
  if (!v.empty()) std::memcpy(a.get(), v.data(), v.size());
  return a;
}

inline void put(ofw::DBQ& q, const std::vector<unsigned char>& v) {
  q.enqueue(shared(v), static_cast<unsigned int>(v.size()));
}

inline void putAll(ofw::DBQ& q, uint32_t first, uint32_t last, size_t len) {
  for (uint32_t s = first; s < last; ++s) put(q, record(s, len));
}

inline std::vector<uint32_t> seqs(uint32_t first, uint32_t last) {
  std::vector<uint32_t> out;
  for (uint32_t s = first; s < last; ++s) out.push_back(s);
  return out;
}

// The head record read (getHead) or read and removed (dequeue); empty when none.
inline std::vector<unsigned char> head(ofw::DBQ& q, bool remove = false) {
  boost::shared_array<unsigned char> out;
  unsigned int len = 0;
  remove ? q.dequeue(out, len) : q.getHead(out, len);
  return len ? std::vector<unsigned char>(out.get(), out.get() + len) : std::vector<unsigned char>();
}
inline std::vector<unsigned char> pop(ofw::DBQ& q) { return head(q, true); }
// The sequence number of the record removed, which must be intact; UINT32_MAX when none.
inline uint32_t popSeq(ofw::DBQ& q) {
  std::vector<unsigned char> r = pop(q);
  if (r.empty()) return UINT32_MAX;
  if (!isRecord(r.data(), r.size(), seqOf(r.data(), r.size()))) throw std::runtime_error("popped record altered");
  return seqOf(r.data(), r.size());
}

// A queue of block size B opened read-write on `path` (a composite with the
// file size limit `maxFile` when not 0); throws when it does not open.
template <class Q>
struct Opened : Q {
  explicit Opened(const std::string& path, unsigned long maxFile = 0, ofw::DBQMode mode = ofw::DBQ_OPEN_OR_CREATE)
      : Q(B) {
    if (maxFile) this->setDbqMaxSize(maxFile);
    if (!this->open(path, mode, 0600, true, "")) throw std::runtime_error("cannot open " + path);
  }
};
using Single = Opened<ofw::DBQSingle>;
using Composite = Opened<ofw::DBQComposite>;

// A queue on `path` left closed with records `first` to `last` - 1 of `len` bytes each.
template <class Q>
void filled(const std::string& path, uint32_t first, uint32_t last, size_t len, unsigned long maxFile = 0) {
  Q q(path, maxFile);
  putAll(q, first, last, len);
}

// The integrity check passes; its report is the failure message.
template <class Q>
::testing::AssertionResult intact(Q& q) {
  std::ostringstream out;
  if (q.checkIntegrity(out)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << out.str();
}

inline std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline off_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

using testsupport::raised;

// Runs f, which must raise an E, and hands it to the queue's recovery
// (handleException); returns what f raised.
template <class E = ofw::Base_Exception, class F>
testsupport::Raised recovered(ofw::DBQ& q, F&& f) {
  try {
    f();
  } catch (const E& e) {
    q.handleException(e);
    return testsupport::describe(e);
  }
  return testsupport::Raised();
}

// The entries of a directory, sorted; those of `parent` named `prefix`.<something>
// (the copies a queue moved aside) as paths.
inline std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}
inline std::vector<std::string> asideCopies(const std::string& parent, const std::string& prefix) {
  std::vector<std::string> out;
  for (auto& e : entries(parent))
    if (e.compare(0, prefix.size() + 1, prefix + ".") == 0) out.push_back(parent + "/" + e);
  return out;
}
inline bool exists(const std::string& path) { return testsupport::fileExists(path); }

// A queue file loaded whole, edited by block and field, written back.
class RawFile {
 public:
  explicit RawFile(const std::string& path, int blockSize = B) : path_(path), b_(blockSize) {
    bytes_ = readFile(path);
  }
  void save() const { writeFile(path_, bytes_); }
  size_t blocks() const { return bytes_.size() / static_cast<size_t>(b_); }
  unsigned char* block(int id) { return bytes_.data() + static_cast<size_t>(id) * static_cast<size_t>(b_); }
  int32_t i32(int id, size_t off) { return fmt::getInt32(block(id) + off); }
  uint32_t u32(int id, size_t off) { return fmt::getUInt32(block(id) + off); }
  uint64_t u64(int id, size_t off) { return fmt::getUInt64(block(id) + off); }
  uint8_t u8(int id, size_t off) { return block(id)[off]; }
  void setI32(int id, size_t off, int32_t v) { fmt::putInt32(block(id) + off, v); }
  void setU32(int id, size_t off, uint32_t v) { fmt::putUInt32(block(id) + off, v); }
  void setU64(int id, size_t off, uint64_t v) { fmt::putUInt64(block(id) + off, v); }
  void setU8(int id, size_t off, uint8_t v) { block(id)[off] = v; }
  // Recomputes the stored checksum of an extended block (master or data).
  void fixChecksum(int id) {
    size_t hdr = id == 0 ? fmt::kMasterXHeaderSize : fmt::kDataXHeaderSize;
    size_t off = id == 0 ? fmt::kMasterChecksumOffset : fmt::kDataChecksumOffset;
    setU32(id, off, fmt::checksum(block(id) + hdr, static_cast<size_t>(b_) - hdr));
  }
  std::vector<unsigned char>& bytes() { return bytes_; }

 private:
  std::string path_;
  int b_;
  std::vector<unsigned char> bytes_;
};

}  // namespace spooltest
