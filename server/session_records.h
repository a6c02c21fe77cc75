// The collector messages that carry one audited session into its spool, one
// builder per record type. Each record is an ovgfw::OVGRequestMessage whose
// items are, in order:
//
//   session start (2):  GUID session, timestamp start, int32 user type
//                       (1 directory user, 0 local), string directory name,
//                       string SID, string user name, string tty, string
//                       first and second shell strings, int32 argc, argc
//                       strings argv[0..], string user source, byte video
//                       capture mode, GUID related session
//   session end (3):    GUID session, timestamp end
//   session data (4):   GUID session, timestamp, byte stream (1 input,
//                       2 output, 0 other), blob data
//   window size (5):    GUID session, timestamp, int32 × 4 (the terminal's
//                       size values as the shell sent them)
//   session resume (9): a session start (or resume) record with its type set to 9
//
// The session GUID is the first item of every record, so the despooler (and
// `vgspool show`) can read it without knowing the rest.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ofw/guid.h"
#include "ovgfw/ovg_message.h"

namespace ovg {

struct SessionStartInfo {
  ofw::Guid guid;
  struct timeval start = {0, 0};
  int32_t userType = 0;
  std::string directoryName;
  std::string sid;
  std::string userName;
  std::string tty;
  std::string string1;
  std::string string2;
  std::vector<std::string> argv;
  std::string userSource;
  uint8_t videoCapture = 2;
  ofw::Guid related;
};

void buildSessionStart(ovgfw::OVGMessage& m, const SessionStartInfo& info);
void buildSessionEnd(ovgfw::OVGMessage& m, const ofw::Guid& guid, const struct timeval& end);
void buildSessionData(ovgfw::OVGMessage& m, const ofw::Guid& guid, const struct timeval& when, uint8_t stream,
                      const void* data, uint32_t length);
void buildWindowSize(ovgfw::OVGMessage& m, const ofw::Guid& guid, const struct timeval& when, const int32_t size[4]);

// The stream byte of a data record: 1 -> 1, 2 -> 2, anything else -> 0.
uint8_t streamByte(int32_t stream);

// ISO-8859-1 to UTF-8: bytes below 0x80 are copied, b >= 0x80 becomes 0xC2
// (b < 0xC0) or 0xC3, then (b & 0x3F) | 0x80.
std::string latin1ToUtf8(const unsigned char* data, size_t length);

}  // namespace ovg
