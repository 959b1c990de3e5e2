// Transport PDU encoding and parsing, and the mapping of transmit results.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/stack/l4_codes.h"
#include "server/stack/l4_pdu.h"

namespace tavra::stack {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct EncodeCase {
  L4PduType type;
  std::uint8_t number;
  std::uint8_t extra;
  Bytes data;
  Bytes expected;
};

class L4PduEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(L4PduEncodeTest, WritesHeaderFormAndExtraByte) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(EncodeL4Pdu(c.type, c.number, c.extra, c.data), c.expected);
  EXPECT_EQ(L4HeaderLength(c.type, c.number) + c.data.size(), c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Forms,
    L4PduEncodeTest,
    ::testing::Values(
        // One-byte header for 0..14.
        EncodeCase{L4PduType::TransactionRequest, 0, 0x22, {0xAA}, {0x70, 0x22, 0xAA}},
        EncodeCase{L4PduType::TransactionRequest, 14, 0x21, {}, {0x7E, 0x21}},
        // Two-byte header from 15 on.
        EncodeCase{L4PduType::TransactionRequest, 15, 0x21, {1, 2}, {0x7F, 15, 0x21, 1, 2}},
        EncodeCase{L4PduType::ConnectRequest, 255, 0x25, {}, {0xFF, 0xFF, 0x25}},
        // The extra byte only for 0x70, 0xD0, 0xF0.
        EncodeCase{L4PduType::TransactionAnswer, 3, 0x99, {9}, {0x53, 9}},
        EncodeCase{L4PduType::ConnectionAccepted, 16, 0x07, {}, {0xDF, 16, 0x07}},
        EncodeCase{L4PduType::AbortConnection, 20, 0x99, {}, {0x3F, 20}},
        EncodeCase{L4PduType::TransactionBusy, 1, 0, {}, {0x61}},
        EncodeCase{L4PduType::ConnectionDataRequest, 0x42, 0, {7, 8}, {0xBF, 0x42, 7, 8}}));

TEST(L4PduDecodeTest, HandsOnDataAfterNumberAfterExtraOrWholePdu) {
  struct Case {
    Bytes frame;
    L4PduType type;
    std::uint8_t number;
    std::uint8_t extra;
    Bytes handedOn;
  };
  const std::vector<Case> cases = {
      {{0x53, 1, 2}, L4PduType::TransactionAnswer, 3, 0, {1, 2}},
      {{0x5F, 15, 1, 2}, L4PduType::TransactionAnswer, 15, 0, {1, 2}},
      {{0x72, 0x23, 9}, L4PduType::TransactionRequest, 2, 0x23, {9}},
      {{0x7F, 200, 0x20}, L4PduType::TransactionRequest, 200, 0x20, {}},
      {{0xD1, 0x33, 5, 6}, L4PduType::ConnectionAccepted, 1, 0x33, {5, 6}},
      {{0xF4, 0x21}, L4PduType::ConnectRequest, 4, 0x21, {}},
      {{0x8F, 17, 4}, L4PduType::DisconnectAnswer, 17, 0, {4}},
      {{0x95}, L4PduType::DisconnectRequest, 5, 0, {}},
      {{0xA2, 1}, L4PduType::ConnectionDataAnswer, 2, 0, {1}},
      {{0xB3, 1, 2, 3}, L4PduType::ConnectionDataRequest, 3, 0, {1, 2, 3}},
      {{0xC1, 8}, L4PduType::ConnectionRefusedOther, 1, 0, {8}},
      // Whole PDU, header included.
      {{0x04}, L4PduType::TransactionRefused, 4, 0, {0x04}},
      {{0x1F, 30, 7}, L4PduType::ConnectionRefused, 30, 0, {0x1F, 30, 7}},
      {{0x22}, L4PduType::AbortAcknowledged, 2, 0, {0x22}},
      {{0x3F, 0x25}, L4PduType::AbortConnection, 0x25, 0, {0x3F, 0x25}},
      {{0x66}, L4PduType::TransactionBusy, 6, 0, {0x66}},
      {{0xE1, 9}, L4PduType::ConnectionBusy, 1, 0, {0xE1, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.frame));
    const auto pdu = DecodeL4Pdu(c.frame);
    ASSERT_TRUE(pdu.has_value());
    EXPECT_EQ(pdu->type, c.type);
    EXPECT_EQ(pdu->number, c.number);
    EXPECT_EQ(pdu->extra, c.extra);
    EXPECT_EQ(Bytes(pdu->handedOn.begin(), pdu->handedOn.end()), c.handedOn);
  }
}

TEST(L4PduDecodeTest, RefusesEmptyType40AndHeadersCutShort) {
  const std::vector<Bytes> refused = {
      {},            // no byte at all
      {0x40},        // type 0x40 is not a PDU
      {0x4F, 1, 2},  // nor in the two-byte form
      {0x5F},        // two-byte form without its number
      {0x70},        // transaction request without the extra byte
      {0x7F, 20},    // two-byte form, extra byte missing
      {0xD2},        // acceptance without the controller's number
      {0xFF},        // connect request cut after byte 0
  };
  for (const Bytes& frame : refused) {
    SCOPED_TRACE(::testing::PrintToString(frame));
    EXPECT_FALSE(DecodeL4Pdu(frame).has_value());
  }
}

TEST(L4PduDecodeTest, RoundTripsEveryNumberOfEveryType) {
  const Bytes data = {0x02, 0x10, 0x03};
  for (int t = 0; t < 16; ++t) {
    const auto type = static_cast<L4PduType>(t << 4);
    if (type == L4PduType::NotAPdu) {
      continue;
    }
    for (int n = 0; n < 256; ++n) {
      const Bytes pdu = EncodeL4Pdu(type, static_cast<std::uint8_t>(n), 0x5A, data);
      const auto decoded = DecodeL4Pdu(pdu);
      ASSERT_TRUE(decoded.has_value()) << t << " " << n;
      EXPECT_EQ(decoded->number, n);
      EXPECT_EQ(decoded->extra, HasExtraByte(type) ? 0x5A : 0);
      const Bytes handed(decoded->handedOn.begin(), decoded->handedOn.end());
      EXPECT_EQ(handed, HandsOnWholePdu(type) ? pdu : data);
    }
  }
}

TEST(L4TransmitResultTest, MapsLinkResultsToConfirmResults) {
  EXPECT_EQ(MapTransmitResult(257), 0);
  EXPECT_EQ(MapTransmitResult(258), 0x22000006);
  EXPECT_EQ(MapTransmitResult(259), 0x22000007);
  EXPECT_EQ(MapTransmitResult(260), 0x2200000A);
  EXPECT_EQ(MapTransmitResult(262), 0x22000002);
  for (int other : {0, 256, 261, 263, 271, -1}) {
    EXPECT_EQ(MapTransmitResult(other), 0x22000100) << other;
  }
}

TEST(L4CodesTest, InternalCodesKeepTheirValues) {
  EXPECT_EQ(kL4StartFailed, 0x28000201);
  EXPECT_EQ(kL4UnknownClient, 0x28000203);
  EXPECT_EQ(kL4RequestPending, 0x28000204);
  EXPECT_EQ(kL4DataTooLong, 0x28000205);
  EXPECT_EQ(kL4BackoffOutOfRange, 0x28000206);
  EXPECT_EQ(kL4NoTransaction, 0x28000207);
  EXPECT_EQ(kL4NothingToAnswer, 0x28000208);
  EXPECT_EQ(kL4NoMemory, 0x28000209);
  EXPECT_EQ(kL4NoConnection, 0x2800020A);
  EXPECT_EQ(kL4UnknownConnection, 0x2800020B);
  EXPECT_EQ(kL4InvalidRxId, 0x2800020C);
  EXPECT_EQ(static_cast<std::uint32_t>(kL4NotImplemented), 0x80004001u);
}

}  // namespace
}  // namespace tavra::stack
