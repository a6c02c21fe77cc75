// One passwd record as the user look-ups cache and answer it, and its reply
// encoding.
#pragma once
#include <stdint.h>
#include <time.h>

#include <string>

#include "lrpc2/msg.h"
#include "server/passwd_file.h"

namespace ovg {

// The passwd fields of the record and what the caches keep beside them.
struct PasswdDA : PasswdEntry {
  // True when the record came from the directory (an AD user), false for the
  // local passwd file. Negative cache records carry true (the directory did
  // not know the name or uid).
  bool flag = false;
  time_t lastUsed = 0;  // set by touch()
  time_t created = 0;   // set at construction; the time-to-live counts from here
  int64_t lruId = -1;   // -1 until the record enters a cache

  PasswdDA() : lastUsed(::time(nullptr)), created(lastUsed) {}
  // A local record (flag false) of a passwd file entry.
  explicit PasswdDA(const PasswdEntry& e) : PasswdDA() { PasswdEntry::operator=(e); }

  void touch() { lastUsed = ::time(nullptr); }
  // True while now - created <= ttl: however recently used, a record older
  // than ttl is dead. A negative ttl makes every record dead.
  bool isAlive(int ttl) const { return isAlive(ttl, ::time(nullptr)); }
  bool isAlive(int ttl, time_t now) const {
    return ttl >= 0 && now - created <= static_cast<time_t>(ttl);
  }
};

// Reply encoding of a record: string name, string passwd, uint32 uid,
// uint32 gid, string gecos, string dir, string shell, bool flag.
// Sink provides int writeString(const std::string&), int writeUInt32(uint32_t)
// and int writeBool(bool), each returning 0 on success; the first failure
// stops the encoding and is returned.
template <class Sink>
int copyPasswdDAToReply(const PasswdDA& record, Sink& sink) {
  int rc;
  if ((rc = sink.writeString(record.name)) != 0) return rc;
  if ((rc = sink.writeString(record.passwd)) != 0) return rc;
  if ((rc = sink.writeUInt32(record.uid)) != 0) return rc;
  if ((rc = sink.writeUInt32(record.gid)) != 0) return rc;
  if ((rc = sink.writeString(record.gecos)) != 0) return rc;
  if ((rc = sink.writeString(record.dir)) != 0) return rc;
  if ((rc = sink.writeString(record.shell)) != 0) return rc;
  return sink.writeBool(record.flag);
}

// The sink that appends to an LRPC2 reply message.
struct Lrpc2ReplySink {
  LRPC2Msg* msg;
  int writeString(const std::string& value) { return MsgWriteString(msg, value.c_str()); }
  int writeUInt32(uint32_t value) { return MsgWriteUInt32(msg, value); }
  int writeBool(bool value) { return MsgWriteBool(msg, value ? 1 : 0); }
};

inline int copyPasswdDAToReply(const PasswdDA& record, LRPC2Msg* reply) {
  Lrpc2ReplySink sink{reply};
  return copyPasswdDAToReply(record, sink);
}

}  // namespace ovg
