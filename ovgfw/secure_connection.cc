#include "ovgfw/secure_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

#include "ofw/capi/dirsettings.h"
#include "ofw/config/properties.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ovgfw/collector_protocol.h"
#include "ovgfw/collector_socket.h"

namespace ovgfw {

namespace {

constexpr const char* kCcacheVariable = "KRB5CCNAME";
constexpr const char* kDefaultMachineCreds = "/etc/krb5.ccache";

[[noreturn]] void throwOVG(const std::string& text) { throw OVGException(text, 0, __FILE__, __LINE__); }

std::string bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }

}  // namespace

SecureConnection::SecureConnection(std::string settingsPrefix)
    : logger_(ofw::getLogger("vgd.secure.connection")), settingsPrefix_(std::move(settingsPrefix)) {}

SecureConnection::~SecureConnection() { disconnect(); }

// ---- flags and state ----

bool SecureConnection::isConnected() const {
  ofw::Lock lock(connectionMutex_);
  return connected_;
}

bool SecureConnection::isATConnected() const {
  ofw::Lock lock(atMutex_);
  return atConnected_;
}

void SecureConnection::setConnected(bool on) {
  ofw::Lock lock(connectionMutex_);
  connected_ = on;
}

void SecureConnection::setATConnected(bool on) {
  ofw::Lock lock(atMutex_);
  atConnected_ = on;
}

std::string SecureConnection::getTarget() const {
  ofw::Lock lock(targetMutex_);
  return target_;
}

void SecureConnection::requireDisconnected() const {
  if (isConnected()) throwOVG("Cannot change connection flags while connected");
}

void SecureConnection::setSigned(bool on) {
  requireDisconnected();
  signed_ = on;
}

void SecureConnection::setSealed(bool on) {
  requireDisconnected();
  sealed_ = on;
}

void SecureConnection::setSymmetric(bool on) {
  requireDisconnected();
  symmetric_ = on;
}

void SecureConnection::setTimeouts(int readSeconds, int writeSeconds) {
  readTimeout_ = readSeconds;
  writeTimeout_ = writeSeconds;
}

void SecureConnection::disconnect() {
  {
    ofw::Lock lock(connectionMutex_);
    stream_.reset();  // closes the socket the stream owns
    connected_ = false;
  }
  setATConnected(false);
}

void SecureConnection::shutdownSocket() {
  ofw::Lock lock(connectionMutex_);
  if (stream_ && stream_->isOpen()) ::shutdown(stream_->socket(), SHUT_RDWR);
}

// ---- connecting ----

void SecureConnection::parseTarget(const std::string& target, std::string& principal, std::string& host,
                                   int& port) {
  const size_t first = target.find(':');
  const size_t second = first == std::string::npos ? first : target.find(':', first + 1);
  if (second == std::string::npos) throwOVG("SCP format is incorrect: " + target);
  host = target.substr(0, first);
  principal = target.substr(second + 1);
  const std::string portText = target.substr(first + 1, second - first - 1);
  port = -1;
  if (!portText.empty() && portText.size() <= 5 &&
      std::all_of(portText.begin(), portText.end(), [](unsigned char c) { return std::isdigit(c); })) {
    const int value = std::atoi(portText.c_str());
    if (value <= 65535) port = value;
  }
}

void SecureConnection::connectToCollector() { connectToCollector(getTarget(), false); }

