#include "tools/shellside/at_event_request.h"

#include <unistd.h>

#include "ofw/codec.h"

namespace ovg {

namespace {
const uint32_t kUtf8String = 8;
const uint32_t kEnd = 0;
}  // namespace

ATEventRequest atEventNow(uint32_t eventId) {
  ATEventRequest e;
  e.eventId = eventId;
  gettimeofday(&e.time, nullptr);
  e.pid = static_cast<uint64_t>(getpid());
  return e;
}

void writeATEventRequest(LRPC2Msg* m, const ATEventRequest& e) {
  unsigned char seconds[8], microseconds[8], pid[8];
  ofw::codec::putU64(seconds, static_cast<uint64_t>(e.time.tv_sec));
  ofw::codec::putU64(microseconds, static_cast<uint64_t>(e.time.tv_usec));
  ofw::codec::putU64(pid, e.pid);
  MsgWriteString(m, e.first.c_str());
  MsgWriteString(m, e.second.c_str());
  MsgWriteUInt32(m, e.eventId);
  MsgWriteBlob(m, seconds, sizeof seconds);
  MsgWriteBlob(m, microseconds, sizeof microseconds);
  MsgWriteString(m, e.fifth.c_str());
  MsgWriteString(m, e.sixth.c_str());
  MsgWriteBlob(m, nullptr, 0);
  MsgWriteString(m, e.session.c_str());
  MsgWriteBlob(m, pid, sizeof pid);
  for (const std::string& s : e.strings) {
    MsgWriteUInt32(m, kUtf8String);
    MsgWriteBlob(m, s.data(), static_cast<uint32_t>(s.size()));
  }
  MsgWriteUInt32(m, kEnd);
}

}  // namespace ovg
