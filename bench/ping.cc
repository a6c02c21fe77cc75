// Ping round trips and passwd look-ups against a running daemon:
//   bench_ping [SOCKET] [SECONDS]
// Prints, for 1, 16 and 64 concurrent clients, round trips per second and the
// p50/p99 latency; then the latency of one client's pings while 20 other
// connections each sent half a request header and stopped.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lrpc2/header.h"
#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/codec.h"

namespace {

using Clock = std::chrono::steady_clock;

// 0 = ping, 1 = look-up of one cached name, 2 = look-up of a new unknown name each time.
int gMode = 0;
std::atomic<long> gUnique{0};

bool ping(LRPC2SessionClient* c) {
  int status = 0;
  LRPC2Msg* req;
  if (gMode == 0) {
    req = MsgNew(MsgType::VGPing, 0, OVGPrivGetMsgTable(), 48, &status);
  } else {
    req = MsgNew(MsgType::NSSGetPasswdDataByName2, 0, OVGPrivGetMsgTable(), 48, &status);
    std::string name = gMode == 1 ? "root" : "nobody-" + std::to_string(gUnique++);
    MsgWriteString(req, name.c_str());
    MsgWriteBool(req, 0);
  }
  MsgComplete(req);
  LRPC2Msg* reply = SessionSendWithTimeout(c, req, 30, &status);
  MsgFree(req);
  if (reply) MsgFree(reply);
  return reply != nullptr;
}

void run(const std::string& path, int clients, double seconds, std::vector<double>* lat, long* count) {
  std::mutex m;
  std::vector<std::thread> threads;
  auto until = Clock::now() + std::chrono::duration<double>(seconds);
  for (int t = 0; t < clients; ++t)
    threads.emplace_back([&] {
      int status = 0;
      LRPC2SessionClient* c =
          SessionConnectWithTimeout(path.c_str(), OVGPrivGetMsgTable(), 30, 5, SIGN_SETTING_DISABLED, &status);
      if (!c) return;
      std::vector<double> mine;
      while (Clock::now() < until) {
        auto t0 = Clock::now();
        if (!ping(c)) break;
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      SessionClientClose(c);
      std::lock_guard<std::mutex> g(m);
      lat->insert(lat->end(), mine.begin(), mine.end());
    });
  for (auto& th : threads) th.join();
  *count = static_cast<long>(lat->size());
  std::sort(lat->begin(), lat->end());
}

double pct(const std::vector<double>& v, double p) {
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

int stalledConnection(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  uint8_t hello[8];
  ofw::codec::putU32(hello, 5);
  ofw::codec::putU16(hello + 4, 8);
  ofw::codec::putU16(hello + 6, 0);
  uint8_t reply[16];
  if (write(fd, hello, 8) != 8 || read(fd, reply, 16) != 16) return fd;
  uint8_t half[24] = {};
  ofw::codec::putU32(half, lrpc2::kMagic);
  if (write(fd, half, sizeof half) != static_cast<ssize_t>(sizeof half)) return fd;
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "/var/orvanevg/audit";
  double seconds = argc > 2 ? std::atof(argv[2]) : 5;
  std::printf("%-10s %12s %10s %10s\n", "clients", "pings/s", "p50 us", "p99 us");
  for (int clients : {1, 16, 64}) {
    std::vector<double> lat;
    long n = 0;
    run(path, clients, seconds, &lat, &n);
    std::printf("%-10d %12.0f %10.0f %10.0f\n", clients, n / seconds, pct(lat, 0.5), pct(lat, 0.99));
  }
  for (int mode : {1, 2}) {
    gMode = mode;
    for (int clients : {1, 16}) {
      std::vector<double> lat;
      long n = 0;
      run(path, clients, seconds, &lat, &n);
      std::printf("look-up by name, %s, %2d clients: %8.0f/s p50 %.0f us p99 %.0f us\n",
                  mode == 1 ? "cache hit " : "cache miss", clients, n / seconds, pct(lat, 0.5), pct(lat, 0.99));
    }
  }
  gMode = 0;
  std::vector<int> stalled;
  for (int i = 0; i < 20; ++i) stalled.push_back(stalledConnection(path));
  std::vector<double> lat;
  long n = 0;
  run(path, 1, seconds, &lat, &n);
  std::printf("with 20 stalled half-header clients: %ld pings, p50 %.0f us, p99 %.0f us, max %.0f us\n", n,
              pct(lat, 0.5), pct(lat, 0.99), lat.empty() ? 0 : lat.back());
  for (int fd : stalled)
    if (fd >= 0) close(fd);
  return 0;
}
