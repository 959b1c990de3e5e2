#include "server/stack/cl2_transmit_slots.h"

#include <algorithm>

namespace tavra::stack {

int SelectTransmitSlot(TransmitSlots& slots,
                       const std::function<std::unique_ptr<L2Job>()>& takeQueued,
                       const std::function<bool(std::int32_t)>& ownerRegistered) {
  if (slots[kManagementSlot]) {
    return kManagementSlot;
  }
  int best = kNoSlot;
  for (int s = 1; s < kTransmitSlots; ++s) {
    const auto& job = slots[s];
    if (job && job->backoffCountdown <= 0 &&
        (best == kNoSlot || job->cookie < slots[best]->cookie)) {
      best = s;
    }
  }
  if (best != kNoSlot) {
    return best;
  }
  for (int s = 1; s < kTransmitSlots; ++s) {
    if (slots[s]) {
      continue;
    }
    for (;;) {
      std::unique_ptr<L2Job> job = takeQueued();
      if (!job) {
        return kNoSlot;
      }
      if (ownerRegistered(job->ownerKey)) {
        slots[s] = std::move(job);
        return s;
      }
      // The owner unregistered while its job waited: dropped without a result.
    }
  }
  return kNoSlot;
}

std::int32_t TransmitResultCode(Result sendResult, std::uint8_t ack) {
  switch (sendResult) {
    case kOk:
      switch (AckCode(ack)) {
        case 0x40: return kTxAccepted;
        case 0x80: return kTxNoSuchDestination;
        case 0xA0: return kTxBusy;
        case 0xC0: return kTxTooLong;
        default: return kTxOther;
      }
    case kWriteTimeout:
    case kWrongAcknowledgement: return kTxNotWritten;
    case kNoAcknowledgement: return kTxNoAcknowledgement;
    default: return kTxOther;
  }
}

bool ApplyBusyBackoff(L2Job& job) {
  job.remainingBudget = std::max(job.remainingBudget - 1, 0);
  if (job.remainingBudget > 0) {
    job.backoffCountdown = job.backoffTime;
    return true;
  }
  return false;
}

bool CountDownBackoffs(TransmitSlots& slots, int inFlight) {
  bool ready = false;
  for (int s = 0; s < kTransmitSlots; ++s) {
    auto& job = slots[s];
    if (!job) {
      continue;
    }
    if (job->backoffCountdown > 0) {
      --job->backoffCountdown;
    }
    if (job->backoffCountdown <= 0 && s != inFlight) {
      ready = true;
    }
  }
  return ready;
}

}  // namespace tavra::stack
