// The boot code's firmware entity over the line: a full download and upload driven by a small
// loader, the store that carries the firmware from one run to the next, and the refusals.

#include <gtest/gtest.h>

#include <filesystem>

#include "host_driver_support.h"
#include "sim/firmware_entity.h"
#include "sim/simulated_controller.h"
#include "tests/common/temp_dir.h"

namespace tavra::sim::test {
namespace {

constexpr std::uint8_t kLoader = 0x40;

// One message from the loader's address to the firmware entity and the controller's reply.
class Loader {
 public:
  explicit Loader(HostDriver& host) : m_host(host) {}

  std::optional<std::vector<std::uint8_t>> Send(std::vector<std::uint8_t> message) {
    std::optional<HostFrame> reply = m_host.Request(0x22, kLoader, message);
    if (!reply || reply->destination != kLoader || reply->source != 0x22) {
      return std::nullopt;
    }
    return reply->data;
  }
  std::optional<std::vector<std::uint8_t>> Next() {
    std::optional<HostFrame> reply = m_host.WaitFrame();
    if (!reply) {
      return std::nullopt;
    }
    return reply->data;
  }

  // The download procedure: start, blocks 1..n, finish; false at the first unexpected reply.
  bool Download(const std::vector<std::vector<std::uint8_t>>& rows, std::string* log) {
    if (Send({kFWDownload_CMD}) != std::vector<std::uint8_t>{kFWDownload_ACK}) {
      return false;
    }
    for (std::size_t k = 1; k <= rows.size(); ++k) {
      std::vector<std::uint8_t> block{kFWDownloadBlock_CMD, static_cast<std::uint8_t>(k & 0xFF),
                                      static_cast<std::uint8_t>(k >> 8)};
      block.insert(block.end(), rows[k - 1].begin(), rows[k - 1].end());
      const auto reply = Send(block);
      if (!reply || reply->empty()) {
        return false;
      }
      if ((*reply)[0] == kFWDownloadBlock_NAK) {
        *log += "nak" + std::to_string(k) + ":" + std::to_string((*reply)[1]) + " ";
        if (Send({kFWDownloadCancel_CMD}) != std::vector<std::uint8_t>{kFWDownloadCancel_ACK}) {
          return false;
        }
      } else if ((*reply)[0] != kFWDownloadBlock_ACK) {
        return false;
      }
    }
    const auto finish = Send({kFWDownloadFinished_CMD});
    if (finish && !finish->empty() && (*finish)[0] == kFWDownloadFinished_NAK) {
      *log += "finish-nak:" + std::to_string((*finish)[1]);
    }
    return finish == std::vector<std::uint8_t>{kFWDownloadFinished_ACK};
  }

  bool DownloadHeader(const std::vector<std::uint8_t>& text) {
    std::vector<std::uint8_t> message(kHeaderMessageLength, 0);
    message[0] = kFWHDownload_CMD;
    std::copy(text.begin(), text.end(), message.begin() + 1);
    return Send(message) == std::vector<std::uint8_t>{kFWHDownload_ACK};
  }

  // The backup procedure: FWUpload_CMD, the size, then each block answered by an
  // acknowledgement, until the finish.
  std::optional<std::vector<std::vector<std::uint8_t>>> Upload(std::uint32_t* size,
                                                               int* cancels = nullptr) {
    std::optional<std::vector<std::uint8_t>> reply = Send({kFWUpload_CMD});
    while (reply && !reply->empty() && (*reply)[0] == kFWUpload_NAK) {
      reply = Send({kFWUpload_CMD});  // the loader sends the refused message again
    }
    if (!reply || reply->size() != 5 || (*reply)[0] != kFWUpload_ACK) {
      return std::nullopt;
    }
    *size = (*reply)[1] | ((*reply)[2] << 8) | ((*reply)[3] << 16) |
            (static_cast<std::uint32_t>((*reply)[4]) << 24);
    std::vector<std::vector<std::uint8_t>> rows;
    reply = Next();  // the first block comes without a request
    while (reply && !reply->empty()) {
      switch ((*reply)[0]) {
        case kFWUploadBlock_CMD: {
          if (reply->size() < 3 ||
              static_cast<std::size_t>((*reply)[1] | ((*reply)[2] << 8)) != rows.size() + 1) {
            return std::nullopt;
          }
          rows.emplace_back(reply->begin() + 3, reply->end());
          reply = Send({kFWUploadBlock_ACK});
          break;
        }
        case kFWUploadCancel_CMD:
          if (cancels != nullptr) {
            ++*cancels;
          }
          reply = Send({kFWUploadCancel_ACK});
          break;
        case kFWUpload_NAK: reply = Send({kFWUploadBlock_ACK}); break;
        case kFWUploadFinished_CMD: {
          const std::vector<std::uint8_t> ack{kFWUploadFinished_ACK};
          m_host.SendNext(0x22, kLoader, ack);
          if (!m_host.WaitAck()) {
            return std::nullopt;
          }
          return rows;
        }
        default: return std::nullopt;
      }
    }
    return std::nullopt;
  }

