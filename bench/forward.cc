// Forwarding end to end: audit-shell clients -> the running daemon -> its
// collector (sign+seal over loopback). bench/forward.sh starts the KDC, the
// collector and the daemon and calls the modes in turn:
//
//   bench_forward flow SOCKET DAEMON_PID BOUND_1K BOUND_16K [RECORDS]
//       M = 1 and 16 sessions of 1 KB and 16 KB data records (RECORDS, default 16000, in all
//       per 1 KB case, a quarter of that per 16 KB case) while the collector
//       is up; a case ends when the last session spool has been forwarded and
//       removed. BOUND_*: round trips/s of one record and its acknowledgement
//       through the collector connection, measured by the script in the same
//       run; the ratio column is the forwarded rate over that bound.
//   bench_forward fill SOCKET MEGABYTES
//       16 sessions post MEGABYTES of 16 KB records while the collector is
//       down (the backlog), then end.
//   bench_forward drain DAEMON_PID BACKLOG_MB [BASE_PEAK_KIB]
//       after the collector came back: the time until every session spool
//       is gone (and of it until the first record left: the reconnect), and the daemon's resident memory sampled every 20 ms
//       (before, peak, after); the ratio is the peak over BASE_PEAK_KIB (the
//       peak of a smaller backlog's drain).
#include <ftw.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"
#include "tools/shellside/session_requests.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* const kSessionSpools = "/var/orvanevg/spool-sessions";

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

long residentKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; in >> key;) {
    long kib = 0;
    if (key == "VmRSS:" && in >> kib) return kib;
    std::getline(in, key);
  }
  return 0;
}

// The session spools below the buckets: how many ("*.dbq" directories) and
// the bytes of their files.
struct SpoolUse {
  int spools = 0;
  long long bytes = 0;
};
SpoolUse gUse;
int countUse(const char* path, const struct stat* st, int type, struct FTW*) {
  const std::string p = path;
  if (type == FTW_D && p.size() > 4 && p.compare(p.size() - 4, 4, ".dbq") == 0) ++gUse.spools;
  if (type == FTW_F) gUse.bytes += st->st_size;
  return 0;
}
SpoolUse sessionSpools() {
  gUse = SpoolUse();
  nftw(kSessionSpools, countUse, 16, FTW_PHYS);
  return gUse;
}

// One audited session over its own connection: start, data records, end.
// Counts the data requests the daemon answered with status 0.
class Shell {
 public:
  explicit Shell(const std::string& socket) {
    int status = 0;
    client_ = SessionConnectWithTimeout(socket.c_str(), OVGPrivGetMsgTable(), 30, 5, SIGN_SETTING_DISABLED, &status);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_ = ovg::timevalBlob(tv);
  }
  ~Shell() {
    if (client_) SessionClientClose(client_);
  }
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  bool start(int index) {
    if (!client_) return false;
    const ovg::StartRequest r =
        ovg::rootLoginStart(200000 + index, "/dev/fwd" + std::to_string(index) + "-" + std::to_string(getpid()), time_);
    int status = 0;
    LRPC2Msg* reply = call(ovg::buildStartRequest(17, r, &status));
    ovg::StartReply sr;
    bool audited = reply && ovg::readStartReply(reply, 17, sr) == 0 && sr.audited;
    if (reply) MsgFree(reply);
    return audited;
  }
  bool data(const std::string& bytes, uint64_t n) {
    int status = 0;
    int32_t answer = -1;
    LRPC2Msg* reply = call(ovg::buildDataRequest(3, 2, bytes, time_, n, &status));
    bool ok = reply && ovg::readStatusReply(reply, &answer) == 0 && answer == 0;
    if (reply) MsgFree(reply);
    return ok;
  }
  void end() {
    int status = 0;
    if (LRPC2Msg* reply = call(ovg::buildEndRequest(2, time_, &status))) MsgFree(reply);
  }

 private:
  LRPC2Msg* call(LRPC2Msg* request) {
    int status = 0;
    MsgComplete(request);
    LRPC2Msg* reply = SessionSendWithTimeout(client_, request, 60, &status);
    MsgFree(request);
    return reply;
  }
  LRPC2SessionClient* client_ = nullptr;
  std::string time_;
};

