// The frame encoder: data frames, acknowledgement frames, escaping and the check byte.

#include "server/stack/frame_codec.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "frame_sink_support.h"

namespace tavra::stack {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Hex;

struct EncodeCase {
  const char* name;
  std::uint8_t sequence;
  std::uint8_t destination;
  std::uint8_t source;
  Bytes data;
  const char* encoded;
};

class EncodeDataFrameTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeDataFrameTest, GivesTheBytesOnTheLine) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(Hex(EncodeDataFrame(c.sequence, c.destination, c.source, c.data)), c.encoded);
}

INSTANTIATE_TEST_SUITE_P(
    Frames,
    EncodeDataFrameTest,
    ::testing::Values(
        EncodeCase{
            "WorkedExample", 5, 0x21, 0x21, {0x70, 0x02, 0x41}, "02 25 21 21 70 10 02 41 03 1F"},
        EncodeCase{"NoData", 0, 0x20, 0x20, {}, "02 20 20 20 03 65"},
        EncodeCase{"EveryControlByteEscaped",
                   31,
                   0x22,
                   0x40,
                   {0x02, 0x03, 0x10},
                   // 02+3F+22+40+02+03+10+03 = 0xBB
                   "02 3F 22 40 10 02 10 03 10 10 03 BB"},
        EncodeCase{"ConnectRequest",
                   1,
                   0x20,
                   0x20,
                   {0x01, 0x58, 0x1B, 0x00, 0x09},
                   // 02+21+20+20+01+58+1B+00+09+03 = 0x1E3
                   "02 21 20 20 01 58 1B 00 09 03 E3"},
        EncodeCase{"SequenceByteAlreadyOffset",
                   0x25,
                   0x21,
                   0x21,
                   {0x70, 0x02, 0x41},
                   "02 25 21 21 70 10 02 41 03 1F"},
        EncodeCase{"CheckByteMayBeAControlByte",
                   0,
                   0x20,
                   0x20,
                   {0x9D},
                   // 02+20+20+20+9D+03 = 0x102: the check byte 02 is not escaped
                   "02 20 20 20 9D 03 02"}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(FrameCodecTest, WorstCaseFrameFillsTheEncodedBufferExactly) {
  const Bytes data(kMaxFrameData, kDle);
  std::array<std::uint8_t, kMaxEncodedFrame> out{};
  const std::size_t n = EncodeDataFrame(3, 0x21, 0x21, data, out);
  ASSERT_EQ(n, kMaxEncodedFrame);
  EXPECT_EQ(out[4], kDle);
  EXPECT_EQ(out[5], kDle);
  EXPECT_EQ(out[n - 2], kEtx);
  // 02 + 23 + 21 + 21 + 1024 * 0x10 + 03: 1024 * 0x10 is 0 modulo 256.
  EXPECT_EQ(out[n - 1], static_cast<std::uint8_t>(0x02 + 0x23 + 0x21 + 0x21 + 0x03));
}

TEST(FrameCodecTest, DataLongerThanAFrameIsCut) {
  const Bytes data(kMaxFrameData + 100, 0x41);
  const Bytes full = EncodeDataFrame(0, 0x21, 0x21, Bytes(kMaxFrameData, 0x41));
  EXPECT_EQ(EncodeDataFrame(0, 0x21, 0x21, data), full);
  EXPECT_EQ(full.size(), kMaxFrameData + 6);
}

TEST(FrameCodecTest, CheckByteIsTheSumOfTheUnescapedBytes) {
  Bytes data(256);
  std::iota(data.begin(), data.end(), 0);
  const Bytes frame = EncodeDataFrame(17, 0xFF, 0x5A, data);
  const unsigned sum =
      std::accumulate(data.begin(), data.end(), 0U) + 0x02 + 0x31 + 0xFF + 0x5A + 0x03;
  EXPECT_EQ(frame.back(), static_cast<std::uint8_t>(sum));
  EXPECT_EQ(frame.size(), 256 + 3 + 6);  // three escapes: 0x02, 0x03, 0x10
}

TEST(FrameCodecTest, AcknowledgementFrames) {
  EXPECT_EQ(Hex(EncodeAckFrame(0x45)), "02 45 47");
  EXPECT_EQ(Hex(EncodeAckFrame(0x85)), "02 85 87");
  EXPECT_EQ(Hex(EncodeAckFrame(0xDF)), "02 DF E1");
  EXPECT_EQ(Hex(EncodeAckFrame(0xFE)), "02 FE 00");  // the sum wraps
}

TEST(FrameCodecTest, AcknowledgementByteRanges) {
  struct Range {
    int first, last;
    bool ack;
  };
  for (const Range r : {Range{0x00, 0x3F, false}, Range{0x40, 0x5F, true}, Range{0x60, 0x7F, false},
                        Range{0x80, 0xDF, true}, Range{0xE0, 0xFF, false}}) {
    for (int b = r.first; b <= r.last; ++b) {
      EXPECT_EQ(IsAcknowledgementByte(static_cast<std::uint8_t>(b)), r.ack) << b;
    }
  }
}

}  // namespace
}  // namespace tavra::stack
