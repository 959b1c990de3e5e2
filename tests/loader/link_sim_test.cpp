// The loader's controller link through the real server stack to the simulated controller on a
// pseudo-terminal: from normal mode into the boot code, a download with its header, then the
// backup of the same firmware, the production data and the reset at the end.

#include <gtest/gtest.h>

#include "link_fakes_support.h"
#include "loader/link/firmware_transfer.h"
#include "server/service/tavra_pool.h"
#include "server/stack/port_table.h"
#include "sim/simulated_controller.h"
#include "tests/common/port_dir.h"

namespace tavra::loader::test {
namespace {

using namespace std::chrono_literals;

// A port folder named by TAVRA_PORT_DIR with the simulator as COM1, and an in-process pool.
class SimulatedLink : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_sim.StartPseudoTerminal(m_ports.PathOf(1), &error)) << error;
    stack::GlobalPortTable().Clear();
  }
  void TearDown() override { m_sim.Stop(); }

  // Waits until the callbacks have set `status`.
  bool WaitForStatus(std::uint8_t status) {
    return m_sim.WaitUntil([&] { return m_connection.ComStatus() == status; }, 20s);
  }

  tavra::test::PortDir m_ports;  // outlives everything that may open COM1
  sim::SimulatedController m_sim;
  std::shared_ptr<service::TavraPool> m_pool = std::make_shared<service::TavraPool>();
  RecordingLog m_log;
  RecordingBoxes m_boxes;
  DriverConnection m_connection{[this](std::uint32_t, std::shared_ptr<ITavraPool>& pool) {
                                  pool = m_pool;
                                  return S_OK;
                                },
                                nullptr, m_boxes};
};

TEST_F(SimulatedLink, UpdateThenBackupGivesTheSameFirmware) {
  ASSERT_EQ(m_connection.ChangeComport(1), S_OK);
  ASSERT_TRUE(WaitForStatus(COM_TAVRA_ONLINE_NORMAL_MODE));
  ASSERT_EQ(m_connection.ConnectBootCodeMode(), 0);
  ASSERT_TRUE(WaitForStatus(COM_TAVRA_BOOTCODE_MODE));

  auto image = std::make_unique<FirmwareImage>();
  for (int r = 1; r <= 40; ++r) {
    Bytes row(16, static_cast<std::uint8_t>(r));
    row[0] = 0x10;
    ASSERT_TRUE(image->SetRow(r, row));
  }
  image->rowCount = 40;
  HeaderText header;
  const std::string text = "[Product]\r\nVersion=2.50\r\n";
  std::copy(text.begin(), text.end(), header.bytes.begin());

  FirmwareTransfer transfer(m_connection, m_boxes);
  RecordingProgress progress;
  ASSERT_EQ(transfer.DownloadFirmare(*image, &progress), 1);
  ASSERT_EQ(transfer.DownloadFirmareHeader(header), 1);
  EXPECT_EQ(progress.position, 40);

  auto backup = std::make_unique<FirmwareImage>();
  ASSERT_EQ(transfer.UploadFirmare(*backup, &progress), 1);
  ASSERT_EQ(backup->rowCount, 40);
  for (int r = 1; r <= 40; ++r) {
    ASSERT_TRUE(std::ranges::equal(backup->Row(r), image->Row(r))) << r;
  }
  ASSERT_EQ(transfer.UploadFirmareHeader(), 1);
  HeaderText uploaded;
  m_connection.State().CopyUploadedHeader(uploaded);
  EXPECT_EQ(uploaded.Text(), text);
  ASSERT_EQ(transfer.UploadProductionData(), 1);
  ProductionData production;
  m_connection.State().CopyProductionData(production);
  EXPECT_EQ(production.CompatibilityCode(), "202");
  EXPECT_TRUE(m_boxes.shown.empty());

  m_connection.KillComObject();
  EXPECT_EQ(m_connection.ComStatus(), COM_NO_DRIVER);
  EXPECT_TRUE(m_sim.WaitUntil([&] { return m_sim.Mode() == sim::ControllerMode::Normal; }, 10s));
}

TEST_F(SimulatedLink, RefusedBlockFailsTheUpdateAndTheOldFirmwareStays) {
  m_sim.SetMode(sim::ControllerMode::BootCode);
  const auto before = m_sim.Firmware();
  m_sim.RefuseDownloadBlock(2, 1);
  ASSERT_EQ(m_connection.ChangeComport(1), S_OK);
  ASSERT_TRUE(WaitForStatus(COM_TAVRA_BOOTCODE_MODE));
  auto image = std::make_unique<FirmwareImage>();
  for (int r = 1; r <= 3; ++r) {
    ASSERT_TRUE(image->SetRow(r, Bytes{1, 2, 3}));
  }
  image->rowCount = 3;
  FirmwareTransfer transfer(m_connection, m_boxes);
  EXPECT_EQ(transfer.DownloadFirmare(*image, nullptr), 0);
  std::vector<std::uint8_t> codes;
  for (const auto& m : m_sim.FirmwareMessages()) {
    codes.push_back(m.message.at(0));
  }
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{0x10, 0x11, 0x11, 0x12, 0x11, 0x13}));
  EXPECT_EQ(m_sim.Firmware(), before);
}

}  // namespace
}  // namespace tavra::loader::test
