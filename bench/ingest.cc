// Session ingest: closed-loop audit-shell clients against the running daemon
// and, in the same run, the same load against bench_ingest_store (the least a
// daemon of this design can do: a 512-byte-block append with two pwrites and
// an 8-byte answer per request).
//   bench_ingest [--quick] [--reps N] [--total N] [--only CLIENTS:BYTES] VGD_SOCKET VGD_PID STORE_SOCKET STORE_PID
// For 1/16/64/256 clients and 100 B, 1 KB, 16 KB requests: requests/s, MB/s,
// server CPU microseconds per request, p50/p99 of a request and the server's
// peak RSS in the case; each the median of the repetitions, the two servers
// taking turns case by case so that noise on the shared machine hits both.
// First the daemon's memory with 1,000 open sessions and after they ended.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"
#include "ofw/codec.h"
#include "tools/shellside/session_requests.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (line.rfind(')') == std::string::npos) return 0;
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> f; ++i) {
    if (i == 14) utime = std::atol(f.c_str());
    if (i == 15) stime = std::atol(f.c_str());
  }
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// VmHWM or VmRSS in KiB.
long memoryKiB(int pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == field) {
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return 0;
}

// Starts a new peak (VmHWM) from the current RSS.
void resetPeak(int pid) { std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5\n"; }

LRPC2Msg* send(LRPC2SessionClient* c, LRPC2Msg* req) {
  int status = 0;
  MsgComplete(req);
  LRPC2Msg* reply = SessionSendWithTimeout(c, req, 60, &status);
  MsgFree(req);
  return reply;
}

std::string timeBlob() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return ovg::timevalBlob(now);
}

// A connected, started session; null when either failed.
LRPC2SessionClient* startSession(const std::string& path, int index) {
  int status = 0;
  LRPC2SessionClient* c =
      SessionConnectWithTimeout(path.c_str(), OVGPrivGetMsgTable(), 30, 5, SIGN_SETTING_DISABLED, &status);
  if (!c) return nullptr;
  const ovg::StartRequest r = ovg::rootLoginStart(
      100000 + index, "/dev/bench" + std::to_string(index) + "-" + std::to_string(getpid()), timeBlob());
  LRPC2Msg* reply = send(c, ovg::buildStartRequest(17, r, &status));
  ovg::StartReply sr;
  const bool ok = reply && ovg::readStartReply(reply, 17, sr) == 0 && sr.audited;
  if (reply) MsgFree(reply);
  if (!ok) {
    SessionClientClose(c);
    return nullptr;
  }
  return c;
}

void endSession(LRPC2SessionClient* c) {
  int status = 0;
  LRPC2Msg* reply = send(c, ovg::buildEndRequest(2, timeBlob(), &status));
  if (reply) MsgFree(reply);
  SessionClientClose(c);
}

