// Fuzzes the reading of spooled session records (decodeSessionRecord, the
// text of `vgspool show`) and the escaping that vgsession and the tests share.
//
// Input: a spool record as the bytes of one queue record.
//
// Checked: decoding never crashes nor reads past the input; a record that
// decodes with no trailing bytes is rebuilt by the record builders into the
// same bytes (the flags word normalized to its acknowledgement bit); its text
// line is printable ASCII; escaped bytes unescape to the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ofw/codec.h"
#include "ovgfw/ovg_message.h"
#include "tools/shellside/session_record_reader.h"

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::string text = ovg::escapeBytes(input);
  std::string back;
  check(ovg::unescapeBytes(text, back) && back == input);
  std::string ignored;
  ovg::unescapeBytes(input, ignored);  // arbitrary text: refused or decoded, never a crash

  ovg::SessionRecordView r;
  std::string error;
  if (!ovg::decodeSessionRecord(data, size, r, error)) {
    check(!error.empty());
    return 0;
  }
  std::string line = ovg::formatSessionRecord(r);
  for (char c : line) check(c >= 0x20 && c < 0x7f);
  if (r.trailing == 0) {
    std::string expected = input;
    unsigned char* p = reinterpret_cast<unsigned char*>(&expected[0]);
    const uint16_t flags = ofw::codec::getU16(p + ovgfw::OVGMessage::FLAGS_OFFSET);
    ofw::codec::putU16(p + ovgfw::OVGMessage::FLAGS_OFFSET, flags & ovgfw::OVGMessage::FLAG_ACK_REQUIRED);
    check(ovg::encodeSessionRecord(r) == expected);
  }
  return 0;
}
