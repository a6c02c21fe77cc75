// The Kerberos-protected connection to a collector.
//
// Connecting: TCP (collector_socket.h), TCP_NODELAY, a SecureStream with the
// machine credential (the cache named by machine.creds, acquired without
// touching the environment), authentication to the target's principal, the
// start byte (1 probe, 2 connect), then on the control channel the greeting
// (6, 2), the session channel open and the channel-open request (message type
// 0: protocol level, zone GUID, host name, agent version) answered by an
// acknowledgement, and finally the audit-trail channel (whose refusal leaves
// the session channel usable). Channel GUIDs are new for every connection.
//
// Every failure of a connection attempt closes what it opened: no stream,
// socket or descriptor outlives a failed attempt, and the collector's record
// keeps the failure text. Malformed replies of the collector disconnect too
// and raise OVGException.
//
// Locking: the connected flag under the connection lock, the audit-trail flag
// under its own lock, the target under the target lock and the records under
// theirs. Sending and receiving on the stream are not locked: the owner runs
// one exchange at a time.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "meridia/packet.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"
#include "ofw/stream/secure_stream.h"
#include "ofw/threads/mutex.h"
#include "ovgfw/at_message.h"
#include "ovgfw/connection_info.h"
#include "ovgfw/ovg_connection.h"
#include "ovgfw/ovg_message.h"
#include "ovgfw/session_ping.h"

namespace ovgfw {

class SecureConnection : public OVGConnection {
 public:
  static constexpr int READ_TIMEOUT = 120;
  static constexpr int WRITE_TIMEOUT = 30;
  static constexpr int PROTOCOL_LEVEL = 1;
  // The zone placeholder of an unjoined host, sent as the all-zero GUID.
  static constexpr const char* ZONE_PLACEHOLDER = "0123456789abcdef0123456789abcdef";

  // The host's zone and name are read from the directory client's settings
  // files under `settingsPrefix`.
  explicit SecureConnection(std::string settingsPrefix = ofw::paths::KSET_PREFIX);
  ~SecureConnection() override;
  SecureConnection(const SecureConnection&) = delete;
  SecureConnection& operator=(const SecureConnection&) = delete;

  void connectToCollector() override;
  // Failures: OVGException (configuration, off limits, target, TCP, channel
  // open), ofw::KerberosException / BadDataException (credential, principal),
  // ofw::IOException / TimeoutException (stream).
  void connectToCollector(const std::string& target, bool probeOnly) override;
  // Tries the targets in order; a failure of one target is recorded, logged
  // and the next one tried. None connected: OVGException "Collector list is
  // exhausted, but no collector is connected.".
  void connectToCollectorFromList(const std::vector<std::string>& targets);
  void disconnect();
  // Shuts the socket down both ways, so that a read or write blocked in
  // another thread returns; the owner then disconnects. Any thread.
  void shutdownSocket();

  bool isConnected() const;
  bool isATConnected() const;
  std::string getTarget() const;

  // Sends `bytes` as a string in a packet with `flags` on the session channel.
  void sendRawData(const std::string& bytes, uint8_t flags);
  // Without waiting; the acknowledgement flag is cleared.
  void sendMessage(OVGRequestMessage& message);
  // Sends with the acknowledgement flag set and returns the collector's reply
  // (acknowledgement or exception reply: the caller interprets it).
  OVGResponseMessage sendMessageGetResponse(OVGRequestMessage& message);
  // Sends on the audit-trail channel and checks the reply.
  void sendATMessage(ATMessage& message);
  // Sends the status; a collector that refuses a version gets the next older
  // one (4 -> 3 -> 2 -> 1) within the call.
  void sessionPing(const SessionPingPayload& payload, int version);
  // The JSON form, logged at DEBUG.
  std::string getSessionPingPayloadInJson(const SessionPingPayload& payload);

  // Raises the error report of a received packet, if it carries one:
  // ID 1 OVGException "Collector returned error: %s", 2 "Channel connection
  // refused", 4 OVGSessionException "Channel session error: %s", others
  // OVGException "The collector returned an unexpected exception ID of %d with
  // message '%s'".
  static void ThrowIfPacketError(meridia::Packet& packet);
  // The reply parsers, on a received block: a block that is no well-formed
  // reply raises meridia::MeridiaException; an error report raises as
  // ThrowIfPacketError. parseReply checks the packet and its report;
  // parseControlReply also reads the first body byte; parseMessageReply reads
  // the body string as a collector message.
  static meridia::Packet parseReply(const std::string& block);
  static void parseControlReply(const std::string& block);
  static OVGResponseMessage parseMessageReply(const std::string& block);
  // "host:port:principal"; the principal is everything after the second colon.
  // Fewer fields: OVGException "SCP format is incorrect: %s". A port that is
  // not a number in 0..65535 is returned as -1.
  static void parseTarget(const std::string& target, std::string& principal, std::string& host, int& port);

  // Refused while connected: OVGException "Cannot change connection flags while connected".
  void setSigned(bool on);
  void setSealed(bool on);
  void setSymmetric(bool on);
  // The stream's time-outs in seconds (READ_TIMEOUT, WRITE_TIMEOUT by default).
  void setTimeouts(int readSeconds, int writeSeconds);

  ConnectionInfoPtr getConnectionInfo(const std::string& target) { return records_.get(target); }
  std::vector<ConnectionInfo> getConnectionInfoList() const { return records_.list(); }
  void markCollectorOffLimits(const std::string& target, long seconds) { records_.markOffLimits(target, seconds); }
  void markTransmissionSuccess() { records_.markTransmissionSuccess(getTarget()); }
  void markTransmissionError(const std::string& text) { records_.markTransmissionError(getTarget(), text); }
  void cleanConnectionList(const std::vector<std::string>& targets) { records_.clean(targets); }

 private:
  // The TCP connect to host_:port_; failures stamp the target's record.
  ofw::UniqueFd initConnect(const std::string& target);
  // The machine credential, with the texts about the cache used.
  std::shared_ptr<const ofw::stream::GssCredential> machineCredential();
  void readHostSettings(ofw::Guid& zone, std::string& hostName) const;
  void openMeridiaChannel(const ofw::Guid& zone, const std::string& hostName);
  void openChannel(const char* service, const ofw::Guid& channel, bool trailer);
  // Sends a control command and checks its reply (error report, first byte).
  void controlCall(const std::string& body);
  // Writes a packet and returns the reply block; a stream failure disconnects.
  std::string exchange(const meridia::Packet& packet);
  // Runs a reply parser; a malformed reply disconnects and raises OVGException.
  template <class Parse>
  auto parsed(Parse parse) -> decltype(parse());
  void pingOnce(const SessionPingPayload& payload, int version);
  void setConnected(bool on);
  void setATConnected(bool on);
  void requireDisconnected() const;

  std::string target_;
  bool connected_ = false;
  bool atConnected_ = false;
  std::unique_ptr<ofw::SecureStream> stream_;
  std::string host_;
  int port_ = -1;
  int readTimeout_ = READ_TIMEOUT;
  int writeTimeout_ = WRITE_TIMEOUT;
  int protocolLevel_ = PROTOCOL_LEVEL;
  ConnectionRecords records_;
  mutable ofw::Mutex connectionMutex_, atMutex_, targetMutex_;
  ofw::Guid sessionChannel_, atChannel_;
  ofw::LoggerPtr logger_;
  bool signed_ = true, sealed_ = true, symmetric_ = true;
  std::string settingsPrefix_;
};

}  // namespace ovgfw
