#pragma once
// The inside of CL2 (see cl2.h for what it offers and LINK_LAYER.md for how it works).
//
// Ownership: CL2Impl owns what its parts share (cl2_shared.h: the serial port among it), the
// address table, the transmitter (the job queue and the jobs in the ten transmit slots), the
// supervisor, the frame parser and the three threads (joined by the destructor). The upper
// queue and upper signal belong to CL4 and must outlive this object.
//
// Threads:
// - transmitter (L2Transmitter::Run, cl2_transmitter.h): the only writer to the port; sends
//   acknowledgement frames and the jobs of the slots;
// - receiver (this class): the port's receive loop feeding the parser, which calls the
//   IFrameSink methods below on this thread; they never block;
// - supervisor (L2Supervisor::Run, cl2_supervisor.h): link establishment, keep-alive, loss of
//   the link, mode switches, back-off countdown; the only sender of link-management requests
//   and the only caller of SetBitRate; it is the port's device listener;
// - callers' threads (CL4's threads, client calls): the public operations.
//
// Locks, in the order they may nest (never the other way round):
//   supervisor's connect lock -> supervisor's management lock -> transmitter's slot lock
//   -> transmitter's queue lock
// The address table's lock and the supervisor's description and reply locks are leaves; the
// upper queue's own lock and the events' locks are taken last. No CL2 lock is held while a
// message goes upward except the connect lock (the push only appends to CL4's queue and sets
// its signal).

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "server/stack/cl2.h"
#include "server/stack/cl2_address_table.h"
#include "server/stack/cl2_shared.h"
#include "server/stack/cl2_supervisor.h"
#include "server/stack/cl2_transmitter.h"
#include "server/stack/frame_parser.h"

namespace tavra::stack {

class CL2Impl final : public IFrameSink {
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
  [[nodiscard]] bool IsLinkUp() const { return m_open.load() && m_shared.linkUp.load(); }
  [[nodiscard]] std::array<std::uint32_t, kStatisticsWords> Statistics() const;
  [[nodiscard]] std::int32_t LinkState() const { return m_supervisor.LinkState(); }
  [[nodiscard]] int CurrentBitRate() const { return m_supervisor.CurrentBitRate(); }
  [[nodiscard]] int PortNumber() const { return m_shared.portNumber.load(); }
  [[nodiscard]] ControllerIdentity Identity() const { return m_supervisor.Identity(); }

  // --- IFrameSink (receiver thread) ---
  int LookupAddress(std::uint8_t address) override { return m_addresses.OwnerOf(address); }
  void OnValidFrame() override { m_supervisor.OnValidFrame(); }
  void OnAcknowledgement(std::uint8_t ack, bool /*insideData*/) override {
    m_transmitter.OnAcknowledgement(ack);
  }
  void OnAnswer(std::uint8_t answer) override { m_transmitter.OnAnswer(answer); }
  void OnLinkManagementReply(const ReceivedFrame& frame) override {
    m_supervisor.OnLinkManagementReply(frame);
  }
  void OnDataFrame(int ownerKey, const ReceivedFrame& frame) override;
  bool CountersEnabled() override { return m_shared.linkUp.load(); }

 private:
  void StopThreads();
  void ReceiverThread();
  // The commands after the checks of ManagementRequest (cl2_management.cpp).
  Result ManagementCommand(std::int32_t key, std::int32_t command, ManagementOutput& out);

  // Fields in construction order: the parts hold references to the ones before them.
  L2Shared m_shared;
  L2AddressTable m_addresses;  // its own lock, a leaf
  L2Transmitter m_transmitter{m_shared, m_addresses};
  L2Supervisor m_supervisor{m_shared, m_addresses, m_transmitter};

  std::atomic<bool> m_openAttempted{false};
  std::atomic<bool> m_open{false};
  std::atomic<Result> m_storedError{kNotInitialised};
  std::atomic<Result> m_receiverError{kOk};
  std::atomic<int> m_systemError{0};

  FrameParser m_parser{*this};  // receiver thread only (its counters are atomics)

  std::thread m_transmitterThread;
  std::thread m_receiverThread;
  std::thread m_supervisorThread;
};

}  // namespace tavra::stack
