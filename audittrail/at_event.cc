#include "audittrail/at_event.h"

#include "ofw/codec.h"
#include "ovgfw/at_message.h"

namespace audittrail {

EventTime eventTimeFromTimeval(const std::string& blob, const ofw::LoggerPtr& logger) {
  EventTime t;
  if (blob.empty()) return t;
  t.present = true;
  OFW_TRACE(logger, "The sizeof struct timeval in this audit trial event: sender side is %lu, receiver side is %lu",
            static_cast<unsigned long>(blob.size()), static_cast<unsigned long>(sizeof(struct timeval)));
  const char* p = blob.data();
  if (blob.size() == 16) {
    t.tv.tv_sec = static_cast<time_t>(static_cast<int64_t>(ofw::codec::getU64(p)));
    t.tv.tv_usec = static_cast<suseconds_t>(static_cast<int64_t>(ofw::codec::getU64(p + 8)));
  } else if (blob.size() == 8) {
    t.tv.tv_sec = static_cast<time_t>(static_cast<int32_t>(ofw::codec::getU32(p)));
    t.tv.tv_usec = static_cast<suseconds_t>(static_cast<int32_t>(ofw::codec::getU32(p + 4)));
  } else {
    OFW_WARN(logger, "Unsupported data length of event time, the event time in this audit trail event will be 0");
  }
  return t;
}

EventTime eventTimeFromParts(const std::string& seconds, const std::string& microseconds,
                             const ofw::LoggerPtr& logger) {
  EventTime t;
  if (seconds.empty() && microseconds.empty()) return t;
  t.present = true;
  if (seconds.size() == 8)
    t.tv.tv_sec = static_cast<time_t>(static_cast<int64_t>(ofw::codec::getU64(seconds.data())));
  else
    OFW_WARN(logger, "Failed to get the event time's seconds due to this data's incorrect length(%lu)",
             static_cast<unsigned long>(seconds.size()));
  if (microseconds.size() == 8)
    t.tv.tv_usec = static_cast<suseconds_t>(static_cast<int64_t>(ofw::codec::getU64(microseconds.data())));
  else
    OFW_WARN(logger, "Failed to get the event time's microseconds due to this data's incorrect length(%lu)",
             static_cast<unsigned long>(microseconds.size()));
  return t;
}

uint64_t pidFromBlob(const std::string& blob) { return blob.size() == 8 ? ofw::codec::getU64(blob.data()) : 0; }

ofw::Guid sessionGuidFromText(const std::string& text, const ofw::LoggerPtr& logger) {
  if (ofw::Guid::isValidGuidStringFormat(text)) return ofw::Guid::fromString(text);
  OFW_DEBUG(logger, "VG_Session information in audit trail event is not valid. (%s)", text.c_str());
  return ofw::Guid();
}

std::string buildATMessage(const ATEvent& event, const ofw::LoggerPtr& logger) {
  ovgfw::ATMessage m;
  m.writeByte(2);
  m.writeString(event.first);
  m.writeString(event.second);
  m.writeInt32(static_cast<int32_t>(event.eventId));
  if (event.time.present) {
    m.writeTimestamp(event.time.tv);
  } else {
    OFW_DEBUG(logger, "The eventTime is NULL, will use the current time instead");
    m.writeTimestamp();
  }
  m.writeString(event.fifth);
  m.writeString(event.sixth);
  m.writeString(std::string());
  m.writeGuid(event.session);
  if (event.pid <= UINT32_MAX) {
    OFW_DEBUG(logger, "Audit trail process ID can be represented using 32 bits. (%d)", static_cast<int>(event.pid));
    m.writeInt32(static_cast<int32_t>(static_cast<uint32_t>(event.pid)));
  } else {
    OFW_DEBUG(logger, "Audit trail process ID cannot be represented using 32 bits. Using 0 as the PID.");
    m.writeInt32(0);
  }
  m.writeString(event.parameters);
  m.writeInt64(static_cast<int64_t>(event.pid));
  return m.getData();
}

}  // namespace audittrail
