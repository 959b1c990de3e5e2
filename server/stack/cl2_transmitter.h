#pragma once
// CL2's transmitter: the job queue, the ten transmit slots and the thread that writes to the
// port. It sends an acknowledgement frame for every received data frame and the jobs of the
// slots as data frames with acknowledgement and retransmission, and reports their results.
//
// Owner: CL2Impl, which runs Run on its transmitter thread (the only writer to the port).
// Callers' threads queue jobs; the receiver thread hands in acknowledgements and answers; the
// supervisor uses slot 0 for link management, counts the back-offs down and flushes the queue.
// Locks: the slot lock, then the queue lock (the job-queue lock is taken inside the slot lock,
// never the other way round). Both come after CL2's connect and management locks; the address
// table is read without a lock. No lock is held while a result goes upward.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "server/stack/cl2_address_table.h"
#include "server/stack/cl2_shared.h"
#include "server/stack/cl2_transmit_slots.h"
#include "server/stack/frame_codec.h"

namespace tavra::stack {

class L2Transmitter {
 public:
  L2Transmitter(L2Shared& shared, const L2AddressTable& addresses)
      : m_shared(shared), m_addresses(addresses) {}
  L2Transmitter(const L2Transmitter&) = delete;
  L2Transmitter& operator=(const L2Transmitter&) = delete;

  // The transmitter thread, until stop: waits for stop, an answer to send, work (in this order).
  void Run();

  // Queues a checked job and wakes the thread; kLinkDown when the link is down (looked at under
  // the queue lock, so nothing is queued after the flush of a lost link).
  [[nodiscard]] Result Queue(std::unique_ptr<L2Job> job);
  // Every queued job, taken out at once (the flush of a lost link).
  [[nodiscard]] std::deque<std::unique_ptr<L2Job>> TakeQueued();
  // Destroy, after the threads have ended: frees the jobs in the slots and the queue.
  void FreeJobs();

  // --- receiver thread ---
  void OnAcknowledgement(std::uint8_t ack);
  // Only the latest answer goes out when several frames complete before the thread runs.
  void OnAnswer(std::uint8_t answer);

  // --- link management (supervisor, management lock held) ---
  // Puts the job into slot 0 when it is empty (true; the job is taken). The done signal and
  // `reply` are cleared under the slot lock, so neither still tells of an earlier request.
  bool PlaceManagementJob(std::unique_ptr<L2Job>& job, Event& reply);
  // Takes the job back out of slot 0 unless it is being sent, so it cannot go out stale.
  void WithdrawManagementJob();
  // Set when the job of slot 0 has ended (sent, given up or failed).
  [[nodiscard]] Event& ManagementDone() { return m_managementDone; }
  // Whether the last job of slot 0 was acknowledged as accepted.
  [[nodiscard]] bool ManagementAccepted() const { return m_managementPositive.load(); }
  void Wake() { m_work.Set(); }
  // One 100-ms tick while the link is up: counts the back-offs down, wakes the thread when a
  // job is ready.
  void TickBackoffs();

 private:
  int SelectSlot();
  // kOk, a write error, kWrongAcknowledgement, kNoAcknowledgement, or kStopped.
  Result SendSlot(int slot);
  void FinishSlot(int slot, Result sendResult);
  void CountRetransmissions(int retransmissions, Result result);

  L2Shared& m_shared;
  const L2AddressTable& m_addresses;

  std::mutex m_slotMutex;
  std::mutex m_queueMutex;
  std::deque<std::unique_ptr<L2Job>> m_jobQueue;           // m_queueMutex
  TransmitSlots m_slots;                                   // m_slotMutex
  int m_inFlight = kNoSlot;                                // m_slotMutex: the slot being sent
  std::uint8_t m_txSequence = 0;                           // transmitter thread only
  std::uint8_t m_ackClassified = 0;                        // transmitter thread only
  std::array<std::uint8_t, kMaxEncodedFrame> m_encoded{};  // transmitter thread only
  std::atomic<std::uint8_t> m_answerByte{0};
  std::atomic<std::uint8_t> m_lastAck{0};
  std::atomic<bool> m_managementPositive{false};

  Event m_work;            // callers, supervisor, the thread itself after a job
  Event m_answerToSend;    // receiver: a data frame completed
  Event m_ackReceived;     // receiver: an acknowledgement frame came
  Event m_managementDone;  // the thread: slot 0 finished -> supervisor
};

}  // namespace tavra::stack
