// The simulated controller against the real link stack (CL4 over CL2 on a SimulatedSerialPort):
// the link comes up at the highest rate both accept, a transaction is echoed, and after a
// switch to boot code the firmware entity answers a loader's datagram.

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "server/stack/cl4.h"
#include "server/stack/simulated_serial_port.h"
#include "sim/firmware_entity.h"
#include "sim/simulated_controller.h"

namespace tavra::sim::test {
namespace {

using namespace std::chrono_literals;
using stack::L4Indication;
using stack::L4Kind;

constexpr std::int32_t kStatusOnline = 0x24000001;
constexpr std::int32_t kConnectBootCode = 0x24000011;

// Collects the stack's indications; waits are bounded.
class Indications {
 public:
  stack::L4Route Route() {
    return [this](L4Indication&& item) {
      std::lock_guard lock(m_mutex);
      m_items.push_back(std::move(item));
      m_cv.notify_all();
    };
  }
  // The first item (consumed) for which `match` holds, or nullopt after the time-out.
  std::optional<L4Indication> Wait(const std::function<bool(const L4Indication&)>& match,
                                   std::chrono::milliseconds timeout = 5000ms) {
    std::unique_lock lock(m_mutex);
    std::optional<L4Indication> found;
    m_cv.wait_for(lock, timeout, [&] {
      for (auto it = m_items.begin(); it != m_items.end(); ++it) {
        if (match(*it)) {
          found = std::move(*it);
          m_items.erase(it);
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<L4Indication> m_items;
};

bool OnlineWithType(const L4Indication& i, std::uint8_t type) {
  return i.kind == L4Kind::ManagementIndication && i.a == kStatusOnline && !i.data.empty() &&
         i.data[0] == type;
}

class LinkStack : public ::testing::Test {
 protected:
  void Start(SimConfig config) {
    auto port = std::make_unique<stack::SimulatedSerialPort>();
    m_port = port.get();
    m_sim = std::make_unique<SimulatedController>(std::move(config));
    ASSERT_TRUE(m_sim->AttachTo(*m_port));
    m_cl4 = std::make_unique<stack::CL4>(std::move(port), m_portTable);
    ASSERT_EQ(m_cl4->Start(4, m_indications.Route()), 0);
    ASSERT_EQ(m_cl4->AddClient(m_client), 0);
  }
  void TearDown() override {
    // The controller lets go of the port before the stack destroys it.
    if (m_sim) {
      m_sim->Stop();
    }
    m_cl4.reset();
    m_sim.reset();
  }

  stack::PortTable m_portTable;
  Indications m_indications;
  stack::SimulatedSerialPort* m_port = nullptr;
  std::unique_ptr<SimulatedController> m_sim;
  std::unique_ptr<stack::CL4> m_cl4;
  std::int32_t m_client = 0;
};

TEST_F(LinkStack, ComesUpAtTheBestRateAndEchoesATransaction) {
  SimConfig config;
  config.maxBitRate = 38400;
  Start(config);
  const std::optional<L4Indication> online =
      m_indications.Wait([](const L4Indication& i) { return OnlineWithType(i, 3); });
  ASSERT_TRUE(online);
  EXPECT_EQ(online->data, (std::vector<std::uint8_t>{3, 1, 2, 3, 4, 0}));
  EXPECT_EQ(m_sim->BitRatesSeen(), (std::vector<int>{9600, 38400}));
  // 57600 was refused, 38400 accepted.
  EXPECT_EQ(m_sim->ManagementCommands(), (std::vector<std::uint8_t>{0x01, 0x00, 0x04, 0x04}));

  const std::vector<std::uint8_t> request{0x11, 0x22, 0x33};
  ASSERT_EQ(m_cl4->DataRequest(m_client, 5, 3, request.data(), stack::L4Backoff{}, true, 77), 0);
  const std::optional<L4Indication> confirm = m_indications.Wait(
      [](const L4Indication& i) { return i.kind == L4Kind::DataConfirm && i.a == 77; });
  ASSERT_TRUE(confirm);
  EXPECT_EQ(confirm->b, 0);
  EXPECT_EQ(confirm->data, request);
  const std::vector<ObservedPdu> pdus = m_sim->TransportPdus();
  ASSERT_EQ(pdus.size(), 1u);
  EXPECT_EQ(pdus[0].extra, 0x25);
}

TEST_F(LinkStack, SwitchToBootCodeReachesTheFirmwareEntity) {
  Start(SimConfig{});
  ASSERT_TRUE(m_indications.Wait([](const L4Indication& i) { return OnlineWithType(i, 3); }));
  stack::ManagementOutput out;
  ASSERT_EQ(m_cl4->Management(m_client, kConnectBootCode, out), 0);
  const std::optional<L4Indication> boot =
      m_indications.Wait([](const L4Indication& i) { return OnlineWithType(i, 1); }, 10000ms);
  ASSERT_TRUE(boot);
  EXPECT_EQ(m_sim->Mode(), ControllerMode::BootCode);

  const std::vector<std::uint8_t> request{kPDUploadREQ};
  ASSERT_EQ(m_cl4->DataRequest(m_client, 2, 1, request.data(), stack::L4Backoff{}, false, 0), 0);
  const std::optional<L4Indication> reply = m_indications.Wait(
      [](const L4Indication& i) { return i.kind == L4Kind::DataIndication && i.b == 2; });
  ASSERT_TRUE(reply);
  ASSERT_FALSE(reply->data.empty());
  EXPECT_EQ(reply->data[0], kPDUpload_ACK);
}

}  // namespace
}  // namespace tavra::sim::test
