// The controller's transport entity: answers to each PDU of the host, connection numbers,
// the two-byte header form, and the requests it originates.

#include "sim/transport_entity.h"

#include <gtest/gtest.h>

#include "sim/transport_pdu.h"

namespace tavra::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TransportPduCodec, ShortAndLongHeaderForms) {
  EXPECT_EQ(EncodePdu(0x70, 3, 0x22, Bytes{9}), (Bytes{0x73, 0x22, 9}));
  EXPECT_EQ(EncodePdu(0x50, 15, std::nullopt, Bytes{1, 2}), (Bytes{0x5F, 15, 1, 2}));
  EXPECT_EQ(EncodePdu(0xD0, 200, 7), (Bytes{0xDF, 200, 7}));
  const std::optional<Pdu> pdu = DecodePdu(Bytes{0xFF, 40, 0x23, 5, 6});
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->type, 0xF0);
  EXPECT_EQ(pdu->number, 40);
  EXPECT_EQ(pdu->extra, 0x23);
  EXPECT_EQ(pdu->data, (Bytes{5, 6}));
  EXPECT_FALSE(DecodePdu(Bytes{}));
  EXPECT_FALSE(DecodePdu(Bytes{0x5F}));      // N missing
  EXPECT_FALSE(DecodePdu(Bytes{0x71}));      // extra byte missing
  EXPECT_FALSE(DecodePdu(Bytes{0xFF, 20}));  // extra byte missing after N
}

TEST(TransportEntityTest, TransactionPolicies) {
  TransportEntity t;
  EXPECT_EQ(t.Handle(Bytes{0x74, 0x22, 1, 2}), TransportEntity::PduList{Bytes({0x54, 1, 2})});
  t.SetTransactionPolicy(TransactionPolicy::Fixed, {7, 7});
  EXPECT_EQ(t.Handle(Bytes{0x7F, 20, 0x22, 1}), TransportEntity::PduList{Bytes({0x5F, 20, 7, 7})});
  t.SetTransactionPolicy(TransactionPolicy::Refuse, {});
  EXPECT_EQ(t.Handle(Bytes{0x71, 0x22}), TransportEntity::PduList{Bytes({0x01})});
  t.SetTransactionPolicy(TransactionPolicy::Ignore, {});
  EXPECT_TRUE(t.Handle(Bytes{0x71, 0x22}).empty());
  EXPECT_TRUE(t.Handle(Bytes{0x71}).empty());  // malformed: no answer
}

TEST(TransportEntityTest, BusyCountCoversTransactionsAndConnects) {
  TransportEntity t;
  t.AnswerBusy(3);
  EXPECT_EQ(t.Handle(Bytes{0x72, 0x22}), TransportEntity::PduList{Bytes({0x62})});
  EXPECT_EQ(t.Handle(Bytes{0xF1, 0x22}), TransportEntity::PduList{Bytes({0xE1})});
  EXPECT_EQ(t.Handle(Bytes{0x7F, 30, 0x22}), TransportEntity::PduList{Bytes({0x6F, 30})});
  EXPECT_EQ(t.Handle(Bytes{0x72, 0x22}), TransportEntity::PduList{Bytes({0x52})});
  EXPECT_EQ(t.BusyAnswers(), 3u);
  EXPECT_EQ(t.BusyLeft(), 0);

  // A storm: every second request from now on, transactions and connects alike.
  t.AnswerBusyEvery(2);
  EXPECT_EQ(t.Handle(Bytes{0x73, 0x22}), TransportEntity::PduList{Bytes({0x53})});
  EXPECT_EQ(t.Handle(Bytes{0x73, 0x22}), TransportEntity::PduList{Bytes({0x63})});
  EXPECT_EQ(t.Handle(Bytes{0x73, 0x22}), TransportEntity::PduList{Bytes({0x53})});
  EXPECT_EQ(t.Handle(Bytes{0xF4, 0x22}), TransportEntity::PduList{Bytes({0xE4})});
  EXPECT_EQ(t.BusyAnswers(), 5u);
}

