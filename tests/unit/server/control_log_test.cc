// Records of the C log layer reach the daemon's log as ControlLog2 requests,
// and fall back to the emergency destination when the daemon is not there.
#include <gtest/gtest.h>

#include "lrpc2/log_sender.h"
#include "ofw/logging/clog.h"
#include "server_test_util.h"

using namespace servertest;

namespace {

// One record through a C log buffer whose emergency destination is `emergency`.
void logOne(const std::string& socketPath, const std::string& emergency, int timeout, const char* text) {
  LogBuffer* buffer = nullptr;
  ASSERT_EQ(LogBufferCreate(&buffer, "unit-prog", ("file " + emergency).c_str(), 1, socketPath.c_str(), timeout,
                            timeout / 2),
            0);
  LogBufferSetSender(buffer, LogBufferSendControlLog2, nullptr);
  LogBufferStart(buffer);
  LogBufferWrite(buffer, 3, "client.c", 42, "clientFunction", "%s", text);
  LogBufferFree(buffer);
}

TEST(ControlLog2, RecordsReachTheDaemonLogOrTheEmergencyFile) {
  testsupport::TempDir dir;
  const std::string emergency = dir.file("emergency.log"), socketPath = dir.file("audit");
  {
    LogToFile log(dir.file("daemon.log"));
    {
      Loop loop(socketPath);
      loop.start();
      logOne(socketPath, emergency, 10, "relayed record 7");
    }
    EXPECT_NE(log.text().find("relayed record 7"), std::string::npos) << log.text();
    EXPECT_EQ(testsupport::readFile(emergency).find("relayed record 7"), std::string::npos);
  }
  // No daemon: the record goes to the emergency file.
  logOne(socketPath, emergency, 2, "no daemon here");
  EXPECT_NE(testsupport::readFile(emergency).find("no daemon here"), std::string::npos)
      << testsupport::readFile(emergency);
}

}  // namespace
