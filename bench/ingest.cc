// Session ingest against a running daemon: M concurrent audit-shell clients
// each start a session, send K data requests of S bytes and end it.
//   bench_ingest SOCKET DAEMON_PID [TOTAL_REQUESTS_PER_RUN]
// K = TOTAL / M. Prints requests/s, MB/s, p50/p99 latency of a data request,
// the daemon's CPU seconds for the run and its peak RSS so far.
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"
#include "tools/shellside/session_requests.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> f; ++i) {
    if (i == 14) utime = std::atol(f.c_str());
    if (i == 15) stime = std::atol(f.c_str());
  }
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

long peakRssKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmHWM:") {
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return 0;
}

LRPC2Msg* send(LRPC2SessionClient* c, LRPC2Msg* req) {
  int status = 0;
  MsgComplete(req);
  LRPC2Msg* reply = SessionSendWithTimeout(c, req, 60, &status);
  MsgFree(req);
  return reply;
}

void client(const std::string& path, int index, int k, size_t size, std::vector<double>* lat, long* ok) {
  int status = 0;
  LRPC2SessionClient* c =
      SessionConnectWithTimeout(path.c_str(), OVGPrivGetMsgTable(), 30, 5, SIGN_SETTING_DISABLED, &status);
  if (!c) return;
  struct timeval now;
  gettimeofday(&now, nullptr);
  std::string tb = ovg::timevalBlob(now);
  ovg::StartRequest r;
  r.ovgshPid = 100000 + index;
  r.psid = -1;
  r.user = "root";
  r.tty = "/dev/bench" + std::to_string(index) + "-" + std::to_string(getpid());
  r.program = "ovgsh";
  r.startTime = tb;
  r.argv = {"-bash"};
  LRPC2Msg* reply = send(c, ovg::buildStartRequest(17, r, &status));
  ovg::StartReply sr;
  if (!reply || ovg::readStartReply(reply, 17, sr) != 0 || !sr.audited) {
    if (reply) MsgFree(reply);
    SessionClientClose(c);
    return;
  }
  MsgFree(reply);
  std::string data(size, 'a' + index % 26);
  for (int i = 0; i < k; ++i) {
    auto t0 = Clock::now();
    reply = send(c, ovg::buildDataRequest(3, 2, data, tb, static_cast<uint64_t>(i), &status));
    int32_t st = -1;
    if (reply && ovg::readStatusReply(reply, &st) == 0 && st == 0) ++*ok;
    if (reply) MsgFree(reply);
    lat->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  reply = send(c, ovg::buildEndRequest(2, tb, &status));
  if (reply) MsgFree(reply);
  SessionClientClose(c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_ingest SOCKET DAEMON_PID [TOTAL_REQUESTS_PER_RUN]\n");
    return 2;
  }
  std::string path = argv[1];
  int pid = std::atoi(argv[2]);
  long total = argc > 3 ? std::atol(argv[3]) : 10000;
  std::printf("%5s %6s %6s %10s %8s %9s %9s %8s %9s\n", "M", "K", "S", "req/s", "MB/s", "p50 us", "p99 us",
              "cpu s", "peak KiB");
  for (int m : {1, 16, 64, 256}) {
    for (size_t s : {100u, 1000u, 16000u}) {
      int k = static_cast<int>(std::max<long>(1, total / m));
      std::vector<std::vector<double>> lats(static_cast<size_t>(m));
      std::vector<long> oks(static_cast<size_t>(m), 0);
      double cpu0 = cpuSeconds(pid);
      auto t0 = Clock::now();
      std::vector<std::thread> threads;
      for (int i = 0; i < m; ++i)
        threads.emplace_back(client, path, i, k, s, &lats[static_cast<size_t>(i)], &oks[static_cast<size_t>(i)]);
      for (auto& t : threads) t.join();
      double secs = std::chrono::duration<double>(Clock::now() - t0).count();
      std::vector<double> all;
      long ok = 0;
      for (int i = 0; i < m; ++i) {
        all.insert(all.end(), lats[static_cast<size_t>(i)].begin(), lats[static_cast<size_t>(i)].end());
        ok += oks[static_cast<size_t>(i)];
      }
      std::sort(all.begin(), all.end());
      auto pct = [&all](double p) { return all.empty() ? 0 : all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))]; };
      std::printf("%5d %6d %6zu %10.0f %8.1f %9.0f %9.0f %8.2f %9ld%s\n", m, k, s, ok / secs, ok * s / secs / 1e6,
                  pct(0.5), pct(0.99), cpuSeconds(pid) - cpu0, peakRssKiB(pid),
                  ok == static_cast<long>(m) * k ? "" : "  (some requests not stored)");
    }
  }
  return 0;
}
