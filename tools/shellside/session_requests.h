// The audit shell's side of the session lifecycle requests: builds each
// request in the field order of its version and reads the replies. The
// daemon's handlers (server/handlers_session.cc) read the same orders; the
// test client `vgsession` and the tests use these builders.
//
// Start request (VGSessionStart, 2, 4-10 = types 30, 31, 33-39; 11-17 = types
// 201-207), fields in order, each present from the version named:
//   v5: int32 ovgsh pid, int32 ovgsh parent pid, int32 shell pid
//   int32 psid (-1 unknown)
//   v17: bool user given
//   string user name, string tty
//   v4: string slave pty name
//   string first and second shell strings
//   v2: string program name
//   v9: bool audit command;  v12: bool second flag
//   v10-15 only: string (reserved)
//   v11: string actual user name
//   v13: string related session GUID (swapped text, "" for none)
//   v14: blob start time (struct timeval)
//   int32 argc, argc strings argv[0..]
//   uint32 sequence number high, uint32 low
// Reply: bool audited; v7: int32 status; then, not audited with status 4 and
// v15: string existing session id; audited: blob 16-byte GUID, v6: blob
// serialized start record.
//
// Data (50-52): int32 stream, blob data, v3: blob time, v3: sequence number;
// reply v2: int32 status. Window size (60-62): v2: blob time, int32 rows,
// cols, xpixel, ypixel, v3: sequence number; reply int32 status. PGID (65):
// int32 pgid; empty reply. Resume (40-44): blob GUID (16 bytes), string tty,
// int32 psid, v2: blob continuation body, v4: int32 ovgsh pid, v5: int32
// pgid; reply int32 status. End (70, 74): v2: blob end time; empty reply.
//
// Builders return a complete message (caller frees with MsgFree), or null
// with *status set (207 for a version that has no request type).
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lrpc2/msg.h"

namespace ovg {

struct StartRequest {
  int32_t ovgshPid = 0;
  int32_t ovgshParentPid = 0;
  int32_t shellPid = 0;
  int32_t psid = -1;
  bool userGiven = false;
  std::string user;
  std::string tty;
  std::string slave;
  std::string string1;
  std::string string2;
  std::string program;
  bool auditCommand = false;
  bool secondFlag = true;  // false together with auditCommand false: a name-service command shell
  std::string reserved;
  std::string actualUser;
  std::string related;
  std::string startTime;  // the time blob (see timevalBlob)
  std::vector<std::string> argv;
  // When set, the argc field carries argcField instead of argv's size (tests
  // of malformed requests).
  bool argcGiven = false;
  int32_t argcField = 0;
  uint64_t sequence = 0;
};

struct StartReply {
  bool audited = false;
  int32_t status = -1;  // -1 when the version carries none
  std::string existingId;
  std::string guid;  // raw bytes as sent (16 when well formed)
  std::string body;  // serialized start record
};

// Request types of each version; 0 for a version that does not exist.
uint32_t startRequestType(int version);   // 1, 2, 4-17
uint32_t resumeRequestType(int version);  // 1-5
uint32_t dataRequestType(int version);    // 1-3
uint32_t wsizeRequestType(int version);   // 1-3
uint32_t endRequestType(int version);     // 1-2

// A struct timeval as the time blob; `size` other than sizeof(timeval) pads
// with zeros or cuts (for tests of malformed requests).
std::string timevalBlob(const struct timeval& tv, size_t size = sizeof(struct timeval));

// The start of root's login shell `argv0` on `tty` with the audit shell's pid
// `ovgshPid`, started at `startTime` (a time blob): what the benchmarks' shells send.
StartRequest rootLoginStart(int32_t ovgshPid, const std::string& tty, const std::string& startTime,
                            const std::string& argv0 = "-bash");

LRPC2Msg* buildStartRequest(int version, const StartRequest& r, int* status);
LRPC2Msg* buildDataRequest(int version, int32_t stream, const std::string& data, const std::string& timeBlob,
                           uint64_t sequence, int* status);
LRPC2Msg* buildWSizeRequest(int version, const std::string& timeBlob, const int32_t size[4], uint64_t sequence,
                            int* status);
LRPC2Msg* buildPGIDRequest(int32_t pgid, int* status);
LRPC2Msg* buildResumeRequest(int version, const std::string& guid, const std::string& tty, int32_t psid,
                             const std::string& body, int32_t ovgshPid, int32_t pgid, int* status);
LRPC2Msg* buildEndRequest(int version, const std::string& timeBlob, int* status);

// Reply readers: 0, or the message-layer status of the first field that is
// missing or of the wrong type.
int readStartReply(LRPC2Msg* reply, int version, StartReply& out);
int readStatusReply(LRPC2Msg* reply, int32_t* status);

}  // namespace ovg
