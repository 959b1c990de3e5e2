#pragma once
// The inside of CL2 (see cl2.h for what it offers and LINK_LAYER.md for how it works).
//
// Ownership: CL2Impl owns the serial port, the frame parser, the job queue and the jobs in
// the ten transmit slots, and its three threads (joined by the destructor). The upper queue
// and upper signal belong to CL4 and must outlive this object.
//
// Threads:
// - transmitter (cl2_transmitter.cpp): the only writer to the port; sends acknowledgement
//   frames and the jobs of the slots;
// - receiver (this file): the port's receive loop feeding the parser, which calls the
//   IFrameSink methods below on this thread; they never block;
// - supervisor (cl2_supervisor.cpp): link establishment, keep-alive, loss of the link, mode
//   switches, back-off countdown; the only caller of link-management requests and SetBitRate;
// - callers' threads (CL4's threads, client calls): the public operations.
//
// Locks, in the order they may nest (never the other way round):
//   m_connectMutex -> m_managementMutex -> m_slotMutex -> m_queueMutex
// the address table's lock and m_descriptionMutex / m_replyMutex are leaves; the upper queue's own
// lock and the events' locks are taken last. No CL2 lock is held while a message goes upward except
// m_connectMutex (the push only appends to CL4's queue and sets its signal).

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "server/stack/cl2.h"
#include "server/stack/cl2_address_table.h"
#include "server/stack/cl2_link_requests.h"
#include "server/stack/cl2_transmit_slots.h"
#include "server/stack/frame_codec.h"
#include "server/stack/frame_parser.h"

namespace tavra::stack {

inline constexpr std::int32_t kLinkStateDown = 1;
inline constexpr std::int32_t kLinkStateUp = 2;
inline constexpr std::int32_t kModeBootCode = 1;
inline constexpr std::int32_t kModeNormal = 2;
inline constexpr int kStatisticsWords = 18;

class CL2Impl final : public IFrameSink, public IDeviceListener {
 public:
  CL2Impl(std::unique_ptr<ISerialPort> port, PortTable& portTable);
  // Destroy: stops and joins the threads, frees the jobs, closes the port.
  ~CL2Impl() override;
  CL2Impl(const CL2Impl&) = delete;
  CL2Impl& operator=(const CL2Impl&) = delete;

  Result Open(int portNumber, Event* upperSignal, L2MessageQueue* upperQueue);
  Result RegisterTransport(std::int32_t& key);
  Result RegisterClient(std::int32_t& key);
  Result UnregisterClient(std::int32_t key);
  Result Send(std::unique_ptr<L2Job> job);
  Result ManagementRequest(std::int32_t key, std::int32_t command, ManagementOutput& out);
  [[nodiscard]] bool IsLinkUp() const { return m_open.load() && m_linkUp.load(); }
  [[nodiscard]] std::array<std::uint32_t, kStatisticsWords> Statistics() const;
  [[nodiscard]] std::int32_t LinkState() const { return m_linkState.load(); }
  [[nodiscard]] int CurrentBitRate() const { return m_currentBitRate.load(); }
  [[nodiscard]] int PortNumber() const { return m_portNumber.load(); }
  [[nodiscard]] ControllerIdentity Identity() const;

  // --- IFrameSink (receiver thread) ---
  int LookupAddress(std::uint8_t address) override;
  void OnValidFrame() override;
  void OnAcknowledgement(std::uint8_t ack, bool insideData) override;
  void OnAnswer(std::uint8_t answer) override;
  void OnLinkManagementReply(const ReceivedFrame& frame) override;
  void OnDataFrame(int ownerKey, const ReceivedFrame& frame) override;
  bool CountersEnabled() override { return m_linkUp.load(); }

  // --- IDeviceListener (receiver or transmitter thread) ---
  // The device went away: the link is taken down at once, not after unanswered frames.
  void OnDeviceLost() override;
  // The port has the device again: establish the link now.
  void OnDeviceBack() override;

 private:
  // Threads.
  void StopThreads();
  void ReceiverThread();
  void TransmitterThread();
  void SupervisorThread();

  // Transmitter (cl2_transmitter.cpp).
  int SelectSlot();
  Result SendSlot(int slot);
  void FinishSlot(int slot, Result sendResult);
  void CountIfUp(int word);