 private:
  HostDriver& m_host;
};

std::vector<std::vector<std::uint8_t>> NewRows(int count, std::uint8_t seed) {
  std::vector<std::vector<std::uint8_t>> rows;
  for (int r = 0; r < count; ++r) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(5 + (r * 7) % 95));
    for (std::size_t i = 0; i < row.size(); ++i) {
      row[i] = static_cast<std::uint8_t>(seed + r * 31 + i);
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::uint8_t> Text(const std::string& s) {
  return {s.begin(), s.end()};
}

class ControllerFirmware : public ::testing::Test {
 protected:
  void Start(SimConfig config = {}) {
    config.mode = ControllerMode::BootCode;
    m_sim = std::make_unique<SimulatedController>(std::move(config));
    ASSERT_TRUE(m_sim->AttachTo(m_host.Port()));
  }
  void TearDown() override { m_sim.reset(); }
  std::string StorePath() const { return (m_dir / "store.txt").string(); }

  tavra::test::TempDir m_dir{"tavra-sim-store"};
  HostDriver m_host;
  Loader m_loader{m_host};
  std::unique_ptr<SimulatedController> m_sim;
};

TEST_F(ControllerFirmware, DownloadThenUploadGivesTheSameBytes) {
  Start();
  const auto rows = NewRows(40, 3);
  const std::vector<std::uint8_t> header = Text("[Product]\r\nName=X\r\nVersion=2.1\r\n");
  std::string log;
  ASSERT_TRUE(m_loader.Download(rows, &log)) << log;
  // Between the firmware and its header the controller holds no header.
  EXPECT_EQ(m_loader.Send({kFWHUploadREQ}),
            (std::vector<std::uint8_t>{kFWHUpload_NAK, kReasonNoFirmware}));
  ASSERT_TRUE(m_loader.DownloadHeader(header));

  std::uint32_t size = 0;
  const auto uploaded = m_loader.Upload(&size);
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(*uploaded, rows);
  std::uint32_t expectedSize = 0;
  for (const auto& row : rows) {
    expectedSize += static_cast<std::uint32_t>(row.size());
  }
  EXPECT_EQ(size, expectedSize);

  std::vector<std::uint8_t> headerReply{kFWHUpload_ACK};
  headerReply.insert(headerReply.end(), header.begin(), header.end());
  EXPECT_EQ(m_loader.Send({kFWHUploadREQ}), headerReply);
  EXPECT_EQ(m_sim->Firmware().rows, rows);
  // 1 start + 40 blocks + finish + header + 2 header requests + upload cmd + 40 acks + finish ack
  EXPECT_EQ(m_sim->FirmwareMessages().size(), 87u);
  EXPECT_EQ(m_sim->FirmwareMessages().front().source, kLoader);
}

TEST_F(ControllerFirmware, StoreCarriesTheFirmwareToTheNextRun) {
  SimConfig config;
  config.storePath = StorePath();
  const auto rows = NewRows(12, 9);
  const std::vector<std::uint8_t> header = Text("[Product]\r\nVersion=3.1\r\n");
  {
    Start(config);
    std::string log;
    ASSERT_TRUE(m_loader.Download(rows, &log)) << log;
    ASSERT_TRUE(m_loader.DownloadHeader(header));
    m_sim.reset();
  }
  Start(config);
  EXPECT_EQ(m_sim->StoreError(), "");
  std::uint32_t size = 0;
  const auto uploaded = m_loader.Upload(&size);
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(*uploaded, rows);
  EXPECT_EQ(m_sim->Firmware().header, header);
}

TEST_F(ControllerFirmware, RefusedBlockIsCancelledAndTheFinishRefused) {
  Start();
  m_sim->RefuseDownloadBlock(3, 0x42);
  const FirmwareContent before = m_sim->Firmware();
  std::string log;
  EXPECT_FALSE(m_loader.Download(NewRows(5, 1), &log));
  EXPECT_EQ(log, "nak3:66 finish-nak:" + std::to_string(kReasonIncomplete));
  EXPECT_EQ(m_sim->Firmware(), before);  // nothing kept of an incomplete download
}

TEST_F(ControllerFirmware, RefusedFinishKeepsTheOldFirmware) {
  Start();
  m_sim->RefuseDownloadFinish(0x09);
  const FirmwareContent before = m_sim->Firmware();
  std::string log;
  EXPECT_FALSE(m_loader.Download(NewRows(3, 1), &log));
  EXPECT_EQ(log, "finish-nak:9");
  EXPECT_EQ(m_sim->Firmware(), before);
  m_sim->RefuseDownloadFinish(std::nullopt);
  EXPECT_TRUE(m_loader.Download(NewRows(3, 1), &log));
}

TEST_F(ControllerFirmware, HeaderDownloadIsRefusedWhenAskedOrMalformed) {
  Start();
  m_sim->RefuseHeaderDownload(true);
  EXPECT_FALSE(m_loader.DownloadHeader(Text("[Product]\r\n")));
  m_sim->RefuseHeaderDownload(false);
  EXPECT_EQ(m_loader.Send({kFWHDownload_CMD, 'x'}),
            (std::vector<std::uint8_t>{kFWHDownload_NAK, kReasonBadLength}));
  EXPECT_TRUE(m_loader.DownloadHeader(Text("[Product]\r\n")));
}

TEST_F(ControllerFirmware, DefaultsHoldFirmwareAndASerialNumber) {
  Start();
  const auto production = m_loader.Send({kPDUploadREQ});
  ASSERT_TRUE(production);
  ASSERT_GE(production->size(), 7u);
  EXPECT_EQ((*production)[0], kPDUpload_ACK);
  EXPECT_EQ(std::string(production->begin() + 4, production->begin() + 7), "202");
  const auto header = m_loader.Send({kFWHUploadREQ});
  ASSERT_TRUE(header);
  EXPECT_EQ((*header)[0], kFWHUpload_ACK);
  EXPECT_EQ(std::string(header->begin() + 1, header->begin() + 11), "[Product]\r");
}

TEST_F(ControllerFirmware, WithoutFirmwareAndSerialNumberTheRequestsAreRefused) {
  SimConfig config;
  config.firmware = FirmwareContent::Empty();
  Start(config);
  EXPECT_EQ(m_loader.Send({kPDUploadREQ}), std::vector<std::uint8_t>{kPDUpload_NAK});
  EXPECT_EQ(m_loader.Send({kFWHUploadREQ}),
            (std::vector<std::uint8_t>{kFWHUpload_NAK, kReasonNoFirmware}));
  // An upload of no rows: the size 0 and the finish at once.
  EXPECT_EQ(m_loader.Send({kFWUpload_CMD}), (std::vector<std::uint8_t>{kFWUpload_ACK, 0, 0, 0, 0}));
  EXPECT_EQ(m_loader.Next(), std::vector<std::uint8_t>{kFWUploadFinished_CMD});
}

TEST_F(ControllerFirmware, RefusedUploadMessagesAndACancelAreRecoveredFrom) {
  Start();
  m_sim->RefuseUploadMessages(2, 0x05);
  m_sim->CancelUploadAtBlock(4);
  std::uint32_t size = 0;
  int cancels = 0;
  const auto uploaded = m_loader.Upload(&size, &cancels);
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(*uploaded, FirmwareContent::Default().rows);
  EXPECT_EQ(cancels, 1);
  std::size_t refusedSent = 0;
  for (const auto& m : m_sim->FirmwareMessages()) {
    refusedSent += m.message == std::vector<std::uint8_t>{kFWUpload_CMD} ? 1 : 0;
  }
  EXPECT_EQ(refusedSent, 3u);  // refused twice, then taken
}

TEST_F(ControllerFirmware, FramesToTheFirmwareEntityFromManyLoadersAreAnsweredToEach) {
  Start();
  const std::vector<std::uint8_t> request{kPDUploadREQ};
  const std::optional<HostFrame> a = m_host.Request(0x22, 0x41, request);
  const std::optional<HostFrame> b = m_host.Request(0x22, 0x43, request);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->destination, 0x41);
  EXPECT_EQ(b->destination, 0x43);
}

}  // namespace
}  // namespace tavra::sim::test