void daemonClient(const std::string& path, int index, int k, size_t size, std::vector<double>* lat, long* ok) {
  LRPC2SessionClient* c = startSession(path, index);
  if (!c) return;
  const std::string data(size, static_cast<char>('a' + index % 26));
  const std::string tb = timeBlob();
  for (int i = 0; i < k; ++i) {
    auto t0 = Clock::now();
    int status = 0;
    LRPC2Msg* reply = send(c, ovg::buildDataRequest(3, 2, data, tb, static_cast<uint64_t>(i), &status));
    int32_t st = -1;
    if (reply && ovg::readStatusReply(reply, &st) == 0 && st == 0) ++*ok;
    if (reply) MsgFree(reply);
    lat->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  endSession(c);
}

bool ioAll(int fd, uint8_t* p, size_t n, bool out) {
  while (n > 0) {
    ssize_t r = out ? ::send(fd, p, n, MSG_NOSIGNAL) : ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void storeClient(const std::string& path, int index, int k, size_t size, std::vector<double>* lat, long* ok) {
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  int fd = -1;
  for (int tries = 0; tries < 3000 && fd < 0; ++tries) {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      fd = -1;
      usleep(10000);
    }
  }
  if (fd < 0) return;
  std::vector<uint8_t> request(4 + size, static_cast<uint8_t>('a' + index % 26));
  ofw::codec::putU32(request.data(), static_cast<uint32_t>(size));
  uint8_t ack[8];
  for (int i = 0; i < k; ++i) {
    auto t0 = Clock::now();
    if (!ioAll(fd, request.data(), request.size(), true) || !ioAll(fd, ack, sizeof ack, false)) break;
    ++*ok;
    lat->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  close(fd);
}

struct Figures {
  double rate = 0, mbps = 0, cpuUs = 0, p50 = 0, p99 = 0, peakKiB = 0;
  bool complete = true;
};

typedef void (*ClientFn)(const std::string&, int, int, size_t, std::vector<double>*, long*);

Figures runCase(ClientFn fn, const std::string& path, int pid, int m, int k, size_t s) {
  std::vector<std::vector<double>> lats(static_cast<size_t>(m));
  std::vector<long> oks(static_cast<size_t>(m), 0);
  resetPeak(pid);
  const double cpu0 = cpuSeconds(pid);
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < m; ++i)
    threads.emplace_back(fn, path, i, k, s, &lats[static_cast<size_t>(i)], &oks[static_cast<size_t>(i)]);
  for (auto& t : threads) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> all;
  long ok = 0;
  for (int i = 0; i < m; ++i) {
    all.insert(all.end(), lats[static_cast<size_t>(i)].begin(), lats[static_cast<size_t>(i)].end());
    ok += oks[static_cast<size_t>(i)];
  }
  std::sort(all.begin(), all.end());
  auto pct = [&all](double p) {
    return all.empty() ? 0 : all[std::min(all.size() - 1, static_cast<size_t>(p * static_cast<double>(all.size())))];
  };
  Figures f;
  f.rate = static_cast<double>(ok) / secs;
  f.mbps = f.rate * static_cast<double>(s) / 1e6;
  f.cpuUs = ok ? (cpuSeconds(pid) - cpu0) * 1e6 / static_cast<double>(ok) : 0;
  f.p50 = pct(0.5);
  f.p99 = pct(0.99);
  f.peakKiB = static_cast<double>(memoryKiB(pid, "VmHWM:"));
  f.complete = ok == static_cast<long>(m) * k;
  return f;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

Figures medianOf(const std::vector<Figures>& runs) {
  auto pick = [&runs](double Figures::*field) {
    std::vector<double> v;
    for (const Figures& f : runs) v.push_back(f.*field);
    return median(v);
  };
  Figures m;
  m.rate = pick(&Figures::rate);
  m.mbps = pick(&Figures::mbps);
  m.cpuUs = pick(&Figures::cpuUs);
  m.p50 = pick(&Figures::p50);
  m.p99 = pick(&Figures::p99);
  m.peakKiB = pick(&Figures::peakKiB);
  for (const Figures& f : runs) m.complete = m.complete && f.complete;
  return m;
}

// The daemon's memory with `count` sessions open at once and after they ended.
void openSessionsMemory(const std::string& path, int pid, int count) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  const long before = memoryKiB(pid, "VmRSS:"), anonBefore = memoryKiB(pid, "RssAnon:");
  resetPeak(pid);
  std::vector<LRPC2SessionClient*> open;
  for (int i = 0; i < count; ++i)
    if (LRPC2SessionClient* c = startSession(path, 50000 + i)) open.push_back(c);
  const long during = memoryKiB(pid, "VmRSS:");
  const long peak = memoryKiB(pid, "VmHWM:");
  for (LRPC2SessionClient* c : open) endSession(c);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // RSS also counts the pages of the program and its libraries that the
  // sessions' code touched for the first time; the heap is RssAnon.
  std::printf("daemon memory, %zu of %d sessions open at once: RSS %ld KiB before, %ld KiB open (peak %ld KiB), "
              "%ld KiB after they ended; of it anonymous %ld KiB before, %ld KiB after\n",
              open.size(), count, before, during, peak, memoryKiB(pid, "VmRSS:"), anonBefore,
              memoryKiB(pid, "RssAnon:"));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 3;
  long total = 10000;
  int sessions = 1000;
  int onlyClients = 0;
  size_t onlySize = 0;
  int a = 1;
  for (; a < argc && argv[a][0] == '-'; ++a) {
    std::string opt = argv[a];
    if (opt == "--quick") {
      reps = 1;
      total = 2000;
      sessions = 200;
    } else if (opt == "--reps" && a + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++a]));
    } else if (opt == "--total" && a + 1 < argc) {
      total = std::max(1L, std::atol(argv[++a]));
    } else if (opt == "--only" && a + 1 < argc) {
      // One case (clients:bytes), no memory figure: for profiling.
      if (std::sscanf(argv[++a], "%d:%zu", &onlyClients, &onlySize) != 2) onlyClients = 0;
      sessions = 0;
    }
  }
  if (argc - a < 4) {
    std::fprintf(stderr, "usage: bench_ingest [--quick] [--reps N] [--total N] [--only CLIENTS:BYTES] VGD_SOCKET VGD_PID STORE_SOCKET STORE_PID\n");
    return 2;
  }
  const std::string vgdPath = argv[a], storePath = argv[a + 2];
  const int vgdPid = std::atoi(argv[a + 1]), storePid = std::atoi(argv[a + 3]);

  if (sessions > 0) openSessionsMemory(vgdPath, vgdPid, sessions);
  std::printf("%d repetitions, medians; %ld requests per case; cpu = server CPU us per request; latency in us\n", reps,
              total);
  std::printf("%4s %6s | %9s %7s %5s %6s %6s | %9s %7s %5s %6s %6s %8s | %6s %6s\n", "M", "size", "store r/s",
              "MB/s", "cpu", "p50", "p99", "vgd r/s", "MB/s", "cpu", "p50", "p99", "peak KiB", "ratio", "cpu x");
  for (int m : {1, 16, 64, 256, 512}) {
    for (size_t s : {size_t(100), size_t(1000), size_t(16000)}) {
      if (onlyClients > 0 && (m != onlyClients || s != onlySize)) continue;
      if (onlyClients == 0 && m == 512 && s != 1000) continue;  // 512: that every client is served
      const int k = static_cast<int>(std::max<long>(1, total / m));
      std::vector<Figures> store, vgd;
      for (int r = 0; r < reps; ++r) {
        store.push_back(runCase(storeClient, storePath, storePid, m, k, s));
        vgd.push_back(runCase(daemonClient, vgdPath, vgdPid, m, k, s));
      }
      const Figures b = medianOf(store), d = medianOf(vgd);
      std::printf("%4d %6zu | %9.0f %7.1f %5.0f %6.0f %6.0f | %9.0f %7.1f %5.0f %6.0f %6.0f %8.0f | %6.2f %6.1f%s\n", m, s,
                  b.rate, b.mbps, b.cpuUs, b.p50, b.p99, d.rate, d.mbps, d.cpuUs, d.p50, d.p99, d.peakKiB,
                  b.rate > 0 ? d.rate / b.rate : 0, b.cpuUs > 0 ? d.cpuUs / b.cpuUs : 0,
                  d.complete ? "" : "  (vgd: some requests not stored)");
      std::fflush(stdout);
    }
  }
  return 0;
}
