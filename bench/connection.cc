// Session messages through the collector connection (sendMessageGetResponse,
// sign+seal) to vgcollector over loopback, one message and its acknowledgement
// at a time, as the despooler sends:
//   bench_connection PORT PRINCIPAL CCACHE [SECONDS]
// (bench/connection.sh starts the KDC and the collector, runs it and, in the
// same run, the secure stream's own benchmark as the baseline.)
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ofw/config/properties.h"
#include "ovgfw/secure_connection.h"
#include "server/session_records.h"

namespace {

using Clock = std::chrono::steady_clock;

double connectionRate(const std::string& target, size_t size, double seconds) {
  ovgfw::SecureConnection conn;
  conn.connectToCollector(target, false);
  static const std::string data(65536, 'x');
  const timeval tv = {1700000000, 0};
  const ofw::Guid session = ofw::Guid::generate();
  long count = 0;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  const auto start = Clock::now();
  while (Clock::now() < until) {
    ovgfw::OVGRequestMessage m;
    m.setSequenceNumber(static_cast<uint64_t>(count + 1));
    ovg::buildSessionData(m, session, tv, 2, data.data(), static_cast<uint32_t>(size));
    if (conn.sendMessageGetResponse(m).getType() != ovgfw::OVGMessage::TYPE_ACK) {
      fprintf(stderr, "unexpected reply\n");
      exit(1);
    }
    ++count;
  }
  return count / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: bench_connection PORT PRINCIPAL CCACHE [SECONDS]\n");
    return 2;
  }
  const std::string target = std::string("127.0.0.1:") + argv[1] + ":" + argv[2];
  ofw::Props().loadFromString(std::string("machine.creds = ") + argv[3] + "\n");
  const double seconds = argc > 4 ? atof(argv[4]) : 3;
  printf("%-6s %-10s %16s %9s\n", "size", "protection", "connection msg/s", "MB/s");
  for (size_t size : {size_t(1024), size_t(16384)}) {
    const double rate = connectionRate(target, size, seconds);
    printf("%-6s %-10s %16.0f %9.1f\n", size == 1024 ? "1 KB" : "16 KB", "sign+seal", rate, rate * size / 1e6);
    fflush(stdout);
  }
  return 0;
}