TEST(TransportEntityTest, ConnectionLifeFromTheHostsSide) {
  TransportEntity t;
  // Connect: host number 2, destination 0x23, data echoed; own number 1.
  EXPECT_EQ(t.Handle(Bytes{0xF2, 0x23, 0xAB}), TransportEntity::PduList{Bytes({0xD2, 0x01, 0xAB})});
  ASSERT_EQ(t.Connections().size(), 1u);
  EXPECT_EQ(t.Connections()[0].destination, 0x23);
  // Connection data comes with the peer byte (own number) and is answered to the host number.
  EXPECT_EQ(t.Handle(Bytes{0xB1, 0x10}), TransportEntity::PduList{Bytes({0xA2, 0x10})});
  // Unknown connection: 0x20 with the received number.
  EXPECT_EQ(t.Handle(Bytes{0xB9, 0x10}), TransportEntity::PduList{Bytes({0x29})});
  EXPECT_EQ(t.Handle(Bytes{0x99}), TransportEntity::PduList{Bytes({0x29})});
  // Disconnect: answered 0x80 to the host number, connection gone.
  EXPECT_EQ(t.Handle(Bytes{0x91, 0x05}), TransportEntity::PduList{Bytes({0x82, 0x05})});
  EXPECT_TRUE(t.Connections().empty());
}

TEST(TransportEntityTest, AbortByHostNumberOrPeerByte) {
  TransportEntity t;
  t.Handle(Bytes{0xF2, 0x23});  // host 2 <-> own 1
  t.Handle(Bytes{0xF5, 0x23});  // host 5 <-> own 2
  // A removed client: the host's own number.
  EXPECT_EQ(t.Handle(Bytes{0x35}), TransportEntity::PduList{Bytes({0x25})});
  ASSERT_EQ(t.Connections().size(), 1u);
  EXPECT_EQ(t.Connections()[0].hostNumber, 2);
  // An unanswered connection data request: the peer byte (own number 1).
  ASSERT_TRUE(t.OriginateConnectionData(2, Bytes{1}));
  EXPECT_EQ(t.Handle(Bytes{0x31}), TransportEntity::PduList{Bytes({0x21})});
  EXPECT_TRUE(t.Connections().empty());
}

TEST(TransportEntityTest, ConnectPoliciesAndTableLimit) {
  TransportEntity t;
  t.SetConnectPolicy(ConnectPolicy::Refuse);
  EXPECT_EQ(t.Handle(Bytes{0xF1, 0x22}), TransportEntity::PduList{Bytes({0x11})});
  t.SetConnectPolicy(ConnectPolicy::RefuseOther);
  EXPECT_EQ(t.Handle(Bytes{0xF1, 0x22}), TransportEntity::PduList{Bytes({0xC1})});
  t.SetConnectPolicy(ConnectPolicy::Accept);
  for (std::uint8_t n = 0; n < TransportEntity::kMaxConnections; ++n) {
    ASSERT_EQ(t.Handle(EncodePdu(0xF0, n, 0x22))[0][0] & 0xF0, 0xD0);
  }
  EXPECT_EQ(t.Handle(EncodePdu(0xF0, 100, 0x22)), TransportEntity::PduList{Bytes({0xCF, 100})});
  // A host number used again replaces the old connection.
  EXPECT_EQ(t.Handle(EncodePdu(0xF0, 3, 0x22))[0][0], 0xD3);
  EXPECT_EQ(t.Connections().size(), TransportEntity::kMaxConnections);
}

TEST(TransportEntityTest, OriginatedRequests) {
  TransportEntity t;
  std::uint8_t n = 0xFF;
  EXPECT_EQ(t.OriginateTransaction(4, Bytes{9}, &n), (Bytes{0x70, 0x24, 9}));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(t.OriginateTransaction(4, Bytes{}, &n), (Bytes{0x71, 0x24}));
  EXPECT_EQ(t.OpenTransactions(), (Bytes{0, 1}));
  EXPECT_TRUE(t.Handle(Bytes{0x50, 9}).empty());  // the host's answer closes it
  EXPECT_EQ(t.OpenTransactions(), (Bytes{1}));

  EXPECT_FALSE(t.OriginateConnectionData(7, Bytes{}));
  t.Handle(Bytes{0xF7, 0x22});  // host 7 <-> own 1
  EXPECT_EQ(t.OriginateConnectionData(7, Bytes{5}), (Bytes{0xB7, 5}));
  EXPECT_TRUE(t.Connections()[0].dataRequestOutstanding);
  t.Handle(Bytes{0xA1});  // the host answers with the peer byte
  EXPECT_FALSE(t.Connections()[0].dataRequestOutstanding);
  EXPECT_EQ(t.OriginateDisconnect(7, Bytes{}), (Bytes{0x97}));
  t.Handle(Bytes{0x81});
  EXPECT_TRUE(t.Connections().empty());
  t.Handle(Bytes{0xF7, 0x22});  // host 7 <-> own 2
  EXPECT_EQ(t.OriginateAbort(7), (Bytes{0x32}));
  EXPECT_TRUE(t.Connections().empty());
}

}  // namespace
}  // namespace tavra::sim
