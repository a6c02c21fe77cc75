// Runs the project's collector vgcollector (from VGD_BIN_DIR) for a test.
#pragma once
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace testkdc {

// Starts vgcollector writing its lines to `out` and its port to `portFile`,
// with `switches` appended; returns its pid and sets `port` once it listens
// (left unchanged when it did not within 5 s).
inline pid_t startVgcollector(const std::string& out, const std::string& portFile,
                              const std::vector<std::string>& switches, int& port) {
  unlink(portFile.c_str());
  std::vector<std::string> args = {std::string(VGD_BIN_DIR) + "/vgcollector", "--output", out, "--port-file",
                                   portFile};
  args.insert(args.end(), switches.begin(), switches.end());
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int i = 0; i < 100 && !(std::ifstream(portFile) >> port); ++i) usleep(50000);
  return pid;
}

}  // namespace testkdc
