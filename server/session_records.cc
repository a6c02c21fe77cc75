#include "server/session_records.h"

namespace ovg {

void buildSessionStart(ovgfw::OVGMessage& m, const SessionStartInfo& info) {
  m.setType(ovgfw::OVGMessage::TYPE_SESSION_START);
  m.writeGUID(info.guid);
  m.writeTimestamp(info.start);
  m.writeInt32(info.userType);
  m.writeString(info.directoryName);
  m.writeString(info.sid);
  m.writeString(info.userName);
  m.writeString(info.tty);
  m.writeString(info.string1);
  m.writeString(info.string2);
  m.writeInt32(static_cast<int32_t>(info.argv.size()));
  for (const std::string& a : info.argv) m.writeString(a);
  m.writeString(info.userSource);
  m.writeByte(info.videoCapture);
  m.writeGUID(info.related);
}

void buildSessionEnd(ovgfw::OVGMessage& m, const ofw::Guid& guid, const struct timeval& end) {
  m.setType(ovgfw::OVGMessage::TYPE_SESSION_END);
  m.writeGUID(guid);
  m.writeTimestamp(end);
}

void buildSessionData(ovgfw::OVGMessage& m, const ofw::Guid& guid, const struct timeval& when, uint8_t stream,
                      const void* data, uint32_t length) {
  m.setType(ovgfw::OVGMessage::TYPE_SESSION_DATA);
  m.writeGUID(guid);
  m.writeTimestamp(when);
  m.writeByte(stream);
  m.writeBlob(data, length);
}

void buildWindowSize(ovgfw::OVGMessage& m, const ofw::Guid& guid, const struct timeval& when, const int32_t size[4]) {
  m.setType(ovgfw::OVGMessage::TYPE_WINDOW_SIZE);
  m.writeGUID(guid);
  m.writeTimestamp(when);
  for (int i = 0; i < 4; ++i) m.writeInt32(size[i]);
}

uint8_t streamByte(int32_t stream) { return stream == 1 ? 1 : stream == 2 ? 2 : 0; }

std::string latin1ToUtf8(const unsigned char* data, size_t length) {
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    unsigned char b = data[i];
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(b < 0xC0 ? 0xC2 : 0xC3);
      out += static_cast<char>((b & 0x3F) | 0x80);
    }
  }
  return out;
}

}  // namespace ovg