// M shells of K records of S bytes each, concurrently; the accepted count.
long runShells(const std::string& socket, int m, long k, size_t size) {
  std::vector<long> accepted(static_cast<size_t>(m), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < m; ++i) {
    threads.emplace_back([&, i] {
      Shell shell(socket);
      if (!shell.start(i)) return;
      const std::string bytes(size, static_cast<char>('a' + i % 26));
      for (long n = 0; n < k; ++n) accepted[static_cast<size_t>(i)] += shell.data(bytes, static_cast<uint64_t>(n));
      shell.end();
    });
  }
  for (auto& t : threads) t.join();
  long total = 0;
  for (long a : accepted) total += a;
  return total;
}

// Waits (at most `limit` seconds) until no session spool is left; false on
// time-out. `firstSent`: when the spools first shrank.
bool waitForwarded(double limit, int pid, long* peakKiB = nullptr, double* firstSent = nullptr) {
  const auto t0 = Clock::now();
  const long long initial = sessionSpools().bytes;
  for (SpoolUse use; (use = sessionSpools()).spools > 0;) {
    if (firstSent && *firstSent < 0 && use.bytes < initial) *firstSent = since(t0);
    if (since(t0) > limit) return false;
    if (peakKiB) *peakKiB = std::max(*peakKiB, residentKiB(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int flow(const std::string& socket, int pid, double bound1k, double bound16k, long records) {
  std::printf("%3s %6s %7s %9s %9s %10s %8s %11s %7s\n", "M", "size", "records", "ingest s", "forward s", "records/s",
              "MB/s", "bound rt/s", "ratio");
  for (size_t size : {size_t(1024), size_t(16384)}) {
    for (int m : {1, 16}) {
      const long total = size == 1024 ? records : records / 4;
      const long k = std::max<long>(1, total / m);
      const auto t0 = Clock::now();
      const long accepted = runShells(socket, m, k, size);
      const double ingest = since(t0);
      const bool done = waitForwarded(600, pid);
      const double secs = since(t0);
      const double rate = accepted / secs, bound = size == 1024 ? bound1k : bound16k;
      std::printf("%3d %6s %7ld %9.2f %9.2f %10.0f %8.1f %11.0f %7.2f%s\n", m, size == 1024 ? "1 KB" : "16 KB",
                  accepted, ingest, secs, rate, rate * size / 1e6, bound, rate / bound,
                  !done ? "  (not all forwarded)" : accepted != m * k ? "  (some records refused)" : "");
      std::fflush(stdout);
    }
  }
  return 0;
}

int fill(const std::string& socket, long megabytes) {
  const size_t size = 16384;
  const int m = 16;
  const long k = megabytes * 1000000 / static_cast<long>(size) / m + 1;
  const auto t0 = Clock::now();
  const long accepted = runShells(socket, m, k, size);
  std::printf("backlog: %ld records of 16 KB (%.1f MB) in %d sessions posted in %.2f s%s\n", accepted,
              accepted * size / 1e6, m, since(t0), accepted != m * k ? " (some refused)" : "");
  return accepted == m * k ? 0 : 1;
}

int drain(int pid, long megabytes, long basePeak) {
  const long before = residentKiB(pid);
  long peak = before;
  const auto t0 = Clock::now();
  double reconnected = -1;
  const bool done = waitForwarded(900, pid, &peak, &reconnected);
  const double secs = since(t0), sending = secs - std::max(0.0, reconnected);
  if (basePeak == 0)
    std::printf("%-9s %8s %10s %10s %7s %10s %10s %10s\n", "backlog", "drain s", "reconnect", "sending s", "MB/s",
                "RSS before", "RSS peak", "RSS after");
  std::printf("%-9s %8.2f %10.2f %10.2f %7.1f %6ld KiB %6ld KiB %6ld KiB", (std::to_string(megabytes) + " MB").c_str(),
              secs, reconnected, sending, megabytes / sending, before, peak, residentKiB(pid));
  if (basePeak > 0) std::printf("  peak %.2f x the smaller backlog's", static_cast<double>(peak) / basePeak);
  std::printf("%s\n", done ? "" : "  (not drained)");
  return done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "flow" && argc >= 6)
    return flow(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]), argc > 6 ? std::atol(argv[6]) : 16000);
  if (mode == "fill" && argc == 4) return fill(argv[2], std::atol(argv[3]));
  if (mode == "drain" && argc >= 4) return drain(std::atoi(argv[2]), std::atol(argv[3]), argc > 4 ? std::atol(argv[4]) : 0);
  std::fprintf(stderr,
               "usage: bench_forward flow SOCKET DAEMON_PID BOUND_1K BOUND_16K [RECORDS]\n"
               "       bench_forward fill SOCKET MEGABYTES\n"
               "       bench_forward drain DAEMON_PID BACKLOG_MB [BASE_PEAK_KIB]\n");
  return 2;
}
