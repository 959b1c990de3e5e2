#pragma once
// CL2's link supervisor: the link states and the thread that keeps the link. It establishes
// the link (connect, identify, bit-rate negotiation), brings it up and takes it down with the
// online and offline indications, polls after silence, counts the back-offs down, notices a
// lost link or device, and carries out the mode switches of clients (restart, boot code).
//
// Owner: CL2Impl, which runs Run on its supervisor thread: the only sender of link-management
// requests and the only caller of SetBitRate. Callers' threads ask for mode switches and read
// the identity; the receiver thread hands in valid frames and link-management replies; the
// port calls the device listener on its receiver (or transmitter) thread.
// Locks: the connect lock, then the management lock, then the transmitter's slot and queue
// locks. The connect lock is held for a whole establishment and while the link comes up, and
// while a mode switch decides; it is the only CL2 lock held while messages go upward. The
// description and reply locks are leaves.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "server/stack/cl2_address_table.h"
#include "server/stack/cl2_link_requests.h"
#include "server/stack/cl2_shared.h"
#include "server/stack/cl2_transmitter.h"
#include "server/stack/frame_parser.h"

namespace tavra::stack {

inline constexpr std::int32_t kLinkStateDown = 1;
inline constexpr std::int32_t kLinkStateUp = 2;
inline constexpr std::int32_t kModeBootCode = 1;
inline constexpr std::int32_t kModeNormal = 2;

class L2Supervisor final : public IDeviceListener {
 public:
  // Reads the settings: the idle reload and the connect parameters.
  L2Supervisor(L2Shared& shared, const L2AddressTable& addresses, L2Transmitter& transmitter);
  L2Supervisor(const L2Supervisor&) = delete;
  L2Supervisor& operator=(const L2Supervisor&) = delete;

  // Open, once the threads run: the link is down and the first attempt starts at once.
  void Start();
  // The supervisor thread, until stop: waits for stop, connect-now, link lost, mode switch, or
  // a 100-ms tick.
  void Run();
  // Destroy: waits (bounded) until a restart or switch asked for has been sent or dropped.
  void WaitForModeRequest();

  // --- callers' threads ---
  // CONNECT_BOOTCODE and RESET_CONTROLLER: kOk, kModeRequestPending, or (reset) kLinkDown.
  [[nodiscard]] Result RequestBootCode(std::int32_t key);
  [[nodiscard]] Result RequestReset();
  // The link state message (kind 16) for one key; the online one also updates the port table.
  void SendOnline(std::int32_t key);
  void SendOffline(std::int32_t key);
  [[nodiscard]] std::int32_t LinkState() const { return m_linkState.load(); }
  [[nodiscard]] int CurrentBitRate() const { return m_currentBitRate.load(); }
  [[nodiscard]] ControllerIdentity Identity() const;
  [[nodiscard]] std::uint8_t TypeCode() const;

  // --- receiver thread; never block ---
  // Every valid frame reloads the idle counter.
  void OnValidFrame() { m_idleCounter.exchange(m_idleReload); }
  void OnLinkManagementReply(const ReceivedFrame& frame);

  // --- IDeviceListener ---
  // The device went away: the link is taken down at once, not after unanswered frames.
  void OnDeviceLost() override;
  // The port has the device again: establish the link now.
  void OnDeviceBack() override;

 private:
  void TryToConnect();
  void HandleModeSwitch();
  bool LinkManagementRequest(LinkRequest code, int bitRate, bool waitForReply);
  bool EstablishLink();
  bool NegotiateBitRate();
  void TickWhileUp();
  void BringLinkUp();
  void TakeLinkDown();
  void LoseLink();
  void FlushJobQueue();
  [[nodiscard]] std::vector<std::uint8_t> LastReply() const;

  L2Shared& m_shared;
  const L2AddressTable& m_addresses;
  L2Transmitter& m_transmitter;
  const std::int32_t m_idleReload;  // ticks
  const ConnectParameters m_connectParameters;

  std::mutex m_connectMutex;
  std::mutex m_managementMutex;
  std::atomic<std::int32_t> m_linkState{0};  // 0 until open has succeeded
  std::atomic<std::int32_t> m_requestedMode{kModeNormal};
  std::atomic<std::int32_t> m_pendingModeRequest{0};  // 0, 8 (restart) or 9 (boot code)
  std::atomic<bool> m_deviceGone{false};              // between OnDeviceLost and OnDeviceBack
  std::atomic<int> m_currentBitRate{9600};
  std::atomic<std::int32_t> m_idleCounter{0};  // ticks

  // --- controller description (supervisor writes, callers read) ---
  mutable std::mutex m_descriptionMutex;
  std::array<std::uint8_t, kDescriptionSize> m_description{};
  // --- last link-management reply (receiver writes, supervisor reads) ---
  mutable std::mutex m_replyMutex;
  std::vector<std::uint8_t> m_reply;

  Event m_connectNow;       // open, a device back
  Event m_managementReply;  // receiver: a reply to 0x20 came
  Event m_modeSwitch;       // CONNECT_BOOTCODE, RESET_CONTROLLER
  // Set when the thread has sent a pending restart or switch, or dropped it with the link;
  // the destructor waits for it (bounded), so a client's last reset still reaches the controller.
  Event m_modeRequestSettled{Event::Mode::ManualReset, true};
};

}  // namespace tavra::stack
