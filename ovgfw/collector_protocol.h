// Fixed values of the collector protocol above the packets, shared by the
// daemon's side and the collector's side of a connection.
#pragma once
#include <cstdint>

namespace ovgfw {

// The single-byte data block that follows authentication.
constexpr uint8_t START_PROBE = 1;    // connectivity probe only; no channels follow
constexpr uint8_t START_CONNECT = 2;  // the channels are opened next

// First body byte of a packet on the control channel.
constexpr uint8_t CONTROL_OPEN_CHANNEL = 2;  // service GUID, channel GUID [, byte 1, channel GUID]
constexpr uint8_t CONTROL_PING = 5;          // blob: the session-ping body
constexpr uint8_t CONTROL_GREETING = 6;      // byte: protocol greeting level (2)
constexpr uint8_t GREETING_LEVEL = 2;

// Services a channel is opened for (GUID text; packet GUID layout on the wire).
constexpr const char* SESSION_SERVICE_GUID = "B839418A-75A5-4a2c-AEC9-6039E6043A59";
constexpr const char* AUDIT_TRAIL_SERVICE_GUID = "9EB91FEA-BE61-45e7-A13D-0A0F8DD0D366";

// Exception IDs of a packet-level error report.
constexpr int32_t PACKET_ERROR_COLLECTOR = 1;  // "Collector returned error: %s"
constexpr int32_t PACKET_ERROR_REFUSED = 2;    // "Channel connection refused"
constexpr int32_t PACKET_ERROR_SESSION = 4;    // "Channel session error: %s"

// Session-ping versions (SESSION_PING .. SESSION_PING_4).
constexpr uint8_t PING_V1 = 1;
constexpr uint8_t PING_V4 = 4;

}  // namespace ovgfw
