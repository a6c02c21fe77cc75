#include "tools/vgcollector/collector_session.h"

#include <unistd.h>

#include <cstdlib>

#include "ofw/exceptions.h"
#include "ovgfw/collector_protocol.h"
#include "ovgfw/ovg_message.h"
#include "tools/shellside/session_record_reader.h"

namespace vgcollector {
namespace {

using meridia::Packet;
using ovgfw::OVGMessage;

// Text fields as sent when they are printable ASCII, else in the escaped form
// `vgspool show` uses (so that every line is valid UTF-8).
std::string text(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7e) return ovg::escapeBytes(s);
  return s;
}

std::string guidText(const ofw::Guid& g) { return g.toMSString(); }

std::string timeText(const struct timeval& tv) { return ovg::formatTimeval(tv); }

// Fires once, for message n == at.
bool fires(int64_t at, uint64_t n, std::atomic<bool>& fired) {
  return at >= 0 && static_cast<uint64_t>(at) == n && !fired.exchange(true);
}

// A header-less reader over received bytes (the typed values of packets).
meridia::ByteSequenceModeler reader(const std::string& bytes) {
  meridia::ByteSequenceModeler r(0, 0);
  if (!bytes.empty()) r.writeNBytes(bytes.data(), bytes.size());
  r.rewindTailData();
  return r;
}

void requireWithin(const meridia::ByteSequenceModeler& r, uint64_t end, const char* what) {
  if (r.getOffset() > end) OFW_THROW(ofw::BadDataException, std::string(what) + " ends early");
}

}  // namespace

bool parsePair(const std::string& s, int64_t& first, int64_t& second) {
  char* end = nullptr;
  first = strtoll(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != ':') return false;
  const char* rest = end + 1;
  second = strtoll(rest, &end, 10);
  return end != rest && *end == '\0' && first >= 0 && second >= 0;
}

CollectorSession::CollectorSession(CollectorState& state, ofw::UniqueFd socket, const std::string& peer)
    : state_(state), stream_(std::move(socket), state.maxToken, state.readTimeout, state.writeTimeout),
      peer_(peer), conn_(++state.connections) {}

void CollectorSession::start(JsonLine& l, const char* unit, bool sealed) const {
  l.add("conn", static_cast<int64_t>(conn_)).add("unit", unit);
  if (stream_.options() & 3) l.add("sealed", sealed);
}

