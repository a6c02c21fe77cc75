#include "ovgfw/ovg_message.h"

#include <gtest/gtest.h>

#include <functional>

#include "wire_bytes.h"

using ovgfw::OVGMessage;
using ovgfw::OVGRequestMessage;
using ovgfw::OVGResponseMessage;
using namespace wiretest;

namespace {

const ofw::Guid kGuid = sampleGuid();

std::string header(uint16_t type, uint64_t seq, uint16_t flags) {
  return u16(type) + u64(seq) + u16(flags);
}

template <typename F>
void expectOvgError(F f, const std::string& text) {
  EXPECT_EQ("OVGException: " + text, thrown(f));
}

TEST(OVGMessage, EmptyMessageIs12BytesAndDeserializingItThrows) {
  OVGRequestMessage m(OVGMessage::TYPE_SESSION_DATA, 7);
  m.setAckRequired(true);
  const std::string wire = m.serialize();
  EXPECT_EQ(hex(wire), hex(header(4, 7, 1)));

  OVGResponseMessage r;
  expectOvgError([&] { r.deserialize(wire); },
                 "OVGMessage body is zero size. (Type=4, Seq=7, flag=1): Invalid argument");
  EXPECT_FALSE(r.isSerialized());
  EXPECT_EQ(r.getType(), 4);
  EXPECT_EQ(r.getSequenceNumber(), 7u);
  EXPECT_TRUE(r.isAckRequired());
  expectOvgError([&] { r.readByte(); }, "readNBytes: can't read 1 bytes from buffer at offset: 12");
}

TEST(OVGMessage, ShortInputIsRefusedWithoutReadingPastIt) {
  OVGResponseMessage r;
  expectOvgError([&] { r.readByte(); }, "readNBytes: can't read 1 bytes from buffer at offset: 0");
  const std::string five = u16(0x8001) + bytes({0, 0, 0});
  expectOvgError([&] { r.deserialize(five); },
                 "OVGMessage body is zero size. (Type=32769, Seq=0, flag=0): Invalid argument");
  EXPECT_EQ(r.getBufferLength(), 5u);
  expectOvgError([&] { r.readUInt32(); },
                 "readNBytes: can't read 4 bytes from buffer at offset: 12");
}

struct ItemCase {
  const char* name;
  std::function<void(OVGMessage&)> write;
  std::string wire;  // expected bytes after the header
  uint64_t listSize;                  // data list size after the write
  std::function<void(OVGMessage&)> readBack;
};

class OVGItem : public testing::TestWithParam<ItemCase> {};

TEST_P(OVGItem, EncodesAndDecodes) {
  const ItemCase& c = GetParam();
  OVGRequestMessage m(OVGMessage::TYPE_SESSION_START, 0x0102030405060708ull);
  c.write(m);
  EXPECT_EQ(m.getDataListSize(), c.listSize);
  EXPECT_EQ(m.getDataItemCount(), 1u);
  const std::string wire = m.serialize();
  EXPECT_EQ(hex(wire), hex(header(2, 0x0102030405060708ull, 0) + c.wire));
  EXPECT_EQ(m.getDataItemCount(), 0u);
  EXPECT_EQ(m.getDataListSize(), 0u);

  OVGResponseMessage r;
  r.deserialize(wire);
  EXPECT_EQ(r.getOffset(), 12u);
  c.readBack(r);
  EXPECT_EQ(r.getOffset(), wire.size());
}

timeval someTime() {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(0x1A0B0C0D0ll);
  tv.tv_usec = 123456;
  return tv;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OVGItem,
    testing::Values(
        ItemCase{"byte", [](OVGMessage& m) { m.writeByte(0xfe); }, bytes({0xfe}), 1,
                 [](OVGMessage& m) { EXPECT_EQ(m.readByte(), 0xfe); }},
        ItemCase{"ushort", [](OVGMessage& m) { m.writeUShort(0xbeef); }, u16(0xbeef), 2,
                 [](OVGMessage& m) { EXPECT_EQ(m.readUShort(), 0xbeef); }},
        ItemCase{"int32", [](OVGMessage& m) { m.writeInt32(-2); }, u32(0xfffffffe), 4,
                 [](OVGMessage& m) { EXPECT_EQ(m.readInt32(), -2); }},
        ItemCase{"uint32", [](OVGMessage& m) { m.writeUInt32(0xdeadbeef); }, u32(0xdeadbeef), 4,
                 [](OVGMessage& m) { EXPECT_EQ(m.readUInt32(), 0xdeadbeefu); }},
        ItemCase{"uint64", [](OVGMessage& m) { m.writeUInt64(0x1122334455667788ull); }, u64(0x1122334455667788ull), 8,
                 [](OVGMessage& m) { EXPECT_EQ(m.readUInt64(), 0x1122334455667788ull); }},
        // Textual order, unlike the packet layout.
        ItemCase{"guid", [](OVGMessage& m) { m.writeGUID(kGuid); }, kGuidTextOrder, 16,
                 [](OVGMessage& m) { EXPECT_EQ(m.readGUID(), kGuid); }},
        // 16 bytes handed in, 8 on the wire; the seconds come back zero-extended.
        ItemCase{"timestamp", [](OVGMessage& m) { m.writeTimestamp(someTime()); }, u32(0xA0B0C0D0) + u32(123456), 8,
                 [](OVGMessage& m) {
                   timeval tv = m.readTimestamp();
                   EXPECT_EQ(tv.tv_sec, static_cast<time_t>(0xA0B0C0D0ll));
                   EXPECT_EQ(tv.tv_usec, 123456);
                 }},
        ItemCase{"string", [](OVGMessage& m) { m.writeString("abc"); }, u32(3) + "abc", 3,
                 [](OVGMessage& m) { EXPECT_EQ(m.readString(), "abc"); }},
        ItemCase{"empty_string", [](OVGMessage& m) { m.writeString(""); }, u32(0), 0,
                 [](OVGMessage& m) { EXPECT_EQ(m.readString(), ""); }},
        ItemCase{"blob", [](OVGMessage& m) { m.writeBlob("\0\1", 2); }, u32(2) + bytes({0, 1}), 2,
                 [](OVGMessage& m) { EXPECT_EQ(hex(m.readBlob()), "00 01"); }}),
    [](const testing::TestParamInfo<ItemCase>& info) { return std::string(info.param.name); });

TEST(OVGMessage, ItemsInOrderWithLengthsCounted) {
  OVGRequestMessage m(OVGMessage::TYPE_CHANNEL_OPEN, 0);
  m.writeByte(1);
  m.writeGUID(kGuid);
  m.writeString("host");
  m.writeString("OrvaneVG 3.7.0-172");
  EXPECT_EQ(m.getDataListSize(), 1u + 16 + 4 + 18);
  EXPECT_EQ(hex(m.serialize().substr(12)),
            hex(bytes({1}) + kGuidTextOrder + u32(4) + "host" + u32(18) + "OrvaneVG 3.7.0-172"));
  // After serialize the read cursor stands at the header.
  EXPECT_EQ(m.getOffset(), 0u);
  EXPECT_EQ(m.readUShort(), 0);
}

TEST(OVGMessage, SerializeTwiceAndResequence) {
  OVGRequestMessage m(OVGMessage::TYPE_SESSION_DATA, 100);
  m.writeString("terminal output");
  m.writeUInt32(5);
  const std::string first = m.serialize();
  EXPECT_EQ(m.serialize(), first);

  m.setSequenceNumber(0xA1A2A3A4A5A6A7A8ull);
  EXPECT_EQ(hex(m.serialize()), hex(first.substr(0, 2) + u64(0xA1A2A3A4A5A6A7A8ull) + first.substr(10)));

  m.setAckRequired(true);
  m.setType(OVGMessage::TYPE_SESSION_RESUME);
  const std::string third = m.serialize();
  EXPECT_EQ(third.substr(0, 12), header(9, 0xA1A2A3A4A5A6A7A8ull, 1));
  EXPECT_EQ(third.substr(12), first.substr(12));
}

TEST(OVGMessage, StoredMessageResentUnderNewSequence) {
  OVGRequestMessage m(OVGMessage::TYPE_SESSION_DATA, 1);
  m.writeString("x");
  const std::string stored = m.serialize();
  OVGRequestMessage resend;
  resend.deserialize(stored);
  resend.setSequenceNumber(2);
  resend.setAckRequired(true);
  EXPECT_EQ(resend.serialize(), header(4, 2, 1) + stored.substr(12));
}

TEST(OVGMessage, AddingAfterSerializeOrDeserializeThrows) {
  const std::string text = "Cannot write to a message that has been (de)serialized!";
  OVGRequestMessage m;
  m.writeByte(1);
  const std::string wire = m.serialize();
  expectOvgError([&] { m.writeByte(2); }, text);
  OVGResponseMessage r;
  r.deserialize(wire);
  expectOvgError([&] { r.writeString("a"); }, text);
  expectOvgError([&] { r.writeTimestamp(); }, text);
  EXPECT_EQ(r.getDataItemCount(), 0u);
}

TEST(OVGMessage, FlagBitsOtherThanAckAreIgnoredOnReceipt) {
  OVGResponseMessage r;
  r.deserialize(header(OVGMessage::TYPE_ACK, 5, 0xfffe) + u64(5));
  EXPECT_FALSE(r.isAckRequired());
  r.deserialize(header(OVGMessage::TYPE_ACK, 5, 0x8003) + u64(5));
  EXPECT_TRUE(r.isAckRequired());
  EXPECT_EQ(r.serialize().substr(10, 2), u16(1));
}

TEST(OVGMessage, EmptyDeserializeChangesNothingAnotherReplacesPendingItems) {
  OVGRequestMessage m(OVGMessage::TYPE_SESSION_START, 3);
  m.writeByte(1);
  m.deserialize("");
  EXPECT_EQ(m.getDataItemCount(), 1u);
  EXPECT_FALSE(m.isSerialized());
  EXPECT_EQ(m.getType(), 2);
  m.writeString("pending");
  m.deserialize(header(OVGMessage::TYPE_ACK, 77, 0) + u64(77));
  EXPECT_EQ(m.getDataItemCount(), 0u);
  EXPECT_EQ(m.getDataListSize(), 0u);
  EXPECT_EQ(m.getType(), OVGMessage::TYPE_ACK);
  EXPECT_EQ(m.readUInt64(), 77u);
}

TEST(OVGMessage, ReadPastEndThrowsAndLeavesCursor) {
  OVGResponseMessage r;
  r.deserialize(header(OVGMessage::TYPE_ACK, 1, 0) + u32(9) + bytes({1, 2}));
  EXPECT_EQ(r.readUInt32(), 9u);
  expectOvgError([&] { r.readUInt64(); },
                 "readNBytes: can't read 8 bytes from buffer at offset: 16");
  EXPECT_EQ(r.getOffset(), 16u);
  EXPECT_EQ(r.getBufferLength(), 18u);
  unsigned char two[2];
  expectOvgError([&] { r.readNBytes(two, 3); },
                 "readNBytes: can't read 3 bytes from buffer at offset: 16");
  EXPECT_EQ(r.readUShort(), u16(0x0102) == bytes({1, 2}) ? 0x0102 : 0x0201);
  expectOvgError([&] { r.readNBytes(two, 0xFFFFFFFFFFFFFFFFull); },
                 "readNBytes: can't read 18446744073709551615 bytes from buffer at offset: 18");
}

TEST(OVGMessage, StringLongerThanBufferLeavesCursorOnLength) {
  OVGResponseMessage r;
  r.deserialize(header(4, 1, 0) + u32(0xfffffff0u) + "abc");
  expectOvgError([&] { r.readString(); },
                 "readNBytes: can't read 4294967280 bytes from buffer at offset: 12");
  EXPECT_EQ(r.getOffset(), 12u);
  EXPECT_EQ(r.readUInt32(), 0xfffffff0u);
}

TEST(OVGMessage, ExceptionReplyBodies) {
  OVGResponseMessage r;
  r.deserialize(header(OVGMessage::TYPE_EXCEPTION, 0, 0) + u64(41) + u32(3) + u32(2) + "db");
  ovgfw::OVGExceptionReply reply = r.readExceptionReply();
  EXPECT_EQ(reply.sequenceNumber, 41u);
  EXPECT_EQ(reply.code, 3u);
  EXPECT_EQ(reply.text, "db");

  r.deserialize(header(OVGMessage::TYPE_EXCEPTION, 0, 0) + u64(42) + u32(2));
  reply = r.readExceptionReply();
  EXPECT_EQ(reply.code, 2u);
  EXPECT_EQ(reply.text, "");

  // Code 4 promises a text; a missing one is an error and consumes nothing.
  r.deserialize(header(OVGMessage::TYPE_EXCEPTION, 0, 0) + u64(43) + u32(4));
  EXPECT_THROW(r.readExceptionReply(), OVGException);
  EXPECT_EQ(r.getOffset(), 12u);
}

TEST(OVGMessage, CopyIsIndependent) {
  OVGRequestMessage m(OVGMessage::TYPE_SESSION_DATA, 5);
  m.writeString("a");
  OVGRequestMessage pending(m);
  EXPECT_EQ(pending.serialize(), m.serialize());
  OVGResponseMessage r;
  r.deserialize(m.serialize());
  OVGResponseMessage copy;
  copy = r;
  EXPECT_EQ(copy.getOffset(), 12u);
  EXPECT_EQ(copy.readString(), "a");
  EXPECT_EQ(r.getOffset(), 12u);
  EXPECT_TRUE(copy.isSerialized());
}

}  // namespace
