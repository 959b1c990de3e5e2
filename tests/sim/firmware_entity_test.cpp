// The boot code's firmware entity, message by message.

#include "sim/firmware_entity.h"

#include <gtest/gtest.h>

namespace tavra::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using List = FirmwareEntity::MessageList;

Bytes Block(std::uint16_t k, const Bytes& row) {
  Bytes m(3 + row.size());
  m[0] = kFWDownloadBlock_CMD;
  m[1] = static_cast<std::uint8_t>(k & 0xFF);
  m[2] = static_cast<std::uint8_t>(k >> 8);
  std::copy(row.begin(), row.end(), m.begin() + 3);
  return m;
}

TEST(FirmwareEntityTest, DownloadReplacesRowsOnlyAtTheFinish) {
  FirmwareEntity f;
  const FirmwareContent before = f.Content();
  EXPECT_EQ(f.Handle(Bytes{kFWDownload_CMD}), List{Bytes{kFWDownload_ACK}});
  EXPECT_EQ(f.Handle(Block(1, {1, 2})), List{Bytes{kFWDownloadBlock_ACK}});
  EXPECT_EQ(f.Handle(Block(2, {})), List{Bytes{kFWDownloadBlock_ACK}});
  EXPECT_EQ(f.Content(), before);
  EXPECT_FALSE(f.TakeChanged());
  EXPECT_EQ(f.Handle(Bytes{kFWDownloadFinished_CMD}), List{Bytes{kFWDownloadFinished_ACK}});
  EXPECT_EQ(f.Content().rows, (std::vector<Bytes>{{1, 2}, {}}));
  EXPECT_TRUE(f.Content().header.empty());
  EXPECT_EQ(f.Content().productionData, before.productionData);
  EXPECT_TRUE(f.TakeChanged());
  EXPECT_FALSE(f.TakeChanged());
}

TEST(FirmwareEntityTest, BlocksOutsideOrderOrDownloadAreRefused) {
  FirmwareEntity f;
  EXPECT_EQ(f.Handle(Block(1, {})), List{Bytes({kFWDownloadBlock_NAK, kReasonNoDownload})});
  EXPECT_EQ(f.Handle(Bytes{kFWDownloadFinished_CMD}),
            List{Bytes({kFWDownloadFinished_NAK, kReasonNoDownload})});
  f.Handle(Bytes{kFWDownload_CMD});
  EXPECT_EQ(f.Handle(Bytes{kFWDownloadBlock_CMD, 1}),
            List{Bytes({kFWDownloadBlock_NAK, kReasonBadLength})});
  EXPECT_EQ(f.Handle(Block(2, {})), List{Bytes({kFWDownloadBlock_NAK, kReasonOutOfOrder})});
  EXPECT_EQ(f.Handle(Block(3, {})), List{Bytes{kFWDownloadBlock_ACK}});
  EXPECT_EQ(f.Handle(Bytes{kFWDownloadFinished_CMD}),
            List{Bytes({kFWDownloadFinished_NAK, kReasonIncomplete})});
  EXPECT_FALSE(f.Downloading());
}

TEST(FirmwareEntityTest, BlockNumbersAreLittleEndian) {
  FirmwareEntity f;
  f.RefuseBlock(300, 0x77);
  f.Handle(Bytes{kFWDownload_CMD});
  for (std::uint16_t k = 1; k < 300; ++k) {
    ASSERT_EQ(f.Handle(Block(k, {static_cast<std::uint8_t>(k)})),
              List{Bytes{kFWDownloadBlock_ACK}});
  }
  EXPECT_EQ(f.Handle(Bytes{kFWDownloadBlock_CMD, 0x2C, 0x01}),
            List{Bytes({kFWDownloadBlock_NAK, 0x77})});
}

TEST(FirmwareEntityTest, HeaderDownloadKeepsTheTextUpToItsZero) {
  FirmwareEntity f(FirmwareContent::Empty());
  Bytes message(kHeaderMessageLength, 0);
  message[0] = kFWHDownload_CMD;
  message[1] = 'A';
  message[2] = 'B';
  message[4] = 'C';  // after the zero: not text
  EXPECT_EQ(f.Handle(message), List{Bytes{kFWHDownload_ACK}});
  EXPECT_EQ(f.Content().header, (Bytes{'A', 'B'}));
  EXPECT_EQ(f.Handle(Bytes{kFWHUploadREQ}), List{Bytes({kFWHUpload_ACK, 'A', 'B'})});
  // A header without any zero is 512 bytes long.
  std::fill(message.begin() + 1, message.end(), 'x');
  f.Handle(message);
  EXPECT_EQ(f.Content().header.size(), 512u);
  EXPECT_EQ(f.Handle(Bytes{kFWHUploadREQ})[0].size(), 513u);
}

TEST(FirmwareEntityTest, UploadWalksTheBlocksAndCanRepeatAStep) {
  FirmwareContent content = FirmwareContent::Empty();
  content.header = {'h'};
  content.rows = {{1, 2, 3}, {4}};
  FirmwareEntity f(content);
  EXPECT_EQ(f.Handle(Bytes{kFWUploadBlock_ACK}), List{Bytes({kFWUpload_NAK, kReasonNoUpload})});
  EXPECT_EQ(f.Handle(Bytes{kFWUpload_CMD}),
            (List{Bytes{kFWUpload_ACK, 4, 0, 0, 0}, Bytes{kFWUploadBlock_CMD, 1, 0, 1, 2, 3}}));
  EXPECT_EQ(f.Handle(Bytes{kFWUploadBlock_NAK}), List{Bytes({kFWUploadBlock_CMD, 1, 0, 1, 2, 3})});
  EXPECT_EQ(f.Handle(Bytes{kFWUploadBlock_ACK}), List{Bytes({kFWUploadBlock_CMD, 2, 0, 4})});
  EXPECT_EQ(f.Handle(Bytes{kFWUploadBlock_ACK}), List{Bytes{kFWUploadFinished_CMD}});
  EXPECT_TRUE(f.Uploading());
  EXPECT_TRUE(f.Handle(Bytes{kFWUploadFinished_ACK}).empty());
  EXPECT_FALSE(f.Uploading());
}

TEST(FirmwareEntityTest, ProductionDataAndUnknownMessages) {
  FirmwareEntity f;
  const List reply = f.Handle(Bytes{kPDUploadREQ});
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0][0], kPDUpload_ACK);
  EXPECT_EQ(Bytes(reply[0].begin() + 1, reply[0].end()),
            *FirmwareContent::Default().productionData);
  EXPECT_TRUE(f.Handle(Bytes{0x99}).empty());
  EXPECT_TRUE(f.Handle(Bytes{}).empty());
  FirmwareContent big = FirmwareContent::Default();
  big.productionData = Bytes(400, 'x');
  f.SetContent(big);
  EXPECT_EQ(f.Handle(Bytes{kPDUploadREQ})[0].size(), 257u);  // the record is at most 256 bytes
}

}  // namespace
}  // namespace tavra::sim