  // Supervisor and link management (cl2_supervisor.cpp).
  bool LinkManagementRequest(LinkRequest code, int bitRate, bool waitForReply);
  bool EstablishLink();
  void SupervisorTickWhileUp();
  void BringLinkUp();
  void TakeLinkDown();
  void LoseLink();
  void FlushJobQueue();
  void SendOnline(std::int32_t key);
  void SendOffline(std::int32_t key);
  void PushUp(L2Message message);
  [[nodiscard]] std::vector<std::uint8_t> LastReply() const;
  Result RequestBootCode(std::int32_t key);
  Result RequestReset();
  [[nodiscard]] std::uint8_t TypeCode() const;

  // --- fixed at creation or at open ---
  std::unique_ptr<ISerialPort> m_port;
  PortTable& m_portTable;
  const std::int32_t m_idleReload;
  const ConnectParameters m_connectParameters;
  std::atomic<int> m_portNumber{0};
  Event* m_upperSignal = nullptr;          // set by Open before any thread starts
  L2MessageQueue* m_upperQueue = nullptr;  // likewise

  // --- state flags ---
  std::atomic<bool> m_openAttempted{false};
  std::atomic<bool> m_open{false};
  std::atomic<Result> m_storedError{kNotInitialised};
  std::atomic<bool> m_linkUp{false};
  std::atomic<bool> m_deviceGone{false};     // between OnDeviceLost and OnDeviceBack
  std::atomic<std::int32_t> m_linkState{0};  // 0 until open has succeeded
  std::atomic<std::int32_t> m_requestedMode{kModeNormal};
  std::atomic<std::int32_t> m_pendingModeRequest{0};  // 0, 8 (restart) or 9 (boot code)
  std::atomic<bool> m_managementPositive{false};
  std::atomic<int> m_currentBitRate{9600};
  std::atomic<std::int32_t> m_idleCounter{0};
  std::atomic<Result> m_receiverError{kOk};
  std::atomic<int> m_systemError{0};

  // --- controller description (supervisor writes, callers read) ---
  mutable std::mutex m_descriptionMutex;
  std::array<std::uint8_t, kDescriptionSize> m_description{};

  // --- last link-management reply (receiver writes, supervisor reads) ---
  mutable std::mutex m_replyMutex;
  std::vector<std::uint8_t> m_reply;

  // --- locks of the link layer ---
  std::mutex m_connectMutex;
  std::mutex m_managementMutex;
  std::mutex m_slotMutex;
  std::mutex m_queueMutex;

  // --- transmit path ---
  std::deque<std::unique_ptr<L2Job>> m_jobQueue;           // m_queueMutex
  TransmitSlots m_slots;                                   // m_slotMutex
  int m_inFlight = kNoSlot;                                // m_slotMutex: the slot being sent
  std::uint8_t m_txSequence = 0;                           // transmitter only
  std::uint8_t m_ackClassified = 0;                        // transmitter only
  std::array<std::uint8_t, kMaxEncodedFrame> m_encoded{};  // transmitter only
  std::atomic<std::uint8_t> m_answerByte{0};
  std::atomic<std::uint8_t> m_lastAck{0};

  L2AddressTable m_addresses;  // its own lock, a leaf

  // --- statistics words 2, 3, 4, 15, 16, 17 (the parser keeps 5..13) ---
  std::array<std::atomic<std::uint32_t>, kStatisticsWords> m_counters{};

  // --- signals ---
  Event m_stop{Event::Mode::ManualReset};
  Event m_work;
  Event m_answerToSend;
  Event m_ackReceived;
  Event m_connectNow;
  Event m_managementReply;
  Event m_managementDone;
  Event m_linkLost;
  Event m_modeSwitch;
  // Set when the supervisor has sent a pending restart or switch, or dropped it with the link;
  // the destructor waits for it (bounded), so a client's last reset still reaches the controller.
  Event m_modeRequestSettled{Event::Mode::ManualReset, true};
  Event m_threadEnded{Event::Mode::ManualReset};

  FrameParser m_parser{*this};  // receiver thread only (its counters are atomics)

  std::thread m_transmitter;
  std::thread m_receiver;
  std::thread m_supervisor;
};

}  // namespace tavra::stack
