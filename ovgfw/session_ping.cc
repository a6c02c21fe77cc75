#include "ovgfw/session_ping.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "meridia/byte_sequence.h"
#include "ofw/format.h"
#include "ovgfw/ovg_exception.h"

namespace ovgfw {

std::string getSessionPingPayloadInJson(const SessionPingPayload& p) {
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> w(out);
  auto text = [&](const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  auto int32 = [&](const char* key, int32_t value) {
    w.Key(key);
    w.Int(value);
  };
  auto int64 = [&](const char* key, int64_t value) {
    w.Key(key);
    w.Int64(value);
  };
  w.StartObject();
  int32("UpdateInterval", p.updateInterval);
  int32("State", p.state);
  text("StateDescription", p.stateDescription);
  int64("StartupTime", static_cast<int64_t>(p.startupTime.tv_sec));
  int64("UpTime", p.upTime);
  text("AgentVersion", p.agentVersion);
  text("Hostname", p.hostname);
  int64("SessionOfflineStoreSize", p.sessionOfflineStoreSize);
  int64("AuditTrailOfflineStoreSize", p.auditTrailOfflineStoreSize);
  int32("FreeDiskSpace", p.freeDiskSpace);
  text("Site", p.site);
  int32("SessionAuditing", p.sessionAuditing);
  int32("DeploymentType", p.deploymentType);
  int32("AdvancedMonitoring", p.advancedMonitoring);
  int32("DespoolRate", p.despoolRate);
  int32("FbSessionAuditing", p.fbSessionAuditing);
  w.EndObject();
  return std::string(out.GetString(), out.GetSize());
}

std::string sessionPingBody(const SessionPingPayload& p, int version) {
  if (version < 1 || version > 4)
    throw OVGException(ofw::format("Ping packet version unknown: %d.", version), 0, __FILE__, __LINE__);
  meridia::ByteSequenceModeler b(0, 0);
  b.writeByte(static_cast<uint8_t>(version));
  if (version == 4) {
    b.writeString(getSessionPingPayloadInJson(p));
    return b.getData();
  }
  b.writeInt32(p.updateInterval);
  b.writeInt32(p.state);
  b.writeString(p.stateDescription);
  b.writeTimestamp(p.startupTime);
  if (version >= 2) b.writeInt64(p.upTime);
  if (version >= 3) {
    b.writeString(p.agentVersion);
    b.writeString(p.hostname);
  }
  return b.getData();
}

}  // namespace ovgfw
