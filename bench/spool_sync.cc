// Cost of spool.sync: records enqueued per second into a composite block queue
// (B = 512, the daemon's settings) under none, interval 10 (ms) and always,
// with the fdatasync calls made and the committed bytes they covered, beside
// the baseline of the same run: one write() and one fdatasync() per record to
// a plain file. Each mode runs for a fixed time, so a slow disk only lowers the
// record counts.
//
// Usage: bench_spool_sync [DIR [SECONDS [RECORD_BYTES]]]
//        (default: a new directory under /tmp, 3 s per mode, 470-byte records)
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ofw/config/properties.h"
#include "ofw/dbq/dbq_sync.h"
#include "ofw/dbq/dbqcomposite.h"

namespace {

typedef std::chrono::steady_clock Clock;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

struct Figures {
  uint64_t records = 0, syncs = 0, syncedBytes = 0;
  double sec = 0;
};

boost::shared_array<unsigned char> makeRecord(size_t size) {
  boost::shared_array<unsigned char> r(new unsigned char[size]);
  for (size_t j = 0; j < size; ++j) r[j] = static_cast<unsigned char>(j * 131 + 7);
  return r;
}

Figures runSpool(const std::string& dir, const char* policy, size_t size, double budget) {
  ofw::Props().setProperty("spool.sync", policy);  // read when the files open
  Figures f;
  boost::shared_array<unsigned char> rec = makeRecord(size);
  ofw::DBQComposite q(512);
  if (!q.open(dir, ofw::DBQ_OPEN_OR_CREATE, 0600, true, "bench")) {
    std::fprintf(stderr, "cannot open %s\n", dir.c_str());
    std::exit(1);
  }
  uint64_t s0 = ofw::CommitSync::statSyncs(), b0 = ofw::CommitSync::statSyncedBytes();
  auto t0 = Clock::now();
  double sec = 0;
  do {
    for (int i = 0; i < 16; ++i) q.enqueue(rec, static_cast<unsigned int>(size));
    f.records += 16;
    sec = std::chrono::duration<double>(Clock::now() - t0).count();
  } while (sec < budget);
  f.sec = sec;
  f.syncs = ofw::CommitSync::statSyncs() - s0;
  f.syncedBytes = ofw::CommitSync::statSyncedBytes() - b0;
  q.destroy();
  return f;
}

Figures runPlain(const std::string& path, size_t size, double budget) {
  Figures f;
  boost::shared_array<unsigned char> rec = makeRecord(size);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  auto t0 = Clock::now();
  do {
    if (::write(fd, rec.get(), size) != static_cast<ssize_t>(size) || ::fdatasync(fd) != 0) {
      std::perror("write/fdatasync");
      std::exit(1);
    }
    ++f.records;
    ++f.syncs;
    f.syncedBytes += size;
    f.sec = std::chrono::duration<double>(Clock::now() - t0).count();
  } while (f.sec < budget);
  ::close(fd);
  ::unlink(path.c_str());
  return f;
}

void print(const char* name, const Figures& f) {
  std::printf("%-24s %9llu %10.0f %8llu %9.0f %12.1f\n", name, static_cast<unsigned long long>(f.records),
              static_cast<double>(f.records) / f.sec, static_cast<unsigned long long>(f.syncs),
              static_cast<double>(f.syncs) / f.sec, static_cast<double>(f.syncedBytes) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::string base;
  bool own = argc < 2;
  if (own) {
    char tmpl[] = "/tmp/bench_spool_sync.XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    base = tmpl;
  } else {
    base = argv[1];
  }
  double budget = argc > 2 ? std::atof(argv[2]) : 3.0;
  size_t size = argc > 3 ? static_cast<size_t>(std::atol(argv[3])) : 470;
  if (budget <= 0 || size == 0 || size > (1u << 20)) {
    std::fprintf(stderr, "usage: bench_spool_sync [DIR [SECONDS [RECORD_BYTES]]]\n");
    return 2;
  }
  std::printf("%zu-byte records, %.1f s per mode, in %s\n", size, budget, base.c_str());
  std::printf("%-24s %9s %10s %8s %9s %12s\n", "mode", "records", "records/s", "syncs", "syncs/s", "MB synced");
  print("spool.sync none", runSpool(base + "/none", "none", size, budget));
  print("spool.sync interval 10", runSpool(base + "/interval", "interval 10", size, budget));
  print("spool.sync always", runSpool(base + "/always", "always", size, budget));
  print("plain write+fdatasync", runPlain(base + "/plain", size, budget));
  std::printf("MB synced: the committed bytes (master and data blocks) the fdatasync calls covered;\n"
              "for the plain file, the record bytes.\n");
  if (own) ::nftw(base.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
