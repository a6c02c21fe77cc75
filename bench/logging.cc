// Cost of a disabled log call, and throughput of enabled records through the
// background log thread into a log file.
//
// usage: bench_logging [records]   (default 200000)
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

long countLines(const std::string& path) {
  std::ifstream in(path);
  long n = 0;
  std::string line;
  while (std::getline(in, line))
    if (line.find("bench.logger record") != std::string::npos) ++n;
  return n;
}

void configure(const std::string& file, int queueSize, int flushFrequency) {
  ofw::Properties props;
  props.loadFromString("log=INFO\nlogger.destination=" + file + "\nlogger.queue.size=" +
                       std::to_string(queueSize) + "\nlogger.file.flush.frequency=" +
                       std::to_string(flushFrequency) + "\nlogger.file.maxsize=4096\n");
  ofw::Logger::ReconfigureLevels(props);
}

struct Result {
  double producerNs;
  double recordsPerSecond;
  long written;
};

// `threads` producers log `records` records in total through the log thread.
Result run(const std::string& file, int threads, long records, int queueSize, int flushFrequency) {
  unlink(file.c_str());
  configure(file, queueSize, flushFrequency);
  ofw::Logger::startThread();
  ofw::LoggerPtr l = ofw::getLogger("bench.logger");
  std::string payload(80, 'p');
  Clock::time_point t0 = Clock::now();
  std::vector<std::thread> ts;
  std::vector<double> producer(static_cast<size_t>(threads));
  for (int t = 0; t < threads; ++t)
    ts.emplace_back([&, t] {
      Clock::time_point p0 = Clock::now();
      long n = records / threads;
      for (long i = 0; i < n; ++i) OFW_INFO(l, "record %d %ld %s", t, i, payload.c_str());
      producer[static_cast<size_t>(t)] = secondsSince(p0) * 1e9 / static_cast<double>(n);
    });
  for (auto& t : ts) t.join();
  ofw::Logger::stopThread();  // writes what is still queued
  double elapsed = secondsSince(t0);
  ofw::Logger::close();
  Result r;
  r.producerNs = 0;
  for (double p : producer) r.producerNs += p / threads;
  r.written = countLines(file);
  r.recordsPerSecond = static_cast<double>(r.written) / elapsed;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  long records = argc > 1 ? std::atol(argv[1]) : 200000;
  if (records <= 0) records = 200000;
  char tmpl[] = "/tmp/bench-logging-XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = tmpl;
  std::string file = dir + "/bench.log";

  // 1. Disabled records: one comparison, no formatting.
  configure(file, 256, 10);
  ofw::LoggerPtr l = ofw::getLogger("bench.logger");
  const long calls = 50000000;
  std::string arg = "never formatted";
  Clock::time_point t0 = Clock::now();
  for (long i = 0; i < calls; ++i) OFW_DEBUG(l, "disabled %ld %s", i, arg.c_str());
  double ns = secondsSince(t0) * 1e9 / calls;
  printf("disabled log call: %.2f ns per call (%ld calls)\n", ns, calls);

  // 2. Enabled records through the log thread into a file.
  struct Case {
    int threads;
    int queue;
    int flush;
  } cases[] = {{1, 1 << 20, 10}, {4, 1 << 20, 10}, {1, 1 << 20, 1}, {4, 256, 10}};
  for (const Case& c : cases) {
    Result r = run(file, c.threads, records, c.queue, c.flush);
    printf("enabled records: %d producer(s), queue %d, flush frequency %d: %.0f records/s written, "
           "%.0f ns per call in the producer, %ld of %ld written (%ld dropped)\n",
           c.threads, c.queue, c.flush, r.recordsPerSecond, r.producerNs, r.written,
           records / c.threads * c.threads, records / c.threads * c.threads - r.written);
  }
  unlink(file.c_str());
  rmdir(dir.c_str());
  return 0;
}
