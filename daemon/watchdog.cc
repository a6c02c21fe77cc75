#include "daemon/watchdog.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ofw/format.h"
#include "ofw/script_runner.h"

namespace vgd {

namespace {

// Decimal digits of a non-negative value into buf (no allocation, no locale).
size_t formatUnsigned(char* buf, size_t size, unsigned value) {
  char digits[16];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < sizeof digits);
  size_t out = 0;
  while (n > 0 && out < size) buf[out++] = digits[--n];
  return out;
}

}  // namespace

pid_t startWatchdog(const ofw::LoggerPtr& logger, const char* program, int argc, char** argv) {
  std::vector<std::string> store;
  store.push_back("ovgwatch");
  store.push_back(std::to_string(static_cast<long>(getpid())));
  for (int i = 1; i < argc; ++i) store.push_back(argv[i]);
  std::vector<char*> args;
  for (auto& s : store) args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  static const char failText[] = "Unable to exec ovgwatch: error ";

  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    OFW_ERROR(logger, "Unable to fork ovgwatch: %s", ofw::errnoText(err).c_str());
    return -1;
  }
  if (pid == 0) {
    execv(program, args.data());
    // Only write and _exit from here on.
    char line[sizeof failText + 16];
    size_t n = sizeof failText - 1;
    for (size_t i = 0; i < n; ++i) line[i] = failText[i];
    n += formatUnsigned(line + n, sizeof line - n - 1, static_cast<unsigned>(errno));
    line[n++] = '\n';
    ssize_t ignored = write(2, line, n);
    (void)ignored;
    _exit(1);
  }
  ofw::registerBackgroundChild(pid);
  return pid;
}

}  // namespace vgd
