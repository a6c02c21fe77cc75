// The reading side of the session records of server/session_records.h: decodes
// one spooled record (an ovgfw::OVGMessage in its serialized form) back into
// its fields, and prints it as one line of text for `vgspool show`.
//
// Spool files are outside input: decoding never trusts a length or a count in
// the record. A record that ends early, or that is not a session record, is
// reported through the error text; nothing is allocated beyond the record's
// own size.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "ofw/guid.h"
#include "server/session_records.h"

namespace ovg {

struct SessionRecordView {
  uint16_t type = 0;
  uint64_t sequenceNumber = 0;
  bool ackRequired = false;
  ofw::Guid guid;
  struct timeval time = {0, 0};
  // Session start (2) and resume (9); start.guid and start.start repeat guid
  // and time.
  SessionStartInfo start;
  // Session data (4).
  uint8_t stream = 0;
  std::string data;
  // Window size (5): rows, columns, x pixels, y pixels as the shell sent them.
  int32_t size[4] = {0, 0, 0, 0};
  // Resume (9) whose body is not a start record (opaqueBody), or a record of
  // any other type: the bytes after the header.
  bool opaqueBody = false;
  std::string body;
  // Bytes after the last field of a known record type.
  size_t trailing = 0;
};

// "session start", "session end", "session data", "window size",
// "session resume"; "type N" for any other type.
std::string sessionRecordTypeName(uint16_t type);

// Decodes `length` bytes. False with `error` set when the record is shorter
// than its header or than the fields of its type; a type that is not one of
// the five session records decodes its header only (true).
bool decodeSessionRecord(const void* bytes, size_t length, SessionRecordView& out, std::string& error);

// The record serialized again from its fields (header with the same type,
// sequence number and acknowledgement flag). For a record that decoded with
// no trailing bytes this equals the input, flag bits other than bit 0 aside.
std::string encodeSessionRecord(const SessionRecordView& record);

// One line (no newline): number, type name, sequence number, session GUID
// (swapped 8-4-4-4-12 text), time, then the type's fields as key=value, text
// fields quoted and escaped with escapeBytes.
std::string formatSessionRecord(const SessionRecordView& record);

// Bytes as text: printable ASCII as it stands, backslash and double quote
// preceded by a backslash, \n \r \t, every other byte as \xNN (lower case).
std::string escapeBytes(const void* data, size_t length);
inline std::string escapeBytes(const std::string& s) { return escapeBytes(s.data(), s.size()); }
// The inverse, also accepting \0 and \e; false for a malformed escape.
bool unescapeBytes(const std::string& text, std::string& out);

// "2026-01-31T12:00:00.000123Z"; seconds.microseconds when the microseconds
// are out of range.
std::string formatTimeval(const struct timeval& tv);

// Prints every record of the composite spool in `dir`, head first, one line
// each, numbered from 1. The spool is opened read-only. Returns 0, or 1 when
// the spool cannot be read or a record does not decode (the record is still
// listed, with the reason).
int showSessionSpool(const std::string& dir, FILE* out, FILE* err);

}  // namespace ovg
