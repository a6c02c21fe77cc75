// Records of the C log layer reach the daemon's log as ControlLog2 requests,
// and fall back to the emergency destination when the daemon is not there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "lrpc2/log_sender.h"
#include "ofw/logging/clog.h"
#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "server/ipc_server.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ControlLog2, RecordsReachTheDaemonLogOrTheEmergencyFile) {
  char tmpl[] = "/tmp/vgd-clog.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::string daemonLog = dir + "/daemon.log";
  std::string emergency = dir + "/emergency.log";
  ofw::Props().setProperty("logger.destination", daemonLog);
  ofw::Props().setProperty("logger.queue.size", "0");
  ofw::Logger::ReconfigureLevels(ofw::Props());

  std::string socketPath = dir + "/audit";
  {
    ofw::IPCServer server(socketPath);
    std::thread loop([&server] { server.loop(); });

    LogBuffer* buffer = nullptr;
    ASSERT_EQ(LogBufferCreate(&buffer, "unit-prog", ("file " + emergency).c_str(), 1, socketPath.c_str(), 10, 5), 0);
    LogBufferSetSender(buffer, LogBufferSendControlLog2, nullptr);
    LogBufferStart(buffer);
    LogBufferWrite(buffer, 3, "client.c", 42, "clientFunction", "relayed record %d", 7);
    LogBufferFree(buffer);

    server.flags().stop = true;
    server.wakeLoop();
    loop.join();
  }
  ofw::Logger::close();
  std::string text = readFile(daemonLog);
  EXPECT_NE(text.find("relayed record 7"), std::string::npos) << text;
  EXPECT_EQ(readFile(emergency).find("relayed record 7"), std::string::npos);

  // No daemon: the record goes to the emergency file.
  LogBuffer* buffer = nullptr;
  ASSERT_EQ(LogBufferCreate(&buffer, "unit-prog", ("file " + emergency).c_str(), 1, socketPath.c_str(), 2, 1), 0);
  LogBufferSetSender(buffer, LogBufferSendControlLog2, nullptr);
  LogBufferStart(buffer);
  LogBufferWrite(buffer, 4, "client.c", 43, "clientFunction", "no daemon %s", "here");
  LogBufferFree(buffer);
  EXPECT_NE(readFile(emergency).find("no daemon here"), std::string::npos) << readFile(emergency);

  ofw::Props().setProperty("logger.destination", "syslog");
  ofw::Logger::ReconfigureLevels(ofw::Props());
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
