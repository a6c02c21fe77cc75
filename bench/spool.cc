// Spool throughput: enqueue and dequeue of records of several sizes through a
// composite block queue (B = 512, the daemon's settings), against writing the
// same bytes with one write() per record to a plain file. Prints records/s,
// MB/s, the ratio plain / spool, and the bytes the spool writes to disk per
// record byte (blocks written * B / record bytes).
//
// Usage: bench_spool [DIR]   (default: a new directory under /tmp)
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"

namespace {

typedef std::chrono::steady_clock Clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

struct Figures {
  double enqSec = 0, deqSec = 0, plainSec = 0;
  uint64_t enqBlocks = 0, deqBlocks = 0;
};

Figures run(const std::string& base, size_t size, size_t n) {
  Figures f;
  std::string dir = base + "/q" + std::to_string(size);
  std::vector<boost::shared_array<unsigned char>> recs;
  for (size_t i = 0; i < 16; ++i) {
    boost::shared_array<unsigned char> r(new unsigned char[size]);
    for (size_t j = 0; j < size; ++j) r[j] = static_cast<unsigned char>(i * 131 + j);
    recs.push_back(r);
  }
  {
    ofw::DBQComposite q(512);
    if (!q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, "bench")) {
      std::fprintf(stderr, "cannot open %s\n", dir.c_str());
      std::exit(1);
    }
    uint64_t w0 = ofw::DBQSingle::statBlockWrites();
    auto t0 = Clock::now();
    for (size_t i = 0; i < n; ++i) q.enqueue(recs[i % 16], static_cast<unsigned int>(size));
    auto t1 = Clock::now();
    uint64_t w1 = ofw::DBQSingle::statBlockWrites();
    for (size_t i = 0; i < n; ++i) {
      boost::shared_array<unsigned char> out;
      unsigned int len = 0;
      q.dequeue(out, len);
      if (len != size || std::memcmp(out.get(), recs[i % 16].get(), size) != 0) {
        std::fprintf(stderr, "record %zu differs\n", i);
        std::exit(1);
      }
    }
    auto t2 = Clock::now();
    uint64_t w2 = ofw::DBQSingle::statBlockWrites();
    f.enqSec = seconds(t0, t1);
    f.deqSec = seconds(t1, t2);
    f.enqBlocks = w1 - w0;
    f.deqBlocks = w2 - w1;
    q.destroy();
  }
  std::string plain = base + "/plain" + std::to_string(size);
  int fd = ::open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto t0 = Clock::now();
  for (size_t i = 0; i < n; ++i)
    if (::write(fd, recs[i % 16].get(), size) != static_cast<ssize_t>(size)) {
      std::perror("write");
      std::exit(1);
    }
  auto t1 = Clock::now();
  ::close(fd);
  ::unlink(plain.c_str());
  f.plainSec = seconds(t0, t1);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::string base;
  bool own = argc < 2;
  if (own) {
    char tmpl[] = "/tmp/bench_spool.XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    base = tmpl;
  } else {
    base = argv[1];
  }
  const size_t sizes[] = {64, 470, 1000, 4096, 65536};
  std::printf("%8s %7s | %10s %8s | %10s %8s | %10s %8s | %7s %7s | %9s\n", "record", "count", "enq rec/s", "enq MB/s",
              "deq rec/s", "deq MB/s", "plain r/s", "plain MB", "enq x", "deq x", "disk/byte");
  for (size_t size : sizes) {
    size_t n = (16u << 20) / size;
    if (n < 400) n = 400;
    if (n > 20000) n = 20000;
    Figures f = run(base, size, n);
    double mb = static_cast<double>(n) * static_cast<double>(size) / 1e6;
    double perByte = static_cast<double>(f.enqBlocks + f.deqBlocks) * 512.0 /
                     (static_cast<double>(n) * static_cast<double>(size));
    std::printf("%8zu %7zu | %10.0f %8.1f | %10.0f %8.1f | %10.0f %8.1f | %7.1f %7.1f | %9.2f\n", size, n,
                n / f.enqSec, mb / f.enqSec, n / f.deqSec, mb / f.deqSec, n / f.plainSec, mb / f.plainSec,
                f.enqSec / f.plainSec, f.deqSec / f.plainSec, perByte);
  }
  std::printf("enq x / deq x: time of the spool operation over the plain write() of the same bytes.\n"
              "disk/byte: bytes the spool writes (enqueue and dequeue together) per record byte.\n");
  if (own) ::nftw(base.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
