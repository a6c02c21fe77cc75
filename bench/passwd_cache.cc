// Throughput of the passwd cache: inserts into a full cache (each one evicts),
// hits by name and by uid, and misses; prints operations per second and the
// resident set size before and after a long run of unknown-uid inserts.
#include <stdio.h>
#include <time.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "server/passwd_cache.h"

namespace {

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long rssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return -1;
}

ovg::PasswdDA user(uint32_t uid) {
  ovg::PasswdDA r;
  r.name = "user" + std::to_string(uid);
  r.passwd = "x";
  r.uid = uid;
  r.gid = 100;
  r.dir = "/home/" + r.name;
  r.shell = "/bin/sh";
  return r;
}

void report(const char* what, long ops, double seconds) {
  printf("%-40s %10ld ops %8.3f s %12.0f ops/s\n", what, ops, seconds, ops / seconds);
}

}  // namespace

int main() {
  const int kSize = 80000;
  ovg::PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, kSize);
  std::vector<ovg::PasswdDA> users;
  users.reserve(2 * kSize);
  for (uint32_t i = 0; i < 2 * kSize; ++i) users.push_back(user(i));

  double t = now();
  for (int i = 0; i < kSize; ++i) cache.insert(users[i]);
  report("insert (filling)", kSize, now() - t);

  t = now();
  for (int i = kSize; i < 2 * kSize; ++i) cache.insert(users[i]);
  report("insert (full, each evicts)", kSize, now() - t);

  const long kLookups = 500000;
  t = now();
  long found = 0;
  for (long i = 0; i < kLookups; ++i)
    found += cache.findUID(static_cast<uint32_t>(kSize + i % kSize), ovg::PASSWD_LOCAL_USER) ? 1 : 0;
  report("findUID hit", kLookups, now() - t);

  t = now();
  for (long i = 0; i < kLookups; ++i)
    found += cache.findUsername(users[kSize + i % kSize].name, ovg::PASSWD_LOCAL_USER) ? 1 : 0;
  report("findUsername hit", kLookups, now() - t);

  t = now();
  for (long i = 0; i < kLookups; ++i) found += cache.findUID(static_cast<uint32_t>(i % kSize), ovg::PASSWD_LOCAL_USER) ? 1 : 0;
  report("findUID miss", kLookups, now() - t);

  ovg::PasswdCache negative(ovg::PASSWD_CACHE_NEGATIVE_UID, 600, 1000);
  long before = rssKiB();
  t = now();
  const long kUnknown = 1000000;
  for (long i = 0; i < kUnknown; ++i) {
    ovg::PasswdDA r;
    r.uid = static_cast<uint32_t>(1000000 + i);
    r.flag = true;
    if (!negative.findUID(r.uid, ovg::PASSWD_AD_USER)) negative.insert(r);
  }
  report("negative uid miss + insert (max 1000)", kUnknown, now() - t);
  printf("negative cache size %zu, RSS before %ld KiB, after %ld KiB (hits counted: %ld)\n",
         negative.size(), before, rssKiB(), found);
  return 0;
}
