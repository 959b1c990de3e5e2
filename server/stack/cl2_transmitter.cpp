// CL2's transmitter thread: acknowledgement frames for received data frames, and the jobs of
// the transmit slots as data frames with acknowledgement and retransmission.

#include "server/stack/cl2_transmitter.h"

#include <algorithm>
#include <chrono>

#include "server/stack/cl2_thread_priority.h"
#include "server/stack/server_settings.h"

namespace tavra::stack {

namespace {

// SendSlot's result when the stop signal ended the wait: the thread ends, nothing is reported.
constexpr Result kStopped = -2;

constexpr int kWordRetransmissions = 3;
constexpr int kWordFramesGivenUp = 4;
constexpr int kWordMoreThanOne = 15;
constexpr int kWordMoreThanTwo = 16;
constexpr int kWordMoreThanThree = 17;

constexpr std::uint8_t kSequenceBits = 0x1F;
constexpr std::uint8_t kSequenceBase = 0x20;

}  // namespace

void L2Transmitter::Run() {
  RaiseLinkThreadPriority();
  for (;;) {
    const int signal = Event::WaitAny({&m_shared.stop, &m_answerToSend, &m_work});
    if (signal == 0) {
      break;
    }
    if (signal == 1) {
      // A failed acknowledgement write is not retried: the far end repeats its frame.
      (void)m_shared.port->WriteAckFrame(m_answerByte.load());
      continue;
    }
    const int slot = SelectSlot();
    if (slot == kNoSlot) {
      continue;
    }
    const Result result = SendSlot(slot);
    if (result == kStopped) {
      break;
    }
    FinishSlot(slot, result);
    m_work.Set();  // look at the next job without waiting
  }
  m_shared.threadEnded.Set();
}

int L2Transmitter::SelectSlot() {
  std::lock_guard lock(m_slotMutex);
  m_inFlight = SelectTransmitSlot(
      m_slots,
      [this]() -> std::unique_ptr<L2Job> {
        std::lock_guard queueLock(m_queueMutex);
        if (m_jobQueue.empty()) {
          return nullptr;
        }
        auto job = std::move(m_jobQueue.front());
        m_jobQueue.pop_front();
        return job;
      },
      [this](std::int32_t key) { return m_addresses.IsRegistered(key); });
  return m_inFlight;
}

Result L2Transmitter::SendSlot(int slot) {
  // Every send takes the next number; its retransmissions repeat it.
  m_txSequence = static_cast<std::uint8_t>((m_txSequence + 1) & kSequenceBits);
  const int maxRetransmissions = std::max(0, ServerSettings().Get(Setting::L2_Retransmissions));
  int retransmissions = 0;
  Result result = kOk;
  // An acknowledgement that came after an earlier send had given up must not count here.
  m_ackReceived.Reset();
  for (;;) {
    std::size_t length = 0;
    {
      std::lock_guard lock(m_slotMutex);
      const L2Job& job = *m_slots[slot];
      length = EncodeDataFrame(static_cast<std::uint8_t>(kSequenceBase + m_txSequence),
                               static_cast<std::uint8_t>(job.destination),
                               static_cast<std::uint8_t>(job.source), job.data, m_encoded);
    }
    const Result written = m_shared.port->WriteDataFrame({m_encoded.data(), length});
    if (written != kOk) {
      result = written;
      break;
    }
    const auto wait = std::chrono::milliseconds(
        std::max(0, ServerSettings().Get(Setting::L2_RetransmissionTime)));
    const int signal = Event::WaitAny({&m_shared.stop, &m_ackReceived}, wait);
    if (signal == 0) {
      return kStopped;
    }
    if (signal == 1) {
      m_ackClassified = m_lastAck.load();
      if ((m_ackClassified & kSequenceBits) == m_txSequence) {
        result = kOk;
        break;
      }
      if (retransmissions >= maxRetransmissions) {
        result = kWrongAcknowledgement;
        break;
      }
    } else if (retransmissions >= maxRetransmissions) {
      result = kNoAcknowledgement;
      break;
    }
    ++retransmissions;
    m_shared.CountIfUp(kWordRetransmissions);
  }
  CountRetransmissions(retransmissions, result);
  return result;
}

void L2Transmitter::CountRetransmissions(int retransmissions, Result result) {
  if (result != kOk) {
    m_shared.CountIfUp(kWordFramesGivenUp);
  }
  if (retransmissions > 1) {
    m_shared.CountIfUp(kWordMoreThanOne);
  }
  if (retransmissions > 2) {
    m_shared.CountIfUp(kWordMoreThanTwo);
  }
  if (retransmissions > 3) {
    m_shared.CountIfUp(kWordMoreThanThree);
  }
}

void L2Transmitter::FinishSlot(int slot, Result sendResult) {
  if (slot == kManagementSlot) {
    // Link management: no result upward and no busy retry; the requester is told.
    {
      std::lock_guard lock(m_slotMutex);
      m_managementPositive = sendResult == kOk && AckCode(m_ackClassified) == kAckAccepted;
      m_slots[kManagementSlot].reset();
      m_inFlight = kNoSlot;
      m_managementDone.Set();
    }
    if (sendResult == kNoAcknowledgement) {
      m_shared.linkLost.Set();
    }
    return;
  }
  std::unique_ptr<L2Job> job;
  std::int32_t code = 0;
  {
    std::lock_guard lock(m_slotMutex);
    m_inFlight = kNoSlot;
    if (IsBusyAnswer(sendResult, m_ackClassified) && ApplyBusyBackoff(*m_slots[slot])) {
      return;  // stays in its slot until the countdown has run out
    }
    code = TransmitResultCode(sendResult, m_ackClassified);
    job = std::move(m_slots[slot]);
  }
  L2Message m;
  m.ownerKey = job->ownerKey;
  m.kind = kL2KindTransmitResult;
  m.code = code;
  m.value = job->cookie;
  m_shared.PushUp(std::move(m));
  if (code == kTxNoAcknowledgement) {
    m_shared.linkLost.Set();
  }
}

Result L2Transmitter::Queue(std::unique_ptr<L2Job> job) {
  {
    std::lock_guard lock(m_queueMutex);
    // Checked again under the queue lock: a job queued after the flush of a lost link would
    // otherwise go out while the link is down.
    if (!m_shared.linkUp.load()) {
      return kLinkDown;
    }
    m_jobQueue.push_back(std::move(job));
  }
  m_work.Set();
  return kOk;
}

std::deque<std::unique_ptr<L2Job>> L2Transmitter::TakeQueued() {
  std::deque<std::unique_ptr<L2Job>> jobs;
  std::lock_guard lock(m_queueMutex);
  jobs.swap(m_jobQueue);
  return jobs;
}

void L2Transmitter::FreeJobs() {
  for (auto& slot : m_slots) {
    slot.reset();
  }
  std::lock_guard lock(m_queueMutex);
  m_jobQueue.clear();
}

void L2Transmitter::OnAcknowledgement(std::uint8_t ack) {
  m_lastAck = ack;
  m_ackReceived.Set();
}

void L2Transmitter::OnAnswer(std::uint8_t answer) {
  m_answerByte = answer;
  m_answerToSend.Set();
}

bool L2Transmitter::PlaceManagementJob(std::unique_ptr<L2Job>& job, Event& reply) {
  std::lock_guard lock(m_slotMutex);
  if (m_slots[kManagementSlot]) {
    return false;
  }
  m_managementDone.Reset();
  reply.Reset();
  m_slots[kManagementSlot] = std::move(job);
  return true;
}

void L2Transmitter::WithdrawManagementJob() {
  std::lock_guard lock(m_slotMutex);
  if (m_slots[kManagementSlot] && m_inFlight != kManagementSlot) {
    m_slots[kManagementSlot].reset();
  }
}

void L2Transmitter::TickBackoffs() {
  bool ready = false;
  {
    std::lock_guard lock(m_slotMutex);
    ready = CountDownBackoffs(m_slots, m_inFlight);
  }
  if (ready) {
    m_work.Set();
  }
}

}  // namespace tavra::stack
