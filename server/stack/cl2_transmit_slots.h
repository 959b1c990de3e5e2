#pragma once
// The ten transmit slots of CL2 and the rules that work on them: which job goes next, what a
// finished send reports upward, the busy back-off and its countdown. Slot 0 holds only
// link-management jobs; slots 1..9 hold jobs taken from the job queue.
//
// Plain functions over a slot array: the caller (CL2) holds its slot lock around every call.
// takeQueued is called under that lock and takes the job-queue lock itself (lock order: slot
// lock, then queue lock).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "server/stack/internal_codes.h"
#include "server/stack/l2_types.h"

namespace tavra::stack {

inline constexpr int kTransmitSlots = 10;
inline constexpr int kManagementSlot = 0;
inline constexpr int kNoSlot = -1;

using TransmitSlots = std::array<std::unique_ptr<L2Job>, kTransmitSlots>;

// The slot to send next, or kNoSlot:
// 1. slot 0 when it holds a job;
// 2. else, of slots 1..9 whose job's back-off countdown is 0, the one with the smallest cookie
//    (the lowest slot on equal cookies);
// 3. else the lowest empty slot of 1..9, filled from the head of the job queue; queued jobs
//    whose owner is no longer registered are freed on the way, without a result.
int SelectTransmitSlot(TransmitSlots& slots,
                       const std::function<std::unique_ptr<L2Job>()>& takeQueued,
                       const std::function<bool(std::int32_t)>& ownerRegistered);

// Top three bits of an acknowledgement byte.
[[nodiscard]] constexpr std::uint8_t AckCode(std::uint8_t ack) {
  return ack & 0xE0;
}

// Whether a finished send was answered busy (the case for ApplyBusyBackoff).
[[nodiscard]] constexpr bool IsBusyAnswer(Result sendResult, std::uint8_t ack) {
  return sendResult == kOk && AckCode(ack) == 0xA0;
}

// The transmit result (257..271) of a send of slots 1..9 that ended with sendResult and, when
// that is 0, the acknowledgement ack. A busy answer gives 259 (the budget is used up).
[[nodiscard]] std::int32_t TransmitResultCode(Result sendResult, std::uint8_t ack);

// Busy answer: takes one from the remaining budget (not below 0). True when the job waits its
// back-off (countdown loaded with the back-off ticks) and is sent again; false when it fails.
bool ApplyBusyBackoff(L2Job& job);

// One 100-ms tick: counts down every back-off above 0. True when a job other than the one in
// flight (kNoSlot: none) is ready to go, so the transmitter should look again.
bool CountDownBackoffs(TransmitSlots& slots, int inFlight);

}  // namespace tavra::stack
