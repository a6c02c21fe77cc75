#include "tools/shellside/session_record_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <exception>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/format.h"
#include "ofw/codec.h"
#include "ovgfw/ovg_message.h"

namespace ovg {

namespace {

typedef ovgfw::OVGMessage M;

// Reads the fields of a start record after its GUID and time. Throws on a
// short record (OVGMessage reads check every length before they copy).
void readStartFields(M& m, SessionStartInfo& s) {
  s.userType = m.readInt32();
  s.directoryName = m.readString();
  s.sid = m.readString();
  s.userName = m.readString();
  s.tty = m.readString();
  s.string1 = m.readString();
  s.string2 = m.readString();
  int32_t argc = m.readInt32();
  if (argc < 0) throw OVGException(ofw::format("negative argument count %d", argc), 0, __FILE__, __LINE__);
  // argc never sizes anything: each argument must be present in the record.
  s.argv.clear();
  for (int32_t i = 0; i < argc; ++i) s.argv.push_back(m.readString());
  s.userSource = m.readString();
  s.videoCapture = m.readByte();
  s.related = m.readGUID();
}

std::string headerBytes(const SessionRecordView& r) {
  unsigned char h[M::HEADER_SIZE];
  ofw::codec::putU16(h + M::TYPE_OFFSET, r.type);
  ofw::codec::putU64(h + M::SEQUENCE_OFFSET, r.sequenceNumber);
  ofw::codec::putU16(h + M::FLAGS_OFFSET, r.ackRequired ? M::FLAG_ACK_REQUIRED : 0);
  return std::string(reinterpret_cast<const char*>(h), sizeof h);
}

}  // namespace

std::string sessionRecordTypeName(uint16_t type) {
  switch (type) {
    case M::TYPE_SESSION_START: return "session start";
    case M::TYPE_SESSION_END: return "session end";
    case M::TYPE_SESSION_DATA: return "session data";
    case M::TYPE_WINDOW_SIZE: return "window size";
    case M::TYPE_SESSION_RESUME: return "session resume";
    default: return ofw::format("type %u", static_cast<unsigned>(type));
  }
}

bool decodeSessionRecord(const void* bytes, size_t length, SessionRecordView& out, std::string& error) {
  out = SessionRecordView();
  if (length < M::HEADER_SIZE) {
    error = ofw::format("record of %zu bytes is shorter than its %llu-byte header", length,
                        static_cast<unsigned long long>(M::HEADER_SIZE));
    return false;
  }
  M m;
  try {
    std::string copy(static_cast<const char*>(bytes), length);
    if (length == M::HEADER_SIZE) {
      // deserialize() refuses an empty body; the header still names the type.
      copy += '\0';
    }
    m.deserialize(copy);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  out.type = m.getType();
  out.sequenceNumber = m.getSequenceNumber();
  out.ackRequired = m.isAckRequired();
  const bool known = out.type == M::TYPE_SESSION_START || out.type == M::TYPE_SESSION_END ||
                     out.type == M::TYPE_SESSION_DATA || out.type == M::TYPE_WINDOW_SIZE ||
                     out.type == M::TYPE_SESSION_RESUME;
  if (!known) {
    out.body.assign(static_cast<const char*>(bytes) + M::HEADER_SIZE, length - M::HEADER_SIZE);
    return true;
  }
  if (length == M::HEADER_SIZE) {
    error = ofw::format("%s record has no body", sessionRecordTypeName(out.type).c_str());
    return false;
  }
  try {
    if (out.type == M::TYPE_SESSION_RESUME) {
      // The body came from the audit shell: it is normally a start record, but
      // anything the shell sent is shown rather than refused.
      uint64_t at = m.getOffset();
      try {
        out.guid = m.readGUID();
        out.time = m.readTimestamp();
        readStartFields(m, out.start);
      } catch (const std::exception&) {
        out.opaqueBody = true;
        out.start = SessionStartInfo();
        out.body.assign(static_cast<const char*>(bytes) + at, length - at);
        out.guid = ofw::Guid();
        out.time = {0, 0};
        return true;
      }
    } else {
      out.guid = m.readGUID();
      out.time = m.readTimestamp();
      switch (out.type) {
        case M::TYPE_SESSION_START: readStartFields(m, out.start); break;
        case M::TYPE_SESSION_DATA:
          out.stream = m.readByte();
          out.data = m.readBlob();
          break;
        case M::TYPE_WINDOW_SIZE:
          for (int i = 0; i < 4; ++i) out.size[i] = m.readInt32();
          break;
        default: break;
      }
    }
  } catch (const std::exception& e) {
    error = ofw::format("%s record is cut short: %s", sessionRecordTypeName(out.type).c_str(), e.what());
    return false;
  }
  out.start.guid = out.guid;
  out.start.start = out.time;
  out.trailing = length - m.getOffset();
  return true;
}

std::string encodeSessionRecord(const SessionRecordView& r) {
  ovgfw::OVGRequestMessage m;
  switch (r.type) {
    case M::TYPE_SESSION_START:
    case M::TYPE_SESSION_RESUME:
      if (r.opaqueBody) {
        // Only a header and the raw body: rebuilt byte for byte.
        return headerBytes(r) + r.body;
      } else {
        SessionStartInfo s = r.start;
        s.guid = r.guid;
        s.start = r.time;
        buildSessionStart(m, s);
      }
      break;
    case M::TYPE_SESSION_END: buildSessionEnd(m, r.guid, r.time); break;
    case M::TYPE_SESSION_DATA:
      buildSessionData(m, r.guid, r.time, r.stream, r.data.data(), static_cast<uint32_t>(r.data.size()));
      break;
    case M::TYPE_WINDOW_SIZE: buildWindowSize(m, r.guid, r.time, r.size); break;
    default: return headerBytes(r) + r.body;
  }
  m.setType(r.type);
  m.setSequenceNumber(r.sequenceNumber);
  m.setAckRequired(r.ackRequired);
  return m.serialize();
}

std::string escapeBytes(const void* data, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = p[i];
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += static_cast<char>(c);
        } else {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0x0f];
        }
    }
  }
  return out;
}

