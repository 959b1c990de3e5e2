// The transfer procedures against a scripted controller: message sequences, reply tables,
// refusals, status changes, log lines and boxes.

#include "loader/link/firmware_transfer.h"

#include <gtest/gtest.h>

#include <memory>

#include "link_fakes_support.h"

namespace tavra::loader::test {
namespace {

std::unique_ptr<FirmwareImage> ImageOf(int rows) {
  auto image = std::make_unique<FirmwareImage>();
  for (int r = 1; r <= rows; ++r) {
    const Bytes row{static_cast<std::uint8_t>(r), 0xAA, static_cast<std::uint8_t>(r * 3)};
    EXPECT_TRUE(image->SetRow(r, row));
  }
  image->rowCount = static_cast<std::int16_t>(rows);
  return image;
}

// A boot code that acknowledges every download message (refusing the blocks in `refused`).
ScriptedTavra::Replies DownloadAcks(const std::vector<int>& refused = {}) {
  return [refused](const Bytes& m) -> std::vector<Bytes> {
    switch (m[0]) {
      case FWDownload_CMD: return {{FWDownload_ACK}};
      case FWDownloadBlock_CMD: {
        const int block = m[1] | (m[2] << 8);
        if (std::find(refused.begin(), refused.end(), block) != refused.end()) {
          return {{FWDownloadBlock_NAK, 9}};
        }
        return {{FWDownloadBlock_ACK}};
      }
      case FWDownloadCancel_CMD: return {{FWDownloadCancel_ACK}};
      case FWDownloadFinished_CMD: return {{FWDownloadFinished_ACK}};
      case FWHDownload_CMD: return {{FWHDownload_ACK}};
      default: return {};
    }
  };
}

std::vector<std::uint8_t> Codes(const std::vector<Bytes>& messages) {
  std::vector<std::uint8_t> codes;
  codes.reserve(messages.size());
  for (const Bytes& m : messages) {
    codes.push_back(m[0]);
  }
  return codes;
}

TEST(FirmwareDownload, SendsStartBlocksAndFinishInOrder) {
  for (int rows : {0, 3}) {
    FakeLink link;
    link.tavra.replies = DownloadAcks();
    auto image = ImageOf(rows);
    RecordingProgress progress;
    FirmwareTransfer transfer(link.connection, link.boxes);
    EXPECT_EQ(transfer.DownloadFirmare(*image, &progress), 1) << rows;
    std::vector<Bytes> expected{{FWDownload_CMD}};
    for (int r = 1; r <= rows; ++r) {
      const auto row = image->Row(r);
      Bytes block{FWDownloadBlock_CMD, static_cast<std::uint8_t>(r), 0};
      block.insert(block.end(), row.begin(), row.end());
      expected.push_back(block);
    }
    expected.push_back({FWDownloadFinished_CMD});
    EXPECT_EQ(link.tavra.sent, expected) << rows;
    EXPECT_EQ(progress.maximum, rows);
    EXPECT_EQ(progress.position, rows);
    EXPECT_TRUE(link.boxes.shown.empty());
  }
}

TEST(FirmwareDownload, LogsEachMessageAndReply) {
  FakeLink link;
  link.tavra.replies = DownloadAcks();
  auto image = ImageOf(1);
  FirmwareTransfer transfer(link.connection, link.boxes);
  ASSERT_EQ(transfer.DownloadFirmare(*image, nullptr), 1);
  const std::vector<std::string> expected{
      "Send FWDownload_CMD",
      "DownloadFirmare Data_Request HRESULT:0",
      "Receive DownloadFirmare FWDownload ACK ",
      "Send FWDownloadBlock_CMD No1",
      "DownloadFirmare Data_Request HRESULT:0",
      "Receive DownloadFirmare FWDownload BLOCK ACK ",
      "Send FWDownloadFinished_CMD",
      "DownloadFirmare Data_Request HRESULT:0",
      "Receive DownloadFirmare FWDownloadFinshed ACK",
  };
  EXPECT_EQ(link.log.lines, expected);
}

TEST(FirmwareDownload, RefusedBlockIsCancelledAndNeverRepeated) {
  FakeLink link;
  link.tavra.replies = DownloadAcks({2});
  auto image = ImageOf(3);
  FirmwareTransfer transfer(link.connection, link.boxes);
  EXPECT_EQ(transfer.DownloadFirmare(*image, nullptr), 1);
  const std::vector<std::uint8_t> codes{0x10, 0x11, 0x11, 0x12, 0x11, 0x13};
  EXPECT_EQ(Codes(link.tavra.sent), codes);
  EXPECT_EQ(link.tavra.sent[4][1], 3);  // the block after the refused one
  EXPECT_EQ(link.log.Count("Receive DownloadFirmare FWDownloadBlock NAK NAK_REASON:9"), 1);
}

// Each reply that does not match the message it answers ends the download with 0.
TEST(FirmwareDownload, MismatchingRepliesEndIt) {
  struct Case {
    std::uint8_t answered;  // the message whose reply is replaced
    Bytes reply;
    std::string box;  // "" for none
    std::string logLine;
  };
  const Case cases[] = {
      {FWDownloadBlock_CMD, {FWDownloadCancel_ACK}, "", ""},
      {FWDownloadFinished_CMD, {FWDownloadBlock_ACK}, "", ""},
      {FWDownloadBlock_CMD, {FWDownloadFinished_ACK}, "", ""},
      {FWDownloadBlock_CMD, {FWDownload_ACK}, "", ""},
      {FWDownloadFinished_CMD,
       {FWDownloadFinished_NAK, 4},
       "",
       "Receive DownloadFirmare FWDownloadFinshed NAK NAK_Reason:4"},
      {FWDownloadBlock_CMD,
       {0x55},
       "IDS_MB_15_TEXT",
       "Receive DownloadFirmare UNKNOWN INDICATION :85"},
  };
  for (const Case& c : cases) {
    FakeLink link;
    const auto acks = DownloadAcks();
    link.tavra.replies = [&](const Bytes& m) {
      return m[0] == c.answered ? std::vector<Bytes>{c.reply} : acks(m);
    };
    auto image = ImageOf(2);
    FirmwareTransfer transfer(link.connection, link.boxes);
    EXPECT_EQ(transfer.DownloadFirmare(*image, nullptr), 0) << int(c.reply[0]);
    EXPECT_EQ(link.boxes.shown,
              c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
    if (!c.logLine.empty()) {
      EXPECT_EQ(link.log.Count(c.logLine), 1);
    }
  }
}

TEST(FirmwareDownload, ControllerLeavingBootCodeEndsItAtTheNextMessage) {
  FakeLink link;
  const auto acks = DownloadAcks();
  link.tavra.replies = [&](const Bytes& m) {
    if (m[0] == FWDownloadBlock_CMD) {
      link.tavra.Indicate(3);  // back in its application between two blocks
    }
    return acks(m);
  };
  auto image = ImageOf(3);
  FirmwareTransfer transfer(link.connection, link.boxes);
  EXPECT_EQ(transfer.DownloadFirmare(*image, nullptr), 0);
  EXPECT_EQ(link.tavra.sent.size(), 2u);
  EXPECT_EQ(link.log.lines.back(), "DownloadFirmare NOT in BOOTCODE MODE COM_STATUS:3");
}

TEST(FirmwareDownload, NoReplyOrRefusedRequestFails) {
  FakeLink silent;  // confirms nothing: the wait ends at its limit
  silent.tavra.confirm = false;
  silent.connection.State().SetWaitLimit(std::chrono::milliseconds(20));
  auto image = ImageOf(1);
  FirmwareTransfer a(silent.connection, silent.boxes);
  EXPECT_EQ(a.DownloadFirmare(*image, nullptr), 0);
  EXPECT_EQ(silent.log.lines.back(), "DownloadFirmare WaitCallbackDataConfirm TIMEOUT");

  FakeLink refused;
  refused.tavra.dataRequestResult = CommandFailed_DriverBusy;
  FirmwareTransfer b(refused.connection, refused.boxes);
  EXPECT_EQ(b.DownloadFirmare(*image, nullptr), 0);
  EXPECT_EQ(refused.log.lines.back(), "DownloadFirmare Data_Request HRESULT:570425345");

  FakeLink normal(false);
  FirmwareTransfer c(normal.connection, normal.boxes);
  EXPECT_EQ(c.DownloadFirmareHeader(HeaderText{}), 0);
  EXPECT_TRUE(normal.tavra.sent.empty());
}

TEST(FirmwareMessages, Layouts) {
  SendBuffer buffer;
  const Bytes row{0xDE, 0xAD};
  buffer.SetDownloadBlock(300, row);
  EXPECT_EQ(Bytes(buffer.Message().begin(), buffer.Message().end()),
            (Bytes{0x11, 0x2C, 0x01, 0xDE, 0xAD}));
  buffer.SetDownloadBlock(256, {});
  EXPECT_EQ(Bytes(buffer.Message().begin(), buffer.Message().end()), (Bytes{0x11, 0x00, 0x01}));
  HeaderText header;
  header.bytes[0] = 'V';
  buffer.SetHeaderDownload(header);
  EXPECT_EQ(buffer.length, 513u);
  EXPECT_EQ(buffer.bytes[1], 'V');
  EXPECT_EQ(buffer.bytes[2], 0);
}

TEST(FirmwareHeaderDownload, ReplyTable) {
  struct Case {
    Bytes reply;
    int result;
    std::string box;
    std::string logLine;
  };
  const Case cases[] = {
      {{FWHDownload_ACK}, 1, "", "Receive DownloadFirmare Header ACK"},
      {{FWHDownload_NAK, 7}, 0, "", "Receive DownloadFirmareHeader NAK NAK_Reason:255"},
      {{FWDownload_ACK}, 0, "IDS_MB_13_TEXT", "DownloadFirmareHeader HRESULT:0"},
  };
  for (const Case& c : cases) {
    FakeLink link;
    link.tavra.replies = [&](const Bytes&) { return std::vector<Bytes>{c.reply}; };
    FirmwareTransfer transfer(link.connection, link.boxes);
    EXPECT_EQ(transfer.DownloadFirmareHeader(HeaderText{}), c.result);
    EXPECT_EQ(link.tavra.sent.at(0).size(), 513u);
    EXPECT_EQ(link.boxes.shown.empty(), c.box.empty());
    EXPECT_EQ(link.log.lines.back(), c.logLine);
  }
}

// A boot code that uploads `blocks` (block k holds k, k) after announcing `size` bytes.
ScriptedTavra::Replies UploadOf(int blocks, std::uint32_t size) {
  auto next = std::make_shared<int>(0);
  return [=](const Bytes& m) -> std::vector<Bytes> {
    auto block = [](int k) {
      return Bytes{FWUploadBlock_CMD, static_cast<std::uint8_t>(k), 0, static_cast<std::uint8_t>(k),
                   static_cast<std::uint8_t>(k)};
    };
    if (m[0] == FWUpload_CMD) {
      *next = 1;
      return {{FWUpload_ACK, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
               0, 0},
              block(1)};
    }
    if (m[0] == FWUploadBlock_ACK) {
      return ++*next <= blocks ? std::vector<Bytes>{block(*next)}
                               : std::vector<Bytes>{{FWUploadFinished_CMD}};
    }
    return {};
  };
}

TEST(FirmwareUpload, StoresEveryBlockAndEndsProgressAtItsMaximum) {
  FakeLink link;
  link.tavra.replies = UploadOf(3, 670);  // 670 bytes / 67: a maximum of 10
  auto image = std::make_unique<FirmwareImage>();
  RecordingProgress progress;
  FirmwareTransfer transfer(link.connection, link.boxes);
  ASSERT_EQ(transfer.UploadFirmare(*image, &progress), 1);
  EXPECT_EQ(image->rowCount, 3);
  for (int k = 1; k <= 3; ++k) {
    const auto row = image->Row(k);
    EXPECT_EQ(Bytes(row.begin(), row.end()),
              (Bytes{static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k)}));
  }
  EXPECT_EQ(progress.maximum, 10);
  EXPECT_EQ(progress.position, 10);
  const std::vector<std::uint8_t> codes{0x14, 0x35, 0x35, 0x35, 0x37};
  EXPECT_EQ(Codes(link.tavra.sent), codes);
  EXPECT_EQ(link.log.Count("Send FWUploadBlock_ACK BlockNo 3"), 1);
  EXPECT_EQ(link.log.lines.back(), "UploadFirmare HRESULT:0");
}

TEST(FirmwareUpload, RefusedAcknowledgementIsSentAgainWithTheSameCount) {
  FakeLink link;
  const auto upload = UploadOf(2, 134);
  bool refused = false;
  link.tavra.replies = [&](const Bytes& m) {
    if (m[0] == FWUploadBlock_ACK && !refused) {
      refused = true;
      return std::vector<Bytes>{{FWUpload_NAK, 3}};
    }
    return upload(m);
  };
  auto image = std::make_unique<FirmwareImage>();
  FirmwareTransfer transfer(link.connection, link.boxes);
  ASSERT_EQ(transfer.UploadFirmare(*image, nullptr), 1);
  const std::vector<std::uint8_t> codes{0x14, 0x35, 0x35, 0x35, 0x37};
  EXPECT_EQ(Codes(link.tavra.sent), codes);
  EXPECT_EQ(link.log.Count("Send FWUploadBlock_ACK BlockNo 1"), 1);
  EXPECT_EQ(link.log.Count("Receive Upload Firmware NAK NAK_Reason:3"), 1);
  EXPECT_EQ(image->rowCount, 2);
}

TEST(FirmwareUpload, RepeatedBlockIsDroppedAndTheBackupGoesOn) {
  FakeLink link;
  const auto upload = UploadOf(3, 201);
  bool repeated = false;
  link.tavra.replies = [&](const Bytes& m) {
    if (m[0] == FWUploadBlock_ACK && !repeated) {  // block 1 comes again before block 2
      repeated = true;
      return std::vector<Bytes>{{FWUploadBlock_CMD, 1, 0, 1, 1}};
    }
    return upload(m);
  };
  auto image = std::make_unique<FirmwareImage>();
  FirmwareTransfer transfer(link.connection, link.boxes);
  ASSERT_EQ(transfer.UploadFirmare(*image, nullptr), 1);
  EXPECT_EQ(image->rowCount, 3);
  EXPECT_EQ(image->Row(3)[0], 3);
  EXPECT_EQ(link.log.Count("UploadFirmare FWUploadBlock_CMD BlockNo 1 dropped, expected 2"), 1);
  std::lock_guard lock(link.boxes.mutex);
  EXPECT_TRUE(link.boxes.notices.empty());
}

TEST(FirmwareUpload, EndlessRefusalFailsTheBackup) {
  FakeLink link;
  link.tavra.replies = [](const Bytes&) { return std::vector<Bytes>{{FWUpload_NAK, 1}}; };
  auto image = std::make_unique<FirmwareImage>();
  FirmwareTransfer transfer(link.connection, link.boxes);
  EXPECT_EQ(transfer.UploadFirmare(*image, nullptr), 0);
  EXPECT_EQ(link.tavra.sent.size(), std::size_t{FirmwareTransfer::kMaxUploadRefusals});
}

TEST(FirmwareUpload, SingleExchangesShowTheirMessages) {
  struct Case {
    bool header;  // header upload, else production data
    Bytes reply;
    int result;
    std::string box;
    std::string logLine;
  };
  const Case cases[] = {
      {true,
       {FWHUpload_NAK, 5},
       0,
       "IDS_MB_25_TEXT",
       "Receive UploadFirmareHeader NAK NAK_Reason:5"},
      {true,
       {FWHUpload_NAK},
       0,
       "IDS_MB_25_TEXT",
       "Receive UploadFirmareHeader NAK NAK_Reason:255"},
      {true, {0x77}, 0, "IDS_MB_12_TEXT", "UploadFirmareHeader Data_Request HRESULT:0"},
      {false,
       {PDUpload_NAK, 1},
       0,
       "IDS_MB_27_TEXT",
       "Receive Upload Production Data NAK, NAK_Reason:255"},
      {false, {0x77}, 0, "IDS_MB_28_TEXT", "UploadProductionData Data_Request HRESULT:0"},
      {false, {PDUpload_ACK, 'S', 'N'}, 1, "", "Receive Production Data Upload "},
  };
  for (const Case& c : cases) {
    FakeLink link;
    link.tavra.replies = [&](const Bytes&) { return std::vector<Bytes>{c.reply}; };
    FirmwareTransfer transfer(link.connection, link.boxes);
    EXPECT_EQ(c.header ? transfer.UploadFirmareHeader() : transfer.UploadProductionData(),
              c.result);
    EXPECT_EQ(link.boxes.shown,
              c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
    EXPECT_EQ(link.log.lines.back(), c.logLine);
  }
}

}  // namespace
}  // namespace tavra::loader::test