void SecureConnection::connectToCollector(const std::string& target, bool probeOnly) {
  if (sealed_ && !signed_) throwOVG("Invalid connection configuration.  Signing must be set if sealing.");
  if (target.empty()) throwOVG("Cannot connect to an empty target");
  records_.checkOffLimits(target);
  std::string principal, host;
  int port = -1;
  parseTarget(target, principal, host, port);
  if (port == -1 || host.empty() || principal.empty())
    throwOVG(ofw::format("Invalid target values, principal: %s host: %s port: %d", principal.c_str(),
                         host.c_str(), port));
  // A connection still held is dropped before its replacement is made.
  disconnect();
  {
    ofw::Lock lock(targetMutex_);
    target_ = target;
  }
  host_ = host;
  port_ = port;
  OFW_DEBUG(logger_, "Attempting connection to: %s@%s:%d", principal.c_str(), host.c_str(), port);

  ofw::UniqueFd fd = initConnect(target);
  try {
    const int one = 1;
    if (setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
      OFW_DEBUG(logger_, "unable to enable TCP_NODELAY");
    auto stream = std::make_unique<ofw::SecureStream>(std::move(fd), readTimeout_, writeTimeout_);
    stream->setCredential(machineCredential());
    {
      ofw::Lock lock(connectionMutex_);
      stream_ = std::move(stream);
    }
    stream_->authenticateAsClient(principal, signed_, sealed_, symmetric_);
    setConnected(true);

    ofw::Guid zone;
    std::string hostName;
    readHostSettings(zone, hostName);
    if (probeOnly) {
      stream_->writeDataBlock(std::string(1, static_cast<char>(START_PROBE)));
      return;
    }
    stream_->writeDataBlock(std::string(1, static_cast<char>(START_CONNECT)));
    openMeridiaChannel(zone, hostName);
  } catch (const std::exception& e) {
    records_.markConnectError(target, e.what());
    disconnect();
    throw;
  }
}

ofw::UniqueFd SecureConnection::initConnect(const std::string& target) {
  long seconds = ofw::Props().getTime("vgd.collector.connect.timeout", 's', 60);
  if (seconds <= 0) seconds = 60;
  const int timeoutMs = seconds > INT_MAX / 1000 ? INT_MAX : static_cast<int>(seconds * 1000);
  ConnectFailure failure;
  try {
    return connectCollectorSocket(host_, port_, target, timeoutMs, logger_, failure);
  } catch (const OVGException&) {
    if (!failure.recordText.empty()) records_.markConnectError(target, failure.recordText);
    throw;
  }
}

std::shared_ptr<const ofw::stream::GssCredential> SecureConnection::machineCredential() {
  std::string cache = ofw::Props().getProperty("machine.creds");
  if (cache.empty()) cache = kDefaultMachineCreds;
  // The environment is only read, never changed: the credential is taken from
  // the cache by name. The texts tell which cache this connection uses.
  const char* current = std::getenv(kCcacheVariable);
  if (current && cache == current)
    OFW_DEBUG(logger_, "%s exists and has same value as we want: %s. Do not touch it.", kCcacheVariable,
              cache.c_str());
  else if (current)
    OFW_DEBUG(logger_, "Setting %s from %s to: %s", kCcacheVariable, current, cache.c_str());
  else
    OFW_DEBUG(logger_, "Setting %s: %s", kCcacheVariable, cache.c_str());
  return ofw::stream::GssCredential::fromCache(cache);
}

void SecureConnection::readHostSettings(ofw::Guid& zone, std::string& hostName) const {
  std::string zoneText;
  if (!ofw::getDirectorySetting("zone", zoneText, settingsPrefix_)) zoneText.clear();
  std::transform(zoneText.begin(), zoneText.end(), zoneText.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  zone = zoneText == ZONE_PLACEHOLDER ? ofw::Guid() : ofw::Guid::fromString(zoneText);
  if (!ofw::getDirectorySetting("host", hostName, settingsPrefix_)) hostName.clear();
}

void SecureConnection::connectToCollectorFromList(const std::vector<std::string>& targets) {
  for (const std::string& target : targets) {
    try {
      connectToCollector(target, false);
    } catch (const OVGException& e) {
      OFW_DEBUG(logger_, "Unable to connect to collector: %s. Going to try the next one.", e.what());
      continue;
    } catch (const ofw::IOException&) {
      OFW_DEBUG(logger_, "Unable to connect to collector %s. Please make sure it is running. Going to try the next one.",
                target.c_str());
      continue;
    } catch (const std::exception& e) {
      // Kerberos, time-out, principal: this target's failure, not the list's.
      OFW_DEBUG(logger_, "Unable to connect to collector: %s. Going to try the next one.",
                (target + ": " + e.what()).c_str());
      continue;
    }
    OFW_DEBUG(logger_, "Connected to collector with: %s", target.c_str());
    if (isConnected()) return;
  }
  throwOVG("Collector list is exhausted, but no collector is connected.");
}

// ---- channels ----

void SecureConnection::openChannel(const char* service, const ofw::Guid& channel, bool trailer) {
  meridia::Packet body;
  body.writeByte(CONTROL_OPEN_CHANNEL);
  body.writeGuid(ofw::Guid::fromString(service));
  body.writeGuid(channel);
  if (trailer) {
    body.writeByte(1);
    body.writeGuid(channel);
  }
  controlCall(body.getTailData());
}

void SecureConnection::openMeridiaChannel(const ofw::Guid& zone, const std::string& hostName) {
  controlCall(bytes({CONTROL_GREETING, GREETING_LEVEL}));
  sessionChannel_ = ofw::Guid::generate();
  openChannel(SESSION_SERVICE_GUID, sessionChannel_, false);

  OVGRequestMessage open(OVGMessage::TYPE_CHANNEL_OPEN, 0);
  open.writeByte(static_cast<uint8_t>(protocolLevel_ & 0xff));
  open.writeGUID(zone);
  open.writeString(hostName);
  open.writeString(ofw::paths::VERSION_TEXT);
  OVGResponseMessage reply = sendMessageGetResponse(open);
  if (reply.getType() != OVGMessage::TYPE_ACK) {
    std::string text;
    if (reply.getType() == OVGMessage::TYPE_EXCEPTION) {
      const OVGExceptionReply r = reply.readExceptionReply();
      text = channelOpenExceptionText(r.code, host_, r.text);
    } else {
      text = "Server " + host_ + " responded to connection request with invalid type: " +
             std::to_string(reply.getType());
    }
    disconnect();
    throwOVG(text);
  }
  OFW_DEBUG(logger_, "Connected");
  records_.markConnected(getTarget());
  setConnected(true);

  try {
    atChannel_ = ofw::Guid::generate();
    openChannel(AUDIT_TRAIL_SERVICE_GUID, atChannel_, true);
    OFW_DEBUG(logger_, "Audit Trail service connected");
    setATConnected(true);
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Connect to Audit Trail service failed: %s", e.what());
  }
}

// ---- exchanges ----

std::string SecureConnection::exchange(const meridia::Packet& packet) {
  try {
    if (!stream_) throwOVG("Can't send a message when not connected");
    stream_->writeDataBlock(packet.getData());
    return stream_->readDataBlock();
  } catch (const ofw::Base_Exception&) {
    // The stream closed its socket; nothing more can pass it.
    disconnect();
    throw;
  }
}

template <class Parse>
auto SecureConnection::parsed(Parse parse) -> decltype(parse()) {
  try {
    return parse();
  } catch (const meridia::MeridiaException& e) {
    disconnect();
    throwOVG("Malformed reply from the collector: " + e.message());
  }
}

meridia::Packet SecureConnection::parseReply(const std::string& block) {
  meridia::Packet reply(block, true, false);
  ThrowIfPacketError(reply);
  return reply;
}

void SecureConnection::parseControlReply(const std::string& block) { parseReply(block).readByte(); }

OVGResponseMessage SecureConnection::parseMessageReply(const std::string& block) {
  meridia::Packet reply = parseReply(block);
  OVGResponseMessage response;
  try {
    response.deserialize(reply.readString());
  } catch (const OVGException& e) {  // a message without a body
    throw meridia::MeridiaException(e.message(), 0, __FILE__, __LINE__);
  }
  if (!response.isSerialized())  // an empty string holds no message at all
    throw meridia::MeridiaException("Empty collector message in reply", 0, __FILE__, __LINE__);
  return response;
}

void SecureConnection::controlCall(const std::string& body) {
  meridia::Packet packet(body, false, true);
  packet.setFlags(meridia::Packet::FLAG_REPLY_EXPECTED);
  packet.setChannel(meridia::CONTROL_CHANNEL_GUID);
  const std::string block = exchange(packet);
  parsed([&] { parseControlReply(block); });
}

void SecureConnection::ThrowIfPacketError(meridia::Packet& packet) {
  if (!(packet.getFlags() & meridia::Packet::FLAG_ERROR_REPORT)) return;
  const int32_t id = packet.readInt32();
  const std::string text = packet.readString();
  switch (id) {
    case PACKET_ERROR_COLLECTOR: throwOVG("Collector returned error: " + text);
    case PACKET_ERROR_REFUSED: throwOVG("Channel connection refused");
    case PACKET_ERROR_SESSION:
      throw OVGSessionException("Channel session error: " + text, 0, __FILE__, __LINE__);
    default:
      throwOVG(ofw::format("The collector returned an unexpected exception ID of %d with message '%s'", id,
                           text.c_str()));
  }
}

void SecureConnection::sendRawData(const std::string& bytes, uint8_t flags) {
  if (!isConnected()) throwOVG("Can't send a message when not connected");
  meridia::Packet packet;
  packet.setFlags(flags);
  packet.setChannel(sessionChannel_);
  packet.writeString(bytes);
  try {
    stream_->writeDataBlock(packet.getData());
  } catch (const ofw::Base_Exception&) {
    disconnect();
    throw;
  }
}

void SecureConnection::sendMessage(OVGRequestMessage& message) {
  message.setAckRequired(false);
  sendRawData(message.serialize(), 0);
}

OVGResponseMessage SecureConnection::sendMessageGetResponse(OVGRequestMessage& message) {
  message.setAckRequired(true);
  const std::string bytes = message.serialize();
  if (!isConnected()) throwOVG("Can't send a message when not connected");
  meridia::Packet packet;
  packet.setFlags(meridia::Packet::FLAG_REPLY_EXPECTED);
  packet.setChannel(sessionChannel_);
  packet.writeString(bytes);
  const std::string block = exchange(packet);
  return parsed([&] { return parseMessageReply(block); });
}

void SecureConnection::sendATMessage(ATMessage& message) {
  if (!isATConnected()) throwOVG("Can't send a audit trail message when not connected");
  meridia::Packet packet(message.getData(), false, true);
  packet.setFlags(meridia::Packet::FLAG_REPLY_EXPECTED);
  packet.setChannel(atChannel_);
  const std::string block = exchange(packet);
  parsed([&] { parseReply(block); });
}

// ---- session ping ----

std::string SecureConnection::getSessionPingPayloadInJson(const SessionPingPayload& payload) {
  const std::string json = ovgfw::getSessionPingPayloadInJson(payload);
  OFW_DEBUG(logger_, "The payload of session ping message: %s", json.c_str());
  return json;
}

void SecureConnection::pingOnce(const SessionPingPayload& payload, int version) {
  if (version == 4) getSessionPingPayloadInJson(payload);  // for the log
  const std::string body = sessionPingBody(payload, version);
  meridia::Packet command;
  command.writeByte(CONTROL_PING);
  command.writeBlob(body.data(), body.size());
  controlCall(command.getTailData());
}

void SecureConnection::sessionPing(const SessionPingPayload& payload, int version) {
  if (!isConnected()) throwOVG("Can't send a session ping when not connected");
  if (version < PING_V1 || version > PING_V4)
    throwOVG(ofw::format("Ping packet version unknown: %d.", version));
  for (int v = version;; --v) {
    try {
      pingOnce(payload, v);
    } catch (const OVGException&) {
      // Only an error report falls back; a lost connection goes to the caller.
      if (v == PING_V1 || !isConnected()) throw;
      if (v == 4)
        OFW_DEBUG(logger_, "Ping by SESSION_PING_4 (ID: %d) failed. Try SESSION_PING_3 (ID: %d).", v, v - 1);
      else if (v == 3)
        OFW_DEBUG(logger_, "Ping by SESSION_PING_3 (ID: %d) failed. Try SESSION_PING_2 (ID: %d).", v, v - 1);
      else
        OFW_DEBUG(logger_, "Ping by SESSION_PING_2 (ID: %d) failed. Try SESSION_PING (ID: %d).", v, v - 1);
      continue;
    }
    if (v == PING_V1 && version > PING_V1)
      OFW_WARN(logger_, "Ping by new SESSION_PING failed. Ping by old SESSION_PING OK. Need to upgrade the collector!");
    return;
  }
}

}  // namespace ovgfw
