// One terminal stream through the daemon and through sudo's log server, for
// bench/compare.sh. Every run prints one line
//   RESULT MB/s records/s server-cpu-s client-cpu-s p99-us wall-s
// (CPU seconds of the whole run; "-" where a figure cannot be observed).
//
//   bench_compare vgd SOCKET CHUNK SESSIONS BYTES PIDS [SPOOL_DIR]
//       SESSIONS audit-shell clients each send BYTES/SESSIONS of terminal
//       output in CHUNK-byte data requests to the daemon on SOCKET. PIDS
//       (comma-separated) are the server side whose CPU counts. Without
//       SPOOL_DIR the run ends when the last request was answered (the record
//       is in the spool); with it, when no session spool is left under
//       SPOOL_DIR (every record forwarded and acknowledged). p99: one data
//       request's round trip.
//   bench_compare iolog DIR CHUNK BYTES
//       writes the same stream of one session as a sudo I/O log in DIR.
//   bench_compare sendlog PORT LOG SESSIONS PIDS IODIR
//       runs sudo_sendlog -t SESSIONS (plaintext, 127.0.0.1:PORT) on the I/O
//       log LOG and checks that the server stored every byte under IODIR.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"
#include "tools/shellside/session_requests.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const int kVersion = 17;
const int32_t kTerminalOutput = 2;