void CollectorSession::run() {
  std::string reason = "peer closed";
  try {
    JsonLine connect;
    connect.add("conn", static_cast<int64_t>(conn_)).add("unit", "connect").add("peer", peer_);
    write(connect);
    stream_.accept();
    JsonLine auth;
    auth.add("conn", static_cast<int64_t>(conn_)).add("unit", "auth").add("client", stream_.clientName());
    auth.add("options", static_cast<int64_t>(stream_.options()));
    auth.add("mutual", (stream_.contextFlags() & GSS_C_MUTUAL_FLAG) != 0);
    write(auth);
    for (;;) {
      bool sealed = false;
      std::string block = stream_.readBlock(sealed);
      if (!handleBlock(block, sealed)) {
        reason = "fault switch";
        break;
      }
    }
  } catch (const ofw::IOException& e) {
    // The client going away between tokens is the normal end.
    if (!(e.code() == 0 && std::string(e.what()) == "Read terminated but incomplete!")) reason = e.what();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  JsonLine close;
  close.add("conn", static_cast<int64_t>(conn_)).add("unit", "close").add("reason", reason);
  write(close);
}

bool CollectorSession::handleBlock(const std::string& block, bool sealed) {
  if (!started_ && block.size() == 1) {
    started_ = true;
    const uint8_t mode = static_cast<uint8_t>(block[0]);
    JsonLine l;
    start(l, "start", sealed);
    l.add("mode", mode == ovgfw::START_PROBE ? "probe" : mode == ovgfw::START_CONNECT ? "connect" : "unknown");
    l.add("byte", static_cast<int64_t>(mode));
    write(l);
    return true;
  }
  if (block.size() < Packet::HEADER_SIZE)
    OFW_THROW(ofw::BadDataException, "Packet of " + std::to_string(block.size()) + " bytes");
  Packet packet(block, true, false);
  if (packet.getLengthField() != block.size() - Packet::LENGTH_SIZE)
    OFW_THROW(ofw::BadDataException, "Packet length field " + std::to_string(packet.getLengthField()) +
                                         " for " + std::to_string(block.size()) + " bytes");
  const ofw::Guid channel = packet.getChannel();
  if (channel == meridia::CONTROL_CHANNEL_GUID) {
    handleControl(packet, block.size(), sealed);
  } else if (sessionOpen_ && channel == sessionChannel_) {
    return handleSessionMessage(packet, sealed);
  } else if (auditTrailOpen_ && channel == auditTrailChannel_) {
    handleAuditTrail(packet, block.size(), sealed);
  } else {
    JsonLine l;
    start(l, "unknown-channel", sealed);
    l.add("channel", guidText(channel));
    write(l);
    sendError(packet, ovgfw::PACKET_ERROR_COLLECTOR, "No channel " + guidText(channel));
  }
  return true;
}

void CollectorSession::handleControl(Packet& packet, uint64_t end, bool sealed) {
  const uint8_t command = packet.readByte();
  if (command == ovgfw::CONTROL_GREETING) {
    JsonLine l;
    start(l, "greeting", sealed);
    l.add("level", static_cast<int64_t>(packet.readByte()));
    requireWithin(packet, end, "Greeting");
    write(l);
    Packet reply;
    reply.writeByte(command);
    sendReply(packet, reply);
  } else if (command == ovgfw::CONTROL_OPEN_CHANNEL) {
    const ofw::Guid service = packet.readGuid();
    const ofw::Guid channel = packet.readGuid();
    bool trailer = false;
    if (packet.getOffset() < end) {
      trailer = packet.readByte() == 1 && packet.readGuid() == channel;
      requireWithin(packet, end, "Channel open");
    }
    requireWithin(packet, end, "Channel open");
    const bool isSession = service == ofw::Guid::fromString(ovgfw::SESSION_SERVICE_GUID);
    const bool isAuditTrail = service == ofw::Guid::fromString(ovgfw::AUDIT_TRAIL_SERVICE_GUID);
    const bool refused = !(isSession || isAuditTrail) || (isAuditTrail && state_.faults.refuseAuditTrail);
    JsonLine l;
    start(l, "open", sealed);
    l.add("service", isSession ? "session" : isAuditTrail ? "audit-trail" : guidText(service));
    l.add("channel", guidText(channel)).add("trailer", trailer).add("refused", refused);
    write(l);
    if (refused) {
      sendError(packet, ovgfw::PACKET_ERROR_REFUSED, "Channel connection refused");
      return;
    }
    if (isSession) {
      sessionChannel_ = channel;
      sessionOpen_ = true;
    } else {
      auditTrailChannel_ = channel;
      auditTrailOpen_ = true;
    }
    Packet reply;
    reply.writeByte(command);
    sendReply(packet, reply);
  } else if (command == ovgfw::CONTROL_PING) {
    const std::string body = packet.readBlob();
    requireWithin(packet, end, "Ping");
    meridia::ByteSequenceModeler r = reader(body);
    const int version = body.empty() ? 0 : r.readByte();
    JsonLine l;
    start(l, "ping", sealed);
    l.add("version", static_cast<int64_t>(version));
    if (version >= ovgfw::PING_V1 && version < ovgfw::PING_V4) {
      l.add("interval", static_cast<int64_t>(r.readInt32())).add("state", static_cast<int64_t>(r.readInt32()));
      l.add("description", text(r.readString())).add("startup", timeText(r.readTimestamp()));
      if (version >= 2) l.add("uptime", r.readInt64());
      if (version >= 3) l.add("agent", text(r.readString())).add("host", text(r.readString()));
    } else if (version == ovgfw::PING_V4) {
      l.add("json", text(r.readString()));
    }
    requireWithin(r, body.size(), "Ping body");
    const bool refused = version < ovgfw::PING_V1 || version > ovgfw::PING_V4 ||
                         (state_.faults.refusePingFrom > 0 && version >= state_.faults.refusePingFrom);
    l.add("refused", refused);
    write(l);
    if (refused) {
      sendError(packet, ovgfw::PACKET_ERROR_COLLECTOR, "Ping version " + std::to_string(version) + " refused");
      return;
    }
    Packet reply;
    reply.writeByte(command);
    sendReply(packet, reply);
  } else {
    JsonLine l;
    start(l, "control", sealed);
    l.add("command", static_cast<int64_t>(command));
    write(l);
    sendError(packet, ovgfw::PACKET_ERROR_COLLECTOR, "Unknown control command " + std::to_string(command));
  }
}

bool CollectorSession::handleSessionMessage(Packet& packet, bool sealed) {
  const std::string bytes = packet.readString();
  OVGMessage m;
  m.deserialize(bytes);
  const bool channelOpen = m.getType() == OVGMessage::TYPE_CHANNEL_OPEN;
  const uint64_t n = channelOpen ? 0 : ++state_.messages;

  JsonLine l;
  start(l, "message", sealed);
  l.add("n", static_cast<int64_t>(n)).add("type", static_cast<int64_t>(m.getType()));
  l.add("seq", static_cast<int64_t>(m.getSequenceNumber())).add("ack", m.isAckRequired());
  if (channelOpen) {
    l.add("name", "channel open").add("level", static_cast<int64_t>(m.readByte()));
    l.add("zone", m.readGUID().toString()).add("host", text(m.readString())).add("version", text(m.readString()));
  } else {
    ovg::SessionRecordView r;
    std::string error;
    if (!ovg::decodeSessionRecord(bytes.data(), bytes.size(), r, error)) {
      l.add("name", ovg::sessionRecordTypeName(m.getType())).add("error", error);
      l.addHex("body", bytes.substr(OVGMessage::HEADER_SIZE));
    } else {
      l.add("name", ovg::sessionRecordTypeName(r.type));
      if (r.opaqueBody || r.body.size()) {
        l.addHex("body", r.body);
      } else {
        l.add("session", r.guid.toSwappedMSString()).add("time", timeText(r.time));
        if (r.type == OVGMessage::TYPE_SESSION_DATA) l.add("stream", static_cast<int64_t>(r.stream)).addHex("data", r.data);
        if (r.type == OVGMessage::TYPE_WINDOW_SIZE)
          l.add("size", std::vector<std::string>{std::to_string(r.size[0]), std::to_string(r.size[1]),
                                                 std::to_string(r.size[2]), std::to_string(r.size[3])});
        if (r.type == OVGMessage::TYPE_SESSION_START || r.type == OVGMessage::TYPE_SESSION_RESUME) {
          std::vector<std::string> argv;
          for (const auto& a : r.start.argv) argv.push_back(text(a));
          l.add("user", text(r.start.userName)).add("tty", text(r.start.tty)).add("argv", argv);
        }
      }
    }
  }

  const bool wantsReply = packet.getFlags() & Packet::FLAG_REPLY_EXPECTED;
  Faults& f = state_.faults;
  const bool exception = wantsReply && fires(f.exceptionAt, n, state_.exceptionFired);
  const bool wrongAck = wantsReply && !exception && fires(f.wrongAckAt, n, state_.wrongAckFired);
  const bool stall = wantsReply && fires(f.stallAt, n, state_.stallFired);
  const bool close = fires(f.closeAfter, n, state_.closeFired) || (f.closeEvery > 0 && n > 0 && n % f.closeEvery == 0);
  l.add("reply", !wantsReply ? "none" : exception ? "exception" : wrongAck ? "wrong-ack" : "ack");
  write(l);

  if (wantsReply) {
    if (stall) sleep(static_cast<unsigned>(f.stallSeconds));
    OVGMessage answer(exception ? OVGMessage::TYPE_EXCEPTION : OVGMessage::TYPE_ACK,
                      m.getSequenceNumber() + (wrongAck ? 1 : 0));
    answer.writeUInt64(m.getSequenceNumber() + (wrongAck ? 1 : 0));
    if (exception) {
      answer.writeUInt32(f.exceptionCode);
      if (ovgfw::exceptionCodeHasText(f.exceptionCode))
        answer.writeString("fault switch: exception reply to message " + std::to_string(n));
    }
    Packet reply;
    reply.writeString(answer.serialize());
    sendReply(packet, reply);
  }
  return !close;
}

void CollectorSession::handleAuditTrail(Packet& packet, uint64_t end, bool sealed) {
  JsonLine l;
  start(l, "audit-trail", sealed);
  l.add("kind", static_cast<int64_t>(packet.readByte()));
  std::vector<std::string> strings;
  strings.push_back(text(packet.readString()));
  strings.push_back(text(packet.readString()));
  const int32_t event = packet.readInt32();
  const std::string when = timeText(packet.readTimestamp());
  for (int i = 0; i < 3; ++i) strings.push_back(text(packet.readString()));
  const ofw::Guid session = packet.readGuid();
  const int32_t pid32 = packet.readInt32();
  const std::string params = text(packet.readString());
  const int64_t pid = packet.readInt64();
  requireWithin(packet, end, "Audit-trail message");
  l.add("event", static_cast<int64_t>(event)).add("time", when).add("strings", strings);
  l.add("session", session.toMSString()).add("pid32", static_cast<int64_t>(pid32)).add("params", params);
  l.add("pid", pid);
  write(l);
  Packet reply;
  sendReply(packet, reply);
}

void CollectorSession::sendReply(const Packet& request, Packet& reply) {
  if (!(request.getFlags() & Packet::FLAG_REPLY_EXPECTED)) return;
  reply.setChannel(request.getChannel());
  stream_.writeBlock(reply.getData());
}

void CollectorSession::sendError(const Packet& request, int32_t id, const std::string& message) {
  Packet reply;
  reply.setFlags(Packet::FLAG_ERROR_REPORT);
  reply.writeInt32(id);
  reply.writeString(message);
  sendReply(request, reply);
}

}  // namespace vgcollector
