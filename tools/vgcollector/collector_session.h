// One connection to vgcollector: the collector's side of the protocol.
//
// After the secure stream is accepted, the client sends the single byte 1
// (probe) or 2 (connect), then packets: on the control channel the greeting,
// channel opens and session pings; on the session channel collector messages
// in a length-prefixed string (the channel-open request first); on the
// audit-trail channel audit-trail messages as they are. Every unit is written
// as one JSON line before it is answered; a packet is answered only when its
// flags ask for a reply.
//
// Messages on the session channel other than channel-open requests are
// numbered from 1 over the collector's whole life; every channel-open request
// is message 0. The fault switches name messages by these numbers and each
// fires once (the periodic close and the refusals of pings and of the
// audit-trail channel always apply).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "meridia/packet.h"
#include "ofw/guid.h"
#include "tools/vgcollector/acceptor_stream.h"
#include "tools/vgcollector/record_writer.h"

namespace vgcollector {

struct Faults {
  int64_t closeAfter = -1;        // close the connection after answering message N
  int64_t closeEvery = 0;         // ... and after every message whose number is a multiple of this (0: never)
  int64_t exceptionAt = -1;       // answer message N with an exception reply ...
  uint32_t exceptionCode = 0;     // ... of this code
  int64_t wrongAckAt = -1;        // acknowledge message N with sequence number + 1
  int refusePingFrom = 0;         // refuse pings of this version and above (0: none)
  bool refuseAuditTrail = false;  // refuse opening the audit-trail channel
  int64_t stallAt = -1;           // wait before answering message N ...
  int stallSeconds = 0;           // ... this many seconds
};

// What all connections of one collector share.
struct CollectorState {
  Faults faults;
  RecordWriter* out = nullptr;
  uint32_t maxToken = 0;
  int readTimeout = 0;
  int writeTimeout = 30;
  std::atomic<uint64_t> messages{0};
  std::atomic<uint64_t> connections{0};
  std::atomic<bool> closeFired{false}, exceptionFired{false}, wrongAckFired{false}, stallFired{false};
};

class CollectorSession {
 public:
  CollectorSession(CollectorState& state, ofw::UniqueFd socket, const std::string& peer);
  // Serves the connection until it ends; never throws. The last line written
  // is the "close" unit with the reason.
  void run();
  int socket() const { return stream_.socket(); }

 private:
  // false: close the connection.
  bool handleBlock(const std::string& block, bool sealed);
  void handleControl(meridia::Packet& packet, uint64_t bodyEnd, bool sealed);
  bool handleSessionMessage(meridia::Packet& packet, bool sealed);
  void handleAuditTrail(meridia::Packet& packet, uint64_t bodyEnd, bool sealed);
  void sendReply(const meridia::Packet& request, meridia::Packet& reply);
  void sendError(const meridia::Packet& request, int32_t id, const std::string& text);
  // Starts a line with the connection number, the unit and, on a protected
  // stream, whether the block came sealed.
  void start(JsonLine& l, const char* unit, bool sealed) const;
  void write(JsonLine& l) { state_.out->write(l); }

  CollectorState& state_;
  AcceptorStream stream_;
  std::string peer_;
  uint64_t conn_;
  bool started_ = false;
  bool sessionOpen_ = false, auditTrailOpen_ = false;
  ofw::Guid sessionChannel_, auditTrailChannel_;
};

// "N:M" into two numbers; false when malformed.
bool parsePair(const std::string& text, int64_t& first, int64_t& second);

}  // namespace vgcollector
