#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "meridia/byte_sequence.h"
#include "meridia/packet.h"
#include "ovgfw/at_message.h"
#include "wire_bytes.h"

// Huge allocation requests must fail with a null pointer (and so a
// BadAllocException) under AddressSanitizer too, not abort the program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

using meridia::ByteSequenceModeler;
using meridia::MeridiaException;
using meridia::Packet;
using namespace wiretest;

namespace {

const ofw::Guid kGuid = sampleGuid();

template <typename F>
void expectMeridiaError(F f, const std::string& text) {
  EXPECT_EQ("ByteSequenceModelerException: " + text, thrown(f));
}

// Lets a test put the cursor and capacity where a real write could not, to
// reach the overflow checks; restores the real values before destruction.
class Probe : public ByteSequenceModeler {
 public:
  Probe() : ByteSequenceModeler(64, 0) {}
  ~Probe() override {
    m_bufferLength = realLength_;
    m_offset = 0;
  }
  void fake(uint64_t offset, uint64_t length) {
    m_offset = offset;
    m_bufferLength = length;
  }

 private:
  uint64_t realLength_ = 64;
};

TEST(Packet, EmptyPacketIs21BytesWithLength17AndTwoBytesMake23WithLength19) {
  Packet p;
  EXPECT_EQ(hex(p.getData()), hex(u32(17) + std::string(17, '\0')));
  EXPECT_EQ(p.getBufferLength(), 71u);
  EXPECT_EQ(p.getOffset(), 21u);
  EXPECT_TRUE(p.getTailData().empty());
  p.writeByte(6);
  p.writeByte(2);
  EXPECT_EQ(hex(p.getData()), hex(u32(19) + std::string(17, '\0') + bytes({6, 2})));
  EXPECT_EQ(hex(p.getTailData()), "06 02");
}

TEST(Packet, FlagsAndChannelInMicrosoftLayout) {
  Packet p;
  p.setFlags(Packet::FLAG_REPLY_EXPECTED | Packet::FLAG_ERROR_REPORT);
  p.setChannel(kGuid);
  p.writeInt32(-3);
  EXPECT_EQ(hex(p.getData()), hex(u32(21) + bytes({0x05}) + kGuidWire + u32(0xfffffffd)));
  EXPECT_EQ(p.getChannel(), kGuid);
  EXPECT_EQ(p.getFlags(), 5);
}

TEST(ByteSequence, IntegersStringsAndBlobsInHostOrder) {
  ByteSequenceModeler b(0, 0);
  b.writeByte(0xab);
  b.writeShort(-2);
  b.writeUShort(0x1234);
  b.writeInt32(-5);
  b.writeUInt32(0x89abcdef);
  b.writeInt64(-7);
  b.writeUInt64(0x0102030405060708ull);
  b.writeString("abc");
  b.writeBlob("\x00\xff", 2);
  b.writeString("");
  EXPECT_EQ(hex(b.getData()), hex(bytes({0xab}) + u16(0xfffe) + u16(0x1234) + u32(0xfffffffb) +
                                  u32(0x89abcdef) + u64(0xfffffffffffffff9ull) +
                                  u64(0x0102030405060708ull) + u32(3) + "abc" + u32(2) + bytes({0, 0xff}) + u32(0)));
  b.rewindTailData();
  EXPECT_EQ(b.readByte(), 0xab);
  EXPECT_EQ(b.readShort(), -2);
  EXPECT_EQ(b.readUShort(), 0x1234);
  EXPECT_EQ(b.readInt32(), -5);
  EXPECT_EQ(b.readUInt32(), 0x89abcdefu);
  EXPECT_EQ(b.readInt64(), -7);
  EXPECT_EQ(b.readUInt64(), 0x0102030405060708ull);
  EXPECT_EQ(b.readString(), "abc");
  EXPECT_EQ(hex(b.readBlob()), "00 ff");
  EXPECT_EQ(b.readString(), "");
  EXPECT_EQ(b.getOffset(), 46u);
}

TEST(ByteSequence, EmptyStringReadsWithoutFurtherRead) {
  // Capacity exactly 4: any read after the count would fail.
  ByteSequenceModeler b(4, 0);
  b.writeString("");
  EXPECT_EQ(b.getBufferLength(), 4u);
  EXPECT_EQ(hex(b.getData()), "00 00 00 00");
  b.rewindTailData();
  EXPECT_EQ(b.readString(), "");
  EXPECT_TRUE(b.hasBuffer());
}

TEST(ByteSequence, TimestampIsLow32BitSecondsThenMicroseconds) {
  ByteSequenceModeler b(0, 0);
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(0x123456789ll);
  tv.tv_usec = 999999;
  b.writeTimestamp(tv);
  EXPECT_EQ(hex(b.getData()), hex(u32(0x23456789) + u32(999999)));
  b.rewindTailData();
  struct timeval back = b.readTimestamp();
  EXPECT_EQ(back.tv_sec, static_cast<time_t>(0x23456789));
  EXPECT_EQ(back.tv_usec, 999999);
  // Seconds widen without sign extension.
  ByteSequenceModeler c(0, 0);
  c.writeUInt32(0xfffffff0u);
  c.writeUInt32(0);
  c.rewindTailData();
  EXPECT_EQ(c.readTimestamp().tv_sec, static_cast<time_t>(0xfffffff0ll));
}

struct GrowthCase {
  uint64_t prefill;   // bytes written first into a fresh Packet (capacity 71)
  uint64_t write;     // then this many
  uint64_t capacity;  // expected capacity afterwards
};

class PacketGrowth : public testing::TestWithParam<GrowthCase> {};

TEST_P(PacketGrowth, GrowsByLargerOfWriteAnd50) {
  const GrowthCase& c = GetParam();
  Packet p;
  const std::string first(c.prefill, 'a');
  const std::string second(c.write, 'b');
  p.writeNBytes(first.data(), first.size());
  p.writeNBytes(second.data(), second.size());
  EXPECT_EQ(p.getBufferLength(), c.capacity);
  EXPECT_EQ(p.getOffset(), 21 + c.prefill + c.write);
  EXPECT_EQ(p.getTailData(), first + second);
  EXPECT_EQ(p.getLengthField(), 17 + c.prefill + c.write);
  // Spare capacity reads as zeros.
  const uint64_t spare = p.getBufferLength() - p.getOffset();
  if (spare > 0) {
    std::string rest(spare, 'x');
    p.readNBytes(&rest[0], spare);
    EXPECT_EQ(rest, std::string(spare, '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PacketGrowth,
                         testing::Values(GrowthCase{0, 200, 271},  // by n, not 50
                                         GrowthCase{0, 50, 71},    // exact fit: no growth
                                         GrowthCase{50, 1, 121},   // one past: by 50
                                         GrowthCase{50, 49, 121},  // below 50: by 50
                                         GrowthCase{50, 51, 122},  // above 50: by n
                                         GrowthCase{0, 0, 71}));

TEST(Packet, RawReceivedPacketReadsUpToItsLengthThenThrows) {
  Packet out;
  out.setFlags(Packet::FLAG_REPLY_EXPECTED);
  out.setChannel(kGuid);
  out.writeInt32(42);
  out.writeString("hi");
  const std::string wire = out.getData();
  ASSERT_EQ(wire.size(), 31u);

  Packet in(wire, true, false);
  EXPECT_EQ(in.getOffset(), 21u);
  EXPECT_EQ(in.getFlags(), Packet::FLAG_REPLY_EXPECTED);
  EXPECT_EQ(in.getChannel(), kGuid);
  EXPECT_EQ(in.getLengthField(), 27u);
  EXPECT_EQ(in.readInt32(), 42);
  EXPECT_EQ(in.readString(), "hi");
  // The spare capacity behind the received bytes is never read.
  EXPECT_GT(in.getBufferLength(), in.getOffset());
  expectMeridiaError([&] { in.readByte(); }, "ByteSequenceModeler can't read beyond the received data");
  EXPECT_FALSE(in.hasBuffer());
  EXPECT_EQ(in.getOffset(), wire.size());  // cursor unchanged by cleanup
  // A released buffer is never touched again.
  expectMeridiaError([&] { in.getData(); }, "ByteSequenceModeler has no buffer");
  expectMeridiaError([&] { in.getFlags(); }, "ByteSequenceModeler has no buffer");
}

// A string count read from a received packet: exact fit, one byte short, giant.
struct CountCase {
  uint32_t count;
  size_t bytesThere;
  const char* error;  // nullptr: the string reads
};

class ReceivedStringCount : public testing::TestWithParam<CountCase> {};

TEST_P(ReceivedStringCount, StopsAtTheReceivedLength) {
  Packet out;
  out.writeUInt32(GetParam().count);
  out.writeNBytes(std::string(GetParam().bytesThere, 'x').data(), GetParam().bytesThere);
  Packet in(out.getData(), true, false);
  if (!GetParam().error) {
    EXPECT_EQ(in.readString(), std::string(GetParam().count, 'x'));
    return;
  }
  expectMeridiaError([&] { in.readString(); }, GetParam().error);
  EXPECT_FALSE(in.hasBuffer());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceivedStringCount,
    testing::Values(CountCase{5, 5, nullptr},
                    CountCase{6, 5, "ByteSequenceModeler can't read beyond the received data"},
                    CountCase{40, 0, "ByteSequenceModeler can't read beyond the received data"},
                    CountCase{1000, 5, "ByteSequenceModeler can't read beyond the received data"},
                    CountCase{0xfffffff0u, 3, "ByteSequenceModeler readNBytes offset overflow"}));

// Received blocks refused before anything is read.
struct RefusedCase {
  const char* name;
  std::string block;
  const char* error;
};

class ReceivedPacketRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(ReceivedPacketRefused, BeforeAnyRead) {
  expectMeridiaError([&] { Packet p(GetParam().block, true, false); }, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceivedPacketRefused,
    testing::Values(
        RefusedCase{"Empty", "", "Received packet of 0 bytes is shorter than its header"},
        RefusedCase{"ShortHeader", u32(16) + std::string(16, '\0'),
                    "Received packet of 20 bytes is shorter than its header"},
        RefusedCase{"LengthOneMore", u32(20) + std::string(19, '\0'),
                    "Received packet's length field 20 does not match its 23 bytes"},
        RefusedCase{"LengthOneLess", u32(18) + std::string(19, '\0'),
                    "Received packet's length field 18 does not match its 23 bytes"},
        RefusedCase{"LengthHuge", u32(0xffffffffu) + std::string(17, '\0'),
                    "Received packet's length field 4294967295 does not match its 21 bytes"}),
    [](const testing::TestParamInfo<RefusedCase>& i) { return std::string(i.param.name); });

TEST(Packet, BodyConstructionAndAdvance) {
  const std::string body = "\x01\x02\x03";
  Packet sent(body, false, true);
  EXPECT_EQ(sent.getOffset(), 24u);
  EXPECT_EQ(hex(sent.getData()), hex(u32(20) + std::string(17, '\0') + body));
  EXPECT_EQ(sent.getBufferLength(), 74u);

  Packet notAdvanced(body, false, false);
  EXPECT_EQ(notAdvanced.getOffset(), 21u);
  EXPECT_EQ(notAdvanced.getLengthField(), 17u);
  EXPECT_EQ(notAdvanced.readByte(), 1);

  // Raw with advance: the cursor goes past the data and the length follows it.
  Packet raw(u32(999) + std::string(17, '\0') + "xy", true, true);
  EXPECT_EQ(raw.getOffset(), 23u);
  EXPECT_EQ(raw.getLengthField(), 19u);
}

struct ReadErrorCase {
  uint64_t n;
  const char* text;
};

class PacketReadError : public testing::TestWithParam<ReadErrorCase> {};

TEST_P(PacketReadError, ThrowsAndReleasesBuffer) {
  Packet p;
  unsigned char sink[8];
  expectMeridiaError([&] { p.readNBytes(sink, GetParam().n); }, GetParam().text);
  EXPECT_FALSE(p.hasBuffer());
  EXPECT_EQ(p.getBufferLength(), 0u);
  EXPECT_EQ(p.getOffset(), 21u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketReadError,
    testing::Values(ReadErrorCase{0, "ByteSequenceModeler can't read 0 bytes"},
                    ReadErrorCase{51, "ByteSequenceModeler can't read beyond end of buffer"},
                    ReadErrorCase{0xFFFFFFFFull - 22,
                                  "ByteSequenceModeler can't read beyond end of buffer"},
                    ReadErrorCase{0xFFFFFFFFull - 20, "ByteSequenceModeler readNBytes offset overflow"},
                    ReadErrorCase{0xFFFFFFFFull, "ByteSequenceModeler readNBytes offset overflow"},
                    ReadErrorCase{std::numeric_limits<uint64_t>::max(),
                                  "ByteSequenceModeler readNBytes offset overflow"}));

// A failed write changes nothing; a unit may not reach 2^32 bytes.
TEST(ByteSequence, WriteOverflowChecks) {
  const unsigned char two[2] = {1, 2};
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  struct {
    uint64_t offset, length;
    const unsigned char* from;
    uint64_t n;
    const char* text;
  } cases[] = {{max - 1, 64, two, 2, "ByteSequenceModeler writeNBytes offset overflow"},
               {0, max - 10, two, 1, "ByteSequenceModeler writeNBytes buffer length overflow"},
               {0xFFFFFFFFull - 1, 64, two, 2, "ByteSequenceModeler writeNBytes offset overflow"},
               {0, 64, nullptr, 1, "ByteSequenceModeler writeNBytes from a null source"}};
  for (const auto& c : cases) {
    Probe p;
    p.fake(c.offset, c.length);
    expectMeridiaError([&] { p.writeNBytes(c.from, c.n); }, c.text);
    EXPECT_EQ(p.getOffset(), c.offset);
  }
}

TEST(ByteSequence, AllocationFailureIsBadAlloc) {
  try {
    ByteSequenceModeler huge(1ull << 62, 0);
    FAIL() << "allocated 2^62 bytes";
  } catch (const ofw::BadAllocException& e) {
    EXPECT_EQ(std::string(e.what()),
              "ByteSequenceModeler ran out of memory during object constructing: Cannot allocate "
              "memory");
  }
  // Also catchable as the standard allocation failure.
  EXPECT_THROW(ByteSequenceModeler(1ull << 62, 0), std::bad_alloc);
}

TEST(ByteSequence, CopyIsDeepAndComplete) {
  Packet p;
  p.setChannel(kGuid);
  p.writeString("abc");
  Packet copy(p);
  EXPECT_EQ(copy.getData(), p.getData());
  EXPECT_EQ(copy.getBufferLength(), p.getBufferLength());
  EXPECT_EQ(copy.getOffset(), p.getOffset());
  copy.writeByte(9);
  EXPECT_EQ(p.getData().size(), 28u);
  EXPECT_EQ(copy.getData().size(), 29u);
  EXPECT_EQ(copy.getLengthField(), 25u);
  EXPECT_EQ(p.getLengthField(), 24u);

  Packet assigned;
  assigned = copy;
  EXPECT_EQ(assigned.getData(), copy.getData());

  p.cleanup();
  Packet fromEmpty(p);
  EXPECT_FALSE(fromEmpty.hasBuffer());
  EXPECT_EQ(fromEmpty.getOffset(), 28u);
}

TEST(ByteSequence, WriteAfterCleanupStaysInsideTheBuffer) {
  Packet p;
  p.writeUInt64(1);
  p.cleanup();
  p.writeByte(7);  // cursor 29: the new buffer must hold it
  EXPECT_GE(p.getBufferLength(), 30u);
  const std::string d = p.getData();
  ASSERT_EQ(d.size(), 30u);
  EXPECT_EQ(d[29], 7);
  EXPECT_EQ(p.getLengthField(), 26u);
}

TEST(ATMessage, HeaderlessBuffer) {
  ovgfw::ATMessage a;
  EXPECT_EQ(a.getBufferLength(), 50u);
  EXPECT_EQ(a.getOffset(), 0u);
  a.writeUInt32(5);
  a.writeGuid(kGuid);
  EXPECT_EQ(hex(a.getData()), hex(u32(5) + kGuidWire));

  ovgfw::ATMessage appended(a.getData(), false);
  EXPECT_EQ(appended.getOffset(), 20u);
  EXPECT_EQ(appended.getBufferLength(), 70u);
  EXPECT_EQ(appended.getData(), a.getData());

  ovgfw::ATMessage reading(a.getData(), true);
  EXPECT_EQ(reading.getOffset(), 0u);
  EXPECT_EQ(reading.readUInt32(), 5u);
  EXPECT_EQ(reading.readGuid(), kGuid);
  // A received message ends at its data, not at its spare capacity.
  expectMeridiaError([&] { reading.readByte(); }, "ByteSequenceModeler can't read beyond the received data");
}

}  // namespace
