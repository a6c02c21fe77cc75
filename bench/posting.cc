// Auditor::postSessionData throughput: 1,000-byte session-data messages with
// 1, 8 and 64 concurrent sessions spread over 2 posting threads.
//   bench_posting [DIR] [RECORDS_PER_RUN]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "auditor/auditor.h"
#include "ovgfw/ovg_message.h"

int main(int argc, char** argv) {
  std::string base = argc > 1 ? argv[1] : "/tmp";
  long total = argc > 2 ? std::atol(argv[2]) : 20000;
  std::string payload(1000, 'x');
  std::printf("%-10s %12s %10s\n", "sessions", "records/s", "MB/s");
  for (int sessions : {1, 8, 64}) {
    char tmpl[256];
    std::snprintf(tmpl, sizeof tmpl, "%s/vgd-bench-post.XXXXXX", base.c_str());
    std::string dir = mkdtemp(tmpl);
    Vigilog::Auditor auditor;
    auditor.init(dir + "/sessions", dir + "/common", dir + "/at", dir + "/session");
    std::vector<ofw::Guid> guids;
    for (int i = 0; i < sessions; ++i) guids.push_back(ofw::Guid::generate());
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        for (long i = t; i < total; i += 2) {
          const ofw::Guid& g = guids[static_cast<size_t>(i) % guids.size()];
          ovgfw::OVGRequestMessage m(ovgfw::OVGMessage::TYPE_SESSION_DATA);
          m.writeGUID(g);
          m.writeBlob(payload.data(), payload.size());
          auditor.postSessionData(g, m);
        }
      });
    for (auto& th : threads) th.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-10d %12.0f %10.1f\n", sessions, total / secs, total * 1000.0 / secs / 1e6);
    auditor.stop();
    std::system(("rm -rf " + dir).c_str());
  }
  return 0;
}