bool unescapeBytes(const std::string& text, std::string& out) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      result += c;
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'n': result += '\n'; break;
      case 'r': result += '\r'; break;
      case 't': result += '\t'; break;
      case '0': result += '\0'; break;
      case 'e': result += '\x1b'; break;
      case '\\': result += '\\'; break;
      case '"': result += '"'; break;
      case 'x': {
        if (text.size() - i < 3) return false;
        int v = 0;
        for (int k = 1; k <= 2; ++k) {
          char h = text[i + k];
          int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
          if (d < 0) return false;
          v = v * 16 + d;
        }
        result += static_cast<char>(v);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  out.swap(result);
  return true;
}

std::string formatTimeval(const struct timeval& tv) {
  if (tv.tv_usec < 0 || tv.tv_usec >= 1000000)
    return ofw::format("%lld.%ld", static_cast<long long>(tv.tv_sec), static_cast<long>(tv.tv_usec));
  time_t secs = tv.tv_sec;
  struct tm tm;
  if (gmtime_r(&secs, &tm) == nullptr) return ofw::format("%lld.%06ld", static_cast<long long>(tv.tv_sec), static_cast<long>(tv.tv_usec));
  char buf[64];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return std::string(buf, n) + ofw::format(".%06ldZ", static_cast<long>(tv.tv_usec));
}

namespace {
std::string quoted(const std::string& s) { return "\"" + escapeBytes(s) + "\""; }

void appendStart(std::string& line, const SessionStartInfo& s) {
  line += ofw::format(" usertype=%d", s.userType);
  line += " adname=" + quoted(s.directoryName);
  line += " sid=" + quoted(s.sid);
  line += " user=" + quoted(s.userName);
  line += " tty=" + quoted(s.tty);
  line += " string1=" + quoted(s.string1);
  line += " string2=" + quoted(s.string2);
  line += ofw::format(" argc=%zu argv=[", s.argv.size());
  for (size_t i = 0; i < s.argv.size(); ++i) line += (i ? "," : "") + quoted(s.argv[i]);
  line += "]";
  line += " source=" + quoted(s.userSource);
  line += ofw::format(" video=%u", static_cast<unsigned>(s.videoCapture));
  line += " related=" + s.related.toSwappedMSString();
}
}  // namespace

std::string formatSessionRecord(const SessionRecordView& r) {
  std::string line = sessionRecordTypeName(r.type);
  line += ofw::format(" seq=%llu", static_cast<unsigned long long>(r.sequenceNumber));
  if (r.ackRequired) line += " ack";
  switch (r.type) {
    case M::TYPE_SESSION_START:
    case M::TYPE_SESSION_END:
    case M::TYPE_SESSION_DATA:
    case M::TYPE_WINDOW_SIZE:
    case M::TYPE_SESSION_RESUME:
      if (r.opaqueBody) {
        line += ofw::format(" body-len=%zu body=", r.body.size()) + quoted(r.body);
        return line;
      }
      line += " guid=" + r.guid.toSwappedMSString();
      line += " time=" + formatTimeval(r.time);
      break;
    default:
      line += ofw::format(" len=%zu", r.body.size());
      return line;
  }
  switch (r.type) {
    case M::TYPE_SESSION_START:
    case M::TYPE_SESSION_RESUME: appendStart(line, r.start); break;
    case M::TYPE_SESSION_DATA:
      line += ofw::format(" stream=%u len=%zu data=", static_cast<unsigned>(r.stream), r.data.size()) + quoted(r.data);
      break;
    case M::TYPE_WINDOW_SIZE:
      line += ofw::format(" rows=%d cols=%d xpixel=%d ypixel=%d", r.size[0], r.size[1], r.size[2], r.size[3]);
      break;
    default: break;
  }
  if (r.trailing) line += ofw::format(" trailing=%zu", r.trailing);
  return line;
}

int showSessionSpool(const std::string& dir, FILE* out, FILE* err) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(err, "vgspool: %s: no such spool directory\n", dir.c_str());
    return 1;
  }
  ofw::DBQComposite q(ofw::dbqfmt::kDefaultBlockSize);
  if (!q.open(dir, ofw::DBQ_READ_ONLY, 0600, false, std::string())) {
    std::fprintf(err, "vgspool: %s: cannot open the spool: %s\n", dir.c_str(), ofw::errnoText(errno).c_str());
    return 1;
  }
  int rc = 0;
  unsigned long n = 0;
  q.forEachRecord([&](const unsigned char* d, unsigned int len) {
    ++n;
    SessionRecordView r;
    std::string error;
    std::string line;
    if (decodeSessionRecord(d, len, r, error))
      line = ofw::format("%lu: ", n) + formatSessionRecord(r);
    else {
      line = ofw::format("%lu: undecodable record of %u bytes: %s", n, len, error.c_str());
      rc = 1;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
    return true;
  });
  if (std::fflush(out) != 0) return 1;
  return rc;
}

}  // namespace ovg