double processCpu(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = line.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream rest(line.substr(paren + 2));
  std::string field;
  double ticks = 0;
  // Fields 14 and 15: user and system time in clock ticks.
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double serverCpu(const std::string& pids) {
  double sum = 0;
  std::stringstream in(pids);
  std::string pid;
  while (std::getline(in, pid, ',')) sum += processCpu(pid);
  return sum;
}

double rusageCpu(int who) {
  struct rusage ru;
  getrusage(who, &ru);
  auto secs = [](const struct timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// The stream: numbered lines of terminal output, cut into chunks.
std::string streamBytes(size_t offset, size_t length) {
  static const std::string line = "drwxr-xr-x 2 root root 4096 Dec  7 20:00 some-directory-name-of-a-listing\r\n";
  std::string out(length, ' ');
  for (size_t i = 0; i < length; ++i) out[i] = line[(offset + i) % line.size()];
  return out;
}

std::vector<size_t> chunksOf(size_t total, size_t chunk) {
  std::vector<size_t> out(total / chunk, chunk);
  if (total % chunk) out.push_back(total % chunk);
  return out;
}

void printResult(double bytes, double records, double seconds, double serverCpuSecs, double clientCpuSecs,
                 const std::string& p99) {
  std::printf("RESULT %.1f %.0f %.3f %.3f %s %.3f\n", bytes / seconds / 1e6, records / seconds, serverCpuSecs,
              clientCpuSecs, p99.c_str(), seconds);
}

// ---- vgd ----

struct SessionRun {
  std::vector<double> latencies;  // microseconds
  size_t stored = 0;              // bytes the daemon answered with status 0
  std::string error;
};

LRPC2Msg* exchange(LRPC2SessionClient* c, LRPC2Msg* request) {
  int status = 0;
  if (!request) return nullptr;
  MsgComplete(request);
  LRPC2Msg* reply = SessionSendWithTimeout(c, request, 120, &status);
  MsgFree(request);
  return reply;
}

void runSession(const std::string& socket, int index, size_t bytes, size_t chunk, SessionRun* out) {
  int status = 0;
  LRPC2SessionClient* c =
      SessionConnectWithTimeout(socket.c_str(), OVGPrivGetMsgTable(), 30, 5, SIGN_SETTING_DISABLED, &status);
  if (!c) {
    out->error = "cannot connect";
    return;
  }
  struct timeval now;
  gettimeofday(&now, nullptr);
  const std::string when = ovg::timevalBlob(now);
  const ovg::StartRequest start = ovg::rootLoginStart(
      200000 + index, "/dev/pts/cmp" + std::to_string(index) + "." + std::to_string(getpid()), when, "-sh");
  ovg::StartReply started;
  LRPC2Msg* reply = exchange(c, ovg::buildStartRequest(kVersion, start, &status));
  if (!reply || ovg::readStartReply(reply, kVersion, started) != 0 || !started.audited) {
    out->error = "session not audited";
  } else {
    size_t offset = 0;
    uint64_t sequence = 0;
    for (size_t n : chunksOf(bytes, chunk)) {
      MsgFree(reply);
      const auto t0 = Clock::now();
      reply = exchange(c, ovg::buildDataRequest(3, kTerminalOutput, streamBytes(offset, n), when, ++sequence, &status));
      out->latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      int32_t st = -1;
      if (reply && ovg::readStatusReply(reply, &st) == 0 && st == 0) out->stored += n;
      offset += n;
    }
    if (reply) MsgFree(reply);
    reply = exchange(c, ovg::buildEndRequest(2, when, &status));
  }
  if (reply) MsgFree(reply);
  SessionClientClose(c);
}

bool anySessionSpool(const std::string& dir) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".dbq") return true;
  return false;
}

int runVgd(char** argv, int argc) {
  const std::string socket = argv[2];
  const size_t chunk = std::strtoull(argv[3], nullptr, 10);
  const int sessions = std::atoi(argv[4]);
  const size_t bytes = std::strtoull(argv[5], nullptr, 10);
  const std::string pids = argv[6];
  const std::string spoolDir = argc > 7 ? argv[7] : "";
  if (chunk == 0 || sessions < 1 || bytes < static_cast<size_t>(sessions)) return 2;
  std::vector<SessionRun> runs(static_cast<size_t>(sessions));
  const double server0 = serverCpu(pids), client0 = rusageCpu(RUSAGE_SELF);
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < sessions; ++i)
    threads.emplace_back(runSession, socket, i, bytes / sessions, chunk, &runs[static_cast<size_t>(i)]);
  for (auto& t : threads) t.join();
  const double clientCpu = rusageCpu(RUSAGE_SELF) - client0;
  if (!spoolDir.empty()) {
    const auto deadline = Clock::now() + std::chrono::minutes(10);
    while (anySessionSpool(spoolDir) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (anySessionSpool(spoolDir)) {
      std::fprintf(stderr, "bench_compare: session spools not emptied within 10 minutes\n");
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> all;
  size_t stored = 0;
  for (const SessionRun& r : runs) {
    if (!r.error.empty()) {
      std::fprintf(stderr, "bench_compare: %s\n", r.error.c_str());
      return 1;
    }
    all.insert(all.end(), r.latencies.begin(), r.latencies.end());
    stored += r.stored;
  }
  if (stored != bytes / sessions * sessions) {
    std::fprintf(stderr, "bench_compare: %zu of %zu bytes stored\n", stored, bytes / sessions * sessions);
    return 1;
  }
  std::sort(all.begin(), all.end());
  const double p99 = all.empty() ? 0 : all[std::min(all.size() - 1, all.size() * 99 / 100)];
  printResult(static_cast<double>(stored), static_cast<double>(all.size()), seconds, serverCpu(pids) - server0,
              clientCpu, std::to_string(static_cast<long>(p99)));
  return 0;
}

// ---- sudo ----

int writeIolog(char** argv) {
  const fs::path dir = argv[2];
  const size_t chunk = std::strtoull(argv[3], nullptr, 10);
  const size_t bytes = std::strtoull(argv[4], nullptr, 10);
  if (chunk == 0) return 2;
  fs::create_directories(dir);
  std::ofstream(dir / "log") << "1700000000:root:root::/dev/pts/0:24:80\n/root\n/bin/sh\n";
  std::ofstream timing(dir / "timing"), out(dir / "ttyout", std::ios::binary);
  size_t offset = 0;
  // sudo's log server refuses a run time of zero: one microsecond per chunk.
  for (size_t n : chunksOf(bytes, chunk)) {
    timing << "4 0.000001 " << n << "\n";
    out << streamBytes(offset, n);
    offset += n;
  }
  return timing && out ? 0 : 1;
}

uintmax_t storedTtyout(const std::string& dir) {
  uintmax_t sum = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename() == "ttyout") sum += fs::file_size(it->path(), ec);
  return sum;
}

int runSendlog(char** argv) {
  const std::string port = argv[2], log = argv[3], pids = argv[5], ioDir = argv[6];
  const int sessions = std::atoi(argv[4]);
  std::error_code ec;
  const uintmax_t perSession = fs::file_size(fs::path(log) / "ttyout", ec);
  if (ec || sessions < 1) return 2;
  std::ifstream timing(fs::path(log) / "timing");
  size_t records = 0;
  for (std::string line; std::getline(timing, line);) ++records;
  const double server0 = serverCpu(pids), client0 = rusageCpu(RUSAGE_CHILDREN);
  const auto t0 = Clock::now();
  pid_t child = fork();
  if (child == 0) {
    // Its progress lines would mix with the result line.
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    const std::string n = std::to_string(sessions);
    execl("/usr/sbin/sudo_sendlog", "sudo_sendlog", "-h", "127.0.0.1", "-p", port.c_str(), "-t", n.c_str(),
          log.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  // The server may still be writing the last buffers when the client exits.
  for (int i = 0; i < 100 && storedTtyout(ioDir) < perSession * sessions; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const uintmax_t stored = storedTtyout(ioDir);
  if (stored != perSession * sessions) {
    std::fprintf(stderr, "bench_compare: sudo_sendlog exited %d; %ju of %ju bytes stored\n", status, stored,
                 perSession * sessions);
    return 1;
  }
  printResult(static_cast<double>(stored), static_cast<double>(records * sessions), seconds,
              serverCpu(pids) - server0, rusageCpu(RUSAGE_CHILDREN) - client0, "-");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "vgd" && (argc == 7 || argc == 8)) return runVgd(argv, argc);
  if (mode == "iolog" && argc == 5) return writeIolog(argv);
  if (mode == "sendlog" && argc == 7) return runSendlog(argv);
  std::fprintf(stderr,
               "usage: bench_compare vgd SOCKET CHUNK SESSIONS BYTES PIDS [SPOOL_DIR]\n"
               "       bench_compare iolog DIR CHUNK BYTES\n"
               "       bench_compare sendlog PORT LOG SESSIONS PIDS IODIR\n");
  return 2;
}
